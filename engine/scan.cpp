#include "engine/scan.h"

#include <algorithm>

#include "engine/carver.h"
#include "engine/dispatch_table.h"
#include "engine/prefilter.h"

namespace sorvend {
namespace {

// Bytes the bulk walk wants in view at once; the candidate search reads one byte beyond.
constexpr std::size_t kWindow = 4096;
constexpr std::size_t kLookahead = 1;

void Dispatch(ScanContext& ctx, int lead) {
  const std::int64_t leadOffset = ctx.Position - 1;
  for (const DispatchEntry& entry : kDispatchTable) {
    if (entry.lead != lead) continue;
    if (entry.kind && !ctx.Host->IsTicked(*entry.kind)) continue;
    const bool taken = entry.extract(ctx);
    if (Stopped(ctx)) return;
    // However a carver's sizes lie, the walk never goes back to or before the lead byte it was
    // called for, so no crafted input can make it carve the same bytes forever.
    if (ctx.Position <= leadOffset) SeekTo(ctx, leadOffset + 1);
    if (taken) return;
  }
}

// Walks over bytes that start nothing, in bulk; the result is the same as reading them one at
// a time. Returns the number of bytes passed (0 when the next byte needs the one-byte step).
std::int64_t SkipQuiet(ScanContext& ctx) {
  const std::int64_t left = ctx.FileSize - ctx.Position;
  const std::int64_t budget = std::max<std::int64_t>(1, ctx.ResponsiveBudget);
  if (ctx.InFile.Eof()) {
    // Every further read gives -1 until a seek, and -1 starts nothing (the file has shrunk).
    return std::min(left, budget);
  }
  // Every carver leaves the input at Position; should one not, the byte-by-byte step takes
  // over, which reads from where the input stands.
  if (ctx.InFile.Tell() != ctx.Position) return 0;
  std::size_t avail = 0;
  const std::uint8_t* data = ctx.InFile.Window(kWindow, avail);
  if (avail <= kLookahead) return 0;
  const std::int64_t limit =
      std::min({static_cast<std::int64_t>(avail - kLookahead), left, budget});
  if (limit <= 0) return 0;
  const std::size_t quiet = FindCandidate(data, static_cast<std::size_t>(limit));
  ctx.InFile.Skip(quiet);
  return static_cast<std::int64_t>(quiet);
}

}  // namespace

void ScanFile(ScanContext& ctx, const std::string& path) {
  if (!ctx.InFile.Open(path)) {
    ctx.Host->AppendLog(kOpenFailedLine);
    return;
  }
  ctx.Flags |= Flag::InputOpen;
  ctx.InputPath = path;
  ctx.FileSize = ctx.InFile.Size();
  ctx.InFile.Seek(0);
  ctx.Position = 0;
  ctx.ResponsiveBudget = std::max<std::int64_t>(1, ctx.Host->ResponsiveInterval());
  ctx.Host->EnableProgressTimer(true);

  // The body runs at least once, also for an empty file.
  do {
    if (const std::int64_t quiet = SkipQuiet(ctx); quiet > 0) {
      ctx.Position += quiet;
      if (KeepResponsive(ctx, quiet)) {
        ctx.Host->EnableProgressTimer(false);
        return;
      }
      continue;
    }
    const int c = ctx.InFile.Get();
    ++ctx.Position;
    if (IsLeadByte(c)) Dispatch(ctx, c);
    if (KeepResponsive(ctx)) {
      ctx.Host->EnableProgressTimer(false);
      return;
    }
  } while (ctx.Position < ctx.FileSize);

  ctx.Host->EnableProgressTimer(false);
  ctx.InFile.Close();
  ctx.Flags &= ~Flag::InputOpen;
  ctx.Host->SetProgress(0);
}

}  // namespace sorvend
