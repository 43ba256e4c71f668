// The thorough XM rule. A module is its header, then its patterns one after the other, then its
// instruments, each followed by its sample headers and their data; every part says its own
// length, so the module's end is their sum.
#include <limits>

#include "engine/formats/formats.h"
#include "engine/formats/tracker.h"

namespace sorvend {
namespace {

constexpr int kIdLength = 17;
constexpr std::int64_t kFixedHeader = 80;  // up to the order table
constexpr std::int64_t kSizeCountedFrom = 60;
constexpr std::uint16_t kVersion = 0x0104;  // older versions store their parts in another order
constexpr int kMaxChannels = 32;
constexpr int kMaxPatterns = 256;
constexpr int kMaxInstruments = 128;
constexpr int kMaxSamplesPerInstrument = 16;
constexpr int kMaxRows = 256;
constexpr std::uint32_t kPatternHeaderLength = 9;      // length, packing, rows, packed size
constexpr std::uint32_t kInstrumentHeaderLength = 29;  // size, name, type, sample count
constexpr std::uint32_t kSampleHeaderLength = 40;
constexpr int kSampleType = 14;
constexpr std::uint8_t kSixteenBit = 0x10;
// ModPlug's 4-bit ADPCM samples: this mark in the sample header's reserved byte; the data is a
// 16-byte delta table, then two samples per byte.
constexpr int kSampleReserved = 17;
constexpr std::uint8_t kAdpcmMark = 0xAD;
constexpr std::int64_t kAdpcmTable = 16;
// Far above what any writer uses (263 and 40); a larger header size is no header.
constexpr std::uint32_t kMaxHeaderLength = 4096;

constexpr std::int64_t kBroken = -1;
constexpr std::int64_t kPastTheInput = std::numeric_limits<std::int64_t>::max();

bool IsXmHeader(const std::uint8_t* h) {
  static constexpr char kId[] = "Extended Module: ";
  for (int i = 0; i < kIdLength; ++i) {
    // Some writers spell "module" in lower case.
    if (h[i] != kId[i] && !(i == 9 && h[i] == 'm')) return false;
  }
  return h[37] == 0x1A && GetLe16(h + 58) == kVersion;
}

// Where the instrument at `at` ends, with its sample headers and sample data: kBroken when its
// fields are impossible, kPastTheInput when the input ends within its headers.
std::int64_t InstrumentEnd(ByteView& in, std::int64_t at) {
  std::uint8_t head[kInstrumentHeaderLength + 4];
  if (!in.Read(at, head, kInstrumentHeaderLength)) return kPastTheInput;
  const std::uint32_t size = GetLe32(head);
  const int samples = GetLe16(head + 27);
  if (size < kInstrumentHeaderLength || size > kMaxHeaderLength ||
      samples > kMaxSamplesPerInstrument) {
    return kBroken;
  }
  const std::int64_t headersAt = at + size;
  if (samples == 0) return headersAt;
  // The sample header size follows the sample count, inside the instrument header.
  if (size < sizeof head) return kBroken;
  if (!in.Read(at + kInstrumentHeaderLength, head + kInstrumentHeaderLength, 4)) {
    return kPastTheInput;
  }
  const std::uint32_t stride = GetLe32(head + kInstrumentHeaderLength);
  if (stride < kSampleHeaderLength || stride > kMaxHeaderLength) return kBroken;
  std::int64_t data = 0;
  for (int s = 0; s < samples; ++s) {
    std::uint8_t sample[kSampleReserved + 1];
    if (!in.Read(headersAt + s * std::int64_t{stride}, sample, sizeof sample)) {
      return kPastTheInput;
    }
    // Lengths count bytes of plain samples, whatever their width.
    const std::uint32_t length = GetLe32(sample);
    if (length > kMaxModuleSampleLength) return kBroken;
    const bool adpcm =
        sample[kSampleReserved] == kAdpcmMark && (sample[kSampleType] & kSixteenBit) == 0;
    data += adpcm ? kAdpcmTable + (std::int64_t{length} + 1) / 2 : length;
  }
  return headersAt + samples * std::int64_t{stride} + data;
}

}  // namespace

// Patterns must all be whole. An instrument with impossible fields ends the module behind the
// last whole instrument (cut); the input's end within the instruments cuts it there.
bool MeasureXm(ByteView& in, std::int64_t lead, Extent& out) {
  std::uint8_t h[kFixedHeader];
  if (!in.Read(lead, h, sizeof h) || !IsXmHeader(h)) return false;
  const std::uint32_t headerSize = GetLe32(h + kSizeCountedFrom);
  const int channels = GetLe16(h + 68);
  const int patterns = GetLe16(h + 70);
  const int instruments = GetLe16(h + 72);
  if (headerSize < kFixedHeader - kSizeCountedFrom || channels == 0 || channels > kMaxChannels ||
      patterns > kMaxPatterns || instruments > kMaxInstruments) {
    return false;
  }
  std::int64_t at = lead + kSizeCountedFrom + headerSize;
  for (int p = 0; p < patterns; ++p) {
    std::uint8_t head[kPatternHeaderLength];
    if (!in.Read(at, head, sizeof head)) return false;
    const std::uint32_t length = GetLe32(head);
    const int rows = GetLe16(head + 5);
    if (length < kPatternHeaderLength || head[4] != 0 || rows == 0 || rows > kMaxRows) {
      return false;
    }
    at += std::int64_t{length} + GetLe16(head + 7);
  }
  if (at > in.Size()) return false;

  for (int i = 0; i < instruments && at <= in.Size(); ++i) {
    const std::int64_t end = InstrumentEnd(in, at);
    if (end == kBroken) {
      TakeModule(in, lead, at, ".XM", out);
      out.cut = true;
      return true;
    }
    at = end;
  }
  return TakeModule(in, lead, at, ".XM", out);
}

}  // namespace sorvend
