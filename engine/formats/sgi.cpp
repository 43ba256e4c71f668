// SGI images: a 512-byte big-endian header (magic 01 DA, storage, bytes per channel,
// dimension, x, y and z sizes), then the channels one after the other. Raw images store every
// row in turn; run-length images have a table of row starts and one of row lengths behind the
// header, one entry per row of every channel, and the rows wherever the table says.
#include <algorithm>

#include "engine/formats/formats.h"
#include "engine/formats/forward_reader.h"

namespace sorvend {
namespace {

constexpr std::int64_t kHeaderBytes = 512;
constexpr std::uint16_t kMagic = 0x01DA;
// Real images have 1 to 4 channels; a few tools write some more.
constexpr std::uint32_t kMaxChannels = 16;
// Colour map kinds: normal, dithered, screen, colour map.
constexpr std::uint32_t kMaxColorMap = 3;

struct SgiImage {
  bool rle = false;
  std::int64_t rowBytes = 0;  // of a decoded row
  std::int64_t rows = 0;      // height times channels
};

bool ReadImage(ByteView& in, std::int64_t lead, SgiImage& image) {
  std::uint8_t h[108];
  if (!in.Read(lead, h, sizeof h) || GetBe16(h) != kMagic) return false;
  const std::uint8_t storage = h[2];
  const std::uint8_t bytesPerChannel = h[3];
  const std::uint16_t dimension = GetBe16(h + 4);
  std::uint32_t width = GetBe16(h + 6);
  std::uint32_t height = GetBe16(h + 8);
  std::uint32_t channels = GetBe16(h + 10);
  if (storage > 1 || bytesPerChannel < 1 || bytesPerChannel > 2 || dimension < 1 || dimension > 3 ||
      GetBe32(h + 104) > kMaxColorMap) {
    return false;
  }
  // Sizes a dimension does not use count as 1, whatever the header holds.
  if (dimension < 2) height = 1;
  if (dimension < 3) channels = 1;
  if (width == 0 || height == 0 || channels == 0 || channels > kMaxChannels) return false;
  // The smallest and largest pixel values lie within what a channel holds.
  const std::uint32_t pixMin = GetBe32(h + 12);
  const std::uint32_t pixMax = GetBe32(h + 16);
  if (pixMin > pixMax || pixMax >= (bytesPerChannel == 1 ? 0x100u : 0x10000u)) return false;
  image.rle = storage == 1;
  image.rowBytes = std::int64_t{width} * bytesPerChannel;
  image.rows = std::int64_t{height} * channels;
  return true;
}

// The run-length image's end: the furthest row end of its tables. Rows lie behind the tables
// and are no longer than a row coded a byte at a time with its count bytes and end code. Where
// the input ends early, the end of the furthest row that is whole, when at least one is.
bool RleEnd(ByteView& in, std::int64_t lead, const SgiImage& image, Extent& out) {
  const std::int64_t tables = lead + kHeaderBytes;
  const std::int64_t rowsStart = tables + 8 * image.rows;
  if (rowsStart > in.Size()) return false;
  const std::int64_t longestRow = 2 * image.rowBytes + 2;
  ForwardReader starts(in, tables, tables + 4 * image.rows);
  ForwardReader lengths(in, tables + 4 * image.rows, rowsStart);
  const auto next32 = [](ForwardReader& r) {
    std::int64_t v = 0;
    for (int i = 0; i < 4; ++i) v = v << 8 | r.Next();
    return v;
  };
  std::int64_t end = 0;
  std::int64_t wholeEnd = 0;
  for (std::int64_t row = 0; row < image.rows; ++row) {
    const std::int64_t start = lead + next32(starts);
    const std::int64_t length = next32(lengths);
    if (start < rowsStart || length < 1 || length > longestRow) return false;
    end = std::max(end, start + length);
    if (start + length <= in.Size()) wholeEnd = std::max(wholeEnd, start + length);
  }
  out.end = end;
  if (end <= in.Size()) return true;
  out.end = wholeEnd;
  out.cut = true;
  return wholeEnd > 0;
}

}  // namespace

// Machine code holds 01 DA often (an add of two registers); the dimension behind the signature
// rules most of it out.
bool ScreenSgi(const std::uint8_t* p, std::size_t avail, std::int64_t /*left*/) {
  return avail < 6 || (p[4] == 0 && p[5] >= 1 && p[5] <= 3);
}

bool MeasureSgi(ByteView& in, std::int64_t lead, Extent& out) {
  SgiImage image;
  if (!ReadImage(in, lead, image)) return false;
  out.start = lead;
  out.ext = ".SGI";
  if (image.rle) return RleEnd(in, lead, image, out);
  const std::int64_t data = lead + kHeaderBytes;
  out.end = data + image.rowBytes * image.rows;
  if (out.end <= in.Size()) return true;
  // Cut by the input's end: its whole rows, when there is one.
  const std::int64_t rows = (in.Size() - data) / image.rowBytes;
  out.end = data + rows * image.rowBytes;
  out.cut = true;
  return rows > 0;
}

}  // namespace sorvend
