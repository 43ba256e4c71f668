// TTA (True Audio): "TTA1", a 22-byte header checked by its CRC-32, a seek table of every
// frame's size with a CRC-32 of its own, then the frames, each ending in a CRC-32 of its data.
// A frame holds 256/245 of a second of samples; the header's sample count gives their number.
#include <zlib.h>

#include "engine/formats/formats.h"

namespace sorvend {
namespace {

constexpr std::size_t kHeaderBytes = 22;
constexpr std::size_t kHeaderCrcAt = 18;
constexpr std::uint16_t kPcm = 1;
constexpr std::uint16_t kFloat = 3;
constexpr std::uint16_t kMaxChannels = 64;
constexpr std::uint32_t kMaxRate = 1u << 20;
constexpr std::int64_t kCrcBytes = 4;

std::uint32_t Crc32(const std::uint8_t* p, std::size_t n) {
  return static_cast<std::uint32_t>(crc32(0, p, static_cast<uInt>(n)));
}

// The CRC-32 of [at, at + n) of the input, or false when the range leaves it.
bool Crc32Of(ByteView& in, std::int64_t at, std::int64_t n, std::uint32_t& crc) {
  uLong c = crc32(0, nullptr, 0);
  if (!in.Each(at, n, [&](const std::uint8_t* p, std::size_t k) {
        c = crc32(c, p, static_cast<uInt>(k));
      })) {
    return false;
  }
  crc = static_cast<std::uint32_t>(c);
  return true;
}

// The header's fields and its CRC.
bool HeaderFits(const std::uint8_t* h) {
  const std::uint16_t format = GetLe16(h + 4);
  const std::uint16_t channels = GetLe16(h + 6);
  const std::uint16_t bits = GetLe16(h + 8);
  const std::uint32_t rate = GetLe32(h + 10);
  return format >= kPcm && format <= kFloat && channels != 0 && channels <= kMaxChannels &&
         bits != 0 && bits <= 32 && rate != 0 && rate <= kMaxRate && GetLe32(h + 14) != 0 &&
         Crc32(h, kHeaderCrcAt) == GetLe32(h + kHeaderCrcAt);
}

}  // namespace

bool ScreenTta(const std::uint8_t* p, std::size_t avail, std::int64_t /*left*/) {
  return avail < kHeaderBytes || HeaderFits(p);
}

// Whole behind the last frame the table names; cut behind the last whole frame whose CRC
// holds when the input ends or a frame is damaged before that.
bool MeasureTta(ByteView& in, std::int64_t lead, Extent& out) {
  std::uint8_t h[kHeaderBytes];
  if (!in.Read(lead, h, sizeof h) || !FourCcIs(h, "TTA1")) return false;
  if (!HeaderFits(h)) return false;
  const std::uint32_t rate = GetLe32(h + 10);
  const std::uint32_t samples = GetLe32(h + 14);
  const std::int64_t frameSamples = std::int64_t{rate} * 256 / 245;
  if (frameSamples == 0) return false;
  const std::int64_t frames = (samples + frameSamples - 1) / frameSamples;
  const std::int64_t table = lead + static_cast<std::int64_t>(kHeaderBytes);
  const std::int64_t tableBytes = frames * 4;
  // A table that does not fit the input leaves nothing to decode.
  if (tableBytes + kCrcBytes > in.Size() - table) return false;
  std::uint32_t crc = 0;
  std::uint8_t stored[4];
  if (!Crc32Of(in, table, tableBytes, crc) || !in.Read(table + tableBytes, stored, 4) ||
      crc != GetLe32(stored)) {
    return false;
  }
  std::int64_t at = table + tableBytes + kCrcBytes;
  std::int64_t whole = 0;
  bool cut = false;
  for (std::int64_t f = 0; f < frames; ++f) {
    std::uint8_t entry[4];
    if (!in.Read(table + 4 * f, entry, 4)) return false;
    const std::int64_t size = GetLe32(entry);
    std::uint8_t frameCrc[4];
    if (size <= kCrcBytes || size > in.Size() - at || !Crc32Of(in, at, size - kCrcBytes, crc) ||
        !in.Read(at + size - kCrcBytes, frameCrc, 4) || crc != GetLe32(frameCrc)) {
      cut = true;
      break;
    }
    at += size;
    ++whole;
  }
  if (whole == 0) return false;
  out.start = lead;
  out.end = at;
  out.cut = cut;
  out.ext = ".TTA";
  return true;
}

}  // namespace sorvend
