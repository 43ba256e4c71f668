#include "engine/byte_stream.h"

#include <algorithm>
#include <cstdint>
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

namespace {

// A far read starts small, since most are a look at a few header bytes, and grows while
// reads go on where the last one ended.
constexpr std::size_t kFirstFarChunk = 4096;

}  // namespace

bool InputStream::Open(const std::string& path) {
  Close();
  std::error_code ec;
  // Checked before opening: opening a FIFO for reading would block until a writer appears.
  if (path.empty() || !std::filesystem::is_regular_file(std::filesystem::path(path), ec)) {
    return false;
  }
  std::FILE* file = std::fopen(path.c_str(), "rb");
  if (file == nullptr) return false;
  std::setvbuf(file, nullptr, _IONBF, 0);
  Adopt(file);
  return true;
}

void InputStream::Adopt(std::FILE* file) {
  Close();
  file_ = file;
  for (Block* b : {&cur_, &other_}) {
    if (!b->data) b->data = std::make_unique_for_overwrite<std::uint8_t[]>(kBufferSize);
  }
}

void InputStream::Close() {
  if (file_ != nullptr) std::fclose(file_);
  file_ = nullptr;
  if (farActive_) std::swap(cur_, other_);
  farActive_ = false;
  for (Block* b : {&cur_, &other_}) b->base = b->pos = b->len = 0;
  filePos_ = 0;
  size_ = -1;
  farChunk_ = kFirstFarChunk;
  eof_ = false;
}

std::int64_t InputStream::Size() {
  if (file_ == nullptr || SeekFile(file_, 0, SEEK_END) != 0) return 0;
  filePos_ = TellFile(file_);
  size_ = filePos_ < 0 ? 0 : filePos_;
  return size_;
}

void InputStream::Seek(std::int64_t offset) {
  eof_ = false;
  if (!cur_.Holds(offset) && other_.Holds(offset) && other_.len > 0) {
    std::swap(cur_, other_);
    farActive_ = !farActive_;
  } else if (!cur_.Holds(offset)) {
    // Whatever was in the far buffer goes; the main buffer is kept for the way back.
    if (!farActive_) {
      std::swap(cur_, other_);
      farActive_ = true;
    }
    cur_.base = offset;
    cur_.len = 0;
    farChunk_ = kFirstFarChunk;
  }
  cur_.pos = static_cast<std::size_t>(offset - cur_.base);
}

std::size_t InputStream::Fill(Block& block, std::size_t limit) {
  const std::int64_t end = block.base + static_cast<std::int64_t>(block.len);
  if (file_ == nullptr || end < 0 || block.len == kBufferSize) return 0;
  const std::size_t room = std::min(kBufferSize - block.len, limit);
  if (filePos_ != end) {
    if (SeekFile(file_, end, SEEK_SET) != 0) return 0;
    filePos_ = end;
  }
  const std::size_t got = std::fread(block.data.get() + block.len, 1, room, file_);
  if (got == 0) std::clearerr(file_);
  block.len += got;
  filePos_ += static_cast<std::int64_t>(got);
  return got;
}

int InputStream::Underflow() {
  if (eof_ || file_ == nullptr) {
    eof_ = true;
    return -1;
  }
  cur_.base += static_cast<std::int64_t>(cur_.pos);
  cur_.pos = cur_.len = 0;
  std::size_t limit = kBufferSize;
  if (farActive_) {
    // A look beyond the size measured at the start finds nothing; it costs no system call.
    if (size_ >= 0 && cur_.base >= size_) {
      eof_ = true;
      return -1;
    }
    limit = farChunk_;
    farChunk_ = std::min(kBufferSize, farChunk_ * 2);
  }
  if (Fill(cur_, limit) == 0) {
    eof_ = true;
    return -1;
  }
  return cur_.data[cur_.pos++];
}

void InputStream::UseMainAt(std::int64_t offset) {
  if (farActive_) {
    std::swap(cur_, other_);
    farActive_ = false;
  }
  if (!cur_.Holds(offset)) {
    cur_.base = offset;
    cur_.len = 0;
  }
  cur_.pos = static_cast<std::size_t>(offset - cur_.base);
}

