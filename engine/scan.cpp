#include "engine/scan.h"

#include <algorithm>

#include "engine/carver.h"
#include "engine/dispatch_table.h"
#include "engine/measure.h"
#include "engine/prefilter.h"
#include "engine/unpack.h"

namespace sorvend {
namespace {

// Bytes the bulk walk wants in view at once; the candidate search reads a few beyond.
constexpr std::size_t kWindow = 4096;
constexpr std::size_t kLookahead = kCandidateLookahead;

void Dispatch(ScanContext& ctx, int lead) {
  const std::int64_t leadOffset = ctx.Position - 1;
  // An entry whose signature the byte after the lead does not fit is passed over: its carver
  // would reject it. At the end of the input every entry of the lead byte is asked.
  std::size_t avail = 0;
  const std::uint8_t* after = ctx.InFile.PeekAt(ctx.Position, 1, avail);
  const int next = avail > 0 ? *after : -1;
  for (const DispatchEntry& entry : kDispatchTable) {
    if (entry.signature.lead != lead) continue;
    if (next >= 0 && !entry.signature.next.Has(static_cast<std::uint8_t>(next))) continue;
    if (entry.kind && !ctx.Host->IsTicked(*entry.kind)) continue;
    const bool taken = entry.extract(ctx);
    if (Stopped(ctx)) return;
    // However a carver's sizes lie, the walk never goes back to or before the lead byte it was
    // called for, so no crafted input can make it carve the same bytes forever.
    if (ctx.Position <= leadOffset) SeekTo(ctx, leadOffset + 1);
    if (taken) return;
  }
}

// The thorough profile: the first measure that finds an object has it written. A measure reads
// through its own view, so a refused candidate leaves the input where the walk stands.
void DispatchMeasure(ScanContext& ctx) {
  const std::int64_t leadOffset = ctx.Position - 1;
  ByteView view(ctx);
  // Every thorough object is longer than its signature. The lead stands in the read buffer.
  constexpr std::size_t kHead = kCandidateLookahead + 1;
  std::size_t avail = 0;
  const std::uint8_t* head = ctx.InFile.PeekAt(leadOffset, kHead, avail);
  if (avail < kHead || ctx.FileSize - leadOffset < static_cast<std::int64_t>(kHead)) return;
  const FittingRows fitting = MeasureRowsFitting(head);
  for (int i = 0; i < fitting.count; ++i) {
    const MeasureDispatchEntry& entry = kMeasureTable[fitting.rows[i]];
    if (entry.unpack != nullptr) {
      if (ctx.unpacker == nullptr) continue;
      const std::int64_t end = entry.unpack(ctx, leadOffset);
      if (Stopped(ctx)) return;
      if (end <= leadOffset) continue;
      // A container is no output; the walk resumes behind it, and no object reaches back into it.
      SeekTo(ctx, std::min(end, ctx.FileSize));
      ctx.ObjectFloor = ctx.Position;
      return;
    }
    if (entry.kind && !ctx.Host->IsTicked(*entry.kind)) continue;
    Extent extent;
    const bool found = entry.measure(view, leadOffset, extent);
    if (Stopped(ctx)) return;
    // The object holds its lead byte, lies within the input and never reaches back over the
    // previous output, so the walk only ever moves forward.
    if (!found || extent.start < ctx.ObjectFloor || extent.start > leadOffset ||
        extent.end <= leadOffset || extent.end > ctx.FileSize || extent.ext == nullptr) {
      continue;
    }
    WriteExtent(ctx, extent);
    return;
  }
}

// Kinds without a signature are tried only where an object must begin: the start of the input.
// The first rule that finds an object there has it written, and the walk goes on behind it.
void TryAnchoredRules(ScanContext& ctx) {
  ByteView view(ctx);
  for (const AnchoredRule& rule : ctx.anchoredRules) {
    if (!ctx.Host->IsTicked(rule.kind)) continue;
    Extent extent;
    const bool found = rule.measure(view, 0, extent);
    if (Stopped(ctx)) return;
    if (!found || extent.start != 0 || extent.end <= 0 || extent.end > ctx.FileSize ||
        extent.ext == nullptr) {
      continue;
    }
    WriteExtent(ctx, extent);
    return;
  }
}

// A stretch of bytes that start nothing, and whether a candidate stands right behind it.
struct QuietRun {
  std::int64_t bytes = 0;
  bool candidateNext = false;
};

// Walks over bytes that start nothing, in bulk; the result is the same as reading them one at
// a time. No bytes passed means the next byte needs the one-byte step.
template <Profile kProfile>
QuietRun SkipQuiet(ScanContext& ctx) {
  const std::int64_t left = ctx.FileSize - ctx.Position;
  const std::int64_t budget = std::max<std::int64_t>(1, ctx.ResponsiveBudget);
  if (ctx.InFile.Eof()) {
    // Every further read gives -1 until a seek, and -1 starts nothing (the file has shrunk).
    return {std::min(left, budget)};
  }
  // Every carver leaves the input at Position; should one not, the byte-by-byte step takes
  // over, which reads from where the input stands.
  if (ctx.InFile.Tell() != ctx.Position) return {};
  std::size_t avail = 0;
  const std::uint8_t* data = ctx.InFile.Window(kWindow, avail);
  if (avail <= kLookahead) return {};
  const std::int64_t limit =
      std::min({static_cast<std::int64_t>(avail - kLookahead), left, budget});
  if (limit <= 0) return {};
  const auto n = static_cast<std::size_t>(limit);
  // Thorough candidates whose bytes in view already rule them out are walked over too.
  const std::size_t quiet = kProfile == Profile::Classic
                                ? FindCandidate(data, n, kProfile)
                                : FindScreenedCandidate(data, n, avail, left);
  ctx.InFile.Skip(quiet);
  return {static_cast<std::int64_t>(quiet), quiet < n};
}

template <Profile kProfile>
void Walk(ScanContext& ctx) {
  // The body runs at least once, also for an empty file.
  do {
    if (const QuietRun quiet = SkipQuiet<kProfile>(ctx); quiet.bytes > 0) {
      ctx.Position += quiet.bytes;
      if (KeepResponsive(ctx, quiet.bytes)) return;
      // The candidate found is taken at once rather than searched for again.
      if (!quiet.candidateNext) continue;
    }
    const int c = ctx.InFile.Get();
    ++ctx.Position;
    if (IsLeadByte(c, kProfile)) {
      if constexpr (kProfile == Profile::Classic) {
        Dispatch(ctx, c);
      } else {
        DispatchMeasure(ctx);
      }
    }
    if (KeepResponsive(ctx)) return;
  } while (ctx.Position < ctx.FileSize);
}

}  // namespace

std::span<const AnchoredRule> EngineAnchoredRules() {
  return kAnchoredTable;
}

bool ScanOpenInput(ScanContext& ctx) {
  ctx.Flags |= Flag::InputOpen;
  ctx.FileSize = ctx.InFile.Size();
  ctx.InFile.Seek(0);
  ctx.Position = 0;
  ctx.ResponsiveBudget = std::max<std::int64_t>(1, ctx.Host->ResponsiveInterval());
  ctx.ObjectFloor = 0;
  if (ctx.profile == Profile::Classic) {
    Walk<Profile::Classic>(ctx);
  } else {
    TryAnchoredRules(ctx);
    // An object that took the whole input leaves nothing to walk; an empty input is walked
    // once, as always.
    if (!Stopped(ctx) && ctx.Position < std::max<std::int64_t>(ctx.FileSize, 1)) {
      Walk<Profile::Thorough>(ctx);
    }
  }
  if (Stopped(ctx)) return false;
  ctx.InFile.Close();
  ctx.Flags &= ~Flag::InputOpen;
  return true;
}

void ScanFile(ScanContext& ctx, const std::string& path) {
  if (!ctx.InFile.Open(path)) {
    ctx.Host->AppendLog(kOpenFailedLine);
    return;
  }
  ctx.InputPath = path;
  ctx.Within.clear();
  if (ctx.unpacker != nullptr) ctx.unpacker->BeginInput();
  ctx.Host->EnableProgressTimer(true);
  const bool ended = ScanOpenInput(ctx);
  ctx.Host->EnableProgressTimer(false);
  if (ended) ctx.Host->SetProgress(0);
}

}  // namespace sorvend
