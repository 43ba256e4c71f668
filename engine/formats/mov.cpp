#include "engine/formats/mov.h"

#include <algorithm>

namespace sorvend {
namespace {

constexpr std::uint32_t kMdat = 0x6D646174;  // "mdat"
constexpr std::uint32_t kMoov = 0x6D6F6F76;  // "moov"

// Header layout: [0..4) "mdat" as read, [4..8) S1, [8..12) S2, [12..16) the next atom's type.
constexpr int kMdatSizeAt = 4;
constexpr int kMoovSizeAt = 8;
constexpr int kNextTypeAt = 12;

// Atom sizes are unsigned in the format but handled as signed 32-bit numbers: a size of 2^31
// or more counts as negative and copies nothing.
std::int32_t SizeAt(const ScanContext& ctx, int at) {
  return static_cast<std::int32_t>(Be32(&ctx.Header[at]));
}

}  // namespace

bool IsMov(ScanContext& ctx) {
  std::uint8_t* h = ctx.Header.data();
  h[0] = 'm';
  ReadHeader(ctx, 1, 3);
  if (Be32(h) != kMdat) return false;
  // The atom's 4-byte size stands before the "m"; there must be room for it.
  if (ctx.Position < 5) return false;
  const std::int64_t start = ctx.Position - 5;
  ctx.InFile.Seek(start);
  ReadHeader(ctx, kMdatSizeAt, 4);
  const std::int64_t next = start + SizeAt(ctx, kMdatSizeAt);
  if (next < 0) return false;
  ctx.InFile.Seek(next);
  for (int i = 0; i < 8; ++i) {
    const int byte = ReadByte(ctx);
    if (byte < 0) return false;
    h[kMoovSizeAt + i] = static_cast<std::uint8_t>(byte);
  }
  return Be32(h + kNextTypeAt) == kMoov;
}

bool ExtractMov(ScanContext& ctx) {
  const std::int64_t start = ctx.Position - 5;
  if (!IsMov(ctx)) return Reject(ctx);
  if (!BeginOutput(ctx, ".MOV", start)) return true;
  // Back to the atom's start: its size field, already passed by the walk, is copied too. With
  // sizes that lie the copy may end at or before the "m"; the scan loop then resumes behind it.
  SeekTo(ctx, start);
  for (const int at : {kMdatSizeAt, kMoovSizeAt}) {
    const std::int64_t n = std::min<std::int64_t>(SizeAt(ctx, at), Remaining(ctx));
    if (CopyBytes(ctx, n) == CopyEnd::Stopped) return true;
  }
  EndOutput(ctx);
  return true;
}

}  // namespace sorvend
