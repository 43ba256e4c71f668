// Device-independent bitmaps stored without a file header (as in executables' resources),
// written out as complete bitmap files with a rebuilt 54-byte header.
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

}  // namespace sorvend
