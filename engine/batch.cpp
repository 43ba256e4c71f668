#include "engine/batch.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <set>
#include <utility>

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

// A folder's identity: the same for every path that leads to it.
using FolderId = std::pair<dev_t, ino_t>;

struct FolderEntry {
  std::string name;
  bool isFolder;
};

// What the walk still has to do in one folder.
struct OpenFolderWork {
  std::string prefix;  // the folder's path with a final "/"
  std::vector<FolderEntry> entries;
  std::size_t next = 0;
};

std::error_code LastError() {
  return {errno, std::generic_category()};
}

// The regular files and folders in `dir`, sorted by name byte for byte. Everything else,
// symbolic links included, is left out. Entries read before an error are kept.
std::error_code ReadEntries(DIR* dir, std::vector<FolderEntry>& entries) {
  std::error_code error;
  for (;;) {
    errno = 0;
    const dirent* e = readdir(dir);
    if (e == nullptr) {
      if (errno != 0) error = LastError();
      break;
    }
    const std::string_view name = e->d_name;
    if (name == "." || name == "..") continue;
    unsigned char type = e->d_type;
    if (type == DT_UNKNOWN) {  // file systems that do not give the type with the name
      struct stat st;
      if (fstatat(dirfd(dir), e->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0) continue;  // gone
      type = S_ISREG(st.st_mode) ? DT_REG : S_ISDIR(st.st_mode) ? DT_DIR : DT_UNKNOWN;
    }
    if (type == DT_REG || type == DT_DIR) entries.push_back({std::string(name), type == DT_DIR});
  }
  // std::string compares its characters as unsigned bytes.
  std::sort(entries.begin(), entries.end(),
            [](const FolderEntry& a, const FolderEntry& b) { return a.name < b.name; });
  return error;
}

class FolderWalk {
 public:
  FolderWalk(const std::vector<std::string>& skipFolders, std::vector<ListedPath>& out)
      : out_(out) {
    for (const std::string& folder : skipFolders) {
      struct stat st;
      if (::stat(folder.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) {
        visited_.insert({st.st_dev, st.st_ino});
      }
    }
  }

  void Walk(const std::string& root) {
    Enter(root, /*followLink=*/true);
    while (!stack_.empty()) {
      OpenFolderWork& work = stack_.back();
      if (work.next == work.entries.size()) {
        stack_.pop_back();
        continue;
      }
      FolderEntry& entry = work.entries[work.next++];
      std::string path = work.prefix + entry.name;
      if (entry.isFolder) {
        Enter(path, /*followLink=*/false);  // may grow the stack: `work` is not used after
      } else {
        out_.push_back({std::move(path), {}});
      }
    }
  }

 private:
  // Reads the folder at `path` and puts it on the stack, unless it was walked already.
  void Enter(const std::string& path, bool followLink) {
    // O_NOFOLLOW: an entry that was a folder when it was listed and has since been replaced by
    // a link is not followed either.
    const int fd =
        ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC | (followLink ? 0 : O_NOFOLLOW));
    if (fd < 0) {
      // ENOTDIR/ELOOP: no longer a folder; ENOENT: gone. Neither is a folder that could not be
      // read, and nothing is left to list.
      if (errno != ENOTDIR && errno != ELOOP && errno != ENOENT)
        out_.push_back({path, LastError()});
      return;
    }
    struct stat st;
    if (::fstat(fd, &st) != 0) {
      out_.push_back({path, LastError()});
      ::close(fd);
      return;
    }
    if (!visited_.insert({st.st_dev, st.st_ino}).second) {
      ::close(fd);
      return;
    }
    DIR* dir = ::fdopendir(fd);
    if (dir == nullptr) {
      out_.push_back({path, LastError()});
      ::close(fd);
      return;
    }
    OpenFolderWork work;
    work.prefix = path.ends_with('/') ? path : path + '/';
    const std::error_code error = ReadEntries(dir, work.entries);
    ::closedir(dir);
    if (error) out_.push_back({path, error});
    stack_.push_back(std::move(work));
  }

  std::vector<ListedPath>& out_;
  std::set<FolderId> visited_;
  std::vector<OpenFolderWork> stack_;
};

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

std::vector<ListedPath> ListFilesRecursively(const std::string& path,
                                             const std::vector<std::string>& skipFolders) {
  std::vector<ListedPath> listed;
  struct stat st;
  if (path.empty() || ::stat(path.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
    listed.push_back({path, {}});  // the scan reports whatever keeps it from being read
    return listed;
  }
  FolderWalk(skipFolders, listed).Walk(path);
  return listed;
}

}  // namespace sorvend
