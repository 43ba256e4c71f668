// The settings file: the window's position, its ten type switches, the thorough item and the
// kind menu's items, kept between runs in section "Sorvend" of an INI file beside the
// executable, or in the user's configuration folder for an installed program.
#pragma once

#include <stdexcept>
#include <string>
#include <string_view>

#include "engine/scan_context.h"

namespace sorvend {

// What LoadSettings and SaveSettings need of the window.
class SettingsTarget {
 public:
  virtual ~SettingsTarget() = default;
  // Every kind: the ten switches and the kind menu's items.
  virtual bool IsTicked(Kind kind) const = 0;
  virtual void SetTicked(Kind kind, bool ticked) = 0;
  // The thorough item: the profile of the next batch.
  virtual bool Thorough() const = 0;
  virtual void SetThorough(bool thorough) = 0;
  // The unpacking item (thorough profile only): look inside archives and compressed streams.
  virtual bool Unpack() const = 0;
  virtual void SetUnpack(bool unpack) = 0;
  virtual int Left() const = 0;
  virtual int Top() const = 0;
  virtual void SetLeft(int left) = 0;
  virtual void SetTop(int top) = 0;
};

// A write the store could not do; what() is the message shown to the user.
class SettingsError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Where the settings live for the running executable: see ChooseSettingsPath.
std::string SettingsPath();

// `executable` with the extension of its file name replaced by ".ini" (appended when the name
// has none).
std::string IniPathBeside(const std::string& executable);

// Whether `executable` lies in a system folder (/usr, /usr/local, /opt or below), where
// a package or an administrator put it, as opposed to a build folder or a portable copy.
bool IsInstalledUnderSystemPrefix(const std::string& executable);

// Beside the executable when its folder may be written and is no system folder; otherwise
// "sorvend.ini" in the user's configuration folder: `configHome` ($XDG_CONFIG_HOME) when it is
// an absolute path, else `home` + "/.config". Empty texts stand for unset variables.
std::string ChooseSettingsPath(const std::string& executable, bool folderWritable,
                               const std::string& configHome, const std::string& home);

// A settings value as an integer: optional leading blanks, then a decimal number with an
// optional sign in the signed 32-bit range, or a hexadecimal 32-bit pattern introduced by "0x",
// "0X", "$", "x" or "X" with at most eight digits after its leading zeros. Anything else gives
// `fallback`.
int ParseSettingInt(std::string_view text, int fallback);

// A settings file that does not exist yet is a first start: every kind is ticked and the
// profile is thorough, so that a new user gets all that Sorvend finds. A file without the
// Thorough key was written before the profile existed and keeps the classic profile.
void LoadSettings(SettingsTarget& window, const std::string& path);
// Throws SettingsError ("<path> に書き込めません") at the first key that cannot be written.
void SaveSettings(const SettingsTarget& window, const std::string& path);

// Where the results window stood and whether it was open when the main window was closed.
struct ResultsPlacement {
  // Whether there is a geometry: loaded, whether the file held a usable one (without one the
  // window takes its default size where the system places it); saved, whether to write it.
  bool placed = false;
  int left = 0;
  int top = 0;
  int width = 0;
  int height = 0;
  bool open = false;
};

ResultsPlacement LoadResultsPlacement(const std::string& path);
// The geometry is written only when `placement.placed`: a window never shown has none of its
// own. Throws SettingsError as SaveSettings does.
void SaveResultsPlacement(const ResultsPlacement& placement, const std::string& path);

}  // namespace sorvend
