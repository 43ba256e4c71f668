// Faults around a scan: outputs that go away, inputs that change, inputs that are no files,
// and a close request inside every kind of copy loop.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>

#include "engine/scan.h"
#include "tests/support/test_support.h"

namespace sorvend::test {
namespace {

namespace fs = std::filesystem;

// Missing paths, folders and whatever is no regular file only log: the scan state is left as
// it was, and there is no timer or progress.
TEST(Faults, InputsThatCannotBeOpenedOnlyLog) {
  ScratchDir dir;
  const std::string fifo = dir.File("fifo");
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  fs::create_symlink(dir.File("loop-b"), dir.File("loop-a"));
  fs::create_symlink(dir.File("loop-a"), dir.File("loop-b"));
  fs::create_directory(dir.File("folder"));
  WriteFile(dir.File("file"), {1, 2, 3});
  for (const std::string& path :
       {dir.File("missing"), dir.File("folder"), std::string(), dir.File("file/x"), fifo,
        dir.File("loop-a"), std::string("/dev/null"), std::string("/dev/zero")}) {
    SCOPED_TRACE(path);
    RecordingHost host;
    ScanContext ctx;
    ctx.Host = &host;
    ctx.FileSize = 77;
    ctx.Position = 55;
    ScanFile(ctx, path);  // must neither block on the FIFO nor read an endless device
    EXPECT_EQ(host.log, std::vector<std::string>{"       オープンに失敗しました｡"});
    EXPECT_EQ(ctx.FileSize, 77);
    EXPECT_EQ(ctx.Position, 55);
    EXPECT_TRUE(host.timerEvents.empty());
    EXPECT_TRUE(host.progress.empty());
    EXPECT_EQ(ctx.Flags, 0u);
  }
}

TEST(Faults, OutputFolderThatDisappearsFailsTheRestAndTheScanGoesOn) {
  ScratchDir dir;
  Bytes data;
  for (std::uint8_t i = 1; i <= 3; ++i) {
    Append(data, Filler(500, i));
    Append(data, BareDib(i));
  }
  const std::string input = dir.File("input");
  WriteFile(input, data);
  fs::create_directory(dir.File("out"));
  RecordingHost host;
  host.interval = 1;
  host.onKeepResponsive = [&] {
    if (host.outputs.size() == 1) fs::remove_all(dir.File("out"));
  };
  ScanContext ctx;
  ctx.Host = &host;
  ctx.SourceDir = dir.File("out") + "/";
  ScanFile(ctx, input);
  ASSERT_EQ(host.outputs.size(), 1u);
  EXPECT_EQ(host.failed,
            (std::vector<std::string>{dir.File("out/ANT0001.BMP"), dir.File("out/ANT0002.BMP")}));
  EXPECT_EQ(ctx.Position, static_cast<std::int64_t>(data.size()));
  EXPECT_EQ(ReadFile(input), data);
}

TEST(Faults, InputThatShrinksDuringTheScan) {
  // Objects at 10 KiB, 150 KiB and 250 KiB; the file is cut to 100 KiB once the walk has
  // passed the first. The scan ends at the size it started with, and nothing behind the real
  // end is carved.
  Bytes data = Filler(300 * 1024);
  for (std::size_t at : {10u * 1024, 150u * 1024, 250u * 1024}) {
    const Bytes dib = BareDib();
    std::copy(dib.begin(), dib.end(), data.begin() + static_cast<std::ptrdiff_t>(at));
  }
  ScanRun run;
  run.host.interval = 1024;
  bool cut = false;
  run.host.onKeepResponsive = [&] {
    if (!cut && run.ctx.Position > 20 * 1024) {
      fs::resize_file(run.input, 100 * 1024);
      cut = true;
    }
  };
  Scan(run, data);
  EXPECT_TRUE(cut);
  ASSERT_EQ(run.host.outputs.size(), 1u);
  EXPECT_EQ(run.host.outputs[0].offset, 10 * 1024);
  EXPECT_EQ(run.ctx.Position, run.ctx.FileSize);
  EXPECT_EQ(run.ctx.Flags, 0u);
}

TEST(Faults, InputThatGrowsDuringTheScan) {
  Bytes data = Filler(2000);
  const Bytes dib = BareDib();
  std::copy(dib.begin(), dib.end(), data.begin() + 100);
  ScanRun run;
  run.host.interval = 1;
  bool grown = false;
  run.host.onKeepResponsive = [&] {
    if (grown) return;
    std::FILE* f = std::fopen(run.input.c_str(), "ab");
    std::fwrite(dib.data(), 1, dib.size(), f);
    std::fclose(f);
    grown = true;
  };
  Scan(run, data);
  ASSERT_EQ(run.host.outputs.size(), 1u);
  EXPECT_EQ(run.ctx.FileSize, 2000);
  EXPECT_EQ(run.ctx.Position, 2000);
}

// One real object of each kind, embedded in filler.
const char* const kSamples[] = {"bmp/rgb24.bmp",
                                "riff/tone.wav",
                                "riff/clip.avi",
                                "jpeg/plasma.jpg",
                                "mp3/cbr128_44k_id3v1.mp3",
                                "png/plasma.png",
                                "gif/animated.gif",
                                "ogg/tone.ogg",
                                "mov/testsrc.mov"};

TEST(Faults, CloseInsideEveryCopyLoopStopsAllStreamWork) {
  for (const char* sample : kSamples) {
    SCOPED_TRACE(sample);
    Bytes data = Filler(1000);
    Append(data, ReadTestData(sample));
    Append(data, Filler(1000, 2));
    Append(data, ReadTestData(sample));
    ScanRun run;
    run.host.interval = 1;
    int callsWhileCopying = 0;
    std::string partial;
    std::uintmax_t sizeAtClose = 0;
    run.host.onKeepResponsive = [&] {
      if (!(run.ctx.Flags & Flag::OutputOpen) || ++callsWhileCopying < 2) return;
      partial = run.ctx.OutName;
      CloseStreams(run.ctx);
      sizeAtClose = fs::file_size(partial);
    };
    Scan(run, data);
    ASSERT_FALSE(partial.empty()) << "no copy loop called KeepResponsive twice";
    EXPECT_EQ(run.ctx.Flags, 0u);
    EXPECT_FALSE(run.ctx.InFile.IsOpen());
    EXPECT_FALSE(run.ctx.OutFile.IsOpen());
    EXPECT_TRUE(run.host.outputs.empty());
    EXPECT_GT(sizeAtClose, 0u);
    EXPECT_EQ(fs::file_size(partial), sizeAtClose);
    EXPECT_EQ(callsWhileCopying, 2);  // no KeepResponsive call after the close
    int outputsOnDisk = 0;
    for (const auto& entry : fs::directory_iterator(run.dir.path())) {
      outputsOnDisk += entry.path().filename().string().rfind("ANT", 0) == 0;
    }
    EXPECT_EQ(outputsOnDisk, 1);
  }
}

}  // namespace
}  // namespace sorvend::test
