// Icons and cursors: a six-byte header (zero, the type, the image count), a directory of 16-byte
// entries, and the images they point at, each a bitmap followed by its transparency mask or a
// PNG image. The header's four bytes are common in machine code, so the whole directory and
// every image must check out before anything is written.
#include <cstring>

#include "engine/formats/dib.h"
#include "engine/formats/formats.h"

namespace sorvend {
namespace {

constexpr int kHeaderBytes = 6;
constexpr int kEntryBytes = 16;
constexpr int kMaxImages = 256;
constexpr std::uint16_t kIconType = 1;
constexpr std::uint16_t kCursorType = 2;
// The smallest image is a bitmap's information header; the largest a PNG image far beyond the
// 256 x 256 pixels a directory entry can name.
constexpr std::int64_t kMinImageBytes = 40;
constexpr std::int64_t kMaxImageBytes = std::int64_t{1} << 24;
constexpr std::uint8_t kPngSignature[8] = {0x89, 'P', 'N', 'G', 0x0D, 0x0A, 0x1A, 0x0A};

struct Entry {
  std::int32_t width = 0;
  std::int32_t height = 0;
  std::int64_t offset = 0;  // from the header's first byte
  std::int64_t size = 0;
};

// A directory entry's own fields; its image lies behind the directory and within `room` bytes
// of the header.
bool ReadEntry(const std::uint8_t* e, bool cursor, std::int64_t directoryEnd, std::int64_t room,
               Entry& entry) {
  // A width or height of 0 stands for 256.
  entry.width = e[0] != 0 ? e[0] : 256;
  entry.height = e[1] != 0 ? e[1] : 256;
  const std::uint16_t planes = GetLe16(e + 4);
  const std::uint16_t bits = GetLe16(e + 6);
  if (e[3] != 0) return false;
  if (cursor) {
    // A cursor keeps its hotspot there instead, a pixel of the image.
    if (planes >= entry.width || bits >= entry.height) return false;
  } else if (planes > 1 || (bits != 0 && bits != 1 && bits != 4 && bits != 8 && bits != 16 &&
                            bits != 24 && bits != 32)) {
    return false;
  }
  entry.size = GetLe32(e + 8);
  entry.offset = GetLe32(e + 12);
  return entry.size >= kMinImageBytes && entry.size <= kMaxImageBytes &&
         entry.offset >= directoryEnd && entry.offset + entry.size <= room;
}

// A PNG image of the entry's size (an entry of 256 may hold a larger one), whole by its chunk
// walk and within the entry's bytes.
bool PngImageFits(ByteView& in, std::int64_t at, const Entry& entry) {
  std::uint8_t ihdr[16];
  if (!in.Read(at + 8, ihdr, sizeof ihdr) || GetBe32(ihdr) != 13 || !FourCcIs(ihdr + 4, "IHDR")) {
    return false;
  }
  const std::uint32_t width = GetBe32(ihdr + 8);
  const std::uint32_t height = GetBe32(ihdr + 12);
  const auto fits = [](std::uint32_t pixels, std::int32_t named) {
    return pixels == static_cast<std::uint32_t>(named) || (named == 256 && pixels > 256);
  };
  if (!fits(width, entry.width) || !fits(height, entry.height)) return false;
  Extent png;
  return MeasurePng(in, at, png) && !png.cut && png.end <= at + entry.size;
}

// A bitmap of the entry's width and twice its height: the colour pixels, then the one-bit
// transparency mask, both bottom-up and uncompressed.
bool BitmapImageFits(ByteView& in, std::int64_t at, const Entry& entry) {
  DibHeader dib;
  if (!ReadDibHeader(in, at, dib) || dib.size != 40 || dib.compression != kBiRgb ||
      dib.width != entry.width || dib.height != 2 * entry.height) {
    return false;
  }
  const std::int64_t colour = DibRowBytes(dib.bitCount, dib.width) * entry.height;
  const std::int64_t mask = DibRowBytes(1, dib.width) * entry.height;
  // Writers count the colour pixels alone or with the mask.
  if (dib.sizeImage != 0 && dib.sizeImage != colour && dib.sizeImage != colour + mask) {
    return false;
  }
  return dib.size + dib.tableBytes + colour + mask <= entry.size;
}

// The six-byte header and the first directory entry, which decide most candidates; the
// images lie within `room` bytes of the header.
bool HeadFits(const std::uint8_t* head, std::int64_t room, Entry& first) {
  const std::uint16_t type = GetLe16(head + 2);
  const std::uint16_t count = GetLe16(head + 4);
  if (GetLe16(head) != 0 || (type != kIconType && type != kCursorType) || count == 0 ||
      count > kMaxImages) {
    return false;
  }
  const std::int64_t directoryEnd = kHeaderBytes + std::int64_t{kEntryBytes} * count;
  return ReadEntry(head + kHeaderBytes, type == kCursorType, directoryEnd, room, first);
}

}  // namespace

bool ScreenIco(const std::uint8_t* p, std::size_t avail, std::int64_t left) {
  Entry first;
  return avail < kHeaderBytes + kEntryBytes || HeadFits(p, left, first);
}

bool MeasureIco(ByteView& in, std::int64_t lead, Extent& out) {
  std::uint8_t head[kHeaderBytes + kEntryBytes];
  Entry entries[kMaxImages];
  const std::int64_t room = in.Size() - lead;
  if (!in.Read(lead, head, sizeof head) || !HeadFits(head, room, entries[0])) return false;
  const bool cursor = GetLe16(head + 2) == kCursorType;
  const std::uint16_t count = GetLe16(head + 4);
  const std::int64_t directoryEnd = kHeaderBytes + std::int64_t{kEntryBytes} * count;
  std::uint8_t directory[kMaxImages * kEntryBytes];
  const auto restBytes = static_cast<std::size_t>(kEntryBytes * (count - 1));
  if (!in.Read(lead + kHeaderBytes + kEntryBytes, directory, restBytes)) return false;
  std::int64_t end = entries[0].offset + entries[0].size;
  for (int i = 1; i < count; ++i) {
    if (!ReadEntry(directory + kEntryBytes * (i - 1), cursor, directoryEnd, room, entries[i])) {
      return false;
    }
    end = std::max(end, entries[i].offset + entries[i].size);
  }
  for (int i = 0; i < count; ++i) {
    const std::int64_t at = lead + entries[i].offset;
    std::uint8_t signature[sizeof kPngSignature];
    if (!in.Read(at, signature, sizeof signature)) return false;
    const bool fits = std::memcmp(signature, kPngSignature, sizeof kPngSignature) == 0
                          ? PngImageFits(in, at, entries[i])
                          : BitmapImageFits(in, at, entries[i]);
    if (!fits) return false;
  }
  out.start = lead;
  out.end = lead + end;
  out.ext = cursor ? ".CUR" : ".ICO";
  return true;
}

}  // namespace sorvend
