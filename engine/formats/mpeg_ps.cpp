// MPEG program streams (MPEG-1 system streams, MPEG-2 program streams and DVD VOBs): packs,
// each a pack header (00 00 01 BA, its system clock reference in the MPEG-1 or the MPEG-2
// layout, marker bits set) and then system headers (00 00 01 BB) and PES packets (00 00 01 BC
// to FF) sized by their length fields, up to the program end code (00 00 01 B9).
#include "engine/formats/formats.h"

namespace sorvend {
namespace {

constexpr std::uint8_t kPack = 0xBA;
constexpr std::uint8_t kSystemHeader = 0xBB;
constexpr std::uint8_t kEndCode = 0xB9;
constexpr std::size_t kMpeg2PackBytes = 14;
constexpr std::size_t kMpeg1PackBytes = 12;
constexpr int kMinPacks = 2;
// The second pack follows within a few packets in every stream (a DVD pack holds one or two).
constexpr int kMaxUnitsBeforeSecondPack = 256;
constexpr std::int64_t kMaxUnits = std::int64_t{1} << 28;

bool IsStartCode(const std::uint8_t* p) {
  return p[0] == 0 && p[1] == 0 && p[2] == 1;
}

// The pack header at p[0..avail): its length and clock reference, or 0 when it is none.
std::size_t PackHeader(const std::uint8_t* p, std::size_t avail, std::uint64_t& scr) {
  if (avail < kMpeg1PackBytes) return 0;
  if ((p[4] & 0xC4) == 0x44) {  // MPEG-2: '01', markers around the clock and the mux rate
    if (avail < kMpeg2PackBytes || (p[6] & 0x04) == 0 || (p[8] & 0x04) == 0 || (p[9] & 0x01) == 0 ||
        (p[12] & 0x03) != 0x03) {
      return 0;
    }
    scr = std::uint64_t{p[4] >> 3 & 7u} << 30 | std::uint64_t{p[4] & 3u} << 28 |
          std::uint64_t{p[5]} << 20 | static_cast<std::uint64_t>(p[6] >> 3) << 15 |
          std::uint64_t{p[6] & 3u} << 13 | std::uint64_t{p[7]} << 5 | p[8] >> 3;
    return kMpeg2PackBytes + (p[13] & 7);
  }
  if ((p[4] & 0xF1) == 0x21) {  // MPEG-1: '0010', markers around the clock and the mux rate
    if ((p[6] & 1) == 0 || (p[8] & 1) == 0 || (p[9] & 0x80) == 0 || (p[11] & 1) == 0) return 0;
    scr = std::uint64_t{p[4] >> 1 & 7u} << 30 | std::uint64_t{p[5]} << 22 |
          static_cast<std::uint64_t>(p[6] >> 1) << 15 | std::uint64_t{p[7]} << 7 | p[8] >> 1;
    return kMpeg1PackBytes;
  }
  return 0;
}

}  // namespace

// The first pack's header fields in view must be those of a pack.
bool ScreenMpegPs(const std::uint8_t* p, std::size_t avail, std::int64_t /*left*/) {
  if (avail < kMpeg2PackBytes) return true;
  std::uint64_t scr = 0;
  return PackHeader(p, avail, scr) != 0;
}

// Whole at the end code; otherwise it ends behind the last well-formed packet, cut when the
// input ends inside one or a start code there begins no well-formed one. At least two packs
// with a rising clock reference.
bool MeasureMpegPs(ByteView& in, std::int64_t lead, Extent& out) {
  std::int64_t at = lead;
  std::int64_t end = lead;
  int packs = 0;
  std::uint64_t lastScr = 0;
  bool rose = false;
  bool cut = false;
  bool ended = false;
  for (std::int64_t units = 0; units < kMaxUnits; ++units) {
    if (packs < kMinPacks && units > kMaxUnitsBeforeSecondPack) return false;
    std::size_t avail = 0;
    const std::uint8_t* p = in.Peek(at, kMpeg2PackBytes + 7, avail);
    if (avail < 4) {
      cut = TailStartsLike(in, at, "\0\0\1", 4);
      break;
    }
    if (!IsStartCode(p)) break;
    const std::uint8_t id = p[3];
    std::int64_t length = 0;
    if (id == kPack) {
      std::uint64_t scr = 0;
      length = static_cast<std::int64_t>(PackHeader(p, avail, scr));
      if (length == 0) {
        cut = avail >= kMpeg2PackBytes || at + static_cast<std::int64_t>(avail) >= in.Size();
        break;
      }
      if (packs > 0 && scr > lastScr) rose = true;
      lastScr = scr;
      ++packs;
    } else if (id == kEndCode) {
      end = at + 4;
      ended = true;
      break;
    } else if (id >= kSystemHeader) {
      if (avail < 6) {
        cut = true;
        break;
      }
      length = 6 + GetBe16(p + 4);
    } else {
      break;
    }
    if (length > in.Size() - at) {
      cut = true;
      break;
    }
    at += length;
    end = at;
  }
  if (packs < kMinPacks || !rose) return false;
  out.start = lead;
  out.end = end;
  out.cut = cut && !ended;
  out.ext = ".MPG";
  return true;
}

}  // namespace sorvend
