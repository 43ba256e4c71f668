// AIFF and AIFF-C sound files: an IFF "FORM" whose chunks (big-endian sizes, padded to even)
// hold the sound's description ("COMM") and its samples ("SSND").
#include <algorithm>

#include "engine/formats/chunk_walk.h"
#include "engine/formats/formats.h"

namespace sorvend {
namespace {

constexpr std::int64_t kFormHeader = 12;  // "FORM", size, form type
constexpr std::uint32_t kPlainCommBytes = 18;
constexpr std::uint32_t kCompressedCommBytes = 22;  // with the compression type
constexpr std::uint32_t kSoundHeaderBytes = 8;      // offset and block size

// Compression types that store plain samples, whose frames are channels times the sample's
// bytes.
bool StoresPlainSamples(const std::uint8_t* type) {
  for (const char* plain : {"NONE", "twos", "sowt", "raw ", "in24", "in32", "23ni", "42ni", "fl32",
                            "FL32", "fl64", "FL64"}) {
    if (FourCcIs(type, plain)) return true;
  }
  return false;
}

// A-law and mu-law: one byte a sample whatever the sample size says.
bool IsCompanded(const std::uint8_t* type) {
  for (const char* law : {"alaw", "ALAW", "ulaw", "ULAW"}) {
    if (FourCcIs(type, law)) return true;
  }
  return false;
}

// An 80-bit extended-precision sample rate: positive, normalised, from 1 to 2^32 Hz.
bool IsSaneRate(const std::uint8_t* r) {
  const int exponent = GetBe16(r);  // its sign bit must be clear
  return exponent >= 16383 && exponent <= 16383 + 31 && (r[2] & 0x80) != 0;
}

struct AiffForm {
  ByteView& in;
  bool compressed;
  bool haveComm = false;
  std::uint32_t sampleFrames = 0;
  std::int64_t frameBytes = 1;  // 1 where a compressed frame's size is not known
  std::int64_t soundStart = -1;
  std::int64_t soundEnd = 0;   // where the sound bytes end as far as they are present
  std::int64_t soundSize = 0;  // as declared

  Verdict operator()(const Chunk& c) {
    if (c.Is("COMM") && !haveComm) {
      if (!c.IsWhole()) return Verdict::Go;  // the walk ends with it
      return ReadComm(c) ? Verdict::Go : Verdict::Refuse;
    }
    if (c.Is("SSND") && soundStart < 0) {
      std::uint8_t s[kSoundHeaderBytes];
      if (c.size < sizeof s || !in.Read(c.data, s, sizeof s)) return Verdict::Refuse;
      const std::uint32_t offset = GetBe32(s);
      if (offset > c.size - sizeof s) return Verdict::Refuse;
      soundStart = c.data + sizeof s + offset;
      soundSize = c.size - sizeof s - offset;
      soundEnd = std::max(soundStart, c.data + c.avail);
    }
    return Verdict::Go;
  }

  bool ReadComm(const Chunk& c) {
    std::uint8_t m[kCompressedCommBytes];
    const std::uint32_t need = compressed ? kCompressedCommBytes : kPlainCommBytes;
    if (c.size < need || !in.Read(c.data, m, need)) return false;
    const std::uint16_t channels = GetBe16(m);
    const std::uint16_t sampleBits = GetBe16(m + 6);
    sampleFrames = GetBe32(m + 2);
    if (channels == 0 || !IsSaneRate(m + 8)) return false;
    if (compressed && IsCompanded(m + 18)) {
      frameBytes = channels;
    } else if (!compressed || StoresPlainSamples(m + 18)) {
      if (sampleBits == 0 || sampleBits > 64) return false;
      frameBytes = std::int64_t{channels} * ((sampleBits + 7) / 8);
    }
    haveComm = true;
    return true;
  }

  // At least one whole sample frame, as declared and as present.
  bool Decodable(Extent& out) const {
    if (!haveComm || soundStart < 0 || sampleFrames == 0 || soundSize < frameBytes) return false;
    if (soundEnd - soundStart >= soundSize) return true;
    const std::int64_t frames = (soundEnd - soundStart) / frameBytes;
    out.end = soundStart + frames * frameBytes;
    return frames > 0;
  }
};

}  // namespace

bool MeasureAiff(ByteView& in, std::int64_t lead, Extent& out) {
  std::uint8_t h[kFormHeader];
  if (!in.Read(lead, h, sizeof h) || !FourCcIs(h, "FORM")) return false;
  const bool compressed = FourCcIs(h + 8, "AIFC");
  if (!compressed && !FourCcIs(h + 8, "AIFF")) return false;
  const std::uint32_t size = GetBe32(h + 4);
  if (size < 4) return false;
  const std::int64_t formEnd = lead + 8 + std::int64_t{size};
  AiffForm form{in, compressed};
  ChunkWalker<AiffForm> walker(in, ByteOrder::Big, nullptr, form);
  walker.lastWhole = lead + kFormHeader;
  const WalkEnd how = walker.Walk(lead + kFormHeader, formEnd, h + 8, 0);
  if (how == WalkEnd::Refused) return false;
  out.start = lead;
  out.ext = ".AIF";
  out.cut = how != WalkEnd::Whole;
  out.end = how == WalkEnd::Whole ? formEnd : walker.lastWhole;
  return form.Decodable(out);
}

}  // namespace sorvend
