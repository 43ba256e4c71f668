#include "engine/formats/dib.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cstdlib>

#include "engine/formats/forward_reader.h"

namespace sorvend {
namespace {

constexpr std::uint16_t kBM = 0x4D42;  // "BM" read little-endian

// Offsets of the information header's fields, common to every version of it.
constexpr int kWidthAt = 4;
constexpr int kHeightAt = 8;
constexpr int kPlanesAt = 12;
constexpr int kBitCountAt = 14;
constexpr int kCompressionAt = 16;
constexpr int kSizeImageAt = 20;
constexpr int kXPelsAt = 24;
constexpr int kYPelsAt = 28;
constexpr int kColoursUsedAt = 32;
constexpr int kColoursImportantAt = 36;
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
  dib.biWidth = Le32(h + kWidthAt);
  dib.biHeight = Le32(h + kHeightAt);
  dib.biPlanes = GetLe16(h + kPlanesAt);
  if (dib.biPlanes != 1) return false;
  ReadHeader(ctx, 14, 10);
  dib.biBitCount = GetLe16(h + kBitCountAt);
  dib.biCompression = Le32(h + kCompressionAt);
  dib.biSizeImage = Le32(h + kSizeImageAt);
  ReadHeader(ctx, 24, 8);  // pixels per metre, dropped
  ReadHeader(ctx, 32, 4);
  dib.biClrUsed = Le32(h + kColoursUsedAt);
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
  dib.bfType = GetLe16(before.data());
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

namespace sorvend {
namespace {

constexpr std::int32_t kMaxSide = 65535;
constexpr std::int32_t kMaxIconSide = 256;
// Information header sizes: the original, the one with the four masks inside (as GIMP writes
// 16- and 32-bit pixels), version 4 and version 5.
constexpr std::uint32_t kCoreHeader = 40;
constexpr std::uint32_t kMaskedHeader = 56;
constexpr std::uint32_t kV4Header = 108;
constexpr std::uint32_t kV5Header = 124;
// Offsets in the information header.
constexpr int kMasksAt = 40;
constexpr int kColourSpaceAt = 56;
constexpr int kProfileDataAt = 112;
constexpr int kProfileSizeAt = 116;
constexpr std::uint32_t kProfileLinked = 0x4C494E4B;    // "LINK"
constexpr std::uint32_t kProfileEmbedded = 0x4D424544;  // "MBED"
constexpr std::int64_t kMaxProfileSize = std::int64_t{1} << 26;
// A bitmap file's declared size may count bytes behind its pixel rows (padding, a writer's
// extra data) up to this many; a larger one is taken to lie, and the file ends at its last row.
constexpr std::int64_t kFileSlack = std::int64_t{64} << 10;

bool KnownHeaderSize(std::uint32_t size) {
  return size == kCoreHeader || size == kMaskedHeader || size == kV4Header || size == kV5Header;
}

bool DepthAndCompressionFit(std::uint16_t bits, std::uint32_t compression) {
  switch (compression) {
    case kBiRgb:
      return bits == 1 || bits == 4 || bits == 8 || bits == 16 || bits == 24 || bits == 32;
    case kBiRle8:
      return bits == 8;
    case kBiRle4:
      return bits == 4;
    case kBiBitfields:
    case kBiAlphaBitfields:
      return bits == 16 || bits == 32;
    default:
      return false;
  }
}

// Red, green and blue must each be one run of bits inside the pixel, none sharing a bit;
// alpha, when there is a fourth mask, may be empty.
bool MasksFit(const std::uint8_t* masks, int count, std::uint16_t bits) {
  const std::uint64_t room = (std::uint64_t{1} << bits) - 1;
  std::uint32_t seen = 0;
  for (int i = 0; i < count; ++i) {
    const std::uint32_t m = GetLe32(masks + 4 * i);
    if (m == 0) {
      if (i < 3) return false;
      continue;
    }
    const std::uint32_t run = m >> std::countr_zero(m);
    if (m > room || (m & seen) != 0 || (run & (run + 1)) != 0) return false;
    seen |= m;
  }
  return true;
}

}  // namespace

std::int64_t DibRowBytes(std::uint16_t bits, std::int32_t width) {
  return (std::int64_t{width} * bits + 31) / 32 * 4;
}

namespace {

constexpr std::uint32_t MaxColours(std::uint16_t bits) {
  // Indexed depths hold at most 2^bits colours; deeper pixels may carry a table of up to 256
  // to help displays with few colours.
  return bits <= 8 ? 1u << bits : 256;
}

// The fields every information header starts with (its first 40 bytes): sane dimensions, one
// plane, a depth with a compression that fits it, and no more colours than the depth holds.
bool CoreFieldsFit(const std::uint8_t* h) {
  const std::uint32_t size = GetLe32(h);
  if (!KnownHeaderSize(size)) return false;
  const auto width = static_cast<std::int32_t>(GetLe32(h + kWidthAt));
  const auto height = static_cast<std::int32_t>(GetLe32(h + kHeightAt));
  const std::uint16_t bits = GetLe16(h + kBitCountAt);
  const std::uint32_t compression = GetLe32(h + kCompressionAt);
  const std::int64_t rows = std::abs(std::int64_t{height});
  if (width < 1 || width > kMaxSide || rows < 1 || rows > kMaxSide) return false;
  if (GetLe16(h + kPlanesAt) != 1 || !DepthAndCompressionFit(bits, compression)) return false;
  // Run-length coded rows are always stored bottom-up.
  if (height < 0 && (compression == kBiRle8 || compression == kBiRle4)) return false;
  // Pixels per metre.
  if (static_cast<std::int32_t>(GetLe32(h + kXPelsAt)) < 0 ||
      static_cast<std::int32_t>(GetLe32(h + kYPelsAt)) < 0) {
    return false;
  }
  return GetLe32(h + kColoursUsedAt) <= MaxColours(bits) &&
         GetLe32(h + kColoursImportantAt) <= MaxColours(bits);
}

}  // namespace

bool ScreenDib(const std::uint8_t* p, std::size_t avail, std::int64_t /*left*/) {
  return avail < 40 || CoreFieldsFit(p);
}

bool ReadDibHeader(ByteView& in, std::int64_t at, DibHeader& dib) {
  std::uint8_t h[124 + 16];
  if (!in.Read(at, h, 4)) return false;
  dib.size = GetLe32(h);
  if (!KnownHeaderSize(dib.size)) return false;
  if (!in.Read(at + 4, h + 4, dib.size - 4) || !CoreFieldsFit(h)) return false;
  dib.width = static_cast<std::int32_t>(GetLe32(h + kWidthAt));
  dib.height = static_cast<std::int32_t>(GetLe32(h + kHeightAt));
  dib.bitCount = GetLe16(h + kBitCountAt);
  dib.compression = GetLe32(h + kCompressionAt);
  dib.sizeImage = GetLe32(h + kSizeImageAt);
  const std::uint32_t coloursUsed = GetLe32(h + kColoursUsedAt);
  const std::uint32_t colours = coloursUsed != 0    ? coloursUsed
                                : dib.bitCount <= 8 ? MaxColours(dib.bitCount)
                                                    : 0;

  const bool masked = dib.compression == kBiBitfields || dib.compression == kBiAlphaBitfields;
  std::int64_t maskBytes = 0;
  if (masked && dib.size == kCoreHeader) {
    maskBytes = dib.compression == kBiAlphaBitfields ? 16 : 12;
    if (!in.Read(at + kMasksAt, h + kMasksAt, static_cast<std::size_t>(maskBytes))) return false;
  }
  const int masks = dib.size == kCoreHeader ? static_cast<int>(maskBytes / 4) : 4;
  if (masked && !MasksFit(h + kMasksAt, masks, dib.bitCount)) return false;
  dib.tableBytes = maskBytes + 4 * std::int64_t{colours};

  dib.profileStart = dib.profileSize = 0;
  // Decoders ignore the colour space, the gamma and the intent; only a version 5 header's
  // profile fields point anywhere (Wine's bitmaps carry colour space 1, for one).
  if (dib.size == kV5Header) {
    const std::uint32_t space = GetLe32(h + kColourSpaceAt);
    if (space == kProfileLinked || space == kProfileEmbedded) {
      dib.profileStart = GetLe32(h + kProfileDataAt);
      dib.profileSize = GetLe32(h + kProfileSizeAt);
      // The profile lies behind the colour table.
      if (dib.profileSize == 0 || dib.profileSize > kMaxProfileSize ||
          dib.profileStart < dib.size + dib.tableBytes) {
        return false;
      }
    }
  }
  return true;
}

namespace {

// The most bytes run-length codes can take for an image: every pixel a run of one, every row
// ended, then the end-of-bitmap code.
std::int64_t RleBound(const DibHeader& dib) {
  return (2 * std::int64_t{dib.width} + 4) * dib.height + 2;
}

// Walks run-length coded pixels at `at` to their end-of-bitmap code, at most `limit` bytes.
// Returns the coded length, or -1 when a code leaves the image or the codes never end.
std::int64_t RleLength(ByteView& in, std::int64_t at, std::int64_t limit, const DibHeader& dib) {
  const bool four = dib.compression == kBiRle4;
  // Encoders may code a row's padding too, as far as its stored width reaches.
  const std::int64_t lastX = DibRowBytes(dib.bitCount, dib.width) * 8 / dib.bitCount;
  const std::int64_t rows = dib.height;
  ForwardReader r(in, at, at + limit);
  std::int64_t x = 0;
  std::int64_t y = 0;
  for (;;) {
    const int count = r.Next();
    const int code = r.Next();
    if (code < 0) return -1;
    if (count > 0) {
      x += count;
      if (y >= rows || x > lastX) return -1;
      continue;
    }
    switch (code) {
      case 0:  // end of line
        x = 0;
        if (++y > rows) return -1;
        break;
      case 1:  // end of bitmap
        return r.Offset() - at;
      case 2: {  // move right and up
        const int dx = r.Next();
        const int dy = r.Next();
        if (dy < 0) return -1;
        x += dx;
        y += dy;
        if (x > lastX || y > rows) return -1;
        break;
      }
      default: {  // `code` literal pixels, padded to an even number of bytes
        std::int64_t bytes = four ? (code + 1) / 2 : code;
        bytes += bytes & 1;
        x += code;
        if (y >= rows || x > lastX || !r.Skip(bytes)) return -1;
        break;
      }
    }
  }
}

// Bytes of pixel data at `at`, no more than `room`; -1 when there is no valid pixel data.
std::int64_t PixelBytes(ByteView& in, std::int64_t at, std::int64_t room, const DibHeader& dib) {
  if (dib.compression == kBiRle8 || dib.compression == kBiRle4) {
    const std::int64_t bound = RleBound(dib);
    if (dib.sizeImage > bound) return -1;
    // The stored size counts the codes and any padding behind their end.
    const std::int64_t limit = std::min(room, dib.sizeImage != 0 ? dib.sizeImage : bound);
    const std::int64_t coded = RleLength(in, at, limit, dib);
    if (coded < 0) return -1;
    return dib.sizeImage != 0 ? dib.sizeImage : coded;
  }
  // Decoders read the rows from the pixel offset whatever the stored size says (GIMP's counts
  // two bytes more).
  const std::int64_t bytes =
      DibRowBytes(dib.bitCount, dib.width) * std::abs(std::int64_t{dib.height});
  return bytes <= room ? bytes : -1;
}

// The end of an object whose header stands at `header` and pixels at `pixels`: behind the
// pixels or the profile. -1 when the profile overlaps the pixels or the object leaves `end`.
std::int64_t ObjectEnd(ByteView& in, std::int64_t header, std::int64_t pixels, std::int64_t end,
                       const DibHeader& dib) {
  const std::int64_t count = PixelBytes(in, pixels, end - pixels, dib);
  if (count < 0) return -1;
  std::int64_t last = pixels + count;
  if (dib.profileSize != 0) {
    const std::int64_t profile = header + dib.profileStart;
    if (profile < last && profile + dib.profileSize > pixels) return -1;
    last = std::max(last, profile + dib.profileSize);
  }
  return last <= end ? last : -1;
}

}  // namespace

// A header-less bitmap (40-, 56-, 108- or 124-byte information header, then masks, colour table
// and pixels) is written behind a rebuilt file header. A bitmap file standing 14 bytes before,
// whose pixel offset lies behind the colour table, is written as it is: as far as its declared
// size where that covers every row and reaches at most kFileSlack past them, else up to its
// last row.
bool MeasureDib(ByteView& in, std::int64_t lead, Extent& out) {
  DibHeader dib;
  if (!ReadDibHeader(in, lead, dib)) return false;
  const std::int64_t tableEnd = 14 + dib.size + dib.tableBytes;
  out.ext = ".BMP";

  std::uint8_t file[14];
  const std::int64_t fileStart = lead - 14;
  if (fileStart >= 0 && in.Read(fileStart, file, sizeof file) && file[0] == 'B' && file[1] == 'M') {
    const std::int64_t declaredEnd = fileStart + GetLe32(file + 2);
    const std::int64_t offBits = GetLe32(file + 10);
    const std::int64_t end =
        offBits >= tableEnd ? ObjectEnd(in, lead, fileStart + offBits, in.Size(), dib) : -1;
    if (end >= 0) {
      out.start = fileStart;
      out.end = end;
      if (declaredEnd >= end && declaredEnd - end <= kFileSlack) {
        // The declared tail is the file's own; the input may end inside it.
        out.end = std::min(declaredEnd, in.Size());
        out.cut = declaredEnd > in.Size();
      }
      return true;
    }
  }

  // Icon and cursor images in programs' resources are stored like this too, but twice as high
  // as wide (colour pixels, then the transparency mask): no bitmap of their own.
  if (dib.height == 2 * dib.width && dib.width <= kMaxIconSide) return false;
  // Without a file header the masks, colour table and pixels follow the header directly.
  const std::int64_t pixels = lead + dib.size + dib.tableBytes;
  const std::int64_t end = ObjectEnd(in, lead, pixels, in.Size(), dib);
  // The file header's size field has 32 bits.
  if (end < 0 || 14 + end - lead > std::int64_t{UINT32_MAX}) return false;
  out.start = lead;
  out.end = end;
  out.prefix[0] = 'B';
  out.prefix[1] = 'M';
  PutLe32(&out.prefix[2], static_cast<std::int32_t>(static_cast<std::uint32_t>(14 + end - lead)));
  PutLe32(&out.prefix[10], static_cast<std::int32_t>(tableEnd));
  out.prefixSize = 14;
  return true;
}

}  // namespace sorvend
