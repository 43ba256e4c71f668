#include "app/settings.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <climits>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "tests/support/test_support.h"

namespace sorvend::test {
namespace {

namespace fs = std::filesystem;

// The window as the settings see it; records the position calls in their order.
class FakeWindow : public SettingsTarget {
 public:
  explicit FakeWindow(bool tickedAtStart = false) {
    for (bool& t : ticked) t = tickedAtStart;
  }
  bool IsTicked(Kind kind) const override {
    if (onIsTicked) onIsTicked(kind);
    return ticked[static_cast<int>(kind)];
  }
  void SetTicked(Kind kind, bool value) override { ticked[static_cast<int>(kind)] = value; }
  bool Thorough() const override { return thorough; }
  void SetThorough(bool value) override { thorough = value; }
  bool Unpack() const override { return unpack; }
  void SetUnpack(bool value) override { unpack = value; }
  int Left() const override { return left; }
  int Top() const override { return top; }
  void SetLeft(int value) override {
    left = value;
    moves.push_back("left " + std::to_string(value));
  }
  void SetTop(int value) override {
    top = value;
    moves.push_back("top " + std::to_string(value));
  }

  bool ticked[kKindCount];
  // Set at the start so that a load can be seen to clear it.
  bool thorough = true;
  bool unpack = false;
  int left = 0;
  int top = 0;
  std::vector<std::string> moves;
  std::function<void(Kind)> onIsTicked;
};

// Loads a settings file that holds `content` into `window`.
void LoadFrom(FakeWindow& window, const std::string& content) {
  ScratchDir dir;
  const std::string path = dir.File("sorvend.ini");
  WriteText(path, content);
  LoadSettings(window, path);
}

TEST(Settings, FirstRunTicksEverythingInTheThoroughProfileWithoutCreatingTheFile) {
  ScratchDir dir;
  const std::string path = dir.File("sorvend.ini");
  FakeWindow window(false);
  window.thorough = false;
  LoadSettings(window, path);
  for (int i = 0; i < kKindCount; ++i) EXPECT_TRUE(window.ticked[i]) << kKinds[i].name;
  EXPECT_TRUE(window.thorough);
  EXPECT_TRUE(window.moves.empty());
  EXPECT_FALSE(fs::exists(path));
}

// A file saved before the kind menu existed: the ten switches as stored, the new kinds ticked
// and the profile classic.
TEST(Settings, FileWithoutTheNewKeysTicksTheNewKindsAndStaysClassic) {
  FakeWindow window(false);
  LoadFrom(window,
           "[Sorvend]\nForm1Left=5\nForm1Top=6\nBMP=0\nAVI=1\nWAV=0\nANI=1\nJPG=1\nMOV=1\n"
           "PNG=1\nMP3=1\nGIF=1\nOgg=0\n");
  for (int i = 0; i < kKindCount; ++i) {
    const bool cleared = i == static_cast<int>(Kind::Bmp) || i == static_cast<int>(Kind::Wav) ||
                         i == static_cast<int>(Kind::Ogg);
    EXPECT_EQ(window.ticked[i], !cleared) << kKinds[i].name;
  }
  EXPECT_FALSE(window.thorough);
}

// Every kind's key round-trips with both values: each kind is ticked by one bit of its index
// and then by its complement, so that two kinds sharing or swapping a key would show.
TEST(Settings, EveryKindsKeyRoundTrips) {
  ScratchDir dir;
  const std::string path = dir.File("sorvend.ini");
  for (int bit = 0; (1 << bit) < 2 * kKindCount; ++bit) {
    for (const bool flip : {false, true}) {
      SCOPED_TRACE("bit " + std::to_string(bit) + (flip ? " flipped" : ""));
      FakeWindow saved;
      for (int i = 0; i < kKindCount; ++i) saved.ticked[i] = ((i >> bit & 1) != 0) != flip;
      SaveSettings(saved, path);
      const std::string text = ReadText(path);
      FakeWindow loaded(!saved.ticked[0]);
      LoadSettings(loaded, path);
      for (int i = 0; i < kKindCount; ++i) {
        const std::string line = "\n" + std::string(kKinds[i].settingsKey) + "=";
        EXPECT_NE(text.find(line + (saved.ticked[i] ? "1\n" : "0\n")), std::string::npos) << line;
        EXPECT_EQ(loaded.ticked[i], saved.ticked[i]) << kKinds[i].settingsKey;
      }
    }
  }
}

TEST(Settings, SaveWritesEveryKeyInOrderAndLoadReadsThemBack) {
  ScratchDir dir;
  const std::string path = dir.File("sorvend.ini");
  FakeWindow saved;
  saved.left = -3;
  saved.top = 12345;
  for (int i = 0; i < kKindCount; ++i) saved.ticked[i] = i % 3 != 0;  // BMP, ANI, ... IT, ... off
  SaveSettings(saved, path);
  // The keys beyond the ten switches follow "Thorough" in table order.
  std::string newKinds;
  for (int i = kClassicKindCount; i < kKindCount; ++i) {
    newKinds += std::string(kKinds[i].settingsKey) + (saved.ticked[i] ? "=1\n" : "=0\n");
  }
  EXPECT_EQ(ReadText(path),
            "[Sorvend]\nForm1Left=-3\nForm1Top=12345\nBMP=0\nAVI=1\nWAV=1\nANI=0\nJPG=1\nMOV=1\n"
            "PNG=0\nMP3=1\nGIF=1\nOgg=0\nThorough=1\n" +
                newKinds + "Unpack=0\n");

  FakeWindow loaded(true);
  loaded.thorough = false;
  LoadSettings(loaded, path);
  EXPECT_EQ(loaded.moves, (std::vector<std::string>{"left -3", "top 12345"}));
  for (int i = 0; i < kKindCount; ++i) EXPECT_EQ(loaded.ticked[i], saved.ticked[i]) << i;
  EXPECT_TRUE(loaded.thorough);

  // A second close overwrites the values in place.
  saved.left = INT_MIN;
  saved.ticked[0] = true;
  saved.thorough = false;
  SaveSettings(saved, path);
  EXPECT_EQ(ReadText(path),
            "[Sorvend]\nForm1Left=-2147483648\nForm1Top=12345\nBMP=1\nAVI=1\nWAV=1\nANI=0\nJPG=1\n"
            "MOV=1\nPNG=0\nMP3=1\nGIF=1\nOgg=0\nThorough=0\n" +
                newKinds + "Unpack=0\n");
}

// Unpacking is on unless the file says otherwise: on a first start, for a file of an earlier
// version without the key, and for any value but zero.
TEST(Settings, UnpackIsOnUnlessTheFileTurnsItOff) {
  const struct {
    const char* content;
    bool unpack;
  } cases[] = {
      {"[Sorvend]\nThorough=1\n", true}, {"[Sorvend]\nUnpack=1\n", true},
      {"[Sorvend]\nUnpack=0\n", false},  {"[Sorvend]\nUnpack=$0\n", false},
      {"[Sorvend]\nUnpack=2\n", true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.content);
    FakeWindow window;
    window.unpack = !c.unpack;
    LoadFrom(window, c.content);
    EXPECT_EQ(window.unpack, c.unpack);
  }
  ScratchDir dir;
  FakeWindow first;
  LoadSettings(first, dir.File("none.ini"));
  EXPECT_TRUE(first.unpack);
}

TEST(Settings, ParsesEveryIntegerForm) {
  constexpr int kFallback = -10000;
  const struct {
    const char* text;
    int expected;
  } cases[] = {
      {"0x64", 100},
      {"$FF", 255},
      {"  -5", -5},
      {"\t12", 12},
      {"+7", 7},
      {"0007", 7},
      {"-0", 0},
      {"0", 0},
      {"0xFFFFFFFF", -1},
      {"0x80000000", INT_MIN},
      {"X1f", 31},
      {"x1F", 31},
      {"0XaB", 171},
      {"0x000000001", 1},  // leading zeros are not significant digits
      {"0x00000000FFFFFFFF", -1},
      {"2147483647", INT_MAX},
      {"-2147483648", INT_MIN},
      {"000000000000002147483647", INT_MAX},
      {"2147483648", kFallback},
      {"-2147483649", kFallback},
      {"99999999999999999999", kFallback},
      {"0x100000000", kFallback},  // nine significant digits
      {"-0x5", kFallback},
      {"+$5", kFallback},
      {"$-1", kFallback},
      {"12a", kFallback},
      {"1 2", kFallback},
      {"5 ", kFallback},
      {"- 5", kFallback},
      {"0x", kFallback},
      {"$", kFallback},
      {"x", kFallback},
      {"0xG", kFallback},
      {"+", kFallback},
      {"-", kFallback},
      {"", kFallback},
      {"  ", kFallback},
      {"true", kFallback},
      {"1.5", kFallback},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string("\"") + c.text + "\"");
    EXPECT_EQ(ParseSettingInt(c.text, kFallback), c.expected);
  }
}

TEST(Settings, PositionIsAppliedOnlyWhenALeftEdgeIsStored) {
  const struct {
    const char* content;
    std::vector<std::string> moves;
  } cases[] = {
      {"[Sorvend]\nForm1Left=-10000\nForm1Top=300\n", {}},
      {"[Sorvend]\nForm1Top=300\n", {}},
      {"[Sorvend]\nForm1Left=junk\nForm1Top=300\n", {}},
      {"[Sorvend]\nForm1Left=50\n", {"left 50", "top -10000"}},
      {"[Sorvend]\nForm1Left=0x64\nForm1Top=junk\n", {"left 100", "top -10000"}},
      {"[Sorvend]\nForm1Top=-20\nForm1Left=0\n", {"left 0", "top -20"}},
      {"[Other]\nForm1Left=50\n", {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.content);
    FakeWindow window;
    LoadFrom(window, c.content);
    EXPECT_EQ(window.moves, c.moves);
  }
}

TEST(Settings, SwitchIsTickedUnlessItsValueIsZero) {
  const struct {
    const char* value;
    bool ticked;
  } cases[] = {
      {"0", false},    {"0x0", false}, {"$00", false}, {"1", true},   {"2", true},  {"-1", true},
      {"false", true}, {"true", true}, {"", true},     {"0 0", true}, {"no", true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string("BMP=FLAC=") + c.value);
    FakeWindow window(!c.ticked);
    LoadFrom(window,
             std::string("[Sorvend]\nBMP=") + c.value + "\nOgg=0\nFLAC=" + c.value + "\nSWF=0\n");
    EXPECT_EQ(window.ticked[static_cast<int>(Kind::Bmp)], c.ticked);
    EXPECT_EQ(window.ticked[static_cast<int>(Kind::Flac)], c.ticked);
    EXPECT_FALSE(window.ticked[static_cast<int>(Kind::Ogg)]);
    EXPECT_FALSE(window.ticked[static_cast<int>(Kind::Swf)]);
    EXPECT_TRUE(window.ticked[static_cast<int>(Kind::Avi)]);
    EXPECT_TRUE(window.ticked[static_cast<int>(Kind::Wma)]);
  }
}

// Any file that exists, even an empty one, was written by an earlier run: without the key the
// profile stays classic.
TEST(Settings, AnExistingFileWithoutTheThoroughKeyStaysClassic) {
  for (const char* content : {"", "; nothing\n", "[Sorvend]\nForm1Left=3\n"}) {
    SCOPED_TRACE(content);
    FakeWindow window;
    LoadFrom(window, content);
    EXPECT_FALSE(window.thorough);
  }
}

// The same reading with the other default: what is no number leaves the profile classic.
TEST(Settings, ThoroughOnlyForANonZeroNumber) {
  const struct {
    const char* content;
    bool thorough;
  } cases[] = {
      {"[Sorvend]\nThorough=1\n", true},     {"[Sorvend]\nThorough=0x10\n", true},
      {"[Sorvend]\nThorough=-1\n", true},    {"[Sorvend]\nthorough = 2\n", true},
      {"[Sorvend]\nThorough=0\n", false},    {"[Sorvend]\nThorough=$0\n", false},
      {"[Sorvend]\nThorough=true\n", false}, {"[Sorvend]\nThorough=\n", false},
      {"[Sorvend]\nThorough=1 \n", true},    {"[Sorvend]\nThorough=1 0\n", false},
      {"[Other]\nThorough=1\n", false},      {"[Sorvend]\nBMP=1\n", false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.content);
    FakeWindow window;
    window.thorough = !c.thorough;
    LoadFrom(window, c.content);
    EXPECT_EQ(window.thorough, c.thorough);
  }
}

TEST(Settings, SaveKeepsEverythingElseInTheFile) {
  ScratchDir dir;
  const std::string path = dir.File("sorvend.ini");
  // Around the settings section: comments, blank lines, another section with the same key
  // names and no final line break, all to be kept as they are.
  const std::string head =
      "; written by hand\r\n"
      "[Other]\r\n"
      "BMP=keep me\r\n"
      "Form1Left = 77\r\n"
      "\r\n";
  const std::string tail =
      "\r\n"
      "; tail comment\r\n"
      "[Last]\r\n"
      "Z=1";
  WriteText(path, head +
                      "[sorvend]\r\n"
                      "ogg = 1\r\n"
                      "THOROUGH = 1\r\n"
                      "Extra=yes\r\n"
                      "Form1Left=5\r\n" +
                      tail);
  FakeWindow window(true);
  window.left = 10;
  window.top = 20;
  window.ticked[static_cast<int>(Kind::Ogg)] = false;
  window.thorough = false;
  SaveSettings(window, path);
  // Every other kind's key is added behind them, in the table's order.
  std::string appended;
  for (const KindRecord& r : kKinds) {
    if (r.kind != Kind::Ogg) appended += std::string(r.settingsKey) + "=1\r\n";
  }
  EXPECT_EQ(ReadText(path), head +
                                "[sorvend]\r\n"
                                "ogg = 0\r\n"
                                "THOROUGH = 0\r\n"
                                "Extra=yes\r\n"
                                "Form1Left=10\r\n"
                                "Form1Top=20\r\n" +
                                appended + "Unpack=0\r\n" + tail);
}

TEST(Settings, AFailedWriteStopsTheSaveAndKeepsTheEarlierKeys) {
  ScratchDir dir;
  const fs::path folder = dir.path() / "conf";
  const fs::path moved = dir.path() / "moved";
  fs::create_directory(folder);
  const std::string path = (folder / "sorvend.ini").string();
  WriteText(path, "[Sorvend]\nWAV=1\nANI=1\n");

  FakeWindow window(false);
  window.left = 11;
  window.top = 22;
  std::vector<Kind> asked;
  // Just before "WAV" is written, a regular file takes the place of the settings folder.
  window.onIsTicked = [&](Kind kind) {
    asked.push_back(kind);
    if (kind == Kind::Wav) {
      fs::rename(folder, moved);
      WriteText(folder.string(), "not a folder");
    }
  };
  try {
    SaveSettings(window, path);
    FAIL() << "no error";
  } catch (const SettingsError& error) {
    EXPECT_EQ(std::string(error.what()), path + " に書き込めません");
  }
  EXPECT_EQ(asked, (std::vector<Kind>{Kind::Bmp, Kind::Avi, Kind::Wav}));
  EXPECT_EQ(ReadText(folder.string()), "not a folder");
  // The keys before the failure were written, the failed one and those after it were not, and
  // no temporary file was left behind.
  EXPECT_EQ(ReadText((moved / "sorvend.ini").string()),
            "[Sorvend]\nWAV=1\nANI=1\nForm1Left=11\nForm1Top=22\nBMP=0\nAVI=0\n");
  EXPECT_EQ(std::distance(fs::directory_iterator(moved), fs::directory_iterator()), 1);
}

TEST(SettingsPath, ReplacesTheExtensionOfTheFileName) {
  const struct {
    const char* executable;
    const char* expected;
  } cases[] = {
    {"/opt/sorvend/sorvend.exe", "/opt/sorvend/sorvend.ini"},
    {"/opt/a.b/tool", "/opt/a.b/tool.ini"},
    {"/opt/tool.tar.gz", "/opt/tool.tar.ini"},
    {"/opt/tool.", "/opt/tool.ini"},
    {"tool", "tool.ini"},
    {"/opt/ツール.実行", "/opt/ツール.ini"},
    // Shift-JIS names whose characters end in the byte 0x5C.
    {"/opt/\x83\x5C.\x95\x5C", "/opt/\x83\x5C.ini"},
    {"/opt/x.y/\x83\x5C", "/opt/x.y/\x83\x5C.ini"},
#if !defined(_WIN32)
    // Only "/" separates folders here; "\" and ":" are ordinary characters of a name.
    {"/opt/C:\\a.b\\tool", "/opt/C:\\a.ini"},
#endif
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.executable);
    EXPECT_EQ(IniPathBeside(c.executable), c.expected);
  }
}

TEST(SettingsPath, FallsBackToTheConfigurationFolder) {
  const std::string exe = "/srv/sorvend/sorvend";
  const struct {
    bool writable;
    const char* configHome;
    const char* home;
    const char* expected;
  } cases[] = {
      {true, "/home/u/.cfg", "/home/u", "/srv/sorvend/sorvend.ini"},
      {false, "/home/u/.cfg", "/home/u", "/home/u/.cfg/sorvend.ini"},
      {false, "/home/u/.cfg/", "/home/u", "/home/u/.cfg/sorvend.ini"},
      {false, "", "/home/u", "/home/u/.config/sorvend.ini"},
      {false, "relative/cfg", "/home/u", "/home/u/.config/sorvend.ini"},
      {false, "", "", "/srv/sorvend/sorvend.ini"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.configHome) + " | " + c.home + (c.writable ? " | writable" : ""));
    EXPECT_EQ(ChooseSettingsPath(exe, c.writable, c.configHome, c.home), c.expected);
  }
}

