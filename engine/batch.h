// Helpers a front end needs around ScanFile when it works off a batch of paths.
#pragma once

#include <string>
#include <system_error>
#include <vector>

namespace sorvend {

// Folder part of a path, up to and including its last separator ("" when it has none).
std::string FolderPart(const std::string& path);
// The part after the last separator (the whole path when it has none).
std::string NamePart(const std::string& path);
// The log line written before each file: "(%2d/%2d) " and the name.
std::string FileLogLine(int index, int count, const std::string& name);

// One path met by ListFilesRecursively: a regular file to scan, or a folder that could not be
// read (`error` set).
struct ListedPath {
  std::string path;
  std::error_code error;
};

// The files a batch gets for `path`: a path that is not a folder is kept as it is; a folder
// (also one reached through a symbolic link given as `path`) is walked to its depth, and every
// regular file under it is listed. Within each folder the names are taken in byte order, and a
// subfolder is walked where its name stands. Below `path`, symbolic links are not followed,
// and devices, FIFOs and sockets are passed over. Each folder is walked once, however many
// paths (bind mounts, loops) lead to it, and none of `skipFolders` is walked into. A folder
// that cannot be read is listed with its error where it stands, and the walk goes on.
std::vector<ListedPath> ListFilesRecursively(const std::string& path,
                                             const std::vector<std::string>& skipFolders = {});

}  // namespace sorvend
