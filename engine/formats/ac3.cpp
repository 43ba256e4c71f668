// Raw AC-3 (Dolby Digital): a run of frames, each the sync word 0B 77, CRC1, the sample rate
// code and frame size code that give its length from the standard's table, and the bit stream
// information. CRC1 covers the first 5/8 of the frame behind the sync word, CRC2 (the last
// word) the rest; both are checked.
#include "engine/formats/crc.h"
#include "engine/formats/formats.h"

namespace sorvend {
namespace {

constexpr std::size_t kHeaderBytes = 7;
// Fewer checked frames could be chance.
constexpr int kMinFrames = 2;
constexpr int kFrameSizeCodes = 38;
constexpr int kReservedRate = 3;
// Bit stream ids of AC-3 proper (E-AC-3, id 16, has no CRC1).
constexpr int kMaxBsid = 10;
constexpr std::int64_t kMaxFrames = std::int64_t{1} << 26;

constexpr std::array<int, 19> kBitrates = {32,  40,  48,  56,  64,  80,  96,  112, 128, 160,
                                           192, 224, 256, 320, 384, 448, 512, 576, 640};

// Frame sizes in bytes by sample rate code (48, 44.1, 32 kHz) and frame size code.
constexpr std::array<std::array<int, kFrameSizeCodes>, 3> kFrameBytes = [] {
  std::array<std::array<int, kFrameSizeCodes>, 3> t{};
  for (int code = 0; code < kFrameSizeCodes; ++code) {
    const int kbps = kBitrates[code / 2];
    t[0][code] = 4 * kbps;
    t[1][code] = 2 * (kbps * 96000 / 44100 + (code & 1));
    t[2][code] = 6 * kbps;
  }
  return t;
}();

constexpr auto kCrc16 = MsbFirstCrcTable<std::uint16_t, 0x8005>();

std::uint16_t Crc16(std::uint16_t crc, const std::uint8_t* p, std::size_t n) {
  for (std::size_t i = 0; i < n; ++i) {
    crc = static_cast<std::uint16_t>(crc << 8 ^ kCrc16[(crc >> 8 ^ p[i]) & 0xFF]);
  }
  return crc;
}

// The frame's length in bytes from its header h[0..7), or 0 when the header is none.
int FrameBytes(const std::uint8_t* h) {
  if (h[0] != 0x0B || h[1] != 0x77) return 0;
  const int rate = h[4] >> 6;
  const int code = h[4] & 0x3F;
  if (rate == kReservedRate || code >= kFrameSizeCodes || (h[5] >> 3) > kMaxBsid) return 0;
  return kFrameBytes[rate][code];
}

// What every frame of one stream shares: sample rate code, bit stream id and channel mode.
std::uint32_t StreamFields(const std::uint8_t* h) {
  return std::uint32_t{h[4] & 0xC0u} << 16 | std::uint32_t{h[5] & 0xF8u} << 8 | (h[6] & 0xE0u);
}

// Both CRCs of the frame at `at`, `bytes` long, hold.
bool CrcsHold(ByteView& in, std::int64_t at, int bytes) {
  std::uint8_t frame[3840];
  if (!in.Read(at, frame, static_cast<std::size_t>(bytes))) return false;
  const int first = ((bytes >> 2) + (bytes >> 4)) << 1;
  return Crc16(0, frame + 2, static_cast<std::size_t>(first - 2)) == 0 &&
         Crc16(0, frame + first, static_cast<std::size_t>(bytes - first)) == 0;
}

}  // namespace

// The next frame in view must follow with the same stream fields.
bool ScreenAc3(const std::uint8_t* p, std::size_t avail, std::int64_t left) {
  if (avail < kHeaderBytes) return true;
  const int bytes = FrameBytes(p);
  if (bytes == 0 || left < kMinFrames * bytes) return false;
  const auto next = static_cast<std::size_t>(bytes);
  if (avail < next + kHeaderBytes) return true;
  return FrameBytes(p + next) != 0 && StreamFields(p + next) == StreamFields(p);
}

// Whole up to the last frame that checks; cut when the input ends inside a frame or a frame of
// the same stream fails its CRCs.
bool MeasureAc3(ByteView& in, std::int64_t lead, Extent& out) {
  std::int64_t at = lead;
  std::uint32_t stream = 0;
  int frames = 0;
  bool cut = false;
  for (std::int64_t n = 0; n < kMaxFrames; ++n) {
    std::uint8_t h[kHeaderBytes];
    if (!in.Read(at, h, sizeof h)) {
      cut = TailStartsLike(in, at, "\x0B\x77", 2) ||
            (in.Size() - at >= 2 && in.Byte(at) == 0x0B && in.Byte(at + 1) == 0x77);
      break;
    }
    const int bytes = FrameBytes(h);
    if (bytes == 0 || (n > 0 && StreamFields(h) != stream)) break;
    // The first frames are checked for the frame that follows before their CRCs: a lone
    // header in other data costs only a few bytes.
    if (n == 0) {
      std::uint8_t next[kHeaderBytes];
      if (!in.Read(at + bytes, next, sizeof next) || FrameBytes(next) == 0 ||
          StreamFields(next) != StreamFields(h)) {
        return false;
      }
    }
    if (bytes > in.Size() - at) {
      cut = true;
      break;
    }
    if (!CrcsHold(in, at, bytes)) {
      cut = n > 0;
      break;
    }
    stream = StreamFields(h);
    at += bytes;
    ++frames;
  }
  if (frames < kMinFrames) return false;
  out.start = lead;
  out.end = at;
  out.cut = cut;
  out.ext = ".AC3";
  return true;
}

}  // namespace sorvend
