#include "engine/batch.h"

#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <functional>
#include <optional>

#include "engine/scan.h"
#include "tests/support/test_support.h"

namespace sorvend::test {
namespace {

namespace fs = std::filesystem;

// Lays out `paths` under `root`: a path ending in "/" is a folder, any other an empty file.
void MakeTree(const fs::path& root, const std::vector<std::string>& paths) {
  for (const std::string& p : paths) {
    if (p.ends_with('/')) {
      fs::create_directories(root / p);
    } else {
      fs::create_directories((root / p).parent_path());
      WriteFile((root / p).string(), {});
    }
  }
}

// The listing of `folder` with `root` + "/" taken off each path; a folder that could not be
// read shows as "!" and its path.
std::vector<std::string> Listing(const std::string& folder, const std::string& root,
                                 const std::vector<std::string>& skip = {}) {
  std::vector<std::string> shown;
  for (const ListedPath& p : ListFilesRecursively(folder, skip)) {
    std::string path =
        !root.empty() && p.path.starts_with(root + "/") ? p.path.substr(root.size() + 1) : p.path;
    shown.push_back(p.error ? "!" + path : path);
  }
  return shown;
}

// Runs `listing` in a child process, so that it may give up privileges or change its mounts
// without touching this one, and returns its lines; nullopt when the child could not set up
// (`listing` returned false).
std::optional<std::vector<std::string>> ListInChild(
    const std::function<bool(std::vector<std::string>&)>& listing) {
  int pipeFds[2];
  if (::pipe(pipeFds) != 0) return std::nullopt;
  const pid_t pid = ::fork();
  if (pid == 0) {
    ::close(pipeFds[0]);
    std::vector<std::string> lines;
    if (!listing(lines)) ::_exit(77);
    std::string text;
    for (const std::string& line : lines) text += line + "\n";
    const bool written =
        ::write(pipeFds[1], text.data(), text.size()) == static_cast<ssize_t>(text.size());
    ::_exit(written ? 0 : 1);
  }
  ::close(pipeFds[1]);
  std::string text;
  char buf[4096];
  for (ssize_t n; (n = ::read(pipeFds[0], buf, sizeof buf)) > 0;) text.append(buf, n);
  ::close(pipeFds[0]);
  int status = 0;
  ::waitpid(pid, &status, 0);
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) return std::nullopt;
  std::vector<std::string> lines;
  for (std::size_t start = 0, end; (end = text.find('\n', start)) != std::string::npos;
       start = end + 1) {
    lines.push_back(text.substr(start, end - start));
  }
  return lines;
}

TEST(ListFilesRecursively, NamesInByteOrderAndEachFolderWhereItsNameStands) {
  ScratchDir dir;
  const std::string root = dir.File("tree");
  // Not UTF-8: "\xff" and a lone "\xe9" (Latin-1 e acute). "a" is a prefix of "a-" and
  // "a.txt", so its files come first.
  MakeTree(root, {"b", "B", "a.txt", "a/z", "a/m/1", "a-", "\xff", "caf\xe9", "caf\xc3\xa9",
                  "empty/", "_", "c/d/e/f/deep"});
  const std::vector<std::string> want = {"B",           "_",       "a/m/1", "a/z",
                                         "a-",          "a.txt",   "b",     "c/d/e/f/deep",
                                         "caf\xc3\xa9", "caf\xe9", "\xff"};
  EXPECT_EQ(Listing(root, root), want);
  // A final "/" on the folder makes no doubled separator.
  EXPECT_EQ(Listing(root + "/", root), want);
}

TEST(ListFilesRecursively, PathsThatAreNoFolderAreKeptAsTheyAre) {
  ScratchDir dir;
  MakeTree(dir.path(), {"file"});
  fs::create_symlink(dir.File("file"), dir.File("link"));
  ::mkfifo(dir.File("fifo").c_str(), 0600);
  for (const std::string& path :
       {dir.File("file"), dir.File("link"), dir.File("fifo"), dir.File("missing"), std::string()}) {
    SCOPED_TRACE(path);
    EXPECT_EQ(Listing(path, ""), std::vector<std::string>{path});
  }
}

TEST(ListFilesRecursively, LinksBelowTheFolderAreNotFollowedNorOtherNonFiles) {
  ScratchDir dir;
  const std::string root = dir.File("tree");
  MakeTree(dir.path(), {"outside/secret", "tree/real/f", "tree/z"});
  fs::create_symlink(dir.File("outside"), root + "/to-outside");
  fs::create_symlink(root + "/real", root + "/to-real");
  fs::create_symlink(root + "/z", root + "/to-file");
  fs::create_symlink(root + "/nowhere", root + "/dangling");
  fs::create_symlink(root, root + "/real/to-root");
  ASSERT_EQ(::mkfifo((root + "/fifo").c_str(), 0600), 0);
  EXPECT_EQ(Listing(root, root), (std::vector<std::string>{"real/f", "z"}));
  // The folder named on its own is walked also when it is reached through a link.
  fs::create_symlink(root, dir.File("tree-link"));
  EXPECT_EQ(Listing(dir.File("tree-link"), dir.File("tree-link")),
            (std::vector<std::string>{"real/f", "z"}));
}

TEST(ListFilesRecursively, SkippedFoldersAreKnownByIdentityNotByName) {
  ScratchDir dir;
  const std::string root = dir.File("tree");
  MakeTree(root, {"a", "out/ANT0000.BMP", "out/deeper/x", "z"});
  fs::create_symlink(root + "/out", dir.File("out-link"));
  const std::vector<std::string> want = {"a", "z"};
  for (const std::string& skip :
       {root + "/out", root + "/./out/", dir.File("out-link"), dir.File("tree/../tree/out")}) {
    SCOPED_TRACE(skip);
    EXPECT_EQ(Listing(root, root, {dir.File("missing"), skip}), want);
  }
  // Skipping the folder itself lists nothing.
  EXPECT_TRUE(Listing(root, root, {root}).empty());
}

TEST(ListFilesRecursively, ThousandsOfEmptyFilesComeInOrder) {
  ScratchDir dir;
  const std::string root = dir.File("tree");
  fs::create_directory(root);
  std::vector<std::string> names(2000);
  for (std::size_t i = 0; i < names.size(); ++i) {
    char name[16];
    std::snprintf(name, sizeof name, "f%05zu", i * 7 % 2000);
    names[i] = name;
    WriteFile(root + "/" + name, {});
  }
  std::sort(names.begin(), names.end());
  EXPECT_EQ(Listing(root, root), names);
}

TEST(ListFilesRecursively, UnreadableFolderIsListedWithItsErrorAndTheWalkGoesOn) {
  ScratchDir dir;
  const std::string root = dir.File("tree");
  MakeTree(root, {"a", "b/hidden", "b2/c", "d"});
  ASSERT_EQ(::chmod((root + "/b").c_str(), 0), 0);
  // Root reads every folder; the listing is made as "nobody" then.
  const auto listing = ListInChild([&](std::vector<std::string>& lines) {
    if (::geteuid() == 0 &&
        (::setgroups(0, nullptr) != 0 || ::setgid(65534) != 0 || ::setuid(65534) != 0)) {
      return false;
    }
    for (const ListedPath& p : ListFilesRecursively(root)) {
      lines.push_back(p.path.substr(root.size() + 1) + (p.error ? " " + p.error.message() : ""));
    }
    return true;
  });
  ::chmod((root + "/b").c_str(), 0700);
  ASSERT_TRUE(listing) << "could not list as another user";
  EXPECT_EQ(*listing, (std::vector<std::string>{"a", "b Permission denied", "b2/c", "d"}));
}

// A folder bound into itself is a loop that only its identity gives away; a folder bound to a
// second place is walked once, where it comes first.
TEST(ListFilesRecursively, BindMountLoopsAndDoublesAreWalkedOnce) {
  ScratchDir dir;
  const std::string root = dir.File("tree");
  MakeTree(root, {"a/f", "loop/", "z/again/", "z/g"});
  const auto listing = ListInChild([&](std::vector<std::string>& lines) {
    // A mount namespace of its own: the mounts end with the child.
    if (::unshare(CLONE_NEWNS) != 0 && ::unshare(CLONE_NEWUSER | CLONE_NEWNS) != 0) return false;
    if (::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
        ::mount(root.c_str(), (root + "/loop").c_str(), nullptr, MS_BIND, nullptr) != 0 ||
        ::mount((root + "/a").c_str(), (root + "/z/again").c_str(), nullptr, MS_BIND, nullptr) !=
            0) {
      return false;
    }
    lines = Listing(root, root);
    return true;
  });
  if (!listing) GTEST_SKIP() << "bind mounts are not allowed here";
  EXPECT_EQ(*listing, (std::vector<std::string>{"a/f", "z/g"}));
}

// The list is made before the scan: a file that goes in between fails to open, and the files
// after it are scanned as usual.
TEST(ListFilesRecursively, FileThatVanishesBeforeItsScanFailsAloneAndTheBatchGoesOn) {
  ScratchDir dir;
  const std::string root = dir.File("tree");
  MakeTree(root, {"a/x"});
  WriteFile(root + "/a/y", BareDib());
  WriteFile(root + "/b", BareDib(2));
  const std::vector<ListedPath> listed = ListFilesRecursively(root);
  ASSERT_EQ(listed.size(), 3u);
  fs::remove(root + "/a/x");

  RecordingHost host;
  ScanContext ctx;
  ctx.Host = &host;
  for (const ListedPath& p : listed) {
    ctx.SourceDir = FolderPart(p.path);
    host.log.push_back(NamePart(p.path));
    ScanFile(ctx, p.path);
  }
  EXPECT_EQ(host.log, (std::vector<std::string>{"x", kOpenFailedLine, "y", "b"}));
  ASSERT_EQ(host.outputs.size(), 2u);
  EXPECT_EQ(host.outputs[0].name, root + "/a/ANT0000.BMP");
  EXPECT_EQ(host.outputs[1].name, root + "/ANT0001.BMP");
}

}  // namespace
}  // namespace sorvend::test
