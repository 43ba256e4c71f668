// PC Paintbrush images: a 128-byte little-endian header (0x0A, version, encoding 1, bits per
// pixel of a plane, the window xmin, ymin, xmax, ymax, resolutions, a 16-colour palette, a
// reserved zero byte, planes, bytes per plane line), then the scan lines run-length coded, each
// plane's line in turn. A byte with its top two bits set repeats the next byte as often as its
// low six bits say; any other byte stands for itself. Version 5 images of 8-bit pixels in one
// plane end with 0x0C and a palette of 256 colours.
#include "engine/formats/formats.h"
#include "engine/formats/forward_reader.h"

namespace sorvend {
namespace {

constexpr std::int64_t kHeaderBytes = 128;
// The header fields the screen and the measure test: up to bytes per line.
constexpr std::size_t kCheckedBytes = 68;
constexpr int kReservedAt = 64;
constexpr int kPlanesAt = 65;
constexpr int kLineBytesAt = 66;
constexpr int kPaletteMark = 0x0C;
constexpr std::int64_t kPaletteBytes = 1 + 768;
// Writers round a line up to an even length, some to more; beyond this it is no plane line.
constexpr std::int64_t kMaxLinePadding = 8;

// The header's own consistency, as far as `p` holds it: the signature's fields, the reserved
// byte, the planes, a window that is not reversed and lines long enough for its width.
bool HeaderFits(const std::uint8_t* p, std::size_t avail, std::int64_t& lineBytes,
                std::int64_t& height) {
  const int version = p[1];
  const int bits = p[3];
  if (p[0] != 0x0A || (version != 0 && (version < 2 || version > 5)) || p[2] != 1 ||
      (bits != 1 && bits != 2 && bits != 4 && bits != 8)) {
    return false;
  }
  if (avail <= kReservedAt) return true;
  if (p[kReservedAt] != 0) return false;
  if (avail <= kPlanesAt) return true;
  if (p[kPlanesAt] < 1 || p[kPlanesAt] > 4) return false;
  if (avail < kCheckedBytes) return true;
  const std::uint16_t xMin = GetLe16(p + 4);
  const std::uint16_t yMin = GetLe16(p + 6);
  const std::uint16_t xMax = GetLe16(p + 8);
  const std::uint16_t yMax = GetLe16(p + 10);
  if (xMax < xMin || yMax < yMin) return false;
  const std::int64_t needed = ((xMax - xMin + 1) * std::int64_t{bits} + 7) / 8;
  lineBytes = GetLe16(p + kLineBytesAt);
  height = yMax - yMin + 1;
  return lineBytes >= needed && lineBytes <= needed + kMaxLinePadding;
}

}  // namespace

bool ScreenPcx(const std::uint8_t* p, std::size_t avail, std::int64_t /*left*/) {
  std::int64_t lineBytes = 0;
  std::int64_t height = 0;
  return HeaderFits(p, avail, lineBytes, height);
}

// The coded lines are decoded to the image's bytes; their end, with the palette behind it where
// the image has one, is the object's end. Coding that overruns the image, or an input that ends
// first, leaves the image cut behind its last whole code, when its first line is there.
bool MeasurePcx(ByteView& in, std::int64_t lead, Extent& out) {
  std::uint8_t h[kHeaderBytes];
  std::int64_t lineBytes = 0;
  std::int64_t height = 0;
  if (!in.Read(lead, h, sizeof h) || !HeaderFits(h, sizeof h, lineBytes, height)) return false;
  const std::int64_t line = lineBytes * h[kPlanesAt];
  const std::int64_t total = line * height;
  ForwardReader r(in, lead + kHeaderBytes, in.Size());
  std::int64_t made = 0;
  std::int64_t wholeEnd = r.Offset();
  while (made < total) {
    const int b = r.Next();
    if (b < 0) break;
    std::int64_t bytes = 1;
    if ((b & 0xC0) == 0xC0) {
      if (r.Next() < 0) break;
      bytes = b & 0x3F;
    }
    if (made + bytes > total) break;
    made += bytes;
    wholeEnd = r.Offset();
  }
  out.start = lead;
  out.ext = ".PCX";
  out.end = wholeEnd;
  if (made < total) {
    out.cut = true;
    return made >= line;
  }
  const bool hasPalette = h[1] == 5 && h[3] == 8 && h[kPlanesAt] == 1;
  if (!hasPalette) return true;
  if (in.Byte(wholeEnd) == kPaletteMark && wholeEnd + kPaletteBytes <= in.Size()) {
    out.end = wholeEnd + kPaletteBytes;
  } else {
    out.cut = true;
  }
  return true;
}

}  // namespace sorvend
