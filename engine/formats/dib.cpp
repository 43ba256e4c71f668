#include "engine/formats/dib.h"

#include <algorithm>
#include <array>

namespace sorvend {
namespace {

constexpr std::uint16_t kBM = 0x4D42;  // "BM" read little-endian
constexpr std::array<std::uint16_t, 5> kDepths = {1, 4, 8, 16, 24};

// Bytes of one pixel row at depth d, filled up to a multiple of 4. Sizes are 32-bit values
// that wrap, like the header fields they are compared with.
std::uint32_t Stride(std::uint16_t d, std::int32_t width) {
  const auto w = static_cast<std::uint32_t>(width);
  switch (d) {
    case 1:
      return (w + 31) / 32 * 4;
    case 4:
      return (w + 7) / 8 * 4;
    case 8:
      return (w + 3) / 4 * 4;
    case 16:
      return (2 * w + 3) / 4 * 4;
    default:
      return (3 * w + 3) / 4 * 4;
  }
}

std::int32_t Wrap(std::uint32_t v) {
  return static_cast<std::int32_t>(v);
}

std::int32_t PixelBytes(std::uint16_t d, const DibFields& dib) {
  return Wrap(Stride(d, dib.biWidth) * static_cast<std::uint32_t>(dib.biHeight));
}

// Sets bfOffBits from the palette size that biClrUsed and depth d allow; false rejects.
bool ApplyPalette(std::uint16_t d, DibFields& dib) {
  const std::int32_t n = dib.biClrUsed;
  const std::int32_t maxColours = d == 1 ? 2 : d == 4 ? 16 : d == 8 ? 256 : 0;
  if (n < 0 || n > maxColours) return false;
  if (n > 0) {
    dib.bfOffBits = 54 + 4 * n;
  } else {
    dib.bfOffBits = maxColours == 0 ? 54 : 54 + 4 * maxColours;
  }
  return true;
}

}  // namespace

bool InferDibLayout(DibFields& dib) {
  const std::uint16_t bits = dib.biBitCount;
  if (bits != 1 && bits != 4 && bits != 8 && bits != 16 && bits != 24) return false;
  if (dib.biCompression < 0 || dib.biCompression > 2) return false;
  if (dib.biWidth < 1 || dib.biWidth > 65535) return false;
  if (dib.biHeight < 1 || dib.biHeight > 65535) return false;
  // A bitmap file header in front: its sizes are trusted as they stand.
  if (dib.bfType == kBM) return true;
  // Doubled heights of small icon images (colour and mask stacked) are not bitmaps.
  if ((dib.biWidth == 16 && dib.biHeight == 32) || (dib.biWidth == 32 && dib.biHeight == 64)) {
    return false;
  }
  // The 14 bytes before may still hold a header without its signature whose sizes fit.
  for (std::uint16_t d : kDepths) {
    if (Wrap(static_cast<std::uint32_t>(PixelBytes(d, dib)) +
             static_cast<std::uint32_t>(dib.bfOffBits)) == dib.bfSize) {
      dib.biBitCount = d;
      return true;
    }
  }
  if (dib.biCompression == 1 || dib.biCompression == 2) {
    if (dib.biSizeImage <= 0 || !ApplyPalette(dib.biBitCount, dib)) return false;
    dib.bfSize = Wrap(static_cast<std::uint32_t>(dib.bfOffBits) +
                      static_cast<std::uint32_t>(dib.biSizeImage));
    return true;
  }
  if (dib.biSizeImage != 0) {
    for (std::uint16_t d : kDepths) {
      if (PixelBytes(d, dib) != dib.biSizeImage) continue;
      dib.biBitCount = d;
      if (!ApplyPalette(d, dib)) return false;
      dib.bfSize = Wrap(static_cast<std::uint32_t>(dib.bfOffBits) +
                        static_cast<std::uint32_t>(dib.biSizeImage));
      return true;
    }
    return false;
  }
  if (!ApplyPalette(dib.biBitCount, dib)) return false;
  dib.bfSize = Wrap(static_cast<std::uint32_t>(PixelBytes(dib.biBitCount, dib)) +
                    static_cast<std::uint32_t>(dib.bfOffBits));
  return true;
}

bool IsDib(ScanContext& ctx, DibFields& dib) {
  std::uint8_t* h = ctx.Header.data();
  h[0] = 0x28;
  ReadHeader(ctx, 1, 3);
  dib.biSize = Le32(h);
  if (dib.biSize != 40) return false;
  ReadHeader(ctx, 4, 10);
  dib.biWidth = Le32(h + 4);
  dib.biHeight = Le32(h + 8);
  dib.biPlanes = Le16(h + 12);
  if (dib.biPlanes != 1) return false;
  ReadHeader(ctx, 14, 10);
  dib.biBitCount = Le16(h + 14);
  dib.biCompression = Le32(h + 16);
  dib.biSizeImage = Le32(h + 20);
  ReadHeader(ctx, 24, 8);  // pixels per metre, dropped
  ReadHeader(ctx, 32, 4);
  dib.biClrUsed = Le32(h + 32);
  ReadHeader(ctx, 36, 4);  // important colours, dropped

  // The 14 bytes before the lead byte, where a bitmap file header would stand. Offsets before
  // the start of the input count as 0 and are not read.
  const std::int64_t lead = ctx.Position - 1;
  std::array<std::uint8_t, 14> before{};
  for (int i = 0; i < 14; ++i) {
    const std::int64_t offset = lead - 14 + i;
    if (offset < 0) continue;
    ctx.InFile.Seek(offset);
    before[i] = static_cast<std::uint8_t>(ctx.InFile.Get());
  }
  dib.bfType = Le16(before.data());
  dib.bfSize = Le32(before.data() + 2);
  dib.bfOffBits = Le32(before.data() + 10);
  return InferDibLayout(dib);
}

bool ExtractDib(ScanContext& ctx) {
  const std::int64_t lead = ctx.Position - 1;
  DibFields dib;
  if (!IsDib(ctx, dib)) return Reject(ctx);
  if (!BeginOutput(ctx, ".BMP", lead)) return true;

  std::array<std::uint8_t, 54> out{};
  out[0] = 'B';
  out[1] = 'M';
  PutLe32(&out[2], dib.bfSize);
  PutLe32(&out[10], dib.bfOffBits);
  PutLe32(&out[14], 40);
  PutLe32(&out[18], dib.biWidth);
  PutLe32(&out[22], dib.biHeight);
  out[26] = static_cast<std::uint8_t>(dib.biPlanes);
  out[27] = static_cast<std::uint8_t>(dib.biPlanes >> 8);
  out[28] = static_cast<std::uint8_t>(dib.biBitCount);
  out[29] = static_cast<std::uint8_t>(dib.biBitCount >> 8);
  PutLe32(&out[30], dib.biCompression);
  PutLe32(&out[34], dib.biSizeImage);
  PutLe32(&out[46], dib.biClrUsed);
  WriteBytes(ctx, out.data(), out.size());

  // Palette and pixels follow the 40-byte information header.
  SeekTo(ctx, lead + 40);
  const std::int64_t n = std::min<std::int64_t>(std::int64_t{dib.bfSize} - 54, Remaining(ctx));
  if (CopyBytes(ctx, n) == CopyEnd::Stopped) return true;
  EndOutput(ctx);
  return true;
}

}  // namespace sorvend
