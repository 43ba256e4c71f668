#include "engine/scan.h"

#include <gtest/gtest.h>

#include "engine/carver.h"
#include "tests/support/test_support.h"

namespace sorvend::test {
namespace {

TEST(ScanFile, EmptyInputRunsTheWalkOnce) {
  ScanRun run;
  Scan(run, {});
  EXPECT_EQ(run.ctx.FileSize, 0);
  EXPECT_EQ(run.ctx.Position, 1);
  EXPECT_TRUE(run.host.outputs.empty());
  EXPECT_EQ(run.host.timerEvents, (std::vector<bool>{true, false}));
  EXPECT_EQ(run.host.progress, std::vector<int>{0});
  EXPECT_EQ(run.ctx.Flags, 0u);
}

TEST(ScanFile, LeadBytesAtTheVeryEndAreRejected) {
  // Each lead byte (with the byte a candidate needs next, where there is room) as the last
  // bytes of the input: the checks read past the end and reject.
  const Bytes tails[] = {{0x28},     {0x28, 0x00}, {'G'},        {'G', 'I'},
                         {'O', 'g'}, {'R', 'I'},   {'m', 'd'},   {0x89},
                         {0xFF},     {0xFF, 0xD8}, {0xFF, 0xFB}, {0x28, 0, 0, 0}};
  for (const Bytes& tail : tails) {
    SCOPED_TRACE(::testing::Message() << "tail of " << tail.size() << " from " << int{tail[0]});
    Bytes data = Filler(100);
    Append(data, tail);
    ScanRun run;
    Scan(run, data);
    EXPECT_TRUE(run.host.outputs.empty());
    EXPECT_EQ(run.ctx.Position, static_cast<std::int64_t>(data.size()));
  }
}

TEST(ScanFile, WalkResumesBehindEachObjectAndSkipsWhatIsInside) {
  // Two bitmaps back to back, then one whose pixels hold a third header.
  Bytes data = Filler(10);
  Append(data, BareDib(1));
  Append(data, BareDib(2));
  Bytes outer = BareDib(3);
  const Bytes inner = BareDib(4);
  std::copy(inner.begin(), inner.begin() + 40, outer.begin() + 44);
  Append(data, outer);
  Append(data, Filler(10));
  ScanRun run;
  Scan(run, data);
  ASSERT_EQ(run.host.outputs.size(), 3u);
  EXPECT_EQ(run.host.outputs[0].offset, 10);
  EXPECT_EQ(run.host.outputs[1].offset, 98);
  EXPECT_EQ(run.host.outputs[2].offset, 186);
  EXPECT_EQ(run.Output(2).size(), 102u);
  EXPECT_EQ(run.host.outputs[2].name, run.dir.File("ANT0002.BMP"));
}

TEST(NextOutputName, NumbersWithAtLeastFourDigits) {
  const std::pair<std::int32_t, const char*> cases[] = {{0, "dir/ANT0000.BMP"},
                                                        {7, "dir/ANT0007.BMP"},
                                                        {9999, "dir/ANT9999.BMP"},
                                                        {10000, "dir/ANT10000.BMP"},
                                                        {123456, "dir/ANT123456.BMP"}};
  for (const auto& [count, want] : cases) {
    ScanContext ctx;
    ctx.SourceDir = "dir/";
    ctx.OutExt = ".BMP";
    ctx.OutputCount = count;
    NextOutputName(ctx);
    EXPECT_EQ(ctx.OutName, want);
    EXPECT_EQ(ctx.OutputCount, count + 1);
  }
}

TEST(ScanFile, NumberingRunsOnAcrossFilesUntilTheCallerResetsIt) {
  ScratchDir dir;
  std::filesystem::create_directory(dir.File("a"));
  std::filesystem::create_directory(dir.File("b"));
  Bytes data = Filler(20);
  Append(data, BareDib());
  WriteFile(dir.File("a/one"), data);
  WriteFile(dir.File("b/two"), data);
  RecordingHost host;
  ScanContext ctx;
  ctx.Host = &host;
  ctx.OutputCount = 0;
  ctx.SourceDir = dir.dir() + "a/";
  ScanFile(ctx, dir.File("a/one"));
  ctx.SourceDir = dir.dir() + "b/";
  ScanFile(ctx, dir.File("b/two"));
  // The next batch starts at 0 again and replaces the earlier output.
  ctx.OutputCount = 0;
  ScanFile(ctx, dir.File("b/two"));
  ASSERT_EQ(host.outputs.size(), 3u);
  EXPECT_EQ(host.outputs[0].name, dir.File("a/ANT0000.BMP"));
  EXPECT_EQ(host.outputs[1].name, dir.File("b/ANT0001.BMP"));
  EXPECT_EQ(host.outputs[2].name, dir.File("b/ANT0000.BMP"));
  EXPECT_TRUE(std::filesystem::exists(dir.File("b/ANT0000.BMP")));
}

TEST(ScanFile, SwitchesAreAskedAtEachLeadByte) {
  // Three bitmaps; the switch flips once the walk has passed the first one.
  Bytes data = Filler(100);
  for (int i = 0; i < 3; ++i) {
    Append(data, BareDib(static_cast<std::uint8_t>(i + 1)));
    Append(data, Filler(100, static_cast<std::uint8_t>(i + 5)));
  }
  for (bool startTicked : {true, false}) {
    SCOPED_TRACE(startTicked ? "unticked during the scan" : "ticked during the scan");
    ScanRun run;
    run.host.interval = 1;  // a real KeepResponsive call after every byte
    run.host.ticked[static_cast<int>(Kind::Bmp)] = startTicked;
    run.host.onKeepResponsive = [&] {
      if (run.ctx.Position == 250) run.host.ticked[static_cast<int>(Kind::Bmp)] = !startTicked;
    };
    Scan(run, data);
    EXPECT_EQ(run.host.outputs.size(), startTicked ? 1u : 2u);
  }
}

TEST(ScanFile, CloseDuringACopyStopsEverythingAndKeepsThePartialOutput) {
  Bytes data = Filler(30);
  Append(data, BareDib());
  Append(data, BareDib(2));
  ScanRun run;
  run.host.interval = 1;
  int calls = 0;
  run.host.onKeepResponsive = [&] {
    ++calls;
    if (run.ctx.Flags & Flag::OutputOpen && run.ctx.Position == 30 + 40 + 20) {
      CloseStreams(run.ctx);
    }
  };
  Scan(run, data);
  EXPECT_EQ(run.ctx.Flags, 0u);
  EXPECT_TRUE(run.host.outputs.empty());  // closed by the front end, not finished
  EXPECT_EQ(ReadFile(run.dir.File("ANT0000.BMP")).size(), 54u + 20u);
  EXPECT_FALSE(std::filesystem::exists(run.dir.File("ANT0001.BMP")));
  EXPECT_EQ(run.host.timerEvents, (std::vector<bool>{true, false}));
  EXPECT_TRUE(run.host.progress.empty());
  const int callsAtStop = calls;
  EXPECT_EQ(callsAtStop, 30 + 1 + 20);  // the walk up to the lead byte, then 20 copied bytes
}

// A thorough object goes behind its rebuilt header in pieces, file to file on Linux (at least
// 1 MiB each) and through the read buffer elsewhere; a close between pieces stops the copy
// there and keeps what was copied.
TEST(ScanFile, ThoroughCopyGoesInPiecesAndStopsBetweenThem) {
#if defined(__linux__)
  constexpr std::size_t kPiece = std::size_t{1} << 20;
#else
  constexpr std::size_t kPiece = 1;
#endif
  const Bytes dib = BareDib(1024, 1024);  // 3 MiB of pixels
  const Bytes data = Join({Filler(4097), dib, Filler(33)});
  for (const int closeAt : {0, 1, 2}) {
    SCOPED_TRACE(closeAt);
    ScanRun run;
    run.CountCopyCalls(closeAt);
    ScanThorough(run, {Kind::Bmp}, data);
    const Bytes out = ReadFile(run.dir.File("ANT0000.BMP"));
    const std::size_t copied = closeAt == 0 ? dib.size() : closeAt * kPiece;
    ASSERT_EQ(out.size(), 14 + copied);
    EXPECT_EQ(out[0], 'B');
    EXPECT_EQ(Slice(out, 14, copied), Slice(dib, 0, copied));
    EXPECT_EQ(run.host.outputs.size(), closeAt == 0 ? 1u : 0u);
  }
}

TEST(ScanFile, OutputNamedLikeTheInputIsPassedOver) {
  ScratchDir dir;
  Bytes data = Filler(20);
  Append(data, BareDib());
  Append(data, Filler(20));
  const std::string input = dir.File("ANT0000.BMP");
  WriteFile(input, data);
  RecordingHost host;
  ScanContext ctx;
  ctx.Host = &host;
  ctx.SourceDir = dir.dir() + "./";  // another spelling of the same folder
  ScanFile(ctx, input);
  ASSERT_EQ(host.outputs.size(), 1u);
  EXPECT_EQ(host.outputs[0].name, dir.dir() + "./ANT0001.BMP");
  EXPECT_EQ(ReadFile(input), data);
}

TEST(ScanFile, DryRunNamesOutputsButWritesNone) {
  Bytes data = Filler(20);
  Append(data, BareDib());
  ScanRun run;
  run.ctx.DryRun = true;
  Scan(run, data);
  ASSERT_EQ(run.host.outputs.size(), 1u);
  EXPECT_EQ(run.host.outputs[0].size, 102);
  EXPECT_FALSE(std::filesystem::exists(run.host.outputs[0].name));
}

// Objects placed beyond 2 GiB and 4 GiB in a sparse file are found at their 64-bit offsets.
TEST(ScanFile, InputsBeyond4GiB) {
  ScratchDir dir;
  const std::string input = dir.File("big.img");
  const std::int64_t offsets[] = {(std::int64_t{1} << 31) + 12345, (std::int64_t{1} << 32) + 999};
  WriteSparseFile(input,
                  {{offsets[0], BareDib()}, {offsets[1], BareDib()}, {offsets[1] + 5000, {'x'}}});
  RecordingHost host;
  ScanContext ctx;
  ctx.Host = &host;
  ctx.DryRun = true;
  ScanFile(ctx, input);
  ASSERT_EQ(host.outputs.size(), 2u);
  EXPECT_EQ(host.outputs[0].offset, offsets[0]);
  EXPECT_EQ(host.outputs[1].offset, offsets[1]);
  EXPECT_EQ(ctx.FileSize, offsets[1] + 5001);
  EXPECT_EQ(ctx.Position, ctx.FileSize);
}

}  // namespace
}  // namespace sorvend::test
