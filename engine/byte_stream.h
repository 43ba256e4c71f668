// Buffered byte streams for the scan. The per-byte read and write and a seek that lands inside
// the buffer are inline and make no system call; the scan loop can also look at the buffered
// bytes directly to skip over stretches that hold no candidate.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>

namespace sorvend {

class InputStream {
 public:
  static constexpr std::size_t kBufferSize = std::size_t{1} << 16;
  // Files at least this long are read ahead on a thread of their own where the system allows,
  // in chunks of kAheadChunk, so that the copy out of the system's cache runs beside the scan.
  static constexpr std::int64_t kReadAheadFrom = std::int64_t{1} << 20;
  static constexpr std::size_t kAheadChunk = std::size_t{1} << 19;
  // Bytes a refill from the read-ahead keeps in view in front of the new chunk.
  static constexpr std::size_t kAheadKeep = 4096;

  InputStream();
  ~InputStream();
  InputStream(const InputStream&) = delete;
  InputStream& operator=(const InputStream&) = delete;

  // Opens a regular file for reading ("rb"). Folders, FIFOs, devices and names that cannot be
  // resolved fail, so that a scan never blocks on a pipe or reads an endless device.
  bool Open(const std::string& path);
  // Reads from a stream opened elsewhere (decoded bytes in memory or in a temporary file), with
  // the buffering it was given, and closes it with Close.
  void Adopt(std::FILE* file);
  bool IsOpen() const { return file_ != nullptr; }
  void Close();

  // Next byte as 0..255, or -1 once the end of the input has been met.
  int Get() { return cur_.pos < cur_.len ? cur_.data[cur_.pos++] : Underflow(); }
  // Absolute seek; clears the end flag. A seek away from the buffered bytes reads there
  // through a second, far buffer, so that a look far ahead or behind and the seek back keep
  // the main buffer as it was.
  void Seek(std::int64_t offset);
  std::int64_t Tell() const { return cur_.base + static_cast<std::int64_t>(cur_.pos); }
  bool Eof() const { return eof_; }
  // Size of the file as the end of the stream tells it now.
  std::int64_t Size();

  // The buffered bytes from the read position on, refilled so that at least `want` bytes are
  // there unless the file ends first; `avail` receives their number.
  const std::uint8_t* Window(std::size_t want, std::size_t& avail);
  // Moves the read position forward by n <= avail bytes of the last Window.
  void Skip(std::size_t n) { cur_.pos += n; }

  // Random access that leaves the read position and the main buffer alone: up to `want`
  // contiguous bytes at `offset` (at most kBufferSize), `avail` receives how many there are
  // (fewer only at the end of the input). Bytes beyond the size measured by the last Size()
  // are never read. The pointer stays valid until the next call on this stream.
  const std::uint8_t* PeekAt(std::int64_t offset, std::size_t want, std::size_t& avail);

  // The open file's descriptor, for copies the system makes by itself; -1 when none is open.
  int Descriptor() const;

 private:
  class ReadAhead;

  struct Block {
    std::unique_ptr<std::uint8_t[]> data;
    std::size_t capacity = 0;
    std::int64_t base = 0;  // file offset of data[0]
    std::size_t begin = 0;  // data[begin..len) hold the file's bytes
    std::size_t pos = 0;
    std::size_t len = 0;
    bool Holds(std::int64_t offset) const {
      return offset >= base + static_cast<std::int64_t>(begin) &&
             offset <= base + static_cast<std::int64_t>(len);
    }
    // Empty, its data[0] standing for the file's byte at `offset`.
    void Restart(std::int64_t offset) {
      base = offset;
      begin = pos = len = 0;
    }
  };

  int Underflow();
  std::size_t Fill(Block& block, std::size_t limit);
  // Makes the main buffer the one reads come from, positioned at `offset`.
  void UseMainAt(std::int64_t offset);
  // Refills the main buffer, which reads come from, with the chunk read ahead when it starts
  // where the buffer ends; data[pos..len) stay in view in front of it. False when there is no
  // such chunk: the caller reads itself.
  bool TakeAhead();
  // Has the chunk behind the main buffer's end read ahead.
  void AskAhead();

  std::FILE* file_ = nullptr;
  Block cur_;                 // the block reads come from
  Block other_;               // the block standing by
  bool farActive_ = false;    // cur_ is the far buffer
  std::int64_t filePos_ = 0;  // where the FILE itself stands
  std::int64_t size_ = -1;    // as last measured; -1 before the first Size()
  std::size_t farChunk_ = 0;  // how much the next far fill reads
  bool eof_ = false;
  // The read-ahead and the block it fills, while one runs.
  std::unique_ptr<ReadAhead> ahead_;
  Block aheadBlock_;
};

class OutputStream {
 public:
  static constexpr std::size_t kBufferSize = std::size_t{1} << 16;

  OutputStream() = default;
  ~OutputStream() { Close(); }
  OutputStream(const OutputStream&) = delete;
  OutputStream& operator=(const OutputStream&) = delete;

  // Creates or empties the file. A symbolic link or a hard link under the name is replaced by a
  // new file and what it points to is left alone; a folder or anything else that is no regular
  // file fails. (On Windows a plain "wb" open.)
  bool Open(const std::string& path);
  // A sink that counts the bytes and writes nothing, for dry runs.
  void OpenDiscarding();
  bool IsOpen() const { return file_ != nullptr || discarding_; }
  // Flushes and closes; false when any write since Open failed.
  bool Close();

  void Put(std::uint8_t byte) {
    if (pos_ == kBufferSize) Flush();
    buf_[pos_++] = byte;
    ++written_;
  }
  void Write(const std::uint8_t* data, std::size_t n);
  // In a dry run's sink: counts n bytes as written without their data.
  void CountDiscarded(std::int64_t n) {
    if (discarding_) written_ += n;
  }
  // Copies up to n bytes of `in` from `offset` behind the bytes written so far, file to file in
  // the system where it can (Linux), without passing them through this process. Returns how many
  // it copied: fewer, down to 0, where the system cannot or the input ends; the caller copies
  // the rest itself. The input's read position and buffers stay as they were.
  std::int64_t CopyFrom(const InputStream& in, std::int64_t offset, std::int64_t n);
  std::int64_t Written() const { return written_; }
  bool Failed() const { return failed_; }

 private:
  void Flush();

  std::FILE* file_ = nullptr;
  bool discarding_ = false;
  bool failed_ = false;
  std::unique_ptr<std::uint8_t[]> buf_;
  std::size_t pos_ = 0;
  std::int64_t written_ = 0;
};

}  // namespace sorvend
