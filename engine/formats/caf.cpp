// Apple Core Audio Format: "caff", version 1, then big-endian chunks of a four-character type
// and a 64-bit size, the audio description ("desc") first. The audio data chunk ("data") may
// say -1 for its size: it then runs to the end of the file, and a packet table ("pakt"), where
// there is one, tells how long its packets are.
#include "engine/formats/chunk_walk.h"
#include "engine/formats/formats.h"

namespace sorvend {
namespace {

constexpr std::size_t kFileHeader = 8;
constexpr std::size_t kChunkHeader = 12;
constexpr std::size_t kDescBytes = 32;
constexpr std::int64_t kEditCountBytes = 4;
constexpr std::int64_t kMaxChunks = 4096;
constexpr std::uint32_t kMaxChannels = 1024;
constexpr std::int64_t kPaktHeader = 24;
// A packet size in the table: a variable-length number of at most this many bytes.
constexpr int kMaxVarBytes = 5;

// The chunks the format defines; behind the audio data only these are taken as the file's.
bool IsKnownChunk(const std::uint8_t* t) {
  for (const char* code :
       {"desc", "data", "pakt", "chan", "kuki", "info", "umid", "ovvw", "mark", "regn", "inst",
        "midi", "uuid", "strg", "free", "edct", "lyrc", "peak"}) {
    if (FourCcIs(t, code)) return true;
  }
  return false;
}

struct Description {
  std::uint32_t bytesPerPacket;
  std::uint32_t framesPerPacket;
};

bool ReadDescription(ByteView& in, std::int64_t at, Description& d) {
  std::uint8_t b[kDescBytes];
  if (!in.Read(at, b, sizeof b)) return false;
  // A positive, finite sample rate: the sign bit clear, an exponent neither 0 nor all ones.
  const std::uint64_t rate = GetBe64(b);
  const std::uint64_t exponent = rate >> 52 & 0x7FF;
  const std::uint32_t channels = GetBe32(b + 24);
  if ((rate >> 63) != 0 || exponent == 0 || exponent == 0x7FF || !IsPrintableFourCc(b + 8) ||
      channels == 0 || channels > kMaxChannels) {
    return false;
  }
  d.bytesPerPacket = GetBe32(b + 16);
  d.framesPerPacket = GetBe32(b + 20);
  return true;
}

// The packet sizes of a packet table at `at` (its chunk `size` bytes long) for packets of
// variable size: their sum into `total`. False when the table does not hold together.
bool SumPacketSizes(ByteView& in, std::int64_t at, std::int64_t size, const Description& d,
                    std::int64_t& total) {
  std::uint8_t h[kPaktHeader];
  if (size < kPaktHeader || !in.Read(at, h, sizeof h)) return false;
  const std::int64_t packets = static_cast<std::int64_t>(GetBe64(h));
  if (packets < 0) return false;
  const int fields = (d.bytesPerPacket == 0 ? 1 : 0) + (d.framesPerPacket == 0 ? 1 : 0);
  // Each field takes a byte at least.
  if (packets > (size - kPaktHeader) / std::max(fields, 1)) return false;
  if (d.bytesPerPacket != 0) {
    total = packets * d.bytesPerPacket;
    return true;
  }
  std::int64_t pos = at + kPaktHeader;
  const std::int64_t end = at + size;
  total = 0;
  for (std::int64_t p = 0; p < packets; ++p) {
    for (int f = 0; f < fields; ++f) {
      std::int64_t value = 0;
      int n = 0;
      for (;; ++n) {
        const int byte = pos < end ? in.Byte(pos) : -1;
        if (byte < 0 || n == kMaxVarBytes) return false;
        ++pos;
        value = value << 7 | (byte & 0x7F);
        if ((byte & 0x80) == 0) break;
      }
      if (f == 0) total += value;
    }
  }
  return true;
}

bool FileHeaderFits(const std::uint8_t* h) {
  return FourCcIs(h, "caff") && GetBe16(h + 4) == 1 && GetBe16(h + 6) == 0 &&
         FourCcIs(h + 8, "desc") && GetBe64(h + 12) == kDescBytes;
}

}  // namespace

// Version 1 and the description's chunk header.
bool ScreenCaf(const std::uint8_t* p, std::size_t avail, std::int64_t /*left*/) {
  return avail < kFileHeader + kChunkHeader || FileHeaderFits(p);
}

// Ends behind the last chunk; a data chunk that runs to the end of the input is kept to its last
// whole packet and marked cut only when the input ends inside one.
bool MeasureCaf(ByteView& in, std::int64_t lead, Extent& out) {
  std::uint8_t h[kFileHeader + kChunkHeader];
  if (!in.Read(lead, h, sizeof h) || !FileHeaderFits(h)) return false;
  Description desc;
  if (!ReadDescription(in, lead + sizeof h, desc)) return false;
  std::int64_t at = lead + static_cast<std::int64_t>(sizeof h + kDescBytes);
  std::int64_t end = at;
  std::int64_t packetBytes = -1;  // the data's length by the packet table
  bool data = false;
  bool paktWhole = false;
  bool cut = false;
  for (std::int64_t n = 0; n < kMaxChunks; ++n) {
    std::uint8_t c[kChunkHeader];
    // The input's end, or bytes too few for a chunk behind the last one.
    if (!in.Read(at, c, sizeof c)) break;
    if (!IsPrintableFourCc(c) || (data && !IsKnownChunk(c)) || FourCcIs(c, "desc")) break;
    const auto size = static_cast<std::int64_t>(GetBe64(c + 4));
    const std::int64_t body = at + static_cast<std::int64_t>(kChunkHeader);
    const std::int64_t left = in.Size() - body;
    if (FourCcIs(c, "data")) {
      if (data) break;
      data = true;
      const bool open = size == -1;
      if (!open && size < kEditCountBytes) return false;
      if (!open && size <= left) {
        at = body + size;
        end = at;
        continue;
      }
      // Open, or cut by the input's end: the data chunk is the last one. Its length is the
      // table's where there is one, else the input's; packets of variable size can only be
      // told apart by the table.
      std::int64_t audio = left - kEditCountBytes;
      if (open && packetBytes >= 0 && packetBytes <= audio) {
        audio = packetBytes;
      } else {
        if (desc.bytesPerPacket == 0) return false;
        const std::int64_t whole = audio / desc.bytesPerPacket * desc.bytesPerPacket;
        cut = whole < audio || !open || packetBytes >= 0;
        audio = whole;
      }
      if (audio <= 0) return false;
      end = body + kEditCountBytes + audio;
      break;
    }
    if (size < 0) break;
    if (size > left) {
      cut = true;
      break;
    }
    if (FourCcIs(c, "pakt")) {
      std::int64_t total = 0;
      if (!SumPacketSizes(in, body, size, desc, total)) break;
      packetBytes = total;
      paktWhole = true;
    }
    at = body + size;
    end = at;
  }
  // Packets of variable size need their table within the object.
  const bool variable = desc.bytesPerPacket == 0 || desc.framesPerPacket == 0;
  if (!data || (variable && !paktWhole)) return false;
  out.start = lead;
  out.end = end;
  out.cut = cut;
  out.ext = ".CAF";
  return true;
}

}  // namespace sorvend
