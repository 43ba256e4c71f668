#include "app/ini_store.h"

#include <cstdio>
#include <filesystem>
#include <random>
#include <vector>

#if !defined(_WIN32)
#include <unistd.h>
#endif

namespace sorvend {
namespace {

namespace fs = std::filesystem;

#if defined(_WIN32)
constexpr std::string_view kDefaultEol = "\r\n";
#else
constexpr std::string_view kDefaultEol = "\n";
#endif

struct Line {
  std::string_view text;    // without its line ending
  std::string_view ending;  // "\n", "\r\n", or empty for a last line without one
};

std::vector<Line> SplitLines(std::string_view content) {
  std::vector<Line> lines;
  std::size_t start = 0;
  while (start < content.size()) {
    const std::size_t newline = content.find('\n', start);
    if (newline == std::string_view::npos) {
      lines.push_back({content.substr(start), content.substr(content.size())});
      break;
    }
    std::size_t end = newline;
    if (end > start && content[end - 1] == '\r') --end;
    lines.push_back({content.substr(start, end - start), content.substr(end, newline + 1 - end)});
    start = newline + 1;
  }
  // A UTF-8 byte order mark written by some editors is not part of the first line's text.
  if (!lines.empty() && lines[0].text.starts_with("\xEF\xBB\xBF")) lines[0].text.remove_prefix(3);
  return lines;
}

bool IsBlank(char c) {
  return c == ' ' || c == '\t';
}

std::string_view Trim(std::string_view s) {
  while (!s.empty() && IsBlank(s.front())) s.remove_prefix(1);
  while (!s.empty() && IsBlank(s.back())) s.remove_suffix(1);
  return s;
}

char AsciiLower(char c) {
  return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

bool SameName(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (AsciiLower(a[i]) != AsciiLower(b[i])) return false;
  }
  return true;
}

struct ParsedLine {
  enum { Other, Section, Key } kind = Other;
  std::string_view name;
  std::size_t valueStart = 0;  // offset in the line's text of the value's first non-blank
};

ParsedLine ParseLine(std::string_view text) {
  const std::string_view trimmed = Trim(text);
  if (trimmed.empty() || trimmed[0] == ';' || trimmed[0] == '#') return {};
  if (trimmed[0] == '[') {
    const std::size_t close = trimmed.find(']');
    if (close == std::string_view::npos) return {};
    return {ParsedLine::Section, Trim(trimmed.substr(1, close - 1))};
  }
  const std::size_t equals = text.find('=');
  if (equals == std::string_view::npos) return {};
  const std::string_view name = Trim(text.substr(0, equals));
  if (name.empty()) return {};
  std::size_t valueStart = equals + 1;
  while (valueStart < text.size() && IsBlank(text[valueStart])) ++valueStart;
  return {ParsedLine::Key, name, valueStart};
}

struct Lookup {
  int sectionLine = -1;  // header of the first section of that name
  int keyLine = -1;      // first line of that key within it
  int lastKeyLine = -1;  // last key line of the section (its header when it has none)
  std::size_t valueStart = 0;
};

Lookup Find(const std::vector<Line>& lines, std::string_view section, std::string_view key) {
  Lookup found;
  for (int i = 0; i < static_cast<int>(lines.size()); ++i) {
    const ParsedLine parsed = ParseLine(lines[i].text);
    if (parsed.kind == ParsedLine::Section) {
      if (found.sectionLine >= 0) break;  // the section ended
      if (SameName(parsed.name, section)) found.sectionLine = found.lastKeyLine = i;
    } else if (parsed.kind == ParsedLine::Key && found.sectionLine >= 0) {
      found.lastKeyLine = i;
      if (SameName(parsed.name, key)) {
        found.keyLine = i;
        found.valueStart = parsed.valueStart;
        break;
      }
    }
  }
  return found;
}

// False when the file exists but cannot be read; a missing file reads as empty.
bool ReadWhole(const std::string& path, std::string& content) {
  content.clear();
  std::FILE* file = std::fopen(path.c_str(), "rb");
  if (!file) {
    std::error_code ec;
    return !fs::exists(fs::path(path), ec) && !ec;
  }
  char buffer[4096];
  std::size_t got;
  while ((got = std::fread(buffer, 1, sizeof buffer, file)) > 0) content.append(buffer, got);
  const bool ok = !std::ferror(file);
  std::fclose(file);
  return ok;
}

bool HasLineBreak(std::string_view s) {
  return s.find_first_of("\r\n") != std::string_view::npos;
}

// `content` with `key` in `section` set to `value`.
std::string WithValue(const std::string& content, std::string_view section, std::string_view key,
                      std::string_view value) {
  const std::vector<Line> lines = SplitLines(content);
  const std::string_view eol =
      (!lines.empty() && !lines[0].ending.empty()) ? lines[0].ending : kDefaultEol;
  const auto offset = [&](std::string_view part) {
    return static_cast<std::size_t>(part.data() - content.data());
  };
  const Lookup found = Find(lines, section, key);

  if (found.keyLine >= 0) {
    const Line& line = lines[found.keyLine];
    const std::size_t from = offset(line.text) + found.valueStart;
    const std::size_t to = offset(line.text) + line.text.size();
    return content.substr(0, from) + std::string(value) + content.substr(to);
  }

  std::string block;
  std::size_t at = content.size();
  bool afterLineEnded = lines.empty() || !lines.back().ending.empty();
  if (found.sectionLine >= 0) {
    const Line& after = lines[found.lastKeyLine];
    at = offset(after.ending) + after.ending.size();
    afterLineEnded = !after.ending.empty();
  } else {
    block.append("[").append(section).append("]").append(eol);
  }
  block.append(key).append("=").append(value);
  // Behind a last line without a line break the new lines go after a break of their own and
  // the file keeps ending without one.
  const std::string inserted = afterLineEnded ? block + std::string(eol) : std::string(eol) + block;
  return content.substr(0, at) + inserted + content.substr(at);
}

std::string TemporaryName(const std::string& path) {
  static std::mt19937 generator{std::random_device{}()};
  char suffix[16];
  std::snprintf(suffix, sizeof suffix, ".%08x.tmp", static_cast<unsigned>(generator()));
  return path + suffix;
}

// Writes `content` to a new file beside `path`, then renames it over `path`.
bool ReplaceFile(const std::string& path, const std::string& content) {
  const fs::path target(path);
  std::error_code ec;
  if (target.has_parent_path()) fs::create_directories(target.parent_path(), ec);
  if (ec) return false;

  const std::string temporary = TemporaryName(path);
  std::FILE* file = std::fopen(temporary.c_str(), "wbx");
  if (!file) return false;
  bool ok = std::fwrite(content.data(), 1, content.size(), file) == content.size() &&
            std::fflush(file) == 0;
#if !defined(_WIN32)
  ok = ok && ::fsync(::fileno(file)) == 0;
#endif
  ok = std::fclose(file) == 0 && ok;

  if (ok) {
    const fs::file_status old = fs::status(target, ec);
    if (!ec && fs::exists(old)) fs::permissions(temporary, old.permissions(), ec);
    fs::rename(temporary, target, ec);
    ok = !ec;
  }
  if (!ok) fs::remove(temporary, ec);
  return ok;
}

}  // namespace

std::string ReadIniValue(const std::string& path, std::string_view section, std::string_view key,
                         const std::string& fallback) {
  std::string content;
  if (!ReadWhole(path, content)) return fallback;
  const std::vector<Line> lines = SplitLines(content);
  const Lookup found = Find(lines, section, key);
  if (found.keyLine < 0) return fallback;
  const std::string_view value = Trim(lines[found.keyLine].text.substr(found.valueStart));
  return std::string(value.substr(0, kIniValueMax));
}

bool WriteIniValue(const std::string& path, std::string_view section, std::string_view key,
                   std::string_view value) {
  if (HasLineBreak(section) || HasLineBreak(key) || HasLineBreak(value)) return false;
  // Through a symbolic link the file it points to is updated and the link stays.
  std::string target = path;
  std::error_code ec;
  if (fs::is_symlink(fs::path(path), ec)) {
    target = fs::weakly_canonical(fs::path(path), ec).string();
    if (ec) return false;
  }
  std::string content;
  if (!ReadWhole(target, content)) return false;
  return ReplaceFile(target, WithValue(content, section, key, value));
}

}  // namespace sorvend
