// Sun raster images: a 32-byte big-endian header (magic, width, height, depth, data length,
// type, colour map type, colour map length), the colour map, then the pixel rows, each padded
// to a 16-bit boundary. The run-length type codes the rows as one byte stream in which 0x80
// starts an escape.
#include "engine/formats/formats.h"
#include "engine/formats/forward_reader.h"

namespace sorvend {
namespace {

constexpr std::int64_t kHeaderBytes = 32;
constexpr std::uint32_t kMagic = 0x59A66A95;
constexpr std::uint32_t kMaxSide = 65535;
// A raw colour map holds whatever its writer put there; real ones are a few hundred bytes.
constexpr std::uint32_t kMaxMapBytes = 1 << 16;

// Image types: the old one (length stored as 0), the standard one, run-length bytes, and RGB
// instead of BGR order.
constexpr std::uint32_t kTypeOld = 0;
constexpr std::uint32_t kTypeRle = 2;
constexpr std::uint32_t kTypeRgb = 3;
// Colour map types: none, three planes of red, green and blue, raw bytes.
constexpr std::uint32_t kMapNone = 0;
constexpr std::uint32_t kMapRgb = 1;
constexpr std::uint32_t kMapRaw = 2;
constexpr int kEscape = 0x80;

struct Raster {
  std::int64_t rowBytes = 0;  // padded to 16 bits
  std::int64_t height = 0;
  std::int64_t dataStart = 0;  // behind the header and the colour map
  std::uint32_t length = 0;
  std::uint32_t type = 0;
};

bool ReadRaster(ByteView& in, std::int64_t lead, Raster& r) {
  std::uint8_t h[kHeaderBytes];
  if (!in.Read(lead, h, sizeof h) || GetBe32(h) != kMagic) return false;
  const std::uint32_t width = GetBe32(h + 4);
  const std::uint32_t height = GetBe32(h + 8);
  const std::uint32_t depth = GetBe32(h + 12);
  r.length = GetBe32(h + 16);
  r.type = GetBe32(h + 20);
  const std::uint32_t mapType = GetBe32(h + 24);
  const std::uint32_t mapBytes = GetBe32(h + 28);
  if (width == 0 || width > kMaxSide || height == 0 || height > kMaxSide) return false;
  if (depth != 1 && depth != 8 && depth != 24 && depth != 32) return false;
  if (r.type > kTypeRgb) return false;
  switch (mapType) {
    case kMapNone:
      if (mapBytes != 0) return false;
      break;
    case kMapRgb:
      if (mapBytes == 0 || mapBytes % 3 != 0 || mapBytes > 3 * 256) return false;
      break;
    case kMapRaw:
      if (mapBytes > kMaxMapBytes) return false;
      break;
    default:
      return false;
  }
  r.rowBytes = (std::int64_t{width} * depth + 15) / 16 * 2;
  r.height = height;
  r.dataStart = lead + kHeaderBytes + mapBytes;
  if (r.type == kTypeOld || r.type == kTypeRle) return true;
  // The stored length covers the rows, padded or not, and nothing else.
  const std::int64_t unpadded = (std::int64_t{width} * depth + 7) / 8 * height;
  return r.length >= unpadded && r.length <= r.rowBytes * r.height;
}

// Decodes the run-length bytes to the image's size. Returns the coded end, or sets `cut` and
// returns the end of the last whole code when the codes leave the image or the input ends; -1
// when not even the first row is there.
std::int64_t RleEnd(ByteView& in, const Raster& r, bool& cut) {
  const std::int64_t total = r.rowBytes * r.height;
  ForwardReader reader(in, r.dataStart, in.Size());
  std::int64_t made = 0;
  std::int64_t wholeEnd = r.dataStart;
  while (made < total) {
    const int b = reader.Next();
    if (b < 0) break;
    std::int64_t bytes = 1;
    if (b == kEscape) {
      const int count = reader.Next();
      if (count < 0) break;
      if (count > 0) {
        if (reader.Next() < 0) break;
        bytes = count + 1;
      }
    }
    if (made + bytes > total) break;
    made += bytes;
    wholeEnd = reader.Offset();
  }
  cut = made < total;
  return made >= r.rowBytes ? wholeEnd : -1;
}

}  // namespace

bool MeasureSunRaster(ByteView& in, std::int64_t lead, Extent& out) {
  Raster r;
  if (!ReadRaster(in, lead, r)) return false;
  out.start = lead;
  out.ext = ".RAS";
  if (r.type == kTypeRle) {
    out.end = RleEnd(in, r, out.cut);
    return out.end > 0;
  }
  const std::int64_t length = r.type == kTypeOld ? r.rowBytes * r.height : r.length;
  out.end = r.dataStart + length;
  if (out.end <= in.Size()) return true;
  // Cut by the input's end: its whole rows, when there is one.
  const std::int64_t rows = (in.Size() - r.dataStart) / r.rowBytes;
  out.end = r.dataStart + rows * r.rowBytes;
  out.cut = true;
  return rows > 0;
}

}  // namespace sorvend
