// QOI images: a 14-byte header ("qoif", width and height big-endian, channels, colour space),
// a stream of chunks that each give one pixel or a run of them, and an end marker of seven zero
// bytes and a one. Nothing in the header says how long the stream is, so the chunks are walked
// until they have given every pixel.
#include "engine/formats/formats.h"
#include "engine/formats/forward_reader.h"

namespace sorvend {
namespace {

constexpr std::int64_t kHeaderBytes = 14;
constexpr std::uint8_t kEndMarker[8] = {0, 0, 0, 0, 0, 0, 0, 1};
// Decoders refuse images of more pixels than this; the side limit keeps the product small.
constexpr std::int64_t kMaxPixels = 400'000'000;

// Chunk tags: two 8-bit ones, then four told apart by their top two bits.
constexpr int kOpRgb = 0xFE;
constexpr int kOpRgba = 0xFF;
constexpr int kOpLuma = 0x80;  // 10xxxxxx and one more byte
constexpr int kOpRun = 0xC0;   // 11xxxxxx: a run of 1 to 62 pixels

// Bytes of the chunk that begins with `tag` after the tag, and the pixels it gives.
void ChunkShape(int tag, int& extra, std::int64_t& pixels) {
  extra = 0;
  pixels = 1;
  if (tag == kOpRgb) {
    extra = 3;
  } else if (tag == kOpRgba) {
    extra = 4;
  } else if ((tag & 0xC0) == kOpLuma) {
    extra = 1;
  } else if ((tag & 0xC0) == kOpRun) {
    pixels = (tag & 0x3F) + 1;
  }
}

}  // namespace

// The chunks are counted to the image's pixel count, and the end marker must follow. A stream
// cut by the input's end, or one whose chunk overruns the image, is kept up to its last whole
// chunk when at least its first row is there; a decoder fills the rest.
bool MeasureQoi(ByteView& in, std::int64_t lead, Extent& out) {
  std::uint8_t h[kHeaderBytes];
  if (!in.Read(lead, h, sizeof h) || !FourCcIs(h, "qoif")) return false;
  const std::int64_t width = GetBe32(h + 4);
  const std::int64_t height = GetBe32(h + 8);
  if (width == 0 || height == 0 || width > kMaxPixels || height > kMaxPixels ||
      width * height > kMaxPixels || (h[12] != 3 && h[12] != 4) || h[13] > 1) {
    return false;
  }
  const std::int64_t total = width * height;
  ForwardReader r(in, lead + kHeaderBytes, in.Size());
  std::int64_t pixels = 0;
  std::int64_t wholeEnd = r.Offset();
  while (pixels < total) {
    const int tag = r.Next();
    if (tag < 0) break;
    int extra = 0;
    std::int64_t given = 0;
    ChunkShape(tag, extra, given);
    if (!r.Skip(extra) || pixels + given > total) break;
    pixels += given;
    wholeEnd = r.Offset();
  }
  out.start = lead;
  out.ext = ".QOI";
  out.end = wholeEnd;
  if (pixels == total) {
    std::uint8_t marker[sizeof kEndMarker];
    if (in.Read(wholeEnd, marker, sizeof marker) &&
        std::equal(marker, marker + sizeof marker, kEndMarker)) {
      out.end = wholeEnd + sizeof marker;
      return true;
    }
  }
  out.cut = true;
  return pixels >= width;
}

}  // namespace sorvend
