// sorvend-cli and unpacking: the path through the containers in the listing and in JSON, the
// switch that turns it off, the limit option and the limit's line on stderr.
#include <gtest/gtest.h>

#include "tests/cli/cli_run.h"

namespace sorvend::test {
namespace {

TEST(CliUnpack, ListingAndJsonNameThePathThroughTheContainers) {
  ScratchDir dir;
  const Bytes png = ReadTestData("png/gradient.png");
  WriteFile(dir.File("a.bin"), Join({Filler(5), ReadTestData("archives/nested.zip"), png}));
  const std::string size = std::to_string(png.size());
  const std::size_t behind = 5 + ReadTestData("archives/nested.zip").size();
  const Result text = RunCli({"-n", "-k", "png", "-o", dir.File("o"), dir.File("a.bin")}, dir);
  EXPECT_EQ(text.status, 0) << text.err;
  ASSERT_EQ(text.lines.size(), 3u) << text.out;
  EXPECT_EQ(text.lines[1], "  " + dir.File("o") + "/ANT0000.PNG  offset 0  size " + size +
                               "  in zip@0x5 \"inner.zip.gz\" / gzip@0x0 \"inner.zip\" / zip@0x0 "
                               "\"gradient.png\"");
  // Top-level outputs' lines stay as they were.
  EXPECT_EQ(text.lines[2], "  " + dir.File("o") + "/ANT0001.PNG  offset " + std::to_string(behind) +
                               "  size " + size);
  const Result json = RunCli({"-n", "--json", "-k", "png", dir.File("a.bin")}, dir);
  ASSERT_EQ(json.lines.size(), 2u) << json.out;
  EXPECT_NE(json.lines[0].find(",\"offset\":0,\"size\":" + size +
                               ",\"within\":[{\"kind\":\"zip\",\"offset\":5,\"entry\":\"inner.zip."
                               "gz\"},{\"kind\":\"gzip\",\"offset\":0,\"entry\":\"inner.zip\"},{"
                               "\"kind\":\"zip\",\"offset\":0,\"entry\":\"gradient.png\"}]}"),
            std::string::npos)
      << json.lines[0];
  EXPECT_EQ(json.lines[1].find("within"), std::string::npos) << json.lines[1];
}

TEST(CliUnpack, NoUnpackAndClassicLeaveContainersClosed) {
  ScratchDir dir;
  WriteFile(dir.File("a.wav.gz"), ReadTestData("archives/lavf.wav.gz"));
  const struct {
    std::vector<std::string> args;
    std::size_t outputs;
  } cases[] = {
      {{"-n", "--json"}, 1},
      {{"-n", "--json", "--no-unpack"}, 0},
      {{"-n", "--json", "--classic"}, 0},
  };
  for (const auto& c : cases) {
    std::vector<std::string> args = c.args;
    args.push_back(dir.File("a.wav.gz"));
    const Result r = RunCli(args, dir);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.lines.size(), c.outputs) << r.out;
  }
}

TEST(CliUnpack, LimitOptionAndItsLine) {
  ScratchDir dir;
  WriteFile(dir.File("a.wav.gz"), ReadTestData("archives/lavf.wav.gz"));
  // 1 KiB of the sound's 1,678 bytes: the WAV comes out cut, and the limit is named once.
  const Result r = RunCli({"-n", "--unpack-limit", "1K", dir.File("a.wav.gz")}, dir);
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.err, "sorvend-cli: " + dir.File("a.wav.gz") +
                       ": decoded-size limit reached at gzip@0x0 \"lavf.wav\"\n");
  ASSERT_EQ(r.lines.size(), 2u) << r.out;
  EXPECT_NE(r.lines[1].find("  cut"), std::string::npos) << r.lines[1];
  for (const char* bad : {"0", "-5", "12X", "M", ""}) {
    SCOPED_TRACE(bad);
    const Result u = RunCli({"--unpack-limit", bad, dir.File("a.wav.gz")}, dir);
    EXPECT_EQ(u.status, 2);
    EXPECT_NE(u.err.find("--unpack-limit"), std::string::npos) << u.err;
  }
}

}  // namespace
}  // namespace sorvend::test
