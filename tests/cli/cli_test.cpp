// sorvend-cli as a process: options, listings and exit codes.
#include <gtest/gtest.h>

#include "tests/cli/cli_run.h"

namespace sorvend::test {
namespace {

TEST(Cli, UsageErrorsExitWith2AndAHint) {
  ScratchDir dir;
  const std::vector<std::vector<std::string>> cases = {
      {},
      {"-k", "bmp,tiff", "x"},
      {"-k"},
      {"--kinds="},
      {"--frobnicate", "x"},
      {"-o"},
      {"-n=1", "x"},
      {"-k", "png,mid", "--classic", "x"},
  };
  for (const auto& args : cases) {
    SCOPED_TRACE(::testing::Message() << args.size() << " args");
    const Result r = RunCli(args, dir);
    EXPECT_EQ(r.status, 2);
    EXPECT_TRUE(r.out.empty());
    EXPECT_NE(r.err.find("--help"), std::string::npos) << r.err;
  }
}

TEST(Cli, HelpAndVersion) {
  ScratchDir dir;
  Result help = RunCli({"--help"}, dir);
  EXPECT_EQ(help.status, 0);
  EXPECT_NE(help.out.find("Usage: sorvend-cli"), std::string::npos);
  Result version = RunCli({"--version"}, dir);
  EXPECT_EQ(version.status, 0);
  EXPECT_EQ(version.out.rfind("sorvend-cli ", 0), 0u);
}

TEST(Cli, ListsEachInputAndItsOutputsBesideIt) {
  ScratchDir dir;
  Bytes data = WithDib(10);
  Append(data, WithDib(20, 2));
  WriteFile(dir.File("a.bin"), data);
  const Result r = RunCli({"--classic", dir.File("a.bin")}, dir);
  EXPECT_EQ(r.status, 0) << r.err;
  ASSERT_EQ(r.lines.size(), 3u) << r.out;
  EXPECT_EQ(r.lines[0], "( 1/ 1) a.bin");
  EXPECT_EQ(r.lines[1], "  " + dir.File("ANT0000.BMP") + "  offset 10  size 102");
  EXPECT_EQ(r.lines[2], "  " + dir.File("ANT0001.BMP") + "  offset 118  size 102");
  EXPECT_EQ(ReadFile(dir.File("ANT0001.BMP")).size(), 102u);
  EXPECT_EQ(ReadFile(dir.File("a.bin")), data);
}

TEST(Cli, KindsSelectWhatIsCarved) {
  ScratchDir dir;
  WriteFile(dir.File("a.bin"), WithDib(10));
  const std::pair<const char*, std::size_t> cases[] = {
      {"BMP", 1}, {"wav,Bmp", 1}, {"wav,jpg,png", 0}, {"bmp,bmp", 1}};
  for (const auto& [kinds, want] : cases) {
    SCOPED_TRACE(kinds);
    const Result r = RunCli({"--classic", "-n", "-k", kinds, dir.File("a.bin")}, dir);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.lines.size(), 1 + want);
  }
}

TEST(Cli, BatchNumbersAcrossInputsAndReportsFailures) {
  ScratchDir dir;
  WriteFile(dir.File("one"), WithDib(5));
  WriteFile(dir.File("three"), WithDib(7));
  std::filesystem::create_directory(dir.File("folder"));
  const std::string out = dir.File("out/deeper");
  const Result r = RunCli({"--classic", "-o", out, dir.File("one"), dir.File("missing"),
                           dir.File("folder"), dir.File("three")},
                          dir);
  EXPECT_EQ(r.status, 1);
  const std::vector<std::string> want = {
      "( 1/ 4) one",     "  " + out + "/ANT0000.BMP  offset 5  size 102",
      "( 2/ 4) missing", "       オープンに失敗しました｡",
      "( 3/ 4) folder",  "       オープンに失敗しました｡",
      "( 4/ 4) three",   "  " + out + "/ANT0001.BMP  offset 7  size 102",
  };
  EXPECT_EQ(r.lines, want);
  EXPECT_NE(r.err.find("missing"), std::string::npos);
  EXPECT_NE(r.err.find("is a folder"), std::string::npos);
  EXPECT_TRUE(std::filesystem::exists(out + "/ANT0001.BMP"));
}

TEST(Cli, OutputThatCannotBeCreatedIsSkippedAndReported) {
  ScratchDir dir;
  Bytes data = WithDib(5);
  Append(data, WithDib(300, 3));
  WriteFile(dir.File("a.bin"), data);
  std::filesystem::create_directory(dir.File("ANT0000.BMP"));
  const Result r = RunCli({"--classic", "-q", dir.File("a.bin")}, dir);
  EXPECT_EQ(r.status, 1);
  EXPECT_TRUE(r.out.empty());
  EXPECT_NE(r.err.find("cannot write " + dir.File("ANT0000.BMP")), std::string::npos) << r.err;
  EXPECT_TRUE(std::filesystem::exists(dir.File("ANT0001.BMP")));
}

// Names planted in the output folder under the output's name: a link or a hard link is replaced
// by the output, a link to the input is passed over, and nothing outside the folder changes.
TEST(Cli, OutputsAreNeverWrittenThroughLinks) {
  struct Case {
    const char* what;
    const char* target;  // under the scratch folder
    bool hard;
    const char* output;  // where the PNG comes out
  };
  const Case cases[] = {
      {"link to a file", "elsewhere/precious", false, "out/ANT0000.PNG"},
      {"link to a missing file", "elsewhere/missing", false, "out/ANT0000.PNG"},
      {"link to a folder", "elsewhere/folder", false, "out/ANT0000.PNG"},
      {"hard link to a file", "elsewhere/precious", true, "out/ANT0000.PNG"},
      {"link to the input", "a.png", false, "out/ANT0001.PNG"},
  };
  const Bytes png = ReadTestData("png/gradient.png");
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    ScratchDir dir;
    WriteFile(dir.File("a.png"), png);
    std::filesystem::create_directories(dir.File("elsewhere/folder"));
    WriteText(dir.File("elsewhere/precious"), "keep me");
    std::filesystem::create_directory(dir.File("out"));
    if (c.hard) {
      std::filesystem::create_hard_link(dir.File(c.target), dir.File("out/ANT0000.PNG"));
    } else {
      std::filesystem::create_symlink(dir.File(c.target), dir.File("out/ANT0000.PNG"));
    }
    const auto before = TreeSnapshot(dir.File("elsewhere"));
    const Result r = RunCli({"--classic", "-q", "-o", dir.File("out"), dir.File("a.png")}, dir);
    EXPECT_EQ(r.status, 0) << r.err;
    ExpectFileOfItsOwn(dir.File(c.output), png);
    EXPECT_EQ(TreeSnapshot(dir.File("elsewhere")), before);
    EXPECT_EQ(ReadFile(dir.File("a.png")), png);
  }
}

