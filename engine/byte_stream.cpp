#include "engine/byte_stream.h"

#include <algorithm>
#include <condition_variable>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <mutex>
#include <system_error>
#include <thread>

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

// A block's buffer of at least `capacity` bytes, kept when it is large enough.
void Reserve(std::unique_ptr<std::uint8_t[]>& data, std::size_t& have, std::size_t capacity) {
  if (data && have >= capacity) return;
  data = std::make_unique_for_overwrite<std::uint8_t[]>(capacity);
  have = capacity;
}

}  // namespace

#if defined(_WIN32)

// No positioned reads: every read is the scan's own.
class InputStream::ReadAhead {
 public:
  static std::unique_ptr<ReadAhead> For(std::FILE*, std::int64_t) { return nullptr; }
  void Request(std::int64_t, std::uint8_t*, std::size_t) {}
  std::int64_t Take(std::int64_t) { return -1; }
};

#else

// One read at a time on a thread of its own, at an offset of its own (pread), so that the
// stream's file position stays the scan's.
class InputStream::ReadAhead {
 public:
  static std::unique_ptr<ReadAhead> For(std::FILE* file, std::int64_t size) {
    if (size < kReadAheadFrom) return nullptr;
    return std::make_unique<ReadAhead>(::fileno(file));
  }

  explicit ReadAhead(int fd) : fd_(fd), thread_([this] { Run(); }) {}
  ~ReadAhead() {
    {
      std::lock_guard lock(mutex_);
      stop_ = true;
    }
    changed_.notify_all();
    thread_.join();
  }
  ReadAhead(const ReadAhead&) = delete;
  ReadAhead& operator=(const ReadAhead&) = delete;

  // Reads up to n bytes at `offset` into `into`, which the caller leaves alone until it has
  // asked for the next read or taken this one. A read still running is waited for first.
  void Request(std::int64_t offset, std::uint8_t* into, std::size_t n) {
    std::unique_lock lock(mutex_);
    changed_.wait(lock, [this] { return !pending_; });
    offset_ = offset;
    into_ = into;
    n_ = n;
    pending_ = true;
    done_ = false;
    lock.unlock();
    changed_.notify_all();
  }

  // Waits for the read asked for; how many bytes it got when it was for `offset` (0 at the
  // file's end), else -1, as for an error or when none was asked for.
  std::int64_t Take(std::int64_t offset) {
    std::unique_lock lock(mutex_);
    if (!pending_ && !done_) return -1;
    changed_.wait(lock, [this] { return done_; });
    done_ = false;
    return offset_ == offset ? got_ : -1;
  }

 private:
  void Run() {
    std::unique_lock lock(mutex_);
    for (;;) {
      changed_.wait(lock, [this] { return stop_ || (pending_ && !done_); });
      if (stop_) return;
      const std::int64_t offset = offset_;
      std::uint8_t* into = into_;
      const std::size_t n = n_;
      lock.unlock();
      const std::int64_t got = ReadAt(offset, into, n);
      lock.lock();
      got_ = got;
      pending_ = false;
      done_ = true;
      changed_.notify_all();
    }
  }

  std::int64_t ReadAt(std::int64_t offset, std::uint8_t* into, std::size_t n) const {
    std::size_t done = 0;
    while (done < n) {
      const ssize_t got = ::pread(fd_, into + done, n - done,
                                  static_cast<off_t>(offset) + static_cast<off_t>(done));
      if (got < 0 && errno == EINTR) continue;
      if (got < 0) return done > 0 ? static_cast<std::int64_t>(done) : -1;
      if (got == 0) break;
      done += static_cast<std::size_t>(got);
    }
    return static_cast<std::int64_t>(done);
  }

  const int fd_;
  std::mutex mutex_;
  std::condition_variable changed_;
  bool pending_ = false;  // a read asked for and not yet done
  bool done_ = false;     // a read done and not yet taken
  bool stop_ = false;
  std::int64_t offset_ = -1;
  std::uint8_t* into_ = nullptr;
  std::size_t n_ = 0;
  std::int64_t got_ = 0;
  std::thread thread_;  // last: it starts once the rest is ready
};

#endif

InputStream::InputStream() = default;

InputStream::~InputStream() {
  Close();
}

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
  const std::uintmax_t size = std::filesystem::file_size(std::filesystem::path(path), ec);
  if (!ec) {
    ahead_ = ReadAhead::For(file, static_cast<std::int64_t>(size));
    if (ahead_ != nullptr) {
      // The main buffer takes whole chunks, with the bytes kept in view in front of them.
      Reserve(cur_.data, cur_.capacity, kAheadKeep + kAheadChunk);
      Reserve(aheadBlock_.data, aheadBlock_.capacity, kAheadKeep + kAheadChunk);
      AskAhead();
    }
  }
  return true;
}

