#include "engine/batch.h"

#include <cstdio>

namespace sorvend {
namespace {

// "/" is the separator here; Windows also takes "\" and the drive colon.
std::size_t LastSeparator(const std::string& path) {
#if defined(_WIN32)
  return path.find_last_of("\\/:");
#else
  return path.rfind('/');
#endif
}

}  // namespace

std::string FolderPart(const std::string& path) {
  const std::size_t sep = LastSeparator(path);
  return sep == std::string::npos ? std::string() : path.substr(0, sep + 1);
}

std::string NamePart(const std::string& path) {
  const std::size_t sep = LastSeparator(path);
  return sep == std::string::npos ? path : path.substr(sep + 1);
}

std::string FileLogLine(int index, int count, const std::string& name) {
  char prefix[32];
  std::snprintf(prefix, sizeof prefix, "(%2d/%2d) ", index, count);
  return prefix + name;
}

}  // namespace sorvend
