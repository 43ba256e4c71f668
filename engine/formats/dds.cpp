// DirectDraw surfaces: "DDS ", a 124-byte header with a 32-byte pixel format inside, for
// array and newer formats a 20-byte extension header, then the pixel data with no framing at
// all: every surface (array element or cube face) in turn, each with its mipmap levels from the
// largest down, each level as many depth slices as the level has. The object's size is
// therefore computed from the header alone.
#include <algorithm>
#include <bit>

#include "engine/formats/formats.h"

namespace sorvend {
namespace {

constexpr std::int64_t kHeaderBytes = 4 + 124;
constexpr std::int64_t kExtensionBytes = 20;
constexpr std::uint32_t kPixelFormatBytes = 32;
// Beyond what graphics hardware takes as the side of a texture, a volume's depth or an array.
constexpr std::uint32_t kMaxSide = 32768;
constexpr std::uint32_t kMaxDepth = 2048;
constexpr std::uint32_t kMaxArray = 2048;

// Header fields, as offsets from "DDS ".
constexpr int kHeightAt = 12;
constexpr int kWidthAt = 16;
constexpr int kDepthAt = 24;
constexpr int kMipCountAt = 28;
constexpr int kPixelFormatAt = 76;
constexpr int kCaps2At = 112;

constexpr std::uint32_t kPfAlpha = 0x2;
constexpr std::uint32_t kPfFourCc = 0x4;
constexpr std::uint32_t kPfRgb = 0x40;
constexpr std::uint32_t kPfYuv = 0x200;
constexpr std::uint32_t kPfLuminance = 0x20000;
constexpr std::uint32_t kPfBumpDuDv = 0x80000;
constexpr std::uint32_t kCaps2Cube = 0x200;
constexpr std::uint32_t kCaps2Faces = 0xFC00;  // +X, -X, +Y, -Y, +Z, -Z
constexpr std::uint32_t kCaps2Volume = 0x200000;

// Extension header: the resource's dimension and the cube flag.
constexpr std::uint32_t kDimension1d = 2;
constexpr std::uint32_t kDimension2d = 3;
constexpr std::uint32_t kDimension3d = 4;
constexpr std::uint32_t kMiscCube = 0x4;

// How a format lays out one mipmap level.
struct PixelLayout {
  enum Shape : std::uint8_t { Bits, Blocks4x4, Pairs } shape = Bits;
  // Bits: bits per pixel, rows rounded up to whole bytes. Blocks4x4: bytes per block of 4 x 4
  // pixels. Pairs: bytes per two pixels side by side.
  std::uint32_t size = 0;
};

// Formats named by a four-character code or, for the floating-point and wide ones, by the
// number of their Direct3D format.
bool FourCcLayout(std::uint32_t code, PixelLayout& layout) {
  switch (code) {
    case FourCcLe("DXT1"):
    case FourCcLe("ATI1"):
    case FourCcLe("BC4U"):
    case FourCcLe("BC4S"):
      layout = {PixelLayout::Blocks4x4, 8};
      return true;
    case FourCcLe("DXT2"):
    case FourCcLe("DXT3"):
    case FourCcLe("DXT4"):
    case FourCcLe("DXT5"):
    case FourCcLe("ATI2"):
    case FourCcLe("BC5U"):
    case FourCcLe("BC5S"):
      layout = {PixelLayout::Blocks4x4, 16};
      return true;
    case FourCcLe("RGBG"):
    case FourCcLe("GRGB"):
    case FourCcLe("UYVY"):
    case FourCcLe("YUY2"):
      layout = {PixelLayout::Pairs, 4};
      return true;
    case 111:  // R16F
    case 117:  // CxV8U8
      layout = {PixelLayout::Bits, 16};
      return true;
    case 112:  // G16R16F
    case 114:  // R32F
      layout = {PixelLayout::Bits, 32};
      return true;
    case 36:   // A16B16G16R16
    case 110:  // Q16W16V16U16
    case 113:  // A16B16G16R16F
    case 115:  // G32R32F
      layout = {PixelLayout::Bits, 64};
      return true;
    case 116:  // A32B32G32R32F
      layout = {PixelLayout::Bits, 128};
      return true;
    default:
      return false;
  }
}

// The formats of the extension header, by number; planar video formats are left out.
bool DxgiLayout(std::uint32_t format, PixelLayout& layout) {
  const auto bits = [&](std::uint32_t n) {
    layout = {PixelLayout::Bits, n};
    return true;
  };
  const auto blocks = [&](std::uint32_t n) {
    layout = {PixelLayout::Blocks4x4, n};
    return true;
  };
  const auto pairs = [&](std::uint32_t n) {
    layout = {PixelLayout::Pairs, n};
    return true;
  };
  if (format >= 1 && format <= 4) return bits(128);     // R32G32B32A32
  if (format >= 5 && format <= 8) return bits(96);      // R32G32B32
  if (format >= 9 && format <= 22) return bits(64);     // R16G16B16A16, R32G32, R32G8X24
  if (format >= 23 && format <= 47) return bits(32);    // R10G10B10A2 to R24G8
  if (format >= 48 && format <= 59) return bits(16);    // R8G8, R16
  if (format >= 60 && format <= 65) return bits(8);     // R8, A8
  if (format == 66) return bits(1);                     // R1
  if (format == 67) return bits(32);                    // R9G9B9E5
  if (format == 68 || format == 69) return pairs(4);    // R8G8_B8G8, G8R8_G8B8
  if (format >= 70 && format <= 72) return blocks(8);   // BC1
  if (format >= 73 && format <= 78) return blocks(16);  // BC2, BC3
  if (format >= 79 && format <= 81) return blocks(8);   // BC4
  if (format >= 82 && format <= 84) return blocks(16);  // BC5
  if (format == 85 || format == 86) return bits(16);    // B5G6R5, B5G5R5A1
  if (format >= 87 && format <= 93) return bits(32);    // B8G8R8A8, B8G8R8X8
  if (format >= 94 && format <= 99) return blocks(16);  // BC6H, BC7
  if (format == 100 || format == 101) return bits(32);  // AYUV, Y410
  if (format == 102) return bits(64);                   // Y416
  if (format == 107) return pairs(4);                   // YUY2
  if (format == 108 || format == 109) return pairs(8);  // Y210, Y216
  if (format >= 111 && format <= 113) return bits(8);   // AI44, IA44, P8
  if (format == 114 || format == 115) return bits(16);  // A8P8, B4G4R4A4
  return false;
}

// Uncompressed pixels described by a bit count and masks: a whole number of bytes, each mask
// inside the pixel and none sharing a bit.
bool MaskedLayout(const std::uint8_t* pf, PixelLayout& layout) {
  const std::uint32_t flags = GetLe32(pf + 4);
  if ((flags & (kPfRgb | kPfLuminance | kPfAlpha | kPfYuv | kPfBumpDuDv)) == 0) return false;
  const std::uint32_t bits = GetLe32(pf + 12);
  if (bits != 8 && bits != 16 && bits != 24 && bits != 32) return false;
  std::uint32_t seen = 0;
  for (int i = 0; i < 4; ++i) {
    const std::uint32_t mask = GetLe32(pf + 16 + 4 * i);
    if ((bits < 32 && mask >> bits != 0) || (mask & seen) != 0) return false;
    seen |= mask;
  }
  if (seen == 0) return false;
  layout = {PixelLayout::Bits, bits};
  return true;
}

std::int64_t LevelBytes(const PixelLayout& layout, std::int64_t width, std::int64_t height) {
  switch (layout.shape) {
    case PixelLayout::Blocks4x4:
      return (width + 3) / 4 * ((height + 3) / 4) * layout.size;
    case PixelLayout::Pairs:
      return (width + 1) / 2 * layout.size * height;
    default:
      return (width * layout.size + 7) / 8 * height;
  }
}

// What the header says is stored: the layout, the largest level's size, how many levels, and
// how many surfaces of them.
struct Texture {
  PixelLayout layout;
  std::int64_t width = 0;
  std::int64_t height = 0;
  std::int64_t depth = 1;
  std::int64_t levels = 1;
  std::int64_t surfaces = 1;
  std::int64_t dataStart = kHeaderBytes;
};

bool ReadExtension(ByteView& in, std::int64_t lead, Texture& t) {
  std::uint8_t x[kExtensionBytes];
  if (!in.Read(lead + kHeaderBytes, x, sizeof x) || !DxgiLayout(GetLe32(x), t.layout)) {
    return false;
  }
  const std::uint32_t dimension = GetLe32(x + 4);
  const bool cube = (GetLe32(x + 8) & kMiscCube) != 0;
  const std::uint32_t arraySize = GetLe32(x + 12);
  if (arraySize == 0 || arraySize > kMaxArray) return false;
  switch (dimension) {
    case kDimension1d:
      if (t.height != 1 || cube) return false;
      break;
    case kDimension2d:
      break;
    case kDimension3d:
      if (cube || arraySize != 1) return false;
      break;
    default:
      return false;
  }
  if (dimension != kDimension3d) t.depth = 1;
  t.surfaces = std::int64_t{arraySize} * (cube ? 6 : 1);
  t.dataStart = kHeaderBytes + kExtensionBytes;
  return true;
}

bool ReadTexture(ByteView& in, std::int64_t lead, Texture& t) {
  std::uint8_t h[kHeaderBytes];
  if (!in.Read(lead, h, sizeof h) || !FourCcIs(h, "DDS ") || GetLe32(h + 4) != 124 ||
      GetLe32(h + kPixelFormatAt) != kPixelFormatBytes) {
    return false;
  }
  t.width = GetLe32(h + kWidthAt);
  t.height = GetLe32(h + kHeightAt);
  t.depth = GetLe32(h + kDepthAt);
  t.levels = std::max<std::uint32_t>(1, GetLe32(h + kMipCountAt));
  if (t.width < 1 || t.width > kMaxSide || t.height < 1 || t.height > kMaxSide) return false;

  const std::uint8_t* pf = h + kPixelFormatAt;
  const std::uint32_t caps2 = GetLe32(h + kCaps2At);
  const bool cube = (caps2 & kCaps2Cube) != 0;
  const bool volume = (caps2 & kCaps2Volume) != 0;
  if ((GetLe32(pf + 4) & kPfFourCc) != 0 && FourCcIs(pf + 8, "DX10")) {
    if (!ReadExtension(in, lead, t)) return false;
  } else {
    const bool known = (GetLe32(pf + 4) & kPfFourCc) != 0 ? FourCcLayout(GetLe32(pf + 8), t.layout)
                                                          : MaskedLayout(pf, t.layout);
    if (!known || (cube && volume)) return false;
    // A cube map stores the faces its flags name, in the order +X, -X, +Y, -Y, +Z, -Z.
    t.surfaces = cube ? std::popcount(caps2 & kCaps2Faces) : 1;
    if (t.surfaces == 0) return false;
    if (!volume) t.depth = 1;
  }
  if (t.depth < 1 || t.depth > kMaxDepth) return false;
  // Each level halves every side down to 1; no chain is longer than the largest side allows.
  const auto largest = static_cast<std::uint32_t>(std::max({t.width, t.height, t.depth}));
  return t.levels <= std::bit_width(largest);
}

// Bytes of one mipmap level of one surface: each side halved per level, down to 1.
std::int64_t LevelBytes(const Texture& t, std::int64_t level) {
  const auto side = [&](std::int64_t largest) {
    return std::max<std::int64_t>(1, largest >> level);
  };
  return LevelBytes(t.layout, side(t.width), side(t.height)) * side(t.depth);
}

}  // namespace

bool MeasureDds(ByteView& in, std::int64_t lead, Extent& out) {
  Texture t;
  if (!ReadTexture(in, lead, t)) return false;
  std::int64_t surface = 0;
  for (std::int64_t level = 0; level < t.levels; ++level) surface += LevelBytes(t, level);
  const std::int64_t data = lead + t.dataStart;
  const std::int64_t available = in.Size() - data;
  out.start = lead;
  out.ext = ".DDS";
  if (surface * t.surfaces <= available) {
    out.end = data + surface * t.surfaces;
    return true;
  }
  // Cut by the end of the input: whole surfaces, then the whole levels of the next one; worth
  // writing only while the largest level of the first surface is there to be decoded.
  if (LevelBytes(t, 0) > available) return false;
  std::int64_t kept = available / surface * surface;
  for (std::int64_t level = 0; level < t.levels; ++level) {
    const std::int64_t bytes = LevelBytes(t, level);
    if (kept + bytes > available) break;
    kept += bytes;
  }
  out.end = data + kept;
  out.cut = true;
  return true;
}

}  // namespace sorvend
