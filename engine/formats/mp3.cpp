#include "engine/formats/mp3.h"

#include <algorithm>
#include <array>

namespace sorvend {
namespace {

// Every bitrate (kbit/s) of the published tables of all layers of both versions: the rows of
// the frame-length table.
constexpr std::array<int, 24> kRowKbps = {8,   16,  24,  32,  40,  48,  56,  64,
                                          80,  96,  112, 128, 144, 160, 176, 192,
                                          224, 256, 288, 320, 352, 384, 416, 448};
// Every sampling frequency (Hz) of both versions: the columns.
constexpr std::array<int, 6> kColumnHz = {16000, 22050, 24000, 32000, 44100, 48000};

// Bytes in a frame without padding: the integer part of 144 * bitrate / frequency. Built by
// the compiler, so that the scan divides nothing.
constexpr auto kFrameBytes = [] {
  std::array<std::array<std::uint16_t, kColumnHz.size()>, kRowKbps.size()> table{};
  for (std::size_t r = 0; r < kRowKbps.size(); ++r) {
    for (std::size_t c = 0; c < kColumnHz.size(); ++c) {
      table[r][c] = static_cast<std::uint16_t>(144 * 1000 * kRowKbps[r] / kColumnHz[c]);
    }
  }
  return table;
}();
static_assert(kFrameBytes[11][4] == 417);  // 128 kbit/s at 44.1 kHz
static_assert(kFrameBytes[19][5] == 960);  // 320 kbit/s at 48 kHz

// Row of kFrameBytes by [version bit][layer][bitrate index], layer 0 being Layer III (bits 01)
// and 1 Layer II (bits 10). Bitrate indexes 0 (free format) and 15 are rejected before.
constexpr std::uint8_t kRow[2][2][16] = {
    // MPEG-2, Layers III and II: 8 to 160 kbit/s.
    {{0, 0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 0},
     {0, 0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 0}},
    // MPEG-1 Layer III: 32 to 320 kbit/s; Layer II: 32 to 384 kbit/s.
    {{0, 3, 4, 5, 6, 7, 8, 9, 10, 11, 13, 15, 16, 17, 19, 0},
     {0, 3, 5, 6, 7, 8, 9, 10, 11, 13, 15, 16, 17, 19, 21, 0}},
};
// Column of kFrameBytes by [version bit][sampling-frequency index]; index 3 is rejected before.
constexpr std::uint8_t kColumn[2][4] = {
    {1, 2, 0, 0},  // MPEG-2: 22.05, 24, 16 kHz
    {4, 5, 3, 0},  // MPEG-1: 44.1, 48, 32 kHz
};

constexpr std::uint32_t kLayerIII = 0b01;
constexpr std::uint32_t kLayerII = 0b10;

// Hands out the header's fields from the most significant bit down.
class BitReader {
 public:
  explicit BitReader(std::uint32_t word) : word_(word) {}
  std::uint32_t Take(int n) {
    const std::uint32_t value = word_ >> (32 - n);
    word_ <<= n;
    return value;
  }

 private:
  std::uint32_t word_;
};

constexpr std::uint8_t kTag[3] = {'T', 'A', 'G'};
constexpr std::int64_t kTagSize = 128;

}  // namespace

int FrameLengthOfHeader(std::uint32_t header) {
  BitReader bits(header);
  const std::uint32_t sync = bits.Take(12);
  const std::uint32_t version = bits.Take(1);
  const std::uint32_t layer = bits.Take(2);
  bits.Take(1);  // protection
  const std::uint32_t bitrate = bits.Take(4);
  const std::uint32_t frequency = bits.Take(2);
  const std::uint32_t padding = bits.Take(1);

  if (sync != 0xFFF) return 0;
  if (layer != kLayerIII && layer != kLayerII) return 0;
  if (bitrate == 0 || bitrate == 15) return 0;
  if (frequency == 3) return 0;
  int length = kFrameBytes[kRow[version][layer - 1][bitrate]][kColumn[version][frequency]];
  // MPEG-2 Layer III frames carry half the samples.
  if (version == 0 && layer == kLayerIII) length >>= 1;
  return length + static_cast<int>(padding);
}

int MpegFrameLength(ScanContext& ctx) {
  ReadHeader(ctx, 0, 4);
  return FrameLengthOfHeader(Be32(ctx.Header.data()));
}

bool IsMp3Run(ScanContext& ctx) {
  std::int64_t p = ctx.Position - 1;
  int length = 0;
  for (int frame = 0; frame < 5; ++frame) {
    p += length;
    ctx.InFile.Seek(p);
    length = MpegFrameLength(ctx);
    if (length == 0) return false;
  }
  return true;
}

bool ExtractMp3(ScanContext& ctx) {
  const std::int64_t lead = ctx.Position - 1;
  if (!IsMp3Run(ctx)) return Reject(ctx);
  if (!BeginOutput(ctx, ".MP3", lead)) {
    // Unlike other formats, the byte after the lead byte is walked as after a rejection.
    SeekTo(ctx, lead + 1);
    return true;
  }
  // The lead byte is the first byte of the first frame and is copied from the input.
  SeekTo(ctx, lead);

  // Every frame but the last is followed by a valid header; Position is at the current frame.
  int length = 0;
  for (;;) {
    ctx.InFile.Seek(ctx.Position);
    length = MpegFrameLength(ctx);
    ctx.InFile.Seek(ctx.Position + length);
    if (MpegFrameLength(ctx) == 0) break;
    ctx.InFile.Seek(ctx.Position);
    CopyBytes(ctx, length, /*perByte=*/false);
    if (KeepResponsive(ctx, length)) return true;
  }

  // An ID3v1 tag may begin anywhere from the last frame's first byte to the third byte behind
  // it. Partial matches go back to the byte after their 'T'.
  ctx.InFile.Seek(ctx.Position);
  std::int64_t tagAt = -1;
  for (std::int64_t i = 0; i < length + 3; ++i) {
    if (ReadByte(ctx) != kTag[0]) continue;
    if (ReadByte(ctx) == kTag[1] && ReadByte(ctx) == kTag[2]) {
      tagAt = i;
      break;
    }
    ctx.InFile.Seek(ctx.Position + i + 1);
  }
  const std::int64_t n = tagAt >= 0 ? tagAt + kTagSize : length;

  ctx.InFile.Seek(ctx.Position);
  CopyBytes(ctx, std::min(n, Remaining(ctx)), /*perByte=*/false);
  EndOutput(ctx);
  return true;
}

}  // namespace sorvend
