// WavPack: a chain of blocks, each a 32-byte header ("wvpk", the block's size, a stream version
// from 0x402 to 0x410, its first sample's index and its sample count) and metadata sub-blocks
// that fill the rest of it exactly. A frame is one block, or in multichannel files several
// blocks from an initial to a final one that share the frame's index; indices never go back.
#include "engine/formats/formats.h"

namespace sorvend {
namespace {

constexpr std::size_t kHeaderBytes = 32;
// The size field counts the block less its first 8 bytes; decoders refuse a block of 1 MiB or
// more.
constexpr std::uint32_t kMinSizeField = kHeaderBytes - 8;
constexpr std::uint32_t kMaxSizeField = std::uint32_t{1} << 20;
constexpr std::uint16_t kFirstVersion = 0x402;
constexpr std::uint16_t kLastVersion = 0x410;
constexpr std::uint32_t kUnknownTotal = 0xFFFFFFFF;
constexpr std::uint32_t kInitialBlock = 0x800;
constexpr std::uint32_t kFinalBlock = 0x1000;
// A sub-block's id byte: a 3-byte word count instead of one byte, and a last byte that is pad.
constexpr std::uint8_t kIdLarge = 0x80;
constexpr std::uint8_t kIdOddSize = 0x40;
constexpr std::uint8_t kIdFunction = 0x3F;
// The source file's header, stored before the first samples.
constexpr std::uint8_t kIdRiffHeader = 0x21;
// How far before a RIFF header a WavPack block header may stand: the sub-blocks before it in
// the first block are a few small ones (the source's extension, a version).
constexpr std::int64_t kMaxRiffLookBack = 256;
// Far more blocks than any file has (a block holds at least a few thousand samples).
constexpr std::int64_t kMaxBlocks = std::int64_t{1} << 24;

struct Block {
  std::int64_t size;   // the whole block
  std::int64_t index;  // of its first sample
  std::uint32_t samples;
  std::int64_t total;  // samples of the whole stream, or -1 when unknown
  std::uint32_t flags;
};

// The header at h[0..32), or false when it is none.
bool ParseHeader(const std::uint8_t* h, Block& b) {
  if (!FourCcIs(h, "wvpk")) return false;
  const std::uint32_t size = GetLe32(h + 4);
  const std::uint16_t version = GetLe16(h + 8);
  if (size < kMinSizeField || size >= kMaxSizeField || (size & 1) != 0 || version < kFirstVersion ||
      version > kLastVersion) {
    return false;
  }
  b.size = std::int64_t{size} + 8;
  b.index = std::int64_t{GetLe32(h + 16)} + (std::int64_t{h[10]} << 32);
  const std::uint32_t total = GetLe32(h + 12);
  b.total = total == kUnknownTotal ? -1 : std::int64_t{total} + (std::int64_t{h[11]} << 32) - h[11];
  b.samples = GetLe32(h + 20);
  b.flags = GetLe32(h + 24);
  return true;
}

// Calls visit(id, dataOffset, dataBytes) for each sub-block of the block at `at`; true when
// they fill it exactly. Stops early when visit returns false.
template <class Visit>
bool WalkSubBlocks(ByteView& in, std::int64_t at, std::int64_t size, Visit&& visit) {
  std::int64_t pos = at + static_cast<std::int64_t>(kHeaderBytes);
  const std::int64_t end = at + size;
  while (pos < end) {
    std::uint8_t h[4];
    if (end - pos < 2 || !in.Read(pos, h, 2)) return false;
    std::int64_t words = h[1];
    std::int64_t header = 2;
    if ((h[0] & kIdLarge) != 0) {
      if (end - pos < 4 || !in.Read(pos, h, 4)) return false;
      words = h[1] | h[2] << 8 | std::int64_t{h[3]} << 16;
      header = 4;
    }
    const std::int64_t bytes = 2 * words;
    if (bytes > end - pos - header) return false;
    if ((h[0] & kIdOddSize) != 0 && bytes == 0) return false;
    if (!visit(h[0], pos + header, bytes)) return true;
    pos += header + bytes;
  }
  return pos == end;
}

}  // namespace

// The first block's header in view.
bool ScreenWavPack(const std::uint8_t* p, std::size_t avail, std::int64_t left) {
  if (left < static_cast<std::int64_t>(kHeaderBytes)) return false;
  if (avail < kHeaderBytes) return true;
  Block b;
  return ParseHeader(p, b);
}

bool IsWavPackRiffHeader(ByteView& in, std::int64_t riff) {
  std::uint8_t window[kMaxRiffLookBack];
  const std::int64_t from = std::max<std::int64_t>(0, riff - kMaxRiffLookBack);
  const auto n = static_cast<std::size_t>(riff - from);
  if (n < kHeaderBytes + 2 || !in.Read(from, window, n)) return false;
  for (std::size_t i = 0; i + kHeaderBytes + 2 <= n; ++i) {
    Block b;
    if (window[i] != 'w' || !ParseHeader(window + i, b)) continue;
    const std::int64_t at = from + static_cast<std::int64_t>(i);
    bool found = false;
    WalkSubBlocks(in, at, b.size, [&](std::uint8_t id, std::int64_t data, std::int64_t) {
      if (data > riff) return false;
      found = data == riff && (id & kIdFunction) == kIdRiffHeader;
      return !found;
    });
    if (found) return true;
  }
  return false;
}

// The object ends behind the last whole frame whose blocks' headers and sub-blocks agree. It
// is cut when the input ends or the chain breaks inside a frame, when a block that looks like
// one does not hold together, or when the stream's declared sample count is not reached.
bool MeasureWavPack(ByteView& in, std::int64_t lead, Extent& out) {
  std::int64_t at = lead;
  std::int64_t frameEnd = lead;
  std::int64_t frameIndex = -1;
  std::uint32_t frameSamples = 0;
  std::int64_t firstIndex = -1;
  std::int64_t total = -1;
  std::int64_t reached = 0;  // one past the last sample of the last whole frame
  std::int64_t samples = 0;
  bool inFrame = false;
  bool cut = false;
  for (std::int64_t blocks = 0; blocks < kMaxBlocks; ++blocks) {
    std::uint8_t h[kHeaderBytes];
    if (!in.Read(at, h, sizeof h)) {
      cut = inFrame || TailStartsLike(in, at, "wvpk", 4);
      break;
    }
    Block b;
    if (!ParseHeader(h, b)) {
      cut = (h[0] == 'w' && FourCcIs(h, "wvpk")) || inFrame;
      break;
    }
    const bool initial = (b.flags & kInitialBlock) != 0;
    if (inFrame ? (initial || b.index != frameIndex || b.samples != frameSamples)
                : (!initial || b.index < frameIndex)) {
      cut = inFrame;
      break;
    }
    if (b.size > in.Size() - at) {
      cut = true;
      break;
    }
    if (!WalkSubBlocks(in, at, b.size,
                       [](std::uint8_t, std::int64_t, std::int64_t) { return true; })) {
      cut = true;
      break;
    }
    if (firstIndex < 0) {
      firstIndex = b.index;
      total = b.total;
    }
    frameIndex = b.index;
    frameSamples = b.samples;
    at += b.size;
    inFrame = (b.flags & kFinalBlock) == 0;
    if (!inFrame) {
      frameEnd = at;
      samples += b.samples;
      reached = b.index + b.samples;
    }
  }
  if (samples == 0) return false;
  // A stream that starts at its beginning and declares its length ends with its last sample.
  if (firstIndex == 0 && total >= 0 && reached < total) cut = true;
  out.start = lead;
  out.end = frameEnd;
  out.cut = cut;
  out.ext = ".WV";
  return true;
}

}  // namespace sorvend
