// Apple icon files: "icns" and the file's length, big-endian, then elements that tile the rest
// exactly: each a four-character type (an image size and encoding, a mask, a table of
// contents) and its length, the 8-byte element header included.
#include <algorithm>

#include "engine/formats/formats.h"

namespace sorvend {
namespace {

constexpr std::int64_t kHeaderBytes = 8;
// Far more elements than an icon family has.
constexpr int kMaxElements = 1 << 16;

bool IsTypeByte(std::uint8_t c) {
  return c >= 0x20 && c <= 0x7E;
}

}  // namespace

// The elements are walked to the file's stated length, which they must reach exactly. An
// element that breaks the tiling or runs past the input leaves the file cut behind its last
// whole element, when there is one.
bool MeasureIcns(ByteView& in, std::int64_t lead, Extent& out) {
  std::uint8_t h[kHeaderBytes];
  if (!in.Read(lead, h, sizeof h) || !FourCcIs(h, "icns")) return false;
  const std::int64_t end = lead + GetBe32(h + 4);
  if (end < lead + 2 * kHeaderBytes) return false;
  std::int64_t at = lead + kHeaderBytes;
  for (int elements = 0; at < end && elements < kMaxElements; ++elements) {
    std::uint8_t e[kHeaderBytes];
    if (!in.Read(at, e, sizeof e) || !std::all_of(e, e + 4, IsTypeByte)) break;
    const std::uint32_t length = GetBe32(e + 4);
    if (length < kHeaderBytes || length > end - at || at + length > in.Size()) break;
    at += length;
  }
  out.start = lead;
  out.end = at;
  out.ext = ".ICNS";
  out.cut = at != end;
  return at > lead + kHeaderBytes;
}

}  // namespace sorvend
