#include "engine/carver.h"

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <system_error>

namespace sorvend {
namespace {

constexpr std::int64_t kOutputWork = 4096;

}  // namespace

void CloseStreams(ScanContext& ctx) {
  if (ctx.Flags & Flag::InputOpen) {
    ctx.InFile.Close();
    ctx.Flags &= ~Flag::InputOpen;
  }
  if (ctx.Flags & Flag::OutputOpen) {
    ctx.OutFile.Close();
    ctx.Flags &= ~Flag::OutputOpen;
  }
}

void RunKeepResponsive(ScanContext& ctx) {
  ctx.ResponsiveBudget = std::max<std::int64_t>(1, ctx.Host->ResponsiveInterval());
  ctx.Host->KeepResponsive();
}

bool Reject(ScanContext& ctx) {
  ctx.InFile.Seek(ctx.Position);
  return false;
}

void NextOutputName(ScanContext& ctx) {
  const std::int32_t n = ctx.OutputCount++;
  char number[16];
  std::snprintf(number, sizeof number, "ANT%04d", static_cast<int>(n));
  ctx.OutName = ctx.SourceDir + number + ctx.OutExt;
}

namespace {

// Same file identity, not just the same text: "./a" and "a", links and hard links included.
bool IsTheInput(const ScanContext& ctx) {
  std::error_code ec;
  return std::filesystem::equivalent(std::filesystem::path(ctx.OutName),
                                     std::filesystem::path(ctx.InputPath), ec) &&
         !ec;
}

}  // namespace

bool BeginOutput(ScanContext& ctx, const char* ext, std::int64_t start) {
  // Creating a file costs about as much as walking a few KiB, so it counts towards the next
  // KeepResponsive call: an input full of tiny objects must not keep the front end waiting.
  ctx.ResponsiveBudget -= kOutputWork;
  ctx.OutExt = ext;
  do {
    NextOutputName(ctx);
  } while (IsTheInput(ctx));
  ctx.OutputStart = start;
  if (ctx.DryRun) {
    ctx.OutFile.OpenDiscarding();
  } else if (!ctx.OutFile.Open(ctx.OutName)) {
    ctx.Host->OutputFailed(ctx.OutName);
    // The walk reads on from wherever the check left the input. Position follows it there:
    // left behind, the next carver to accept would take its offsets from the wrong byte and
    // copy the wrong data.
    ctx.Position = ctx.InFile.Tell();
    return false;
  }
  ctx.Flags |= Flag::OutputOpen;
  return true;
}

void EndOutput(ScanContext& ctx, bool cut) {
  const std::int64_t size = ctx.OutFile.Written();
  const bool ok = ctx.OutFile.Close();
  ctx.Flags &= ~Flag::OutputOpen;
  if (!ok) {
    ctx.Host->OutputFailed(ctx.OutName);
    return;
  }
  ctx.Host->OutputWritten(OutputRecord{ctx.OutName, ctx.OutExt.substr(ctx.OutExt.empty() ? 0 : 1),
                                       ctx.OutputStart, size, cut, ctx.Within});
}

CopyEnd CopyBytes(ScanContext& ctx, std::int64_t n, bool perByte) {
  while (n > 0) {
    std::size_t avail = 0;
    const std::uint8_t* p = ctx.InFile.Window(1, avail);
    if (avail == 0) {
      ctx.InFile.Get();  // meets the end and sets the end flag, as a byte read would
      return CopyEnd::EndOfInput;
    }
    std::int64_t chunk = std::min<std::int64_t>(n, static_cast<std::int64_t>(avail));
    if (perByte) chunk = std::min(chunk, std::max<std::int64_t>(1, ctx.ResponsiveBudget));
    ctx.OutFile.Write(p, static_cast<std::size_t>(chunk));
    ctx.InFile.Skip(static_cast<std::size_t>(chunk));
    ctx.Position += chunk;
    n -= chunk;
    if (perByte && KeepResponsive(ctx, chunk)) return CopyEnd::Stopped;
  }
  return CopyEnd::Done;
}

}  // namespace sorvend
