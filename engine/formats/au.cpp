// Sun/NeXT audio files: a big-endian header (".snd", header size, data size, encoding, rate,
// channels) and the samples right behind the header.
#include "engine/formats/formats.h"

namespace sorvend {
namespace {

constexpr std::size_t kHeaderBytes = 24;
// Written by a program that streamed the sound and never went back: its end is unknown.
constexpr std::uint32_t kUnknownSize = 0xFFFFFFFF;

// The bytes of the smallest whole unit of samples for one channel: a sample for linear, float
// and companded encodings, a group of eight samples for the 3- and 5-bit ADPCM ones, a byte
// for the 4-bit ones; 0 for encodings no decoder plays.
std::int64_t UnitBytes(std::uint32_t encoding) {
  switch (encoding) {
    case 1:   // 8-bit mu-law
    case 2:   // 8-bit linear
    case 27:  // 8-bit A-law
    case 23:  // 4-bit ADPCM, two samples a byte
    case 24:  // 4-bit sub-band ADPCM
      return 1;
    case 3:  // 16-bit linear
      return 2;
    case 4:  // 24-bit linear
      return 3;
    case 5:  // 32-bit linear
    case 6:  // 32-bit float
      return 4;
    case 7:  // 64-bit float
      return 8;
    case 25:  // 3-bit ADPCM: eight samples in three bytes
      return 3;
    case 26:  // 5-bit ADPCM: eight samples in five bytes
      return 5;
    default:
      return 0;
  }
}

}  // namespace

// The object is the header and its data size; one that runs past the input is kept to the
// input's last whole frame.
bool MeasureAu(ByteView& in, std::int64_t lead, Extent& out) {
  std::uint8_t h[kHeaderBytes];
  if (!in.Read(lead, h, sizeof h) || !FourCcIs(h, ".snd")) return false;
  const std::uint32_t headerSize = GetBe32(h + 4);
  const std::uint32_t dataSize = GetBe32(h + 8);
  const std::int64_t unit = UnitBytes(GetBe32(h + 12));
  const std::uint32_t rate = GetBe32(h + 16);
  const std::uint32_t channels = GetBe32(h + 20);
  if (headerSize < kHeaderBytes || dataSize == kUnknownSize || unit == 0 || rate == 0 ||
      channels == 0 || channels > 0xFFFF) {
    return false;
  }
  const std::int64_t frame = unit * channels;
  const std::int64_t dataStart = lead + headerSize;
  if (dataSize < frame) return false;
  out.start = lead;
  out.ext = ".AU";
  out.end = dataStart + dataSize;
  if (out.end <= in.Size()) return true;
  out.cut = true;
  const std::int64_t frames = (in.Size() - dataStart) / frame;
  out.end = dataStart + frames * frame;
  return frames > 0;
}

}  // namespace sorvend
