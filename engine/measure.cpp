#include "engine/measure.h"

#include <algorithm>

#include "engine/carver.h"

namespace sorvend {

const std::uint8_t* ByteView::Peek(std::int64_t offset, std::size_t want, std::size_t& avail) {
  avail = 0;
  if (Stopped() || offset < 0 || offset >= ctx_.FileSize) return nullptr;
  const std::uint8_t* p = ctx_.InFile.PeekAt(offset, want, avail);
  avail = static_cast<std::size_t>(std::min<std::int64_t>(avail, ctx_.FileSize - offset));
  // Bytes beyond the read buffer's reach cost a read; they count towards KeepResponsive.
  constexpr auto kReach = static_cast<std::int64_t>(InputStream::kBufferSize);
  if (offset > ctx_.Position + kReach || offset < ctx_.Position - kReach) {
    if (KeepResponsive(ctx_, static_cast<std::int64_t>(std::min(avail, want)))) {
      avail = 0;
      return nullptr;
    }
    // The front end may have used the input meanwhile; look again.
    p = ctx_.InFile.PeekAt(offset, want, avail);
    avail = static_cast<std::size_t>(std::min<std::int64_t>(avail, ctx_.FileSize - offset));
  }
  return avail > 0 ? p : nullptr;
}

bool ByteView::Read(std::int64_t offset, void* dst, std::size_t n) {
  auto* out = static_cast<std::uint8_t*>(dst);
  return Each(offset, static_cast<std::int64_t>(n), [&](const std::uint8_t* p, std::size_t k) {
    std::memcpy(out, p, k);
    out += k;
  });
}

namespace {

// A copy the system makes is asked for in pieces of at least this many bytes; one takes well
// under a millisecond.
constexpr std::int64_t kMinSystemCopy = std::int64_t{1} << 20;

// Copies [start, start + n) of the input behind the output's bytes and leaves the walk behind
// it: file to file in the system where it can, the rest through the read buffer.
CopyEnd CopyRange(ScanContext& ctx, std::int64_t start, std::int64_t n) {
  std::int64_t done = 0;
  while (done < n) {
    const std::int64_t piece = std::min(n - done, std::max(kMinSystemCopy, ctx.ResponsiveBudget));
    const std::int64_t got = ctx.OutFile.CopyFrom(ctx.InFile, start + done, piece);
    if (got <= 0) break;
    done += got;
    ctx.Position = start + done;
    if (KeepResponsive(ctx, got)) return CopyEnd::Stopped;
  }
  SeekTo(ctx, start + done);
  return CopyBytes(ctx, n - done);
}

}  // namespace

void WriteExtent(ScanContext& ctx, const Extent& extent) {
  if (!BeginOutput(ctx, extent.ext, extent.start)) {
    SeekTo(ctx, extent.end);
    return;
  }
  WriteBytes(ctx, extent.prefix.data(), extent.prefixSize);
  const std::int64_t length = extent.end - extent.start;
  if (ctx.DryRun) {
    // The range was measured already; a dry run only counts it.
    ctx.OutFile.CountDiscarded(length);
    SeekTo(ctx, extent.end);
    if (KeepResponsive(ctx, length)) return;
  } else {
    if (CopyRange(ctx, extent.start, length) == CopyEnd::Stopped) return;
  }
  ctx.ObjectFloor = ctx.Position;
  EndOutput(ctx, extent.cut);
}

}  // namespace sorvend
