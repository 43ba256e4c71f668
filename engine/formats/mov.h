// QuickTime and MP4 movies. The classic carver takes a media-data atom directly followed by the
// movie atom; its lead byte is the "m" of "mdat", 4 bytes into the atom, so the check looks back
// for its size. The thorough one (MeasureMov) walks every top-level box from the file type on.
#pragma once

#include <cstring>

#include "engine/carver.h"
#include "engine/measure.h"

namespace sorvend {

// Reads "mdat" behind the lead byte, the atom's size S1 before it and the atom header at
// A + S1 (A being the atom's start), which must be a "moov". Moves InFile freely but not
// Position. On true Header[4..8) holds S1 and Header[8..12) the movie atom's size S2.
bool IsMov(ScanContext& ctx);

bool ExtractMov(ScanContext& ctx);

// A box walk's reads, served from whatever the view holds in one piece around them while they fall
// inside it, so that a run of small boxes costs no call into the view per box. Only the bytes
// needed are asked for: asking for more than the view holds would have it read them.
class BoxReader {
 public:
  explicit BoxReader(ByteView& in) : in_(in) {}

  bool Read(std::int64_t at, std::uint8_t* dst, std::size_t n) {
    if (at < base_ ||
        at + static_cast<std::int64_t>(n) > base_ + static_cast<std::int64_t>(size_)) {
      base_ = at;
      window_ = in_.Peek(at, n, size_);
      if (size_ < n) return false;
    }
    std::memcpy(dst, window_ + (at - base_), n);
    return true;
  }

 private:
  ByteView& in_;
  const std::uint8_t* window_ = nullptr;
  std::int64_t base_ = 0;
  std::size_t size_ = 0;
};

// One box as its header describes it.
struct Box {
  std::uint32_t type = 0;
  std::int64_t content = 0;  // behind the header
  std::int64_t end = 0;      // one past its last byte; it may lie beyond the input
  bool toTheEnd = false;     // stored size 0: the box runs to the end of the input
};

// The header of the box at `at`: a 32-bit size and the type, then the 64-bit size when the
// stored one is 1. False when it cannot be read or its size is smaller than the header or
// larger than any file.
bool ReadBox(BoxReader& in, std::int64_t at, std::int64_t inputSize, Box& box);

}  // namespace sorvend
