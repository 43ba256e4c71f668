// Device-independent bitmaps stored without a file header (as in executables' resources),
// written out as complete bitmap files with a rebuilt 54-byte header. The thorough rule also
// takes bitmap files whose header agrees with them, and icon images share its header check.
#pragma once

#include <cstdint>

#include "engine/carver.h"

namespace sorvend {

// The working values of one candidate, as read (little-endian) and as inferred.
struct DibFields {
  std::uint16_t bfType = 0;    // bytes at L-14, L-13
  std::int32_t bfSize = 0;     // bytes at L-12..L-9
  std::int32_t bfOffBits = 0;  // bytes at L-4..L-1
  std::int32_t biSize = 0;
  std::int32_t biWidth = 0;
  std::int32_t biHeight = 0;
  std::uint16_t biPlanes = 0;
  std::uint16_t biBitCount = 0;
  std::int32_t biCompression = 0;
  std::int32_t biSizeImage = 0;
  std::int32_t biClrUsed = 0;
};

// Reads the information header behind the lead byte and the 14 bytes before it, then infers
// the layout. Does not move Position.
bool IsDib(ScanContext& ctx, DibFields& dib);

// Decides whether the header describes a bitmap and sets bfSize, bfOffBits and possibly
// biBitCount to what the output header carries. Reads no input.
bool InferDibLayout(DibFields& dib);

bool ExtractDib(ScanContext& ctx);

// An information header (40, 108 or 124 bytes) as the thorough rules read it.
struct DibHeader {
  std::uint32_t size = 0;
  std::int32_t width = 0;
  std::int32_t height = 0;  // negative for rows stored top-down
  std::uint16_t bitCount = 0;
  std::uint32_t compression = 0;
  std::uint32_t sizeImage = 0;
  // Colour masks stored behind a 40-byte header, then the colour table.
  std::int64_t tableBytes = 0;
  // An embedded or linked colour profile, counted from the header's first byte (0: none).
  std::int64_t profileStart = 0;
  std::int64_t profileSize = 0;
};

inline constexpr std::uint32_t kBiRgb = 0;
inline constexpr std::uint32_t kBiRle8 = 1;
inline constexpr std::uint32_t kBiRle4 = 2;
inline constexpr std::uint32_t kBiBitfields = 3;
inline constexpr std::uint32_t kBiAlphaBitfields = 6;

// Reads the information header at `at` and the masks behind it. False unless it describes a
// bitmap a decoder opens: sane dimensions, one plane, a known depth with a compression that
// fits it, colour counts the depth allows, contiguous disjoint masks, a known colour space.
// biSizeImage is left to the caller, since icons count it differently.
bool ReadDibHeader(ByteView& in, std::int64_t at, DibHeader& dib);

// Bytes of one row of `width` pixels of `bits` each, padded to a multiple of four.
std::int64_t DibRowBytes(std::uint16_t bits, std::int32_t width);

}  // namespace sorvend
