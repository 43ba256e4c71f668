// The thorough S3M rule. The tag "SCRM" stands 44 bytes into the module, so the module starts
// before the lead byte. Behind the 96-byte header stand the order list and paragraph pointers
// (offset / 16) to the instruments and patterns; the module ends at the furthest byte that an
// instrument header, its sample data or a pattern reaches.
#include <algorithm>

#include "engine/formats/formats.h"
#include "engine/formats/tracker.h"

namespace sorvend {
namespace {

constexpr std::int64_t kTagAt = 44;
constexpr std::int64_t kHeaderLength = 96;
constexpr std::uint8_t kModuleType = 16;
constexpr int kMaxOrders = 256;
constexpr int kMaxInstruments = 256;
constexpr int kMaxPatterns = 256;
constexpr std::uint8_t kPanTableFollows = 252;
constexpr std::int64_t kPanTableLength = 32;
constexpr std::int64_t kParagraph = 16;
constexpr std::int64_t kInstrumentLength = 80;

// Instrument types and sample flags.
constexpr std::uint8_t kEmpty = 0;
constexpr std::uint8_t kSample = 1;
constexpr std::uint8_t kLastAdlib = 7;
constexpr std::uint8_t kStereo = 0x02;
constexpr std::uint8_t kSixteenBit = 0x04;

// A pattern is 64 rows; each row holds at most one entry for each of 32 channels (the channel
// byte, then note and instrument, volume, command and info as it says) and ends with a 0 byte.
constexpr int kRows = 64;
constexpr std::size_t kMaxPackedRows = kRows * (32 * 6 + 1);

// How many bytes the packed rows at `at` take, or -1 when they do not end within the input
// and the most 64 rows can take.
std::int64_t PackedRowsLength(ByteView& in, std::int64_t at) {
  std::size_t avail = 0;
  const std::uint8_t* p = in.Peek(at, kMaxPackedRows, avail);
  std::size_t i = 0;
  for (int row = 0; row < kRows; ++row) {
    for (;;) {
      if (i >= avail) return -1;
      const std::uint8_t what = p[i++];
      if (what == 0) break;
      i += ((what & 0x20) != 0 ? 2 : 0) + ((what & 0x40) != 0 ? 1 : 0) +
           ((what & 0x80) != 0 ? 2 : 0);
    }
  }
  return static_cast<std::int64_t>(i);
}

}  // namespace

bool MeasureS3m(ByteView& in, std::int64_t lead, Extent& out) {
  if (lead < kTagAt) return false;
  const std::int64_t start = lead - kTagAt;
  std::uint8_t h[kHeaderLength];
  if (!in.Read(start, h, sizeof h) || !FourCcIs(h + kTagAt, "SCRM") || h[28] != 0x1A ||
      h[29] != kModuleType) {
    return false;
  }
  const int orders = GetLe16(h + 32);
  const int instruments = GetLe16(h + 34);
  const int patterns = GetLe16(h + 36);
  if (orders > kMaxOrders || instruments > kMaxInstruments || patterns > kMaxPatterns) {
    return false;
  }
  std::uint8_t pointers[2 * (kMaxInstruments + kMaxPatterns)];
  const std::size_t pointerBytes = 2 * static_cast<std::size_t>(instruments + patterns);
  if (!in.Read(start + kHeaderLength + orders, pointers, pointerBytes)) return false;
  const std::int64_t headerEnd = kHeaderLength + orders + static_cast<std::int64_t>(pointerBytes) +
                                 (h[53] == kPanTableFollows ? kPanTableLength : 0);
  std::int64_t end = start + headerEnd;

  // Patterns must be whole: their rows are followed to their end, since some writers' length
  // words leave out the word itself or are wrong; the further of the two ends counts.
  for (int p = 0; p < patterns; ++p) {
    const std::int64_t at = kParagraph * GetLe16(pointers + 2 * (instruments + p));
    if (at == 0) continue;  // an empty pattern
    std::uint8_t length[2];
    if (at < headerEnd || !in.Read(start + at, length, sizeof length)) return false;
    const std::int64_t rows = PackedRowsLength(in, start + at + 2);
    if (rows < 0) return false;
    end = std::max(end, start + at + std::max<std::int64_t>(GetLe16(length), 2 + rows));
  }

  // Instrument headers must be whole; sample data may run past the input's end.
  for (int i = 0; i < instruments; ++i) {
    const std::int64_t at = kParagraph * GetLe16(pointers + 2 * i);
    std::uint8_t s[kInstrumentLength];
    if (at < headerEnd || !in.Read(start + at, s, sizeof s)) return false;
    end = std::max(end, start + at + kInstrumentLength);
    const std::uint8_t type = s[0];
    if (type == kEmpty) continue;
    if (type > kLastAdlib || !FourCcIs(s + 76, type == kSample ? "SCRS" : "SCRI")) return false;
    const std::uint32_t frames = GetLe32(s + 16);
    if (type != kSample || frames == 0) continue;
    // Packed sample data (s[30] != 0) has no length the header gives.
    if (frames > kMaxModuleSampleLength || s[30] != 0) return false;
    const std::int64_t data = kParagraph * (std::int64_t{s[13]} << 16 | GetLe16(s + 14));
    if (data < headerEnd) return false;
    const int width = (s[31] & kSixteenBit) != 0 ? 2 : 1;
    const int channels = (s[31] & kStereo) != 0 ? 2 : 1;
    end = std::max(end, start + data + std::int64_t{frames} * width * channels);
  }
  return TakeModule(in, start, end, ".S3M", out);
}

}  // namespace sorvend
