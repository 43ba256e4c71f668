// The thorough IT rule. Behind the 192-byte header stand the order list and three tables of
// file offsets: instruments, sample headers and patterns. The module ends at the furthest byte
// that anything it points to reaches: an instrument, a sample header and its sample data, a
// pattern, the song message.
#include <algorithm>
#include <vector>

#include "engine/formats/formats.h"
#include "engine/formats/tracker.h"

namespace sorvend {
namespace {

constexpr std::int64_t kHeaderLength = 192;
constexpr int kMaxOrders = 1024;
constexpr int kMaxInstruments = 255;
constexpr int kMaxSamples = 4000;
constexpr int kMaxPatterns = 4000;
constexpr std::int64_t kInstrumentLength = 554;  // the old and the new layout alike
constexpr std::int64_t kSampleHeaderLength = 80;
constexpr std::int64_t kPatternHeaderLength = 8;
constexpr int kMaxRows = 1024;
constexpr std::uint16_t kMessageAttached = 0x01;

// Sample header flags.
constexpr std::uint8_t kHasData = 0x01;
constexpr std::uint8_t kSixteenBit = 0x02;
constexpr std::uint8_t kStereo = 0x04;
constexpr std::uint8_t kCompressed = 0x08;

// Where compressed sample data ends: per channel, one block for every 0x8000 (8-bit) or 0x4000
// (16-bit) frames, each a 16-bit byte count followed by that many bytes. A block the input
// does not hold puts the end past the input's end.
std::int64_t CompressedEnd(ByteView& in, std::int64_t at, std::uint32_t frames, bool sixteen,
                           int channels) {
  const std::uint32_t perBlock = sixteen ? 0x4000 : 0x8000;
  const std::int64_t blocks = std::int64_t{channels} * ((frames + perBlock - 1) / perBlock);
  for (std::int64_t b = 0; b < blocks; ++b) {
    std::uint8_t count[2];
    if (!in.Read(at, count, sizeof count)) return in.Size() + 1;
    at += sizeof count + GetLe16(count);
  }
  return at;
}

// How far the parts of the module at `start` reach. Each Add refuses a pointer into the header
// or its tables and an impossible header.
class Reach {
 public:
  Reach(ByteView& in, std::int64_t start, std::int64_t headerEnd)
      : in_(in), start_(start), headerEnd_(headerEnd), end_(start + headerEnd) {}

  std::int64_t End() const { return end_; }

  // A part of `length` bytes at offset `at` from the module's start, which must lie behind the
  // tables.
  bool Add(std::uint32_t at, std::int64_t length) {
    if (at < headerEnd_) return false;
    end_ = std::max(end_, start_ + at + length);
    return true;
  }

  // A header of `length` bytes at `at`, behind the tables and whole within the input; its first
  // `n` bytes go to dst and begin with `id` where one is given.
  bool AddHeader(std::uint32_t at, std::int64_t length, std::uint8_t* dst, std::size_t n,
                 const char* id) {
    return at >= headerEnd_ && start_ + at + length <= in_.Size() &&
           in_.Read(start_ + at, dst, n) && (id == nullptr || FourCcIs(dst, id)) && Add(at, length);
  }

  bool AddInstrument(std::uint32_t at) {
    std::uint8_t id[4];
    return AddHeader(at, kInstrumentLength, id, sizeof id, "IMPI");
  }

  bool AddSample(std::uint32_t at) {
    std::uint8_t h[kSampleHeaderLength];
    if (!AddHeader(at, sizeof h, h, sizeof h, "IMPS")) return false;
    const std::uint8_t flags = h[0x12];
    const std::uint32_t frames = GetLe32(h + 0x30);
    const std::uint32_t data = GetLe32(h + 0x48);
    if ((flags & kHasData) == 0 || frames == 0) return true;
    if (frames > kMaxModuleSampleLength || data < headerEnd_) return false;
    const bool sixteen = (flags & kSixteenBit) != 0;
    const int channels = (flags & kStereo) != 0 ? 2 : 1;
    if ((flags & kCompressed) != 0) {
      end_ = std::max(end_, CompressedEnd(in_, start_ + data, frames, sixteen, channels));
      return true;
    }
    return Add(data, std::int64_t{frames} * (sixteen ? 2 : 1) * channels);
  }

  // Patterns must lie whole within the input; offset 0 is an empty pattern of 64 rows.
  bool AddPattern(std::uint32_t at) {
    if (at == 0) return true;
    std::uint8_t h[kPatternHeaderLength];
    if (!AddHeader(at, sizeof h, h, sizeof h, nullptr)) return false;
    const int rows = GetLe16(h + 2);
    const std::int64_t length = kPatternHeaderLength + GetLe16(h);
    return rows > 0 && rows <= kMaxRows && start_ + at + length <= in_.Size() && Add(at, length);
  }

 private:
  ByteView& in_;
  std::int64_t start_;
  std::int64_t headerEnd_;
  std::int64_t end_;
};

}  // namespace

bool MeasureIt(ByteView& in, std::int64_t lead, Extent& out) {
  std::uint8_t h[kHeaderLength];
  if (!in.Read(lead, h, sizeof h) || !FourCcIs(h, "IMPM")) return false;
  const int orders = GetLe16(h + 0x20);
  const int instruments = GetLe16(h + 0x22);
  const int samples = GetLe16(h + 0x24);
  const int patterns = GetLe16(h + 0x26);
  if (orders > kMaxOrders || instruments > kMaxInstruments || samples > kMaxSamples ||
      patterns > kMaxPatterns) {
    return false;
  }
  // The offset tables, behind the order list.
  const int offsets = instruments + samples + patterns;
  std::vector<std::uint8_t> table(4 * static_cast<std::size_t>(offsets));
  if (!in.Read(lead + kHeaderLength + orders, table.data(), table.size())) return false;
  Reach reach(in, lead, kHeaderLength + orders + static_cast<std::int64_t>(table.size()));

  // Patterns first, the part that must be whole; sample data may run past the input's end.
  const std::uint8_t* patternAt = table.data() + 4 * (instruments + samples);
  for (int p = 0; p < patterns; ++p) {
    if (!reach.AddPattern(GetLe32(patternAt + 4 * p))) return false;
  }
  for (int i = 0; i < instruments; ++i) {
    if (!reach.AddInstrument(GetLe32(table.data() + 4 * i))) return false;
  }
  for (int s = 0; s < samples; ++s) {
    if (!reach.AddSample(GetLe32(table.data() + 4 * (instruments + s)))) return false;
  }
  const std::uint16_t messageLength = GetLe16(h + 0x36);
  if ((GetLe16(h + 0x2E) & kMessageAttached) != 0 && messageLength > 0 &&
      !reach.Add(GetLe32(h + 0x38), messageLength)) {
    return false;
  }
  return TakeModule(in, lead, reach.End(), ".IT", out);
}

}  // namespace sorvend
