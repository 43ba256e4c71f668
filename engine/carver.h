// The steps every carver shares: entry, rejection, acceptance, copy, the stop test and
// resumption. A carver only checks its format and decides how many bytes to copy; it calls
// these for everything else.
//
// On entry the scan loop has consumed the lead byte: InFile stands at Position, which is the
// lead byte's offset plus 1. An entry returns true when it took the candidate (also when the
// output could not be created), false after a rejection.
#pragma once

#include <cstdint>

#include "engine/measure.h"
#include "engine/scan_context.h"

namespace sorvend {

using CarverEntry = bool (*)(ScanContext&);

// The stop test: the front end's close handler has closed the streams.
inline bool Stopped(const ScanContext& ctx) {
  return (ctx.Flags & Flag::InputOpen) == 0;
}

void RunKeepResponsive(ScanContext& ctx);

// Accounts `work` units (bytes walked or copied) towards the next real KeepResponsive call and
// answers the stop test. Cheap enough to call per byte.
inline bool KeepResponsive(ScanContext& ctx, std::int64_t work = 1) {
  ctx.ResponsiveBudget -= work;
  if (ctx.ResponsiveBudget <= 0) RunKeepResponsive(ctx);
  return Stopped(ctx);
}

// One byte read by a check: 0..255, or -1 at the end of the input. Does not move Position.
inline int ReadByte(ScanContext& ctx) {
  return ctx.InFile.Get();
}

// Reads n bytes into Header[at..at+n); a read at the end stores 0xFF, the low 8 bits of -1.
inline void ReadHeader(ScanContext& ctx, int at, int n) {
  for (int i = 0; i < n; ++i) ctx.Header[at + i] = static_cast<std::uint8_t>(ctx.InFile.Get());
}

// Rejection: InFile goes back to Position; nothing is written. Returns false (not taken).
bool Reject(ScanContext& ctx);

// NextOutputName: "ANT%04d" with OutputCount, between SourceDir and OutExt; advances
// OutputCount.
void NextOutputName(ScanContext& ctx);

// Acceptance: sets OutExt, takes the next output name and creates it (see OutputStream::Open),
// sets OutputOpen.
// `start` is the object's offset in the input, for the front end's listing. A name that is the
// input itself is passed over and the next number taken. Returns false when the output could
// not be created: the number stays used, the front end is told, and Position moves to where
// the check left the input (the walk goes on from there; never back to the lead byte).
bool BeginOutput(ScanContext& ctx, const char* ext, std::int64_t start);

// Closes OutFile, clears OutputOpen and tells the front end what was written; `cut` marks an
// object written up to its last valid part.
void EndOutput(ScanContext& ctx, bool cut = false);

// Copies one byte from InFile to OutFile and advances Position. False at the end of the input,
// where nothing is written and Position stays.
inline bool CopyByte(ScanContext& ctx, int& byte) {
  byte = ctx.InFile.Get();
  if (byte < 0) return false;
  ctx.OutFile.Put(static_cast<std::uint8_t>(byte));
  ++ctx.Position;
  return true;
}

// Writes bytes the carver rebuilt or already holds (a header); Position does not move.
inline void WriteBytes(ScanContext& ctx, const std::uint8_t* data, std::size_t n) {
  ctx.OutFile.Write(data, n);
}

enum class CopyEnd { Done, EndOfInput, Stopped };

// Copies up to n bytes (nothing when n <= 0), advancing Position by each. With `perByte`, each
// copied byte counts one unit towards KeepResponsive and the stop test follows; without, the
// caller calls KeepResponsive itself where its format says.
CopyEnd CopyBytes(ScanContext& ctx, std::int64_t n, bool perByte = true);

// Bytes left in the input behind Position, never negative.
inline std::int64_t Remaining(const ScanContext& ctx) {
  return ctx.FileSize > ctx.Position ? ctx.FileSize - ctx.Position : 0;
}

// Puts InFile and Position at an absolute offset.
inline void SeekTo(ScanContext& ctx, std::int64_t offset) {
  ctx.Position = offset;
  ctx.InFile.Seek(offset);
}

// A little-endian header field taken modulo 2^32 as signed, as the classic carvers read sizes
// and dimensions.
inline std::int32_t Le32(const std::uint8_t* p) {
  return static_cast<std::int32_t>(GetLe32(p));
}
inline void PutLe32(std::uint8_t* p, std::int32_t v) {
  const auto u = static_cast<std::uint32_t>(v);
  p[0] = static_cast<std::uint8_t>(u);
  p[1] = static_cast<std::uint8_t>(u >> 8);
  p[2] = static_cast<std::uint8_t>(u >> 16);
  p[3] = static_cast<std::uint8_t>(u >> 24);
}

}  // namespace sorvend
