// The thorough profile's shape: a carver's measure looks at the candidate through a
// random-access view of the input and says where the object starts and ends; the engine then
// copies that range. Nothing is written for a candidate the measure refuses, and a refused
// candidate leaves the scan's read buffer as it was.
#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "engine/scan_context.h"

namespace sorvend {

// A read-only, random-access view of the input being scanned, bounded by the size measured
// when the scan began. Reads that leave the main buffer go through the input's far buffer and
// count as work towards KeepResponsive; once the front end has stopped the scan every read
// finds nothing, so that any measure loop ends at once.
class ByteView {
 public:
  explicit ByteView(ScanContext& ctx) : ctx_(ctx) {}

  std::int64_t Size() const { return ctx_.FileSize; }
  // The end of the last object written from this input: no object may start before it.
  std::int64_t Floor() const { return ctx_.ObjectFloor; }
  bool Stopped() const { return (ctx_.Flags & Flag::InputOpen) == 0; }
  // The front end's switch for a kind, asked when a measure needs to choose between kinds.
  bool Ticked(Kind kind) const { return ctx_.Host->IsTicked(kind); }

  // Up to `want` contiguous bytes at `offset` (at most 64 KiB); `avail` receives how many
  // (0 beyond the end, before 0, or once stopped).
  const std::uint8_t* Peek(std::int64_t offset, std::size_t want, std::size_t& avail);

  // All n bytes at `offset` into dst, or false when any lies outside the input.
  bool Read(std::int64_t offset, void* dst, std::size_t n);
  // One byte, or -1 outside the input.
  int Byte(std::int64_t offset) {
    std::size_t avail = 0;
    const std::uint8_t* p = Peek(offset, 1, avail);
    return avail > 0 ? *p : -1;
  }

  // Hands [offset, offset + length) to f(const std::uint8_t*, std::size_t) piece by piece, for
  // checksums and scans of large parts. False when the range leaves the input.
  template <class F>
  bool Each(std::int64_t offset, std::int64_t length, F&& f) {
    while (length > 0) {
      std::size_t avail = 0;
      const auto want = static_cast<std::size_t>(std::min<std::int64_t>(length, kChunk));
      const std::uint8_t* p = Peek(offset, want, avail);
      if (avail == 0) return false;
      const auto n = static_cast<std::size_t>(std::min<std::int64_t>(length, avail));
      f(p, n);
      offset += static_cast<std::int64_t>(n);
      length -= static_cast<std::int64_t>(n);
    }
    return true;
  }

 private:
  static constexpr std::size_t kChunk = std::size_t{1} << 16;
  ScanContext& ctx_;
};

// Field readers over bytes a measure holds.
inline std::uint16_t GetLe16(const std::uint8_t* p) {
  return static_cast<std::uint16_t>(p[0] | p[1] << 8);
}
inline std::uint32_t GetLe32(const std::uint8_t* p) {
  return std::uint32_t{p[0]} | std::uint32_t{p[1]} << 8 | std::uint32_t{p[2]} << 16 |
         std::uint32_t{p[3]} << 24;
}
inline std::uint64_t GetLe64(const std::uint8_t* p) {
  return std::uint64_t{GetLe32(p)} | std::uint64_t{GetLe32(p + 4)} << 32;
}
inline std::uint32_t GetLe24(const std::uint8_t* p) {
  return std::uint32_t{p[0]} | std::uint32_t{p[1]} << 8 | std::uint32_t{p[2]} << 16;
}
inline std::uint16_t GetBe16(const std::uint8_t* p) {
  return static_cast<std::uint16_t>(p[0] << 8 | p[1]);
}
inline std::uint32_t GetBe24(const std::uint8_t* p) {
  return std::uint32_t{p[0]} << 16 | std::uint32_t{p[1]} << 8 | p[2];
}
inline std::uint32_t GetBe32(const std::uint8_t* p) {
  return std::uint32_t{p[0]} << 24 | std::uint32_t{p[1]} << 16 | std::uint32_t{p[2]} << 8 |
         std::uint32_t{p[3]};
}
inline std::uint64_t GetBe64(const std::uint8_t* p) {
  return std::uint64_t{GetBe32(p)} << 32 | GetBe32(p + 4);
}
// A four-character code as the number GetLe32 or GetBe32 reads from its bytes, for switches.
constexpr std::uint32_t FourCcLe(const char (&code)[5]) {
  return std::uint32_t{static_cast<std::uint8_t>(code[0])} |
         std::uint32_t{static_cast<std::uint8_t>(code[1])} << 8 |
         std::uint32_t{static_cast<std::uint8_t>(code[2])} << 16 |
         std::uint32_t{static_cast<std::uint8_t>(code[3])} << 24;
}
constexpr std::uint32_t FourCcBe(const char (&code)[5]) {
  return std::uint32_t{static_cast<std::uint8_t>(code[0])} << 24 |
         std::uint32_t{static_cast<std::uint8_t>(code[1])} << 16 |
         std::uint32_t{static_cast<std::uint8_t>(code[2])} << 8 |
         static_cast<std::uint8_t>(code[3]);
}
inline bool FourCcIs(const std::uint8_t* p, const char* code) {
  return std::memcmp(p, code, 4) == 0;
}

// What a measure found: the object is [start, end) of the input.
struct Extent {
  std::int64_t start = 0;
  std::int64_t end = 0;
  // The structure broke or the input ended before the object's proper end; [start, end) is
  // its last whole valid part, decodable on its own.
  bool cut = false;
  // The output's extension with its dot (".PNG").
  const char* ext = nullptr;
  // Bytes the engine writes before the range, for objects stored without their file header
  // (a bitmap's rebuilt BITMAPFILEHEADER).
  std::array<std::uint8_t, 14> prefix{};
  std::uint8_t prefixSize = 0;
};

// A thorough carver: `lead` is the offset of the lead byte that made the candidate. True when
// an object was found and `out` holds it; it must contain the lead byte and may start before
// it. Costs work in proportion to the bytes it reads.
using MeasureEntry = bool (*)(ByteView& in, std::int64_t lead, Extent& out);

// A first look at a candidate through bytes the scan holds in memory anyway: p is the lead
// byte, `avail` >= 4 bytes stand from it, and the input ends `left` >= avail bytes from it. False
// only when these show that the measure refuses the candidate; true when they are too few to
// tell. It spares the measure's call for the many positions of ordinary data that fit a weak
// signature.
using MeasureScreen = bool (*)(const std::uint8_t* p, std::size_t avail, std::int64_t left);

// Writes a measured object: the next output name, the prefix, the range copied in large
// blocks (nothing in a dry run), then the walk resumes right behind it.
void WriteExtent(ScanContext& ctx, const Extent& extent);

}  // namespace sorvend
