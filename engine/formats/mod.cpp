// The thorough MOD rule. The tag that names the channel count stands 1,080 bytes into the
// module, behind the title, 31 sample headers, the song length and the 128-entry order table;
// so the module starts before the lead byte. The patterns follow the tag, then the sample data.
#include <algorithm>

#include "engine/formats/formats.h"
#include "engine/formats/tracker.h"

namespace sorvend {
namespace {

constexpr std::int64_t kSamplesAt = 20;
constexpr int kSampleCount = 31;
constexpr std::int64_t kSampleHeaderLength = 30;
constexpr std::int64_t kSongLengthAt = 950;
constexpr std::int64_t kOrdersAt = 952;
constexpr int kOrderCount = 128;
constexpr std::int64_t kTagAt = 1080;
constexpr std::int64_t kPatternsAt = 1084;
constexpr std::int64_t kRows = 64;
constexpr std::int64_t kCellLength = 4;
constexpr int kMaxVolume = 64;
constexpr int kMaxFinetune = 15;

bool IsDigit(std::uint8_t c) {
  return c >= '0' && c <= '9';
}

// The channel count the tag names, or 0 for no tag.
int ChannelsOf(const std::uint8_t* tag) {
  if (FourCcIs(tag, "M.K.") || FourCcIs(tag, "M!K!") || FourCcIs(tag, "M&K!") ||
      FourCcIs(tag, "FLT4")) {
    return 4;
  }
  if (FourCcIs(tag, "FLT8") || FourCcIs(tag, "CD81") || FourCcIs(tag, "OKTA")) return 8;
  if (tag[0] >= '2' && tag[0] <= '9' && tag[1] == 'C' && tag[2] == 'H' && tag[3] == 'N') {
    return tag[0] - '0';
  }
  if (IsDigit(tag[0]) && IsDigit(tag[1]) && tag[2] == 'C' && (tag[3] == 'H' || tag[3] == 'N')) {
    return (tag[0] - '0') * 10 + (tag[1] - '0');
  }
  return 0;
}

// The module whose tag starts at `tag`. Its first pattern's first cell follows the tag; a
// cell's first byte holds the high bits of its sample number (at most 31) and of its period
// (12 bits), so it is below 0x20.
bool MeasureModWithTagAt(ByteView& in, std::int64_t tag, Extent& out) {
  std::uint8_t head[kPatternsAt + 1];
  if (tag < kTagAt || !in.Read(tag, head + kTagAt, 5)) return false;
  const int channels = ChannelsOf(head + kTagAt);
  if (channels == 0 || (head[kPatternsAt] & 0xE0) != 0) return false;
  const std::int64_t start = tag - kTagAt;

  // The song length and the order table; the highest entry of the whole table, within the song
  // or not, numbers the last pattern stored.
  if (!in.Read(start + kSongLengthAt, head + kSongLengthAt, kTagAt - kSongLengthAt)) return false;
  const int songLength = head[kSongLengthAt];
  if (songLength == 0 || songLength > kOrderCount) return false;
  const std::uint8_t* orders = head + kOrdersAt;
  const int highest = *std::max_element(orders, orders + kOrderCount);
  if (highest >= kOrderCount) return false;

  // Sample headers: name, length in 16-bit words (big-endian), finetune, volume, loop start and
  // loop length. A loop reaching past its sample's end is common and left as it is.
  if (!in.Read(start + kSamplesAt, head + kSamplesAt, kSongLengthAt - kSamplesAt)) return false;
  std::int64_t sampleBytes = 0;
  for (int s = 0; s < kSampleCount; ++s) {
    const std::uint8_t* h = head + kSamplesAt + s * kSampleHeaderLength;
    if (h[24] > kMaxFinetune || h[25] > kMaxVolume) return false;
    sampleBytes += 2 * std::int64_t{GetBe16(h + 22)};
  }
  const std::int64_t patternsEnd =
      start + kPatternsAt + (highest + 1) * kRows * channels * kCellLength;
  if (patternsEnd > in.Size()) return false;
  return TakeModule(in, start, patternsEnd + sampleBytes, ".MOD", out);
}

}  // namespace

bool MeasureMod(ByteView& in, std::int64_t lead, Extent& out) {
  return MeasureModWithTagAt(in, lead, out);
}

bool MeasureModChn(ByteView& in, std::int64_t lead, Extent& out) {
  return MeasureModWithTagAt(in, lead - 1, out);
}

bool MeasureModCh(ByteView& in, std::int64_t lead, Extent& out) {
  return MeasureModWithTagAt(in, lead - 2, out);
}

}  // namespace sorvend