// An installed program keeps the settings in the user's folder even where it could write its
// own (run as root); a build folder or a portable copy keeps them beside the program.
TEST(SettingsPath, InstalledProgramUsesTheUserFolderEvenWhenItsFolderIsWritable) {
  const struct {
    const char* executable;
    bool installed;
  } cases[] = {
      {"/usr/bin/sorvend", true},
      {"/usr/local/bin/sorvend", true},
      {"/usr/games/sorvend", true},
      {"/usr/sorvend", true},
      {"/opt/sorvend/bin/sorvend", true},
      {"/opt/sorvend", true},
      {"/usrlocal/sorvend", false},
      {"/optional/sorvend", false},
      {"/home/u/src/sorvend/build/app/sorvend", false},
      {"/home/u/usr/bin/sorvend", false},
      {"/media/stick/opt/sorvend", false},
      {"/sorvend", false},
      {"sorvend", false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.executable);
    const std::string beside = IniPathBeside(c.executable);
    EXPECT_EQ(IsInstalledUnderSystemPrefix(c.executable), c.installed);
    EXPECT_EQ(ChooseSettingsPath(c.executable, true, "/home/u/.cfg", "/home/u"),
              c.installed ? "/home/u/.cfg/sorvend.ini" : beside);
    EXPECT_EQ(ChooseSettingsPath(c.executable, true, "", "/home/u"),
              c.installed ? "/home/u/.config/sorvend.ini" : beside);
  }
}

