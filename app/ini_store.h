// A small reader and writer of INI files: "[section]" header lines followed by "key=value"
// lines. Section and key names match regardless of ASCII case; blanks around names and values
// are ignored when reading; lines starting with ";" or "#" are comments. Only the first section
// of a name and the first key of a name within it count.
#pragma once

#include <string>
#include <string_view>

namespace sorvend {

// Values longer than this are cut when read.
inline constexpr std::size_t kIniValueMax = 2047;

// The value of `key` in `section`, or `fallback` when the file, the section or the key is
// missing or the file cannot be read.
std::string ReadIniValue(const std::string& path, std::string_view section, std::string_view key,
                         const std::string& fallback);

// Sets `key` in `section` to `value`, creating the file (and its folder), the section or the key
// as needed. Every other byte of the file stays as it was, and its line endings are kept. The new
// content goes to a temporary file in the same folder that then replaces the old file, so a
// failed write leaves the old file untouched. Returns false when the write failed, or when a name
// or the value holds a line break (which would change other lines).
bool WriteIniValue(const std::string& path, std::string_view section, std::string_view key,
                   std::string_view value);

}  // namespace sorvend
