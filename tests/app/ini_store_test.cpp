#include "app/ini_store.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>

#include <filesystem>
#include <string>
#include <vector>

#include "tests/support/test_support.h"

namespace sorvend::test {
namespace {

namespace fs = std::filesystem;

std::vector<std::string> Entries(const fs::path& folder) {
  std::vector<std::string> names;
  for (const auto& entry : fs::directory_iterator(folder)) {
    names.push_back(entry.path().filename().string());
  }
  return names;
}

struct ReadCase {
  const char* content;
  const char* section;
  const char* key;
  const char* expected;  // "<none>" for the fallback
};

TEST(IniStoreRead, FindsValuesAsTheProfileFormatHasThem) {
  const ReadCase cases[] = {
      {"[Sorvend]\nBMP=0\n", "Sorvend", "BMP", "0"},
      {"[sorVEND]\nbmp=0\n", "Sorvend", "BMP", "0"},
      {"  [ Sorvend ]  \n  BMP \t=  7  \n", "Sorvend", "BMP", "7"},
      {"[Sorvend]\r\nBMP=5\r\nAVI=6\r\n", "Sorvend", "BMP", "5"},
      {"[Sorvend]\nBMP=1\nBMP=2\n", "Sorvend", "BMP", "1"},
      {"[Sorvend]\nBMP=1\n[Sorvend]\nAVI=2\n", "Sorvend", "AVI", "<none>"},
      {"[Sorvend]\nBMP=\n", "Sorvend", "BMP", ""},
      {"[Sorvend]\nBMP=a=b\n", "Sorvend", "BMP", "a=b"},
      {"[Sorvend]\nBMP=4", "Sorvend", "BMP", "4"},
      {"\xEF\xBB\xBF[Sorvend]\nBMP=3\n", "Sorvend", "BMP", "3"},
      {"BMP=1\n[Sorvend]\nAVI=1\n", "Sorvend", "BMP", "<none>"},
      {"[Other]\nBMP=0\n[Sorvend]\nAVI=1\n", "Sorvend", "BMP", "<none>"},
      {"[Sorvend]\n;BMP=0\n#BMP=0\n", "Sorvend", "BMP", "<none>"},
      {"[Sorvend]\nBMPX=0\n", "Sorvend", "BMP", "<none>"},
      {"[Sorvend\nBMP=0\n", "Sorvend", "BMP", "<none>"},
      {"", "Sorvend", "BMP", "<none>"},
      {"[設定]\n名前=値\n", "設定", "名前", "値"},
  };
  ScratchDir dir;
  const std::string path = dir.File("s.ini");
  for (const ReadCase& c : cases) {
    SCOPED_TRACE(c.content);
    WriteText(path, c.content);
    EXPECT_EQ(ReadIniValue(path, c.section, c.key, "<none>"), c.expected);
  }
}

TEST(IniStoreRead, MissingFileOrFolderGivesTheFallback) {
  ScratchDir dir;
  EXPECT_EQ(ReadIniValue(dir.File("none.ini"), "S", "K", "fb"), "fb");
  EXPECT_EQ(ReadIniValue(dir.dir(), "S", "K", "fb"), "fb");
}

TEST(IniStoreRead, LongValuesAreCut) {
  ScratchDir dir;
  const std::string path = dir.File("s.ini");
  WriteText(path, "[S]\nK=" + std::string(3000, 'v') + "\n");
  EXPECT_EQ(ReadIniValue(path, "S", "K", ""), std::string(kIniValueMax, 'v'));
}

struct WriteCase {
  const char* name;
  const char* before;
  const char* key;
  const char* value;
  const char* after;
};

TEST(IniStoreWrite, ChangesOnlyWhatItMust) {
  const WriteCase cases[] = {
      {"empty file", "", "BMP", "1", "[Sorvend]\nBMP=1\n"},
      {"value replaced, spacing and spelling kept", "[sorvend]\n  bmp =  1  \nAVI=1\n", "BMP", "0",
       "[sorvend]\n  bmp =  0\nAVI=1\n"},
      {"empty value replaced", "[Sorvend]\nBMP=\n", "BMP", "1", "[Sorvend]\nBMP=1\n"},
      {"key added behind the section's last key",
       "; top\n[Sorvend]\nBMP=1\n\n; about Other\n[Other]\nAVI=5\n", "AVI", "0",
       "; top\n[Sorvend]\nBMP=1\nAVI=0\n\n; about Other\n[Other]\nAVI=5\n"},
      {"key added to an empty section", "[Sorvend]\n[Other]\nX=1\n", "BMP", "1",
       "[Sorvend]\nBMP=1\n[Other]\nX=1\n"},
      {"same key in another section untouched", "[Other]\nBMP=7\n[Sorvend]\nBMP=1\n", "BMP", "0",
       "[Other]\nBMP=7\n[Sorvend]\nBMP=0\n"},
      {"section appended", "[Other]\nBMP=7\n", "BMP", "0", "[Other]\nBMP=7\n[Sorvend]\nBMP=0\n"},
      {"CRLF kept", "[Other]\r\nA=1\r\n", "BMP", "0", "[Other]\r\nA=1\r\n[Sorvend]\r\nBMP=0\r\n"},
      {"CRLF kept in an added key", "[Sorvend]\r\nA=1\r\n\r\n", "BMP", "0",
       "[Sorvend]\r\nA=1\r\nBMP=0\r\n\r\n"},
      {"no final line break, key replaced", "[Sorvend]\nBMP=1", "BMP", "0", "[Sorvend]\nBMP=0"},
      {"no final line break, key added", "[Sorvend]\nBMP=1", "AVI", "0", "[Sorvend]\nBMP=1\nAVI=0"},
      {"no final line break, section added", "[Other]\nA=1", "BMP", "0",
       "[Other]\nA=1\n[Sorvend]\nBMP=0"},
      {"byte order mark kept", "\xEF\xBB\xBF[Sorvend]\nBMP=1\n", "BMP", "0",
       "\xEF\xBB\xBF[Sorvend]\nBMP=0\n"},
      {"other bytes kept", "x\xFF\x01 junk\n[Sorvend]\nBMP=1 ; not a comment\n\t\n", "BMP", "0",
       "x\xFF\x01 junk\n[Sorvend]\nBMP=0\n\t\n"},
  };
  ScratchDir dir;
  const std::string path = dir.File("s.ini");
  for (const WriteCase& c : cases) {
    SCOPED_TRACE(c.name);
    WriteText(path, c.before);
    ASSERT_TRUE(WriteIniValue(path, "Sorvend", c.key, c.value));
    EXPECT_EQ(ReadText(path), c.after);
    EXPECT_EQ(Entries(dir.path()).size(), 1u) << "a temporary file was left";
  }
}

TEST(IniStoreWrite, CreatesTheFileAndItsFolder) {
  ScratchDir dir;
  const std::string path = (dir.path() / "a" / "b" / "s.ini").string();
  ASSERT_TRUE(WriteIniValue(path, "Sorvend", "BMP", "1"));
  ASSERT_TRUE(WriteIniValue(path, "Sorvend", "AVI", "0"));
  EXPECT_EQ(ReadText(path), "[Sorvend]\nBMP=1\nAVI=0\n");
}

TEST(IniStoreWrite, JapaneseNamesInAnyEncoding) {
  ScratchDir dir;
  const std::string utf8 = (dir.path() / "設定" / "ソ表.ini").string();
  // The same name in Shift-JIS: the second byte of each character is 0x5C.
  const std::string shiftJis = dir.dir() + "\x83\x5C\x95\x5C.ini";
  for (const std::string& path : {utf8, shiftJis}) {
    SCOPED_TRACE(path);
    ASSERT_TRUE(WriteIniValue(path, "Sorvend", "BMP", "0"));
    EXPECT_EQ(ReadIniValue(path, "Sorvend", "BMP", ""), "0");
  }
}

TEST(IniStoreWrite, UpdatesTheFileBehindASymbolicLink) {
  ScratchDir dir;
  WriteText(dir.File("real.ini"), "[Sorvend]\nBMP=1\n");
  fs::create_symlink("real.ini", dir.path() / "link.ini");
  ASSERT_TRUE(WriteIniValue(dir.File("link.ini"), "Sorvend", "BMP", "0"));
  EXPECT_TRUE(fs::is_symlink(dir.path() / "link.ini"));
  EXPECT_EQ(ReadText(dir.File("real.ini")), "[Sorvend]\nBMP=0\n");
}

TEST(IniStoreWrite, RefusesLineBreaksThatWouldAddLines) {
  ScratchDir dir;
  const std::string path = dir.File("s.ini");
  WriteText(path, "[Sorvend]\nBMP=1\n");
  EXPECT_FALSE(WriteIniValue(path, "Sorvend", "BMP", "0\nAVI=0"));
  EXPECT_FALSE(WriteIniValue(path, "Sorvend", "B\rMP", "0"));
  EXPECT_FALSE(WriteIniValue(path, "Sor\nvend", "BMP", "0"));
  EXPECT_EQ(ReadText(path), "[Sorvend]\nBMP=1\n");
}

TEST(IniStoreWrite, FailsWhereNoFileCanBe) {
  ScratchDir dir;
  // A folder standing where the file should be.
  fs::create_directory(dir.path() / "folder.ini");
  EXPECT_FALSE(WriteIniValue(dir.File("folder.ini"), "S", "K", "1"));
  EXPECT_TRUE(fs::is_empty(dir.path() / "folder.ini"));
  // A regular file standing where its folder should be.
  WriteText(dir.File("file"), "keep");
  EXPECT_FALSE(WriteIniValue(dir.File("file") + "/s.ini", "S", "K", "1"));
  EXPECT_EQ(ReadText(dir.File("file")), "keep");
  EXPECT_EQ(Entries(dir.path()).size(), 2u);
}

// Lowers the limit on the size of files this process writes, as a full disk would.
class FileSizeLimit {
 public:
  explicit FileSizeLimit(rlim_t bytes) {
    getrlimit(RLIMIT_FSIZE, &saved_);
    savedHandler_ = signal(SIGXFSZ, SIG_IGN);  // a write past the limit then fails with EFBIG
    rlimit lowered = saved_;
    lowered.rlim_cur = bytes;
    setrlimit(RLIMIT_FSIZE, &lowered);
  }
  ~FileSizeLimit() {
    setrlimit(RLIMIT_FSIZE, &saved_);
    signal(SIGXFSZ, savedHandler_);
  }

 private:
  rlimit saved_{};
  sighandler_t savedHandler_;
};

TEST(IniStoreWrite, AFullDiskLeavesTheOldFileWhole) {
  ScratchDir dir;
  const std::string path = dir.File("s.ini");
  const std::string old = "; comment\n[Sorvend]\nBMP=1\n";
  WriteText(path, old);
  {
    FileSizeLimit limit(old.size() + 10);
    EXPECT_FALSE(WriteIniValue(path, "Sorvend", "BMP", std::string(100, '7')));
  }
  EXPECT_EQ(ReadText(path), old);
  EXPECT_EQ(Entries(dir.path()), std::vector<std::string>{"s.ini"});
  // The limit was what failed: without it the same write goes through.
  EXPECT_TRUE(WriteIniValue(path, "Sorvend", "BMP", std::string(100, '7')));
}

}  // namespace
}  // namespace sorvend::test