TEST(SettingsPath, BesideTheRunningProgramWhenItsFolderIsWritable) {
  const fs::path exe = SORVEND_SETTINGS_TESTS_EXE;
  if (IsInstalledUnderSystemPrefix(exe.string())) GTEST_SKIP() << "built in a system folder";
  ASSERT_EQ(::access(exe.parent_path().c_str(), W_OK), 0);
  EXPECT_EQ(SettingsPath(), (exe.parent_path() / "settings_tests.ini").string());
}

TEST(ResultsPlacement, SavedAfterTheMainKeysAndReadBack) {
  ScratchDir dir;
  const std::string path = dir.File("sorvend.ini");
  WriteText(path, "[Other]\nResultsOpen=1\n[Sorvend]\nForm1Left=4\nThorough=1\n");
  const ResultsPlacement saved{true, -20, 30, 640, 480, true};
  SaveResultsPlacement(saved, path);
  EXPECT_EQ(ReadText(path),
            "[Other]\nResultsOpen=1\n[Sorvend]\nForm1Left=4\nThorough=1\nResultsLeft=-20\n"
            "ResultsTop=30\nResultsWidth=640\nResultsHeight=480\nResultsOpen=1\n");
  const ResultsPlacement loaded = LoadResultsPlacement(path);
  EXPECT_TRUE(loaded.placed);
  EXPECT_EQ(loaded.left, -20);
  EXPECT_EQ(loaded.top, 30);
  EXPECT_EQ(loaded.width, 640);
  EXPECT_EQ(loaded.height, 480);
  EXPECT_TRUE(loaded.open);

  // The main window's keys do not disturb them, nor they the main window's.
  FakeWindow window;
  LoadSettings(window, path);
  EXPECT_EQ(window.left, 4);
  EXPECT_TRUE(window.thorough);
}

