// Musepack SV8: "MPCK", then packets of a two-letter key and a variable-length size that
// counts the whole packet, from the stream header ("SH", checked by its CRC) up to the
// stream-end packet ("SE").
#include <zlib.h>

#include "engine/formats/formats.h"

namespace sorvend {
namespace {

constexpr std::int64_t kMagicBytes = 4;
// The size field's bytes: 7 bits each, the top bit set on all but the last.
constexpr int kMaxSizeBytes = 8;
// Far beyond any packet an encoder writes (audio packets hold a few frames; seek tables and
// tags stay well below this).
constexpr std::int64_t kMaxPacket = std::int64_t{1} << 24;
constexpr std::int64_t kMaxPackets = std::int64_t{1} << 24;
constexpr std::uint8_t kStreamVersion = 8;
// The stream header: its CRC-32, then the version and the rest.
constexpr std::int64_t kShCrcBytes = 4;
constexpr std::int64_t kMaxShBytes = 64;

bool IsKeyLetter(std::uint8_t c) {
  return c >= 'A' && c <= 'Z';
}

struct Packet {
  std::uint8_t key[2];
  std::int64_t size;    // the whole packet
  std::int64_t header;  // key and size field
};

// The packet header at `at`: false when the bytes are none.
bool ReadPacket(ByteView& in, std::int64_t at, Packet& p) {
  std::uint8_t h[2 + kMaxSizeBytes];
  std::size_t avail = 0;
  const std::uint8_t* b = in.Peek(at, sizeof h, avail);
  if (avail < 3) return false;
  std::copy(b, b + std::min(avail, sizeof h), h);
  if (!IsKeyLetter(h[0]) || !IsKeyLetter(h[1])) return false;
  p.key[0] = h[0];
  p.key[1] = h[1];
  std::int64_t size = 0;
  for (std::size_t i = 2; i < std::min(avail, sizeof h); ++i) {
    size = size << 7 | (h[i] & 0x7F);
    if ((h[i] & 0x80) == 0) {
      p.header = static_cast<std::int64_t>(i) + 1;
      p.size = size;
      return size >= p.header && size <= kMaxPacket;
    }
  }
  return false;
}

bool Is(const Packet& p, const char* key) {
  return p.key[0] == key[0] && p.key[1] == key[1];
}

// The stream header's CRC covers the bytes behind it, and the version is SV8.
bool StreamHeaderChecks(ByteView& in, std::int64_t at, const Packet& p) {
  const std::int64_t body = p.size - p.header;
  if (body <= kShCrcBytes || body > kMaxShBytes) return false;
  std::uint8_t b[kMaxShBytes];
  if (!in.Read(at + p.header, b, static_cast<std::size_t>(body))) return false;
  const auto crc =
      static_cast<std::uint32_t>(crc32(0, b + kShCrcBytes, static_cast<uInt>(body - kShCrcBytes)));
  return crc == GetBe32(b) && b[kShCrcBytes] == kStreamVersion;
}

}  // namespace

// The stream header's key right behind the magic.
bool ScreenMusepack(const std::uint8_t* p, std::size_t avail, std::int64_t /*left*/) {
  return avail < kMagicBytes + 2 || (p[kMagicBytes] == 'S' && p[kMagicBytes + 1] == 'H');
}

// Whole up to "SE"; cut behind the last whole packet when the input ends or the packets break
// before it, as long as the stream header and some audio came before.
bool MeasureMusepack(ByteView& in, std::int64_t lead, Extent& out) {
  std::uint8_t magic[kMagicBytes];
  if (!in.Read(lead, magic, sizeof magic) || !FourCcIs(magic, "MPCK")) return false;
  std::int64_t at = lead + kMagicBytes;
  std::int64_t audio = 0;
  bool ended = false;
  for (std::int64_t n = 0; n < kMaxPackets; ++n) {
    Packet p;
    if (!ReadPacket(in, at, p)) break;
    if (n == 0 && (!Is(p, "SH") || !StreamHeaderChecks(in, at, p))) return false;
    if (p.size > in.Size() - at) break;
    at += p.size;
    if (Is(p, "AP")) ++audio;
    if (Is(p, "SE")) {
      ended = true;
      break;
    }
  }
  if (audio == 0) return false;
  out.start = lead;
  out.end = at;
  out.cut = !ended;
  out.ext = ".MPC";
  return true;
}

}  // namespace sorvend
