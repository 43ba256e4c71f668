// Truevision Targa images: an 18-byte little-endian header (ID length, colour map type, image
// type, colour map first entry, length and entry size, origin, width, height, pixel depth,
// descriptor), the ID field, the colour map and the pixels, raw or as run-length packets. A
// TGA 2.0 file ends with a 26-byte footer (extension area offset, developer area offset,
// "TRUEVISION-XFILE.\0"), behind the areas it points to.
//
// The format has no signature, and raw pixels are any bytes at all; so an image is taken only
// at the start of an input, and only when it ends exactly where the input does.
#include <algorithm>
#include <cstring>

#include "engine/formats/formats.h"
#include "engine/formats/forward_reader.h"

namespace sorvend {
namespace {

constexpr std::int64_t kHeaderBytes = 18;
constexpr std::int64_t kFooterBytes = 26;
constexpr char kFooterSignature[] = "TRUEVISION-XFILE.";  // and its terminating zero
constexpr std::uint16_t kExtensionAreaBytes = 495;
constexpr int kRunBit = 0x80;

struct Image {
  std::int64_t dataStart = 0;  // behind the ID field and the colour map
  std::int64_t pixels = 0;
  std::int64_t pixelBytes = 0;
  bool rle = false;
};

bool IsTrueColourDepth(int depth) {
  return depth == 15 || depth == 16 || depth == 24 || depth == 32;
}

// The header's own consistency: a known image type, a colour map where the type needs one
// (and none claimed where there is none), a pixel depth the type allows, sides that are not
// zero, and the descriptor's reserved bits clear.
bool ReadImage(const std::uint8_t* h, std::int64_t lead, Image& image) {
  const int mapType = h[1];
  const int type = h[2];
  const std::uint16_t mapFirst = GetLe16(h + 3);
  const std::uint16_t mapLength = GetLe16(h + 5);
  const int mapEntry = h[7];
  const std::uint16_t width = GetLe16(h + 12);
  const std::uint16_t height = GetLe16(h + 14);
  const int depth = h[16];
  const int descriptor = h[17];
  if (width == 0 || height == 0 || (descriptor & 0xC0) != 0 || (descriptor & 0x0F) > depth) {
    return false;
  }
  image.rle = type >= 9;
  switch (image.rle ? type - 8 : type) {
    case 1:  // colour-mapped
      if (mapType != 1 || (depth != 8 && depth != 16)) return false;
      break;
    case 2:  // true colour
      if (!IsTrueColourDepth(depth)) return false;
      break;
    case 3:  // greyscale
      if (depth != 8 && depth != 16) return false;
      break;
    default:
      return false;
  }
  std::int64_t mapBytes = 0;
  if (mapType == 1) {
    if (mapLength == 0 || mapFirst + mapLength > 0x10000 || !IsTrueColourDepth(mapEntry)) {
      return false;
    }
    mapBytes = std::int64_t{mapLength} * ((mapEntry + 7) / 8);
  } else if (mapType != 0 || mapLength != 0) {
    return false;
  }
  image.dataStart = lead + kHeaderBytes + h[0] + mapBytes;
  image.pixels = std::int64_t{width} * height;
  image.pixelBytes = (depth + 7) / 8;
  return true;
}

// The end of run-length packets that give exactly the image's pixels, or -1 when a packet
// overruns the image or the input ends first.
std::int64_t RleEnd(ByteView& in, const Image& image) {
  ForwardReader r(in, image.dataStart, in.Size());
  std::int64_t pixels = 0;
  while (pixels < image.pixels) {
    const int packet = r.Next();
    if (packet < 0) return -1;
    const std::int64_t count = (packet & 0x7F) + 1;
    const std::int64_t values = (packet & kRunBit) != 0 ? 1 : count;
    if (pixels + count > image.pixels || !r.Skip(values * image.pixelBytes)) return -1;
    pixels += count;
  }
  return r.Offset();
}

// A footer at the input's end whose areas lie between the pixels' end and the footer itself,
// an extension area with its own size at its start.
bool FooterFits(ByteView& in, std::int64_t lead, std::int64_t dataEnd) {
  const std::int64_t footer = in.Size() - kFooterBytes;
  std::uint8_t f[kFooterBytes];
  if (footer < dataEnd || !in.Read(footer, f, sizeof f) ||
      std::memcmp(f + 8, kFooterSignature, sizeof kFooterSignature) != 0) {
    return false;
  }
  const std::int64_t extension = GetLe32(f);
  const std::int64_t developer = GetLe32(f + 4);
  if (extension == 0 && developer == 0) return footer == dataEnd;
  for (const std::int64_t area : {extension, developer}) {
    if (area != 0 && (lead + area < dataEnd || lead + area >= footer)) return false;
  }
  if (extension == 0) return true;
  std::uint8_t size[2];
  return lead + extension + kExtensionAreaBytes <= footer &&
         in.Read(lead + extension, size, sizeof size) && GetLe16(size) == kExtensionAreaBytes;
}

}  // namespace

// Tried only where an object must begin. The pixels' end, or a footer that belongs to them,
// must be exactly the end of the input.
bool MeasureTga(ByteView& in, std::int64_t lead, Extent& out) {
  std::uint8_t h[kHeaderBytes];
  Image image;
  if (!in.Read(lead, h, sizeof h) || !ReadImage(h, lead, image)) return false;
  const std::int64_t rawBytes = image.pixels * image.pixelBytes;
  std::int64_t dataEnd = image.dataStart + rawBytes;
  if (image.rle) {
    // Without a footer the packets must end at the input's end: spare decoding them when no
    // packets could fill the bytes there (one packet header for a pixel at most, one for 128
    // at least).
    const std::int64_t coded = in.Size() - image.dataStart;
    const bool footer = in.Byte(in.Size() - 2) == '.' && in.Byte(in.Size() - 1) == 0;
    if (!footer && (coded > rawBytes + image.pixels ||
                    coded < (image.pixels + 127) / 128 * (1 + image.pixelBytes))) {
      return false;
    }
    dataEnd = RleEnd(in, image);
  }
  if (dataEnd < 0 || dataEnd > in.Size()) return false;
  if (dataEnd != in.Size() && !FooterFits(in, lead, dataEnd)) return false;
  out.start = lead;
  out.end = in.Size();
  out.ext = ".TGA";
  return true;
}

}  // namespace sorvend