// A geometry is used only when all four numbers are there and the size is not empty.
TEST(ResultsPlacement, IncompleteOrEmptyGeometryIsNotUsed) {
  const struct {
    const char* content;
    bool placed;
    bool open;
  } cases[] = {
      {"", false, false},
      {"[Sorvend]\nResultsLeft=1\nResultsTop=2\nResultsWidth=3\nResultsHeight=4\n", true, false},
      {"[Sorvend]\nResultsTop=2\nResultsWidth=3\nResultsHeight=4\nResultsOpen=1\n", false, true},
      {"[Sorvend]\nResultsLeft=1\nResultsTop=2\nResultsWidth=0\nResultsHeight=4\n", false, false},
      {"[Sorvend]\nResultsLeft=1\nResultsTop=2\nResultsWidth=3\nResultsHeight=-4\n", false, false},
      {"[Sorvend]\nResultsLeft=x\nResultsTop=2\nResultsWidth=3\nResultsHeight=4\n", false, false},
      {"[Other]\nResultsLeft=1\nResultsTop=2\nResultsWidth=3\nResultsHeight=4\n", false, false},
      {"[Sorvend]\nResultsOpen=0\n", false, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.content);
    ScratchDir dir;
    const std::string path = dir.File("sorvend.ini");
    WriteText(path, c.content);
    const ResultsPlacement loaded = LoadResultsPlacement(path);
    EXPECT_EQ(loaded.placed, c.placed);
    EXPECT_EQ(loaded.open, c.open);
  }
}

// A window never shown has no geometry of its own: only whether it is open is written.
TEST(ResultsPlacement, WithoutGeometryOnlyTheOpenStateIsWritten) {
  ScratchDir dir;
  const std::string path = dir.File("sorvend.ini");
  SaveResultsPlacement(ResultsPlacement{false, 1, 2, 3, 4, false}, path);
  EXPECT_EQ(ReadText(path), "[Sorvend]\nResultsOpen=0\n");
  EXPECT_FALSE(LoadResultsPlacement(path).placed);
}

TEST(ResultsPlacement, UnwritableFileThrows) {
  ScratchDir dir;
  // A folder where the file should be: the replace cannot happen.
  const std::string path = dir.File("sorvend.ini");
  fs::create_directory(path);
  EXPECT_THROW(SaveResultsPlacement(ResultsPlacement{}, path), SettingsError);
}

}  // namespace
}  // namespace sorvend::test
