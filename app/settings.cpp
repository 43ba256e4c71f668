#include "app/settings.h"

#include <array>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <optional>

#include "app/ini_store.h"

#if defined(_WIN32)
#include <windows.h>
#else
#include <pwd.h>
#include <unistd.h>
#endif

namespace sorvend {
namespace {

namespace fs = std::filesystem;

constexpr const char* kSection = "Sorvend";
constexpr const char* kLeftKey = "Form1Left";
constexpr const char* kTopKey = "Form1Top";
// Stored for "leave the window where the system placed it".
constexpr int kNoPosition = -10000;
constexpr const char* kThoroughKey = "Thorough";
constexpr const char* kUnpackKey = "Unpack";
constexpr const char* kResultsLeftKey = "ResultsLeft";
constexpr const char* kResultsTopKey = "ResultsTop";
constexpr const char* kResultsWidthKey = "ResultsWidth";
constexpr const char* kResultsHeightKey = "ResultsHeight";
constexpr const char* kResultsOpenKey = "ResultsOpen";

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

std::optional<std::int32_t> ParseHex(std::string_view digits) {
  if (digits.empty()) return std::nullopt;
  std::uint32_t value = 0;
  int significant = 0;  // digits from the first non-zero one on
  for (const char c : digits) {
    const int digit = HexDigit(c);
    if (digit < 0) return std::nullopt;
    if (significant > 0 || digit != 0) ++significant;
    if (significant > 8) return std::nullopt;
    value = value << 4 | static_cast<std::uint32_t>(digit);
  }
  return static_cast<std::int32_t>(value);  // the bit pattern: 0xFFFFFFFF is -1
}

std::optional<std::int32_t> ParseDecimal(std::string_view text) {
  bool negative = false;
  if (!text.empty() && (text[0] == '+' || text[0] == '-')) {
    negative = text[0] == '-';
    text.remove_prefix(1);
  }
  if (text.empty()) return std::nullopt;
  constexpr std::int64_t kMagnitudeLimit = std::int64_t{1} << 31;
  std::int64_t magnitude = 0;
  for (const char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    magnitude = magnitude * 10 + (c - '0');
    if (magnitude > kMagnitudeLimit) return std::nullopt;
  }
  const std::int64_t value = negative ? -magnitude : magnitude;
  if (value >= kMagnitudeLimit) return std::nullopt;
  return static_cast<std::int32_t>(value);
}

int ReadInt(const std::string& path, const std::string& key, int fallback) {
  return ParseSettingInt(ReadIniValue(path, kSection, key, ""), fallback);
}

void Write(const std::string& path, const std::string& key, const std::string& value) {
  if (!WriteIniValue(path, kSection, key, value)) {
    throw SettingsError(path + " に書き込めません");
  }
}

// Where the file name in `path` begins.
std::size_t NameStart(const std::string& path) {
#if defined(_WIN32)
  // Paths are in the system code page: a trail byte of a double-byte character may equal "\".
  std::size_t start = 0;
  for (std::size_t i = 0; i < path.size(); ++i) {
    if (IsDBCSLeadByte(static_cast<BYTE>(path[i])) && i + 1 < path.size()) {
      ++i;
    } else if (path[i] == '\\' || path[i] == '/' || path[i] == ':') {
      start = i + 1;
    }
  }
  return start;
#else
  // No multi-byte encoding has "/" as a trail byte.
  const std::size_t slash = path.rfind('/');
  return slash == std::string::npos ? 0 : slash + 1;
#endif
}

}  // namespace

int ParseSettingInt(std::string_view text, int fallback) {
  while (!text.empty() && (text[0] == ' ' || text[0] == '\t')) text.remove_prefix(1);
  std::optional<std::int32_t> value;
  if (text.starts_with("0x") || text.starts_with("0X")) {
    value = ParseHex(text.substr(2));
  } else if (!text.empty() && (text[0] == '$' || text[0] == 'x' || text[0] == 'X')) {
    value = ParseHex(text.substr(1));
  } else {
    value = ParseDecimal(text);
  }
  return value.value_or(fallback);
}

std::string IniPathBeside(const std::string& executable) {
  const std::size_t dot = executable.rfind('.');
  if (dot == std::string::npos || dot < NameStart(executable)) return executable + ".ini";
  return executable.substr(0, dot) + ".ini";
}

bool IsInstalledUnderSystemPrefix(const std::string& executable) {
  const std::string folder = executable.substr(0, NameStart(executable));
  // Whole components: "/optional/x" is not under "/opt". /usr/local lies under /usr.
  return folder.starts_with("/usr/") || folder.starts_with("/opt/");
}

std::string ChooseSettingsPath(const std::string& executable, bool folderWritable,
                               const std::string& configHome, const std::string& home) {
  // An installed program run as root could write its folder, but the settings of a user do
  // not belong there.
  if (folderWritable && !IsInstalledUnderSystemPrefix(executable)) {
    return IniPathBeside(executable);
  }
  if (fs::path(configHome).is_absolute()) return (fs::path(configHome) / "sorvend.ini").string();
  if (!home.empty()) return (fs::path(home) / ".config" / "sorvend.ini").string();
  return IniPathBeside(executable);  // nowhere better: a failed save will say so
}

std::string SettingsPath() {
#if defined(_WIN32)
  std::string executable(MAX_PATH, '\0');
  for (;;) {
    const DWORD length =
        GetModuleFileNameA(nullptr, executable.data(), static_cast<DWORD>(executable.size()));
    if (length < executable.size()) {
      executable.resize(length);
      break;
    }
    executable.resize(executable.size() * 2);
  }
  return IniPathBeside(executable);
#else
  std::string executable;
#if defined(__linux__)
  std::error_code ec;
  executable = fs::read_symlink("/proc/self/exe", ec).string();
#endif
  // Elsewhere, or without /proc, the executable is unknown and the configuration folder serves.
  bool writable = false;
  if (!executable.empty()) {
    const std::string folder = executable.substr(0, NameStart(executable));
    writable = ::access(folder.empty() ? "." : folder.c_str(), W_OK) == 0;
  }
  const char* configHome = std::getenv("XDG_CONFIG_HOME");
  const char* home = std::getenv("HOME");
  if (home == nullptr) {
    // Without $HOME (a service, "env -i"), the account's home folder.
    const passwd* account = ::getpwuid(::getuid());
    if (account != nullptr) home = account->pw_dir;
  }
  return ChooseSettingsPath(executable, writable, configHome ? configHome : "", home ? home : "");
#endif
}

void LoadSettings(SettingsTarget& window, const std::string& path) {
  const int left = ReadInt(path, kLeftKey, kNoPosition);
  const int top = ReadInt(path, kTopKey, kNoPosition);
  std::error_code ec;
  const bool firstStart = !fs::exists(path, ec) && !ec;
  // A kind is ticked unless the file says otherwise.
  for (int i = 0; i < kKindCount; ++i) {
    window.SetTicked(static_cast<Kind>(i), ReadInt(path, kKinds[i].settingsKey, 1) != 0);
  }
  window.SetThorough(ReadInt(path, kThoroughKey, firstStart ? 1 : 0) != 0);
  window.SetUnpack(ReadInt(path, kUnpackKey, 1) != 0);
  if (left != kNoPosition) {
    window.SetLeft(left);
    window.SetTop(top);
  }
}

void SaveSettings(const SettingsTarget& window, const std::string& path) {
  Write(path, kLeftKey, std::to_string(window.Left()));
  Write(path, kTopKey, std::to_string(window.Top()));
  const auto flag = [](bool on) { return on ? "1" : "0"; };
  for (int i = 0; i < kClassicKindCount; ++i) {
    Write(path, kKinds[i].settingsKey, flag(window.IsTicked(static_cast<Kind>(i))));
  }
  Write(path, kThoroughKey, flag(window.Thorough()));
  for (int i = kClassicKindCount; i < kKindCount; ++i) {
    Write(path, kKinds[i].settingsKey, flag(window.IsTicked(static_cast<Kind>(i))));
  }
  Write(path, kUnpackKey, flag(window.Unpack()));
}

ResultsPlacement LoadResultsPlacement(const std::string& path) {
  ResultsPlacement placement;
  placement.left = ReadInt(path, kResultsLeftKey, kNoPosition);
  placement.top = ReadInt(path, kResultsTopKey, kNoPosition);
  placement.width = ReadInt(path, kResultsWidthKey, 0);
  placement.height = ReadInt(path, kResultsHeightKey, 0);
  placement.placed = placement.left != kNoPosition && placement.top != kNoPosition &&
                     placement.width > 0 && placement.height > 0;
  placement.open = ReadInt(path, kResultsOpenKey, 0) != 0;
  return placement;
}

void SaveResultsPlacement(const ResultsPlacement& placement, const std::string& path) {
  if (placement.placed) {
    Write(path, kResultsLeftKey, std::to_string(placement.left));
    Write(path, kResultsTopKey, std::to_string(placement.top));
    Write(path, kResultsWidthKey, std::to_string(placement.width));
    Write(path, kResultsHeightKey, std::to_string(placement.height));
  }
  Write(path, kResultsOpenKey, placement.open ? "1" : "0");
}

}  // namespace sorvend
