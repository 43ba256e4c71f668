// CRI ADX: a big-endian header (0x80 0x00, the offset of the copyright string, the encoding,
// block size, sample bits, channels, sample rate and count, the high-pass frequency, the
// version), "(c)CRI" right before the data, then 18-byte blocks of 32 samples, one per channel
// in turn. A stream may end with an end block (0x80 0x01 and its length).
#include "engine/formats/formats.h"

namespace sorvend {
namespace {

constexpr std::size_t kHeaderBytes = 20;
// The lead byte is the encoding, 4 bytes into the header.
constexpr std::int64_t kLeadAt = 4;
// The copyright offset counts from byte 4; "(c)CRI" takes the 6 bytes before the data.
constexpr std::uint16_t kMinCopyrightOffset = kHeaderBytes - 4 + 6;
constexpr std::uint16_t kMaxCopyrightOffset = 0x0FFF;
constexpr std::uint8_t kStandardEncoding = 3;
constexpr std::uint8_t kExponentialEncoding = 4;
constexpr std::uint8_t kBlockBytes = 18;
constexpr std::uint8_t kSampleBits = 4;
constexpr std::int64_t kSamplesPerBlock = 32;
constexpr std::uint8_t kMaxChannels = 8;
constexpr std::uint32_t kMaxRate = 192000;
constexpr std::uint8_t kFirstVersion = 3;
constexpr std::uint8_t kLastVersion = 4;
// An end block is padding to a sector at most.
constexpr std::uint16_t kMaxEndBlock = 0x800;

// The header fields from the encoding on, f[0..16): encoding, block size, sample bits,
// channels, sample rate, sample count, high-pass frequency, version.
bool FieldsFit(const std::uint8_t* f) {
  const std::uint32_t rate = GetBe32(f + 4);
  return (f[0] == kStandardEncoding || f[0] == kExponentialEncoding) && f[1] == kBlockBytes &&
         f[2] == kSampleBits && f[3] != 0 && f[3] <= kMaxChannels && rate != 0 &&
         rate <= kMaxRate && GetBe32(f + 8) != 0 && f[14] >= kFirstVersion && f[14] <= kLastVersion;
}

bool OffsetFits(const std::uint8_t* p) {
  const std::uint16_t offset = GetBe16(p + 2);
  return offset >= kMinCopyrightOffset && offset <= kMaxCopyrightOffset;
}

}  // namespace

// The fields behind the lead byte: a sample rate, a sample count and a version.
bool ScreenAdx(const std::uint8_t* p, std::size_t avail, std::int64_t /*left*/) {
  if (avail < kHeaderBytes - kLeadAt) return true;
  return FieldsFit(p);
}

// The header's sample count gives the data's length; an end block right behind belongs to the
// stream. Cut behind the last whole set of blocks (one per channel) when the input ends first.
bool MeasureAdx(ByteView& in, std::int64_t lead, Extent& out) {
  std::uint8_t h[kHeaderBytes];
  const std::int64_t start = lead - kLeadAt;
  if (!in.Read(start, h, sizeof h) || h[0] != 0x80 || h[1] != 0x00 || !OffsetFits(h) ||
      !FieldsFit(h + kLeadAt)) {
    return false;
  }
  const std::int64_t data = start + 4 + GetBe16(h + 2);
  std::uint8_t copyright[6];
  if (!in.Read(data - 6, copyright, sizeof copyright) ||
      std::memcmp(copyright, "(c)CRI", sizeof copyright) != 0) {
    return false;
  }
  const std::int64_t frame = std::int64_t{kBlockBytes} * h[7];
  const std::int64_t frames =
      (std::int64_t{GetBe32(h + 12)} + kSamplesPerBlock - 1) / kSamplesPerBlock;
  out.start = start;
  out.ext = ".ADX";
  const std::int64_t left = in.Size() - data;
  if (frames * frame > left) {
    out.cut = true;
    out.end = data + left / frame * frame;
    return out.end > data;
  }
  out.end = data + frames * frame;
  std::uint8_t end[4];
  if (in.Read(out.end, end, sizeof end) && end[0] == 0x80 && end[1] == 0x01) {
    const std::uint16_t length = GetBe16(end + 2);
    if (length <= kMaxEndBlock && length <= in.Size() - out.end - 4) out.end += 4 + length;
  }
  return true;
}

}  // namespace sorvend
