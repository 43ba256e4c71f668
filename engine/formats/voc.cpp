// Creative voice files: a 26-byte header, then a chain of typed blocks with 24-bit sizes up to
// the terminator block (type 0, one byte).
#include <cstring>

#include "engine/formats/formats.h"

namespace sorvend {
namespace {

constexpr char kMagic[] = "Creative Voice File\x1A";
constexpr std::size_t kMagicBytes = sizeof kMagic - 1;
constexpr std::int64_t kHeaderBytes = 0x1A;
// Offsets in the header, behind the 20-byte magic text.
constexpr int kDataOffsetAt = 20;
constexpr int kVersionAt = 22;
constexpr int kVersionCheckAt = 24;
// A hard bound on the blocks of one file, far above real ones.
constexpr int kMaxBlocks = 1 << 20;

enum Block : int {
  kTerminator = 0,
  kSoundData = 1,
  kSoundContinue = 2,
  kSilence = 3,
  kMarker = 4,
  kText = 5,
  kRepeatStart = 6,
  kRepeatEnd = 7,
  kExtended = 8,
  kNewSoundData = 9,
};

// The codecs a sound block may name: 8-bit unsigned, three ADPCM kinds, 16-bit signed, A-law,
// mu-law, and (in the newer block only) Creative's 4-bit ADPCM.
bool IsKnownCodec(int codec, bool newBlock) {
  return (codec >= 0 && codec <= 4) || codec == 6 || codec == 7 || (newBlock && codec == 0x200);
}

// The fixed fields of a block as its type defines them; `b` holds up to 12 of its bytes.
bool IsSaneBlock(int type, std::uint32_t size, const std::uint8_t* b, bool afterSound) {
  switch (type) {
    case kSoundData:  // rate divisor, codec, samples
      return size >= 2 && IsKnownCodec(b[1], false);
    case kSoundContinue:
      return afterSound;
    case kSilence:
      return size == 3;
    case kMarker:
    case kRepeatStart:
      return size == 2;
    case kText:
      return size >= 1;
    case kRepeatEnd:
      return size == 0;
    case kExtended:
      return size == 4;
    case kNewSoundData:  // rate, bits, channels, codec, reserved, samples
      return size >= 12 && GetLe32(b) != 0 && b[4] != 0 && b[5] != 0 &&
             IsKnownCodec(GetLe16(b + 6), true);
    default:
      return false;
  }
}

}  // namespace

// The header with its version check (the complement of the version plus 0x1234), then the
// block chain; a file that breaks or ends early is kept up to its last whole block if that
// holds sound.
bool MeasureVoc(ByteView& in, std::int64_t lead, Extent& out) {
  std::uint8_t h[kHeaderBytes];
  if (!in.Read(lead, h, sizeof h) || std::memcmp(h, kMagic, kMagicBytes) != 0 ||
      GetLe16(h + kDataOffsetAt) != kHeaderBytes ||
      GetLe16(h + kVersionCheckAt) !=
          static_cast<std::uint16_t>(~GetLe16(h + kVersionAt) + 0x1234)) {
    return false;
  }
  out.start = lead;
  out.ext = ".VOC";
  std::int64_t at = lead + kHeaderBytes;
  bool sound = false;
  for (int blocks = 0; blocks < kMaxBlocks; ++blocks) {
    const int type = in.Byte(at);
    if (type == kTerminator) {
      out.end = at + 1;
      return sound;
    }
    std::uint8_t b[16] = {};
    if (type < 0 || !in.Read(at, b, 4)) break;
    const std::uint32_t size = GetLe24(b + 1);
    const std::int64_t blockEnd = at + 4 + size;
    if (blockEnd > in.Size() || !in.Read(at + 4, b + 4, std::min<std::uint32_t>(size, 12)) ||
        !IsSaneBlock(type, size, b + 4, sound)) {
      break;
    }
    if (type == kSoundData || type == kNewSoundData) sound = true;
    at = blockEnd;
  }
  out.end = at;
  out.cut = true;
  return sound;
}

}  // namespace sorvend
