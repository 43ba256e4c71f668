#include "engine/byte_stream.h"

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <system_error>

#if !defined(_WIN32)
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#endif

namespace sorvend {
namespace {

int SeekFile(std::FILE* f, std::int64_t offset, int whence) {
#if defined(_WIN32)
  return _fseeki64(f, offset, whence);
#else
  return fseeko(f, static_cast<off_t>(offset), whence);
#endif
}

std::int64_t TellFile(std::FILE* f) {
#if defined(_WIN32)
  return _ftelli64(f);
#else
  return static_cast<std::int64_t>(ftello(f));
#endif
}

#if !defined(_WIN32)

// O_NOFOLLOW and O_EXCL together: the name is made here as a new regular file, and a symbolic
// link that takes the name first makes the call fail instead of being followed.
int CreateNew(const char* path) {
  return ::open(path, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
}

// Removes the name (a link, never what it points to) and makes a new file in its place. When
// something takes the name again in between, the output is given up.
int ReplaceName(const char* path) {
  return ::unlink(path) == 0 ? CreateNew(path) : -1;
}

// A file descriptor for writing the output, or -1. Whatever the output folder holds under the
// name, nothing outside it is ever opened, emptied or written.
int OpenOutputFile(const char* path) {
  const int created = CreateNew(path);
  if (created >= 0 || errno != EEXIST) return created;
  // O_NONBLOCK: a FIFO under the name fails at once instead of waiting for a reader; it has no
  // effect on a regular file.
  const int fd = ::open(path, O_WRONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
  struct stat st;
  if (fd < 0) {
    // A symbolic link is replaced by the output; a folder or a file that cannot be written
    // stays an output that cannot be created.
    return ::lstat(path, &st) == 0 && S_ISLNK(st.st_mode) ? ReplaceName(path) : -1;
  }
  if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode)) {
    if (st.st_nlink == 1 && ::ftruncate(fd, 0) == 0) return fd;
    if (st.st_nlink > 1) {
      // A hard link: emptying it in place would empty the file under its other names too.
      ::close(fd);
      return ReplaceName(path);
    }
  }
  ::close(fd);
  return -1;
}

#endif

// Unbuffered: OutputStream does its own buffering.
std::FILE* OpenOutput(const std::string& path) {
#if defined(_WIN32)
  std::FILE* file = std::fopen(path.c_str(), "wb");
#else
  const int fd = OpenOutputFile(path.c_str());
  if (fd < 0) return nullptr;
  std::FILE* file = ::fdopen(fd, "wb");
  if (file == nullptr) {
    ::close(fd);
    return nullptr;
  }
#endif
  if (file != nullptr) std::setvbuf(file, nullptr, _IONBF, 0);
  return file;
}

}  // namespace

bool InputStream::Open(const std::string& path) {
  Close();
  std::error_code ec;
  // Checked before opening: opening a FIFO for reading would block until a writer appears.
  if (path.empty() || !std::filesystem::is_regular_file(std::filesystem::path(path), ec)) {
    return false;
  }
  file_ = std::fopen(path.c_str(), "rb");
  if (file_ == nullptr) return false;
  std::setvbuf(file_, nullptr, _IONBF, 0);
  if (!buf_) buf_ = std::make_unique<std::uint8_t[]>(kBufferSize);
  base_ = filePos_ = 0;
  pos_ = len_ = 0;
  eof_ = false;
  return true;
}

void InputStream::Close() {
  if (file_ != nullptr) std::fclose(file_);
  file_ = nullptr;
  base_ = filePos_ = 0;
  pos_ = len_ = 0;
  eof_ = false;
}

std::int64_t InputStream::Size() {
  if (file_ == nullptr || SeekFile(file_, 0, SEEK_END) != 0) return 0;
  filePos_ = TellFile(file_);
  return filePos_ < 0 ? 0 : filePos_;
}

void InputStream::Seek(std::int64_t offset) {
  eof_ = false;
  if (offset >= base_ && offset <= base_ + static_cast<std::int64_t>(len_)) {
    pos_ = static_cast<std::size_t>(offset - base_);
    return;
  }
  base_ = offset;
  pos_ = len_ = 0;
}

std::size_t InputStream::Fill() {
  const std::int64_t end = base_ + static_cast<std::int64_t>(len_);
  if (file_ == nullptr || end < 0 || len_ == kBufferSize) return 0;
  if (filePos_ != end) {
    if (SeekFile(file_, end, SEEK_SET) != 0) return 0;
    filePos_ = end;
  }
  const std::size_t got = std::fread(buf_.get() + len_, 1, kBufferSize - len_, file_);
  if (got == 0) std::clearerr(file_);
  len_ += got;
  filePos_ += static_cast<std::int64_t>(got);
  return got;
}

int InputStream::Underflow() {
  if (eof_ || file_ == nullptr) {
    eof_ = true;
    return -1;
  }
  base_ += static_cast<std::int64_t>(pos_);
  pos_ = len_ = 0;
  if (Fill() == 0) {
    eof_ = true;
    return -1;
  }
  return buf_[pos_++];
}

const std::uint8_t* InputStream::Window(std::size_t want, std::size_t& avail) {
  avail = len_ - pos_;
  if (avail < want && !eof_ && file_ != nullptr) {
    if (pos_ > 0) {
      std::memmove(buf_.get(), buf_.get() + pos_, avail);
      base_ += static_cast<std::int64_t>(pos_);
      pos_ = 0;
      len_ = avail;
    }
    while (len_ < want && Fill() > 0) {
    }
    avail = len_ - pos_;
  }
  return buf_ ? buf_.get() + pos_ : nullptr;
}

bool OutputStream::Open(const std::string& path) {
  Close();
  file_ = OpenOutput(path);
  if (file_ == nullptr) return false;
  if (!buf_) buf_ = std::make_unique<std::uint8_t[]>(kBufferSize);
  pos_ = 0;
  written_ = 0;
  failed_ = false;
  return true;
}

void OutputStream::OpenDiscarding() {
  Close();
  if (!buf_) buf_ = std::make_unique<std::uint8_t[]>(kBufferSize);
  discarding_ = true;
  pos_ = 0;
  written_ = 0;
  failed_ = false;
}

void OutputStream::Flush() {
  if (file_ != nullptr && pos_ > 0 && !failed_) {
    if (std::fwrite(buf_.get(), 1, pos_, file_) != pos_) failed_ = true;
  }
  pos_ = 0;
}

void OutputStream::Write(const std::uint8_t* data, std::size_t n) {
  written_ += static_cast<std::int64_t>(n);
  if (discarding_) return;
  while (n > 0) {
    if (pos_ == kBufferSize) Flush();
    const std::size_t take = std::min(n, kBufferSize - pos_);
    std::memcpy(buf_.get() + pos_, data, take);
    pos_ += take;
    data += take;
    n -= take;
  }
}

bool OutputStream::Close() {
  if (!IsOpen()) return true;
  Flush();
  if (file_ != nullptr && std::fclose(file_) != 0) failed_ = true;
  file_ = nullptr;
  discarding_ = false;
  return !failed_;
}

}  // namespace sorvend