void InputStream::Adopt(std::FILE* file) {
  Close();
  file_ = file;
  for (Block* b : {&cur_, &other_}) Reserve(b->data, b->capacity, kBufferSize);
}

void InputStream::Close() {
  // The read-ahead ends first: it reads from the file and into a block.
  ahead_.reset();
  if (file_ != nullptr) std::fclose(file_);
  file_ = nullptr;
  if (farActive_) std::swap(cur_, other_);
  farActive_ = false;
  for (Block* b : {&cur_, &other_, &aheadBlock_}) b->Restart(0);
  filePos_ = 0;
  size_ = -1;
  farChunk_ = kFirstFarChunk;
  eof_ = false;
}

void InputStream::AskAhead() {
  if (ahead_ == nullptr || farActive_) return;
  ahead_->Request(cur_.base + static_cast<std::int64_t>(cur_.len),
                  aheadBlock_.data.get() + kAheadKeep, kAheadChunk);
}

bool InputStream::TakeAhead() {
  if (ahead_ == nullptr || farActive_) return false;
  const std::size_t keep = cur_.len - cur_.pos;
  const std::int64_t end = cur_.base + static_cast<std::int64_t>(cur_.len);
  const std::int64_t got = ahead_->Take(end);
  if (keep > kAheadKeep || got <= 0) {
    // A read for another place, the file's end, an error, or too much to keep in view: the
    // caller reads as without a read-ahead, and the next chunk is asked for behind it.
    return false;
  }
  Block& next = aheadBlock_;
  const std::size_t front = kAheadKeep - keep;
  std::memcpy(next.data.get() + front, cur_.data.get() + cur_.pos, keep);
  next.base = end - static_cast<std::int64_t>(kAheadKeep);
  next.begin = next.pos = front;
  next.len = kAheadKeep + static_cast<std::size_t>(got);
  std::swap(cur_, next);
  AskAhead();
  return true;
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
    cur_.Restart(offset);
    farChunk_ = kFirstFarChunk;
  }
  cur_.pos = static_cast<std::size_t>(offset - cur_.base);
}

std::size_t InputStream::Fill(Block& block, std::size_t limit) {
  const std::int64_t end = block.base + static_cast<std::int64_t>(block.len);
  if (file_ == nullptr || end < 0 || block.len == block.capacity) return 0;
  const std::size_t room = std::min(block.capacity - block.len, limit);
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
  if (TakeAhead()) return cur_.data[cur_.pos++];
  cur_.Restart(cur_.base + static_cast<std::int64_t>(cur_.pos));
  std::size_t limit = cur_.capacity;
  if (farActive_) {
    // A look beyond the size measured at the start finds nothing; it costs no system call.
    if (size_ >= 0 && cur_.base >= size_) {
      eof_ = true;
      return -1;
    }
    limit = farChunk_;
    farChunk_ = std::min(kBufferSize, farChunk_ * 2);
  }
  const bool main = !farActive_;
  if (Fill(cur_, limit) == 0) {
    eof_ = true;
    return -1;
  }
  if (main) AskAhead();
  return cur_.data[cur_.pos++];
}

void InputStream::UseMainAt(std::int64_t offset) {
  if (farActive_) {
    std::swap(cur_, other_);
    farActive_ = false;
  }
  if (!cur_.Holds(offset)) cur_.Restart(offset);
  cur_.pos = static_cast<std::size_t>(offset - cur_.base);
}

const std::uint8_t* InputStream::Window(std::size_t want, std::size_t& avail) {
  if (farActive_) UseMainAt(Tell());
  avail = cur_.len - cur_.pos;
  if (avail < want && !eof_ && file_ != nullptr) {
    if (!TakeAhead()) {
      if (cur_.pos > 0) {
        std::memmove(cur_.data.get(), cur_.data.get() + cur_.pos, avail);
        cur_.Restart(cur_.base + static_cast<std::int64_t>(cur_.pos));
        cur_.len = avail;
      }
      while (cur_.len < want && Fill(cur_, cur_.capacity) > 0) {
      }
      AskAhead();
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
    if (b->Holds(offset) && offset < end && end - offset >= static_cast<std::int64_t>(needed)) {
      avail = static_cast<std::size_t>(end - offset);
      return b->data.get() + (offset - b->base);
    }
  }
  // The far buffer is loaded anew; reads through Get must not be standing in it.
  if (farActive_) UseMainAt(Tell());
  Block& far = other_;
  const bool goesOn = offset == far.base + static_cast<std::int64_t>(far.len);
  farChunk_ = goesOn ? std::min(kBufferSize, farChunk_ * 2) : kFirstFarChunk;
  far.Restart(offset);
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