const std::uint8_t* InputStream::Window(std::size_t want, std::size_t& avail) {
  if (farActive_) UseMainAt(Tell());
  avail = cur_.len - cur_.pos;
  if (avail < want && !eof_ && file_ != nullptr) {
    if (cur_.pos > 0) {
      std::memmove(cur_.data.get(), cur_.data.get() + cur_.pos, avail);
      cur_.base += static_cast<std::int64_t>(cur_.pos);
      cur_.pos = 0;
      cur_.len = avail;
    }
    while (cur_.len < want && Fill(cur_, kBufferSize) > 0) {
    }
    avail = cur_.len - cur_.pos;
  }
  return cur_.data ? cur_.data.get() + cur_.pos : nullptr;
}

const std::uint8_t* InputStream::PeekAt(std::int64_t offset, std::size_t want, std::size_t& avail) {
  avail = 0;
  if (file_ == nullptr || offset < 0 || (size_ >= 0 && offset >= size_)) return nullptr;
  want = std::min(want, kBufferSize);
  const std::int64_t known = size_ >= 0 ? size_ : INT64_MAX;
  const std::size_t needed = static_cast<std::size_t>(
      std::min<std::int64_t>(static_cast<std::int64_t>(want), known - offset));
  for (const Block* b : {&cur_, &other_}) {
    const std::int64_t end = b->base + static_cast<std::int64_t>(b->len);
    if (offset >= b->base && offset < end && end - offset >= static_cast<std::int64_t>(needed)) {
      avail = static_cast<std::size_t>(end - offset);
      return b->data.get() + (offset - b->base);
    }
  }
  // The far buffer is loaded anew; reads through Get must not be standing in it.
  if (farActive_) UseMainAt(Tell());
  Block& far = other_;
  const bool goesOn = offset == far.base + static_cast<std::int64_t>(far.len);
  farChunk_ = goesOn ? std::min(kBufferSize, farChunk_ * 2) : kFirstFarChunk;
  far.base = offset;
  far.pos = far.len = 0;
  const std::size_t limit = std::max(needed, farChunk_);
  while (far.len < needed && Fill(far, limit - far.len) > 0) {
  }
  avail = far.len;
  return far.len > 0 ? far.data.get() : nullptr;
}

bool OutputStream::Open(const std::string& path) {
  Close();
  file_ = OpenOutput(path);
  if (file_ == nullptr) return false;
  if (!buf_) buf_ = std::make_unique_for_overwrite<std::uint8_t[]>(kBufferSize);
  pos_ = 0;
  written_ = 0;
  failed_ = false;
  return true;
}

void OutputStream::OpenDiscarding() {
  Close();
  if (!buf_) buf_ = std::make_unique_for_overwrite<std::uint8_t[]>(kBufferSize);
  discarding_ = true;
  pos_ = 0;
  written_ = 0;
  failed_ = false;
}

int InputStream::Descriptor() const {
#if defined(_WIN32)
  return -1;
#else
  return file_ != nullptr ? ::fileno(file_) : -1;
#endif
}

std::int64_t OutputStream::CopyFrom(const InputStream& in, std::int64_t offset, std::int64_t n) {
#if defined(__linux__)
  if (file_ == nullptr || in.Descriptor() < 0) return 0;
  // The output is unbuffered below this stream, so its descriptor stands behind what was
  // flushed.
  Flush();
  if (failed_) return 0;
  std::int64_t done = 0;
  while (done < n) {
    loff_t from = offset + done;
    const ssize_t got = ::copy_file_range(in.Descriptor(), &from, ::fileno(file_), nullptr,
                                          static_cast<std::size_t>(n - done), 0);
    // 0 at the input's end; an error where the system cannot copy between these files (another
    // file system on older kernels, no support) or the write failed, which the caller's own
    // copy then meets and reports.
    if (got <= 0) break;
    done += got;
  }
  written_ += done;
  return done;
#else
  (void)in;
  (void)offset;
  (void)n;
  return 0;
#endif
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
