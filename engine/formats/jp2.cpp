// JPEG 2000 pictures, as a bare codestream or in the box form around one.
//
// A codestream opens with SOC (FF 4F) and SIZ (FF 51), then the other main header segments,
// each a marker and a 16-bit length; then tile-parts, each opening with SOT (FF 90) whose Psot
// field is the tile-part's length from the SOT marker on (0 only for the last tile-part, which
// then runs up to EOC); EOC (FF D9) ends the stream.
//
// The box form starts with the 12-byte signature box (length 12, "jP  ", 0D 0A 87 0A), a file
// type box, then boxes of a 32-bit length (1: a 64-bit one follows the type; 0: up to the end of
// the file) and a four-letter type, among them the header box "jp2h" and the codestream box
// "jp2c".
#include <algorithm>

#include "engine/formats/formats.h"
#include "engine/formats/forward_reader.h"

namespace sorvend {
namespace {

constexpr int kSoc = 0x4F;
constexpr int kSiz = 0x51;
constexpr int kCod = 0x52;
constexpr int kQcd = 0x5C;
constexpr int kSot = 0x90;
constexpr int kEoc = 0xD9;
constexpr std::int64_t kSotBytes = 12;  // marker, Lsot = 10, Isot, Psot, TPsot, TNsot
constexpr std::uint16_t kMaxComponents = 16384;
// Far more tiles and main header segments than any real image has.
constexpr std::int64_t kMaxTiles = 65535;
constexpr int kMaxHeaderSegments = 4096;

constexpr std::uint8_t kSignatureBox[12] = {0,   0,   0,    12,   'j',  'P',
                                            ' ', ' ', 0x0D, 0x0A, 0x87, 0x0A};
constexpr std::int64_t kBoxHeader = 8;
// The brand list of a file type box: brand, version and a few compatible brands.
constexpr std::uint32_t kMaxFtypSize = 1024;
// Boxes before the codestream: header, colour, resolution, metadata; real files have a few.
constexpr int kMaxBoxes = 256;
// Sizes beyond this overflow offset arithmetic and exist in no file.
constexpr std::uint64_t kMaxBoxSize = std::uint64_t{1} << 62;

// The image and tile grid of a SIZ segment from its length field on; false when it describes
// no image.
bool ReadSiz(const std::uint8_t* s, std::uint16_t length, std::int64_t& tiles) {
  const std::uint32_t width = GetBe32(s + 4);  // Xsiz, Ysiz, XOsiz, YOsiz behind Rsiz
  const std::uint32_t height = GetBe32(s + 8);
  const std::uint32_t xOffset = GetBe32(s + 12);
  const std::uint32_t yOffset = GetBe32(s + 16);
  const std::uint32_t tileWidth = GetBe32(s + 20);
  const std::uint32_t tileHeight = GetBe32(s + 24);
  const std::uint32_t tileX = GetBe32(s + 28);
  const std::uint32_t tileY = GetBe32(s + 32);
  const std::uint16_t components = GetBe16(s + 36);
  if (components < 1 || components > kMaxComponents || length != 38 + 3 * components) {
    return false;
  }
  if (width <= xOffset || height <= yOffset || tileWidth == 0 || tileHeight == 0 ||
      tileX > xOffset || tileY > yOffset || std::int64_t{tileX} + tileWidth <= xOffset ||
      std::int64_t{tileY} + tileHeight <= yOffset) {
    return false;
  }
  tiles = ((std::int64_t{width} - tileX + tileWidth - 1) / tileWidth) *
          ((std::int64_t{height} - tileY + tileHeight - 1) / tileHeight);
  return tiles <= kMaxTiles;
}

// Where a codestream at `at` ends, looking no further than `limit`: behind EOC, or, when a
// tile-part runs past the limit or the stream breaks, behind its last whole tile-part (`cut`
// set; -1 when no tile-part is whole). -1 too when the main header is no codestream's.
std::int64_t CodestreamEnd(ByteView& in, std::int64_t at, std::int64_t limit, bool& cut) {
  // SOC, then SIZ with its fields up to the component count.
  std::uint8_t h[4 + 38];
  if (at + static_cast<std::int64_t>(sizeof h) > limit || !in.Read(at, h, sizeof h) ||
      h[0] != 0xFF || h[1] != kSoc || h[2] != 0xFF || h[3] != kSiz) {
    return -1;
  }
  std::int64_t tiles = 0;
  const std::uint16_t sizLength = GetBe16(h + 4);
  if (!ReadSiz(h + 4, sizLength, tiles)) return -1;
  at += 4 + sizLength;
  // The other main header segments up to the first tile-part; COD and QCD are required.
  bool cod = false;
  bool qcd = false;
  std::uint8_t m[kSotBytes];
  for (int segments = 0;; ++segments) {
    if (segments == kMaxHeaderSegments || at + 4 > limit || !in.Read(at, m, 4) || m[0] != 0xFF) {
      return -1;
    }
    if (m[1] == kSot) break;
    const std::uint16_t length = GetBe16(m + 2);
    if (m[1] < 0x50 || m[1] > 0x6F || m[1] == kSiz || length < 2) return -1;
    cod = cod || m[1] == kCod;
    qcd = qcd || m[1] == kQcd;
    at += 2 + length;
  }
  if (!cod || !qcd) return -1;
  // Tile-parts by their lengths.
  std::int64_t wholeEnd = -1;
  cut = true;
  while (at + 2 <= limit && in.Read(at, m, 2) && m[0] == 0xFF) {
    if (m[1] == kEoc) {
      if (wholeEnd < 0) return -1;
      cut = false;
      return at + 2;
    }
    if (m[1] != kSot || at + kSotBytes > limit || !in.Read(at, m, kSotBytes) ||
        GetBe16(m + 2) != 10 || GetBe16(m + 4) >= tiles) {
      break;
    }
    const std::uint32_t length = GetBe32(m + 6);
    if (length == 0) {
      // The last tile-part runs up to EOC; coded data never holds FF followed by a byte above
      // 8F, so the first FF D9 is the stream's end.
      ForwardReader r(in, at + kSotBytes, limit);
      for (int previous = -1, b = r.Next(); b >= 0; previous = b, b = r.Next()) {
        if (previous == 0xFF && b == kEoc) {
          cut = false;
          return r.Offset();
        }
      }
      break;
    }
    if (length < kSotBytes || at + length > limit) break;
    at += length;
    wholeEnd = at;
  }
  return wholeEnd;
}

bool IsBoxTypeByte(std::uint8_t c) {
  return c >= 0x20 && c <= 0x7E;
}

// A file type box naming the JP2 brand, as its own or as a compatible one.
bool IsJp2FileType(ByteView& in, std::int64_t at, std::uint32_t size) {
  if (size < 20 || size > kMaxFtypSize || size % 4 != 0) return false;
  std::uint8_t box[kMaxFtypSize];
  if (!in.Read(at, box, size) || !FourCcIs(box + 4, "ftyp")) return false;
  if (FourCcIs(box + 8, "jp2 ")) return true;
  for (std::uint32_t brand = 16; brand < size; brand += 4) {
    if (FourCcIs(box + brand, "jp2 ")) return true;
  }
  return false;
}

}  // namespace

// A bare codestream: its end is EOC behind the last tile-part.
bool MeasureJ2k(ByteView& in, std::int64_t lead, Extent& out) {
  out.start = lead;
  out.ext = ".J2K";
  out.end = CodestreamEnd(in, lead, in.Size(), out.cut);
  return out.end > 0;
}

// The box form: the boxes up to and including the codestream box, whose end is its length or,
// for a box running to the end of the file, its codestream's end. A codestream box cut by the
// input's end keeps the codestream's whole tile-parts.
bool MeasureJp2(ByteView& in, std::int64_t lead, Extent& out) {
  const std::int64_t start = lead - 4;
  std::uint8_t head[16];
  if (start < 0 || !in.Read(start, head, sizeof kSignatureBox) ||
      !std::equal(kSignatureBox, kSignatureBox + sizeof kSignatureBox, head)) {
    return false;
  }
  std::int64_t at = start + sizeof kSignatureBox;
  if (!in.Read(at, head, kBoxHeader) || !IsJp2FileType(in, at, GetBe32(head))) return false;
  at += GetBe32(head);
  out.start = start;
  out.ext = ".JP2";
  bool header = false;
  for (int boxes = 0; boxes < kMaxBoxes; ++boxes) {
    if (!in.Read(at, head, kBoxHeader) || !std::all_of(head + 4, head + 8, IsBoxTypeByte)) {
      return false;
    }
    std::uint64_t size = GetBe32(head);
    std::int64_t headerBytes = kBoxHeader;
    if (size == 1) {
      if (!in.Read(at + kBoxHeader, head + kBoxHeader, 8)) return false;
      size = GetBe64(head + kBoxHeader);
      headerBytes = 16;
    }
    const bool toTheEnd = size == 0;
    if (!toTheEnd && (size < static_cast<std::uint64_t>(headerBytes) || size > kMaxBoxSize)) {
      return false;
    }
    const std::int64_t content = at + headerBytes;
    const std::int64_t end = toTheEnd ? in.Size() : at + static_cast<std::int64_t>(size);
    if (FourCcIs(head + 4, "jp2c")) {
      if (!header) return false;
      const std::int64_t streamEnd = CodestreamEnd(in, content, std::min(end, in.Size()), out.cut);
      if (streamEnd < 0) return false;
      // A codestream box of a stated length ends there, whatever follows its EOC; one running to
      // the end of the file ends with its codestream, and so does one cut by the input's end.
      out.cut = out.cut || end > in.Size();
      out.end = toTheEnd || out.cut ? streamEnd : end;
      return true;
    }
    if (toTheEnd || end > in.Size()) return false;
    header = header || FourCcIs(head + 4, "jp2h");
    at = end;
  }
  return false;
}

}  // namespace sorvend
