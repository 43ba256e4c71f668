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

  InputStream() = default;
  ~InputStream() { Close(); }
  InputStream(const InputStream&) = delete;
  InputStream& operator=(const InputStream&) = delete;

  // Opens a regular file for reading ("rb"). Folders, FIFOs, devices and names that cannot be
  // resolved fail, so that a scan never blocks on a pipe or reads an endless device.
  bool Open(const std::string& path);
  bool IsOpen() const { return file_ != nullptr; }
  void Close();

  // Next byte as 0..255, or -1 once the end of the input has been met.
  int Get() { return pos_ < len_ ? buf_[pos_++] : Underflow(); }
  // Absolute seek; clears the end flag.
  void Seek(std::int64_t offset);
  std::int64_t Tell() const { return base_ + static_cast<std::int64_t>(pos_); }
  bool Eof() const { return eof_; }
  // Size of the file as the end of the stream tells it now.
  std::int64_t Size();

  // The buffered bytes from the read position on, refilled so that at least `want` bytes are
  // there unless the file ends first; `avail` receives their number.
  const std::uint8_t* Window(std::size_t want, std::size_t& avail);
  // Moves the read position forward by n <= avail bytes of the last Window.
  void Skip(std::size_t n) { pos_ += n; }

 private:
  int Underflow();
  std::size_t Fill();

  std::FILE* file_ = nullptr;
  std::unique_ptr<std::uint8_t[]> buf_;
  std::int64_t base_ = 0;     // file offset of buf_[0]
  std::int64_t filePos_ = 0;  // where the FILE itself stands
  std::size_t pos_ = 0;
  std::size_t len_ = 0;
  bool eof_ = false;
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