// A full disk, made with a file size limit (which stops writes even for root): the object that
// does not fit is reported, the scan goes on with the next one, the input stays as it was.
TEST(Cli, FullDiskFailsOneOutputAndTheScanGoesOn) {
  ScratchDir dir;
  Bytes data = WithDib(10);
  Append(data, BareDib(100, 100, 4));  // 30000 pixel bytes
  Append(data, WithDib(10, 5));
  WriteFile(dir.File("a.bin"), data);
  const Result r = RunCli({"--classic", "-q", "-o", dir.File("out"), dir.File("a.bin")}, dir,
                          "trap '' XFSZ; ulimit -f 8; ");
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "sorvend-cli: cannot write " + dir.File("out/ANT0001.BMP") + "\n");
  EXPECT_EQ(ReadFile(dir.File("out/ANT0000.BMP")).size(), 102u);
  EXPECT_EQ(ReadFile(dir.File("out/ANT0002.BMP")).size(), 102u);
  EXPECT_EQ(ReadFile(dir.File("a.bin")), data);
}

TEST(Cli, DryRunWritesNothing) {
  ScratchDir dir;
  WriteFile(dir.File("a.bin"), WithDib(10));
  const Result r = RunCli({"--classic", "-n", "-o", dir.File("out"), dir.File("a.bin")}, dir);
  EXPECT_EQ(r.status, 0);
  ASSERT_EQ(r.lines.size(), 2u);
  EXPECT_NE(r.lines[1].find("ANT0000.BMP  offset 10  size 102"), std::string::npos);
  EXPECT_FALSE(std::filesystem::exists(dir.File("out/ANT0000.BMP")));
}

