// A reader that walks the input forward byte by byte, a window at a time, for measures that
// look at every byte of a coded stream (run-length pixels, chunk streams).
#pragma once

#include <algorithm>
#include <cstdint>

#include "engine/measure.h"

namespace sorvend {

// Reads forward through the input a window at a time, for walks that look at every byte.
class ForwardReader {
 public:
  ForwardReader(ByteView& in, std::int64_t at, std::int64_t end) : in_(in), at_(at), end_(end) {}

  // The next byte, or -1 at the walk's end or the input's.
  int Next() {
    if (next_ == stop_ && !Refill()) return -1;
    ++at_;
    return *next_++;
  }
  // Passes over n bytes; false when they leave the walk's range.
  bool Skip(std::int64_t n) {
    if (n > end_ - at_) return false;
    if (n < stop_ - next_) {
      next_ += n;
    } else {
      next_ = stop_ = nullptr;
    }
    at_ += n;
    return true;
  }
  std::int64_t Offset() const { return at_; }

 private:
  bool Refill() {
    if (at_ >= end_) return false;
    const auto want = static_cast<std::size_t>(std::min<std::int64_t>(end_ - at_, kWindow));
    std::size_t avail = 0;
    next_ = in_.Peek(at_, want, avail);
    // Peek may hand out more than was asked for.
    stop_ = next_ + std::min(avail, want);
    return avail > 0;
  }

  static constexpr std::int64_t kWindow = std::int64_t{1} << 16;
  ByteView& in_;
  std::int64_t at_;
  std::int64_t end_;
  const std::uint8_t* next_ = nullptr;
  const std::uint8_t* stop_ = nullptr;
};

}  // namespace sorvend
