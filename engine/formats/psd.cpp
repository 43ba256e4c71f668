// Photoshop documents: a 26-byte big-endian header ("8BPS", version 1 for PSD or 2 for PSB,
// six reserved zero bytes, channels, height, width, depth, colour mode), three sections that
// each begin with their length (colour mode data, image resources, layer and mask information,
// whose length takes 8 bytes in PSB), then the merged image: a compression code and the channels
// one after the other, raw or run-length coded with a table of every row's coded length first.
#include "engine/formats/formats.h"
#include "engine/formats/forward_reader.h"

namespace sorvend {
namespace {

constexpr std::int64_t kHeaderBytes = 26;
constexpr std::uint16_t kMaxChannels = 56;
constexpr std::uint32_t kMaxSidePsd = 30000;
constexpr std::uint32_t kMaxSidePsb = 300000;
constexpr std::uint16_t kRaw = 0;
constexpr std::uint16_t kRle = 1;
// A coded row is no longer than every byte coded with a count byte of its own (writers that
// code runs of two bytes come close).
constexpr std::int64_t RleRowBound(std::int64_t rowBytes) {
  return 2 * rowBytes;
}

struct Document {
  bool large = false;  // PSB
  std::int64_t channels = 0;
  std::int64_t height = 0;
  std::int64_t rowBytes = 0;
};

bool ReadDocument(ByteView& in, std::int64_t lead, Document& d) {
  std::uint8_t h[kHeaderBytes];
  if (!in.Read(lead, h, sizeof h) || !FourCcIs(h, "8BPS")) return false;
  const std::uint16_t version = GetBe16(h + 4);
  if (version != 1 && version != 2) return false;
  for (int i = 6; i < 12; ++i) {
    if (h[i] != 0) return false;
  }
  d.large = version == 2;
  d.channels = GetBe16(h + 12);
  const std::uint32_t height = GetBe32(h + 14);
  const std::uint32_t width = GetBe32(h + 18);
  const std::uint16_t depth = GetBe16(h + 22);
  const std::uint16_t mode = GetBe16(h + 24);
  const std::uint32_t maxSide = d.large ? kMaxSidePsb : kMaxSidePsd;
  if (d.channels < 1 || d.channels > kMaxChannels || height < 1 || height > maxSide || width < 1 ||
      width > maxSide) {
    return false;
  }
  if (depth != 1 && depth != 8 && depth != 16 && depth != 32) return false;
  // Bitmap, greyscale, indexed, RGB, CMYK, multichannel, duotone, Lab.
  if (mode > 9 || mode == 5 || mode == 6) return false;
  d.height = height;
  d.rowBytes = (std::int64_t{width} * depth + 7) / 8;
  return true;
}

// Passes a section that begins with its length; false when the length leaves the input.
bool SkipSection(ByteView& in, std::int64_t& at, int lengthBytes) {
  std::uint8_t n[8];
  if (!in.Read(at, n, lengthBytes)) return false;
  const std::uint64_t length = lengthBytes == 8 ? GetBe64(n) : GetBe32(n);
  if (length > static_cast<std::uint64_t>(in.Size() - at - lengthBytes)) return false;
  at += lengthBytes + static_cast<std::int64_t>(length);
  return true;
}

// The image resources are blocks that each begin with "8BIM".
bool ResourcesLookRight(ByteView& in, std::int64_t at) {
  std::uint8_t n[8];
  if (!in.Read(at, n, sizeof n)) return false;
  return GetBe32(n) == 0 || FourCcIs(n + 4, "8BIM");
}

}  // namespace

// The sections are passed by their lengths; the image data is sized from the header, or from
// the row table of run-length data. Image data cut by the input's end keeps its whole rows, when
// there is one; sections cut by it leave nothing to decode.
bool MeasurePsd(ByteView& in, std::int64_t lead, Extent& out) {
  Document d;
  if (!ReadDocument(in, lead, d)) return false;
  std::int64_t at = lead + kHeaderBytes;
  if (!SkipSection(in, at, 4) || !ResourcesLookRight(in, at) || !SkipSection(in, at, 4) ||
      !SkipSection(in, at, d.large ? 8 : 4)) {
    return false;
  }
  std::uint8_t code[2];
  if (!in.Read(at, code, sizeof code)) return false;
  const std::uint16_t compression = GetBe16(code);
  if (compression != kRaw && compression != kRle) return false;
  const std::int64_t data = at + 2;
  const std::int64_t rows = d.channels * d.height;
  out.start = lead;
  out.ext = ".PSD";
  if (compression == kRaw) {
    out.end = data + rows * d.rowBytes;
    if (out.end <= in.Size()) return true;
    const std::int64_t whole = (in.Size() - data) / d.rowBytes;
    out.end = data + whole * d.rowBytes;
    out.cut = true;
    return whole > 0;
  }
  // Run-length rows: the table of coded lengths (2 bytes each, 4 in PSB), then the rows.
  const int entryBytes = d.large ? 4 : 2;
  const std::int64_t tableEnd = data + rows * entryBytes;
  if (tableEnd > in.Size()) return false;
  const std::int64_t bound = RleRowBound(d.rowBytes);
  ForwardReader table(in, data, tableEnd);
  std::int64_t end = tableEnd;
  for (std::int64_t row = 0; row < rows; ++row) {
    std::int64_t length = 0;
    for (int i = 0; i < entryBytes; ++i) length = length << 8 | table.Next();
    if (length < 1 || length > bound) return false;
    if (end + length > in.Size()) {
      out.end = end;
      out.cut = true;
      return row > 0;
    }
    end += length;
  }
  out.end = end;
  return true;
}

}  // namespace sorvend
