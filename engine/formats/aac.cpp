// AAC in ADTS: a run of frames, each with a header that tells its length, whose headers agree
// on the stream's profile, sampling frequency and channels.
#include "engine/formats/bit_reader.h"
#include "engine/formats/formats.h"
#include "engine/formats/frame_chain.h"

namespace sorvend {
namespace {

// Fewer chained frames are too likely to be chance in ordinary data.
constexpr int kMinFrames = 5;
constexpr int kHeaderSize = 7;
constexpr int kFrequencies = 13;
constexpr int kMpeg2 = 1;
constexpr int kReservedMpeg2Profile = 3;
constexpr int kLowComplexity = 1;
// Bytes of a frame's first element that its first check needs.
constexpr int kElementHead = 4;
// Syntax elements of a raw data block.
constexpr std::uint32_t kSingleChannel = 0;
constexpr std::uint32_t kChannelPair = 1;
constexpr std::uint32_t kLowFrequency = 3;
constexpr std::uint32_t kEightShort = 2;
constexpr std::uint32_t kReservedMsMask = 3;
// Scale factor bands of long and of short windows, by sampling frequency index.
constexpr std::uint8_t kLongBands[kFrequencies] = {41, 41, 47, 49, 49, 51, 47,
                                                   47, 43, 43, 43, 40, 40};
constexpr std::uint8_t kShortBands[kFrequencies] = {12, 12, 12, 14, 14, 14, 15,
                                                    15, 15, 15, 15, 15, 15};
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

// Where the frame's first raw data block starts: behind the header and, where the protection
// bit asks, the block positions and the checksum.
int PayloadOffset(const std::uint8_t* h) {
  const bool checked = (h[1] & 1) == 0;
  return kHeaderSize + (checked ? 2 * ((h[6] & 3) + 1) : 0);
}

// The channel stream's information: a reserved bit that is zero, no more scale factor bands
// than the window has, and no prediction in a low-complexity stream.
bool StreamInfoFits(MsbBits& bits, int profile, int frequency) {
  if (bits.Take(1) != 0) return false;
  const std::uint32_t sequence = bits.Take(2);
  bits.Skip(1);  // window shape
  if (sequence == kEightShort) return bits.Take(4) <= kShortBands[frequency];
  if (bits.Take(6) > kLongBands[frequency]) return false;
  return bits.Take(1) == 0 || profile != kLowComplexity;
}

// What a decoder reads first in a frame whose header is h: the first element of its first raw
// data block, p[0..kElementHead). Channel elements must start as a decoder accepts them; other
// elements pass.
bool FirstElementFits(const std::uint8_t* h, const std::uint8_t* p) {
  const int profile = h[2] >> 6;
  const int frequency = h[2] >> 2 & 0xF;
  MsbBits bits(p);
  const std::uint32_t element = bits.Take(3);
  bits.Skip(4);  // instance tag
  if (element == kSingleChannel || element == kLowFrequency) {
    bits.Skip(8);  // global gain
    return StreamInfoFits(bits, profile, frequency);
  }
  if (element != kChannelPair) return true;
  const bool common = bits.Take(1) != 0;
  if (!common) bits.Skip(8);  // the first channel's global gain
  if (!StreamInfoFits(bits, profile, frequency)) return false;
  return !common || bits.Take(2) != kReservedMsMask;
}

// The frame h[0..avail) starts is one to go on with: its length (0 when not), checking its first
// element where its bytes are in view.
int CheckedFrameLength(const std::uint8_t* h, std::size_t avail) {
  const int length = AdtsFrameLength(h);
  if (length == 0) return 0;
  const int payload = PayloadOffset(h);
  // A frame too short for the element's first fields is left to the decoder.
  if (length - payload < kElementHead || avail < static_cast<std::size_t>(payload + kElementHead)) {
    return length;
  }
  return FirstElementFits(h, h + payload) ? length : 0;
}

// ADTS frames for the frame chain: the header with its block positions and checksum, then
// the first element's head.
struct AdtsFrames {
  static constexpr std::size_t kHeadBytes = kHeaderSize + 2 * 4 + kElementHead;
  static constexpr std::size_t kMinHead = kHeaderSize;
  static constexpr int kMinFrames = sorvend::kMinFrames;
  static constexpr std::uint32_t kStreamFields = sorvend::kStreamFields;
  static int Length(const std::uint8_t* h, std::size_t avail) {
    return CheckedFrameLength(h, avail);
  }
  bool Fits(ByteView&, std::int64_t, const std::uint8_t*, int) { return true; }
};

}  // namespace

// The frames that follow in view must chain as the measure asks.
bool ScreenAac(const std::uint8_t* p, std::size_t avail, std::int64_t /*left*/) {
  return FramesChainInView<AdtsFrames>(p, avail);
}

bool MeasureAac(ByteView& in, std::int64_t lead, Extent& out) {
  AdtsFrames frames;
  const FrameRun run = WalkFrames(in, lead, frames);
  if (run.frames < kMinFrames) return false;
  out.start = lead;
  out.end = run.end;
  out.cut = run.cut;
  out.ext = ".AAC";
  return true;
}

}  // namespace sorvend