TEST(Cli, JsonLines) {
  ScratchDir dir;
  WriteFile(dir.File("a \"b\".bin"), WithDib(10));
  const Result r = RunCli(
      {"--classic", "--json", "-o", dir.File("o"), dir.File("a \"b\".bin"), dir.File("nope")}, dir);
  EXPECT_EQ(r.status, 1);
  ASSERT_EQ(r.lines.size(), 2u) << r.out;
  std::string input = dir.File("a \\\"b\\\".bin");
  EXPECT_EQ(r.lines[0], "{\"input\":\"" + input + "\",\"output\":\"" + dir.File("o") +
                            "/ANT0000.BMP\",\"kind\":\"BMP\",\"offset\":10,\"size\":102}");
  EXPECT_EQ(r.lines[1].rfind("{\"input\":\"" + dir.File("nope") + "\",\"error\":\"", 0), 0u);
}

// Offsets past 2 GiB and 4 GiB are listed as they are, in text and JSON.
TEST(Cli, OffsetsBeyond4GiB) {
  ScratchDir dir;
  const std::string input = dir.File("big.img");
  const std::int64_t offsets[] = {(std::int64_t{1} << 31) + 7, (std::int64_t{1} << 32) + 3};
  WriteSparseFile(input, {{offsets[0], WithDib(0)}, {offsets[1], WithDib(0)}});
  const Result r = RunCli({"--classic", "-n", "--json", input}, dir);
  EXPECT_EQ(r.status, 0);
  ASSERT_EQ(r.lines.size(), 2u);
  for (int i = 0; i < 2; ++i) {
    EXPECT_NE(r.lines[i].find("\"offset\":" + std::to_string(offsets[i]) + ","), std::string::npos)
        << r.lines[i];
  }
}

TEST(Cli, ThoroughIsTheDefaultAndMarksCutOutputs) {
  ScratchDir dir;
  const Bytes png = ReadTestData("png/gradient.png");
  // The image loses its end chunk: thorough writes all but that and marks it cut.
  WriteFile(dir.File("a.bin"), Join({Filler(3), Slice(png, 0, png.size() - 12)}));
  WriteFile(dir.File("b.bin"), png);
  const Result text = RunCli({"-n", dir.File("a.bin")}, dir);
  EXPECT_EQ(text.status, 0) << text.err;
  EXPECT_NE(
      text.out.find("ANT0000.PNG  offset 3  size " + std::to_string(png.size() - 12) + "  cut\n"),
      std::string::npos)
      << text.out;
  const Result json = RunCli({"-n", "--json", dir.File("a.bin"), dir.File("b.bin")}, dir);
  const std::vector<std::string>& lines = json.lines;
  ASSERT_EQ(lines.size(), 2u) << json.out;
  EXPECT_NE(lines[0].find(",\"cut\":true}"), std::string::npos) << lines[0];
  EXPECT_EQ(lines[1].find("cut"), std::string::npos) << lines[1];
  // Classic copies the same image up to the end of the input and knows no cuts.
  const Result classic = RunCli({"--classic", "-n", "--json", dir.File("a.bin")}, dir);
  EXPECT_EQ(classic.out.find("cut"), std::string::npos) << classic.out;
}

TEST(Cli, NamingAThoroughKindWithClassicIsAUsageErrorThatSaysSo) {
  ScratchDir dir;
  const Result r = RunCli({"--classic", "-k", "png,flac", dir.File("x")}, dir);
  EXPECT_EQ(r.status, 2);
  EXPECT_NE(r.err.find("'flac' exists only in thorough carving"), std::string::npos) << r.err;
}

}  // namespace
}  // namespace sorvend::test
