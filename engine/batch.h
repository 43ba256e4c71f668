// Helpers a front end needs around ScanFile when it works off a batch of paths.
#pragma once

#include <string>

namespace sorvend {

// Folder part of a path, up to and including its last separator ("" when it has none).
std::string FolderPart(const std::string& path);
// The part after the last separator (the whole path when it has none).
std::string NamePart(const std::string& path);
// The log line written before each file: "(%2d/%2d) " and the name.
std::string FileLogLine(int index, int count, const std::string& name);

}  // namespace sorvend
