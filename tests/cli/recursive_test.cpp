// sorvend-cli -r: folders among the inputs walked into one batch.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>

#include "tests/cli/cli_run.h"

namespace sorvend::test {
namespace {

namespace fs = std::filesystem;

// tree/a.bin, tree/sub/b.bin and tree/sub/deeper/c, each holding one bitmap, and an empty
// folder.
std::string MakeTree(const ScratchDir& dir) {
  const std::string tree = dir.File("tree");
  fs::create_directories(tree + "/sub/deeper");
  fs::create_directories(tree + "/empty");
  WriteFile(tree + "/a.bin", WithDib(3));
  WriteFile(tree + "/sub/b.bin", WithDib(4, 2));
  WriteFile(tree + "/sub/deeper/c", WithDib(5, 3));
  return tree;
}

TEST(CliRecursive, FilesUnderTheFolderJoinTheBatchInOrderWithOutputsBesideEach) {
  ScratchDir dir;
  const std::string tree = MakeTree(dir);
  WriteFile(dir.File("last"), WithDib(6, 4));
  const Result r = RunCli({"--classic", "-r", tree, dir.File("last")}, dir);
  EXPECT_EQ(r.status, 0) << r.err;
  const std::vector<std::string> want = {
      "( 1/ 4) a.bin", "  " + tree + "/ANT0000.BMP  offset 3  size 102",
      "( 2/ 4) b.bin", "  " + tree + "/sub/ANT0001.BMP  offset 4  size 102",
      "( 3/ 4) c",     "  " + tree + "/sub/deeper/ANT0002.BMP  offset 5  size 102",
      "( 4/ 4) last",  "  " + dir.File("ANT0003.BMP") + "  offset 6  size 102",
  };
  EXPECT_EQ(r.lines, want);

  // A later run sees the outputs of this one, which lie in the tree now.
  const Result again = RunCli({"--classic", "-n", "--recursive", tree}, dir);
  EXPECT_EQ(again.lines.at(0), "( 1/ 6) ANT0000.BMP");
}

TEST(CliRecursive, OutputFolderInsideTheTreeIsNeverWalked) {
  ScratchDir dir;
  const std::string tree = MakeTree(dir);
  // Spelled otherwise than it is reached by the walk.
  const std::string out = tree + "/./sub/../out";
  for (int run = 0; run < 2; ++run) {
    SCOPED_TRACE(run);
    const Result r = RunCli({"--classic", "-r", "-o", out, tree}, dir);
    EXPECT_EQ(r.status, 0) << r.err;
    ASSERT_EQ(r.lines.size(), 6u) << r.out;
    EXPECT_EQ(r.lines[0], "( 1/ 3) a.bin");
    EXPECT_EQ(r.lines[5], "  " + out + "/ANT0002.BMP  offset 5  size 102");
  }
  EXPECT_FALSE(fs::exists(tree + "/ANT0000.BMP"));
}

TEST(CliRecursive, WithoutTheOptionAFolderIsAnErrorThatNamesIt) {
  ScratchDir dir;
  const std::string tree = MakeTree(dir);
  const Result r = RunCli({"--classic", "-q", tree}, dir);
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "sorvend-cli: " + tree + ": is a folder (-r scans the files in it)\n");
}

TEST(CliRecursive, ThousandsOfEmptyFilesAndNamesThatAreNotUtf8AreScannedWithoutErrors) {
  ScratchDir dir;
  const std::string tree = dir.File("tree");
  fs::create_directory(tree);
  for (int i = 0; i < 2000; ++i) WriteFile(tree + "/" + std::to_string(10000 + i), {});
  WriteFile(tree + "/\xff\xfe.bin", WithDib(1));
  const Result r = RunCli({"--classic", "--json", "-r", "-n", tree}, dir);
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.err, "");
  ASSERT_EQ(r.lines.size(), 1u);
  EXPECT_EQ(r.lines[0].rfind("{\"input\":\"" + tree + "/\\u00ff\\u00fe.bin\",", 0), 0u)
      << r.lines[0];
}

TEST(CliRecursive, UnreadableSubfolderIsReportedAndTheRestIsScanned) {
  ScratchDir dir;
  const std::string tree = MakeTree(dir);
  ASSERT_EQ(::chmod((tree + "/sub/deeper").c_str(), 0), 0);
  // Root reads every folder: it runs as "nobody" then, writing nothing.
  const std::string runner =
      ::geteuid() == 0 ? "setpriv --reuid=65534 --regid=65534 --clear-groups" : "";
  const Result r = RunCli({"--classic", "-r", "-n", tree}, dir, "", runner);
  ::chmod((tree + "/sub/deeper").c_str(), 0700);
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "sorvend-cli: " + tree + "/sub/deeper: cannot read folder: Permission denied\n");
  ASSERT_EQ(r.lines.size(), 4u) << r.out;
  EXPECT_EQ(r.lines[0], "( 1/ 2) a.bin");
  EXPECT_EQ(r.lines[2], "( 2/ 2) b.bin");
}

}  // namespace
}  // namespace sorvend::test
