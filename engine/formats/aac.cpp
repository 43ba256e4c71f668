// AAC in ADTS: a run of frames, each with a header that tells its length, whose headers agree
// on the stream's profile, sampling frequency and channels.
#include "engine/formats/formats.h"

namespace sorvend {
namespace {

// Fewer chained frames are too likely to be chance in ordinary data.
constexpr int kMinFrames = 5;
constexpr int kHeaderSize = 7;
constexpr int kFrequencies = 13;
constexpr int kMpeg2 = 1;
constexpr int kReservedMpeg2Profile = 3;
// MPEG version, profile, sampling frequency and channel configuration: the same in every
// frame of a stream.
constexpr std::uint32_t kStreamFields = 0x0008FDC0;

// Length of the frame whose header is h[0..7), or 0: the sync, layer 00, a known profile and
// sampling frequency, and a length that leaves room for the data behind the header (and its
// checksum, with a position for each further data block, where the protection bit asks).
int AdtsFrameLength(const std::uint8_t* h) {
  if (h[0] != 0xFF || (h[1] & 0xF6) != 0xF0) return 0;
  const int version = h[1] >> 3 & 1;
  const bool checked = (h[1] & 1) == 0;
  const int profile = h[2] >> 6;
  const int frequency = h[2] >> 2 & 0xF;
  if (frequency >= kFrequencies || (version == kMpeg2 && profile == kReservedMpeg2Profile)) {
    return 0;
  }
  const int length = (h[3] & 3) << 11 | h[4] << 3 | h[5] >> 5;
  const int blocks = (h[6] & 3) + 1;
  const int headerSize = kHeaderSize + (checked ? 2 * blocks : 0);
  return length > headerSize ? length : 0;
}

}  // namespace

// The frames that follow in view must chain as the measure asks.
bool ScreenAac(const std::uint8_t* p, std::size_t avail, std::int64_t /*left*/) {
  std::size_t at = 0;
  for (int frame = 0; frame < kMinFrames; ++frame) {
    if (avail - at < kHeaderSize) return true;
    const int length = AdtsFrameLength(p + at);
    if (length == 0 || (GetBe32(p + at) & kStreamFields) != (GetBe32(p) & kStreamFields)) {
      return false;
    }
    at += static_cast<std::size_t>(length);
    if (at > avail) return true;
  }
  return true;
}

bool MeasureAac(ByteView& in, std::int64_t lead, Extent& out) {
  std::int64_t at = lead;
  std::uint32_t stream = 0;
  int frames = 0;
  bool cut = false;
  for (;;) {
    std::uint8_t h[kHeaderSize];
    if (!in.Read(at, h, sizeof h)) break;
    const int length = AdtsFrameLength(h);
    const std::uint32_t fields = GetBe32(h) & kStreamFields;
    if (length == 0 || (frames > 0 && fields != stream)) break;
    if (length > in.Size() - at) {
      cut = true;
      break;
    }
    stream = fields;
    at += length;
    ++frames;
  }
  if (frames < kMinFrames) return false;
  out.start = lead;
  out.end = at;
  out.cut = cut;
  out.ext = ".AAC";
  return true;
}

}  // namespace sorvend
