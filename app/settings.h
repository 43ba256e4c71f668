// The settings file: the window's position and the ten type switches, kept between runs in
// section "Sorvend" of an INI file beside the executable.
#pragma once

#include <stdexcept>
#include <string>

#include "engine/scan_context.h"

namespace sorvend {

// What LoadSettings and SaveSettings need of the window.
class SettingsTarget {
 public:
  virtual ~SettingsTarget() = default;
  virtual bool IsTicked(Kind kind) const = 0;
  virtual void SetTicked(Kind kind, bool ticked) = 0;
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

// Where the settings live for the running executable.
std::string SettingsPath();

void LoadSettings(SettingsTarget& window, const std::string& path);
// Throws SettingsError ("<path> に書き込めません") at the first key that cannot be written.
void SaveSettings(const SettingsTarget& window, const std::string& path);

}  // namespace sorvend
