// id RoQ: little-endian chunks of a 16-bit id, a 32-bit size and a 16-bit argument. The file
// opens with the signature chunk (id 0x1084, size 0xFFFFFFFF, the frame rate as argument);
// the video information, codebook, frame and sound chunks follow.
#include "engine/formats/formats.h"

namespace sorvend {
namespace {

constexpr std::size_t kChunkHeader = 8;
constexpr std::uint16_t kMaxFrameRate = 1000;
// Far beyond what a frame or a second of sound takes.
constexpr std::uint32_t kMaxChunk = std::uint32_t{1} << 24;
constexpr std::int64_t kMaxChunks = std::int64_t{1} << 24;
// The chunks a player reads: information, quad codebook, quad frame, JPEG frame, the hang
// that ends a frame's data, sound (mono and stereo), and the packet chunk.
bool IsKnownId(std::uint16_t id) {
  switch (id) {
    case 0x1001:
    case 0x1002:
    case 0x1011:
    case 0x1012:
    case 0x1013:
    case 0x1020:
    case 0x1021:
    case 0x1030:
      return true;
    default:
      return false;
  }
}

}  // namespace

// The rest of the signature chunk, a frame rate and the first chunk's id.
bool ScreenRoq(const std::uint8_t* p, std::size_t avail, std::int64_t /*left*/) {
  if (avail < kChunkHeader + 2) return true;
  const std::uint16_t rate = GetLe16(p + 6);
  return p[4] == 0xFF && p[5] == 0xFF && rate != 0 && rate <= kMaxFrameRate &&
         IsKnownId(GetLe16(p + kChunkHeader));
}

// Ends behind the last whole chunk of a known id; cut when the input ends inside a chunk.
bool MeasureRoq(ByteView& in, std::int64_t lead, Extent& out) {
  std::uint8_t h[kChunkHeader];
  if (!in.Read(lead, h, sizeof h) || GetLe16(h) != 0x1084 || GetLe32(h + 2) != 0xFFFFFFFF) {
    return false;
  }
  const std::uint16_t rate = GetLe16(h + 6);
  if (rate == 0 || rate > kMaxFrameRate) return false;
  std::int64_t at = lead + static_cast<std::int64_t>(kChunkHeader);
  std::int64_t chunks = 0;
  bool cut = false;
  for (; chunks < kMaxChunks; ++chunks) {
    if (!in.Read(at, h, sizeof h)) {
      // A known chunk id cut short by the input's end.
      const std::int64_t rest = in.Size() - at;
      cut = rest == 1
                ? in.Byte(at) <= 0x30
                : rest > 1 &&
                      IsKnownId(static_cast<std::uint16_t>(in.Byte(at) | in.Byte(at + 1) << 8));
      break;
    }
    const std::uint16_t id = GetLe16(h);
    const std::uint32_t size = GetLe32(h + 2);
    if (!IsKnownId(id) || size > kMaxChunk) break;
    if (size > in.Size() - at - static_cast<std::int64_t>(kChunkHeader)) {
      cut = true;
      break;
    }
    at += static_cast<std::int64_t>(kChunkHeader) + size;
  }
  // A single chunk (the information alone) shows nothing.
  if (chunks < 2) return false;
  out.start = lead;
  out.end = at;
  out.cut = cut;
  out.ext = ".ROQ";
  return true;
}

}  // namespace sorvend
