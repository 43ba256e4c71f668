#include "engine/formats/ogg.h"

namespace sorvend {
namespace {

constexpr std::uint32_t kCapture = 0x4F676753;  // "OggS"
// Version 0 and header type exactly "last page", read as one 16-bit number; a last page that
// carries another flag as well does not end the copy.
constexpr int kEndOfStream = 0x0004;
// Granule position, serial number, sequence number and CRC.
constexpr int kFixedFields = 20;

// Reads the version and header type into Header[4..6); returns how many the input still had.
int ReadHeld(ScanContext& ctx) {
  int n = 0;
  for (; n < 2; ++n) {
    const int byte = ReadByte(ctx);
    if (byte < 0) break;
    ctx.Header[4 + n] = static_cast<std::uint8_t>(byte);
  }
  return n;
}

bool Copy(ScanContext& ctx, std::int64_t n) {
  return CopyBytes(ctx, n, false) == CopyEnd::Done;
}

// The page loop. `held` is the number of version and header type bytes read for the first page.
CopyEnd CopyPages(ScanContext& ctx, int held) {
  for (;;) {
    // Capture pattern, version and header type were read ahead; they are written only as far
    // as the input had them.
    WriteBytes(ctx, ctx.Header.data(), static_cast<std::size_t>(4 + held));
    if (held < 2) return CopyEnd::EndOfInput;
    int segments = 0;
    if (!Copy(ctx, kFixedFields) || !CopyByte(ctx, segments)) return CopyEnd::EndOfInput;
    std::int64_t bodySize = 0;
    for (int i = 0; i < segments; ++i) {
      int lacing = 0;
      if (!CopyByte(ctx, lacing)) return CopyEnd::EndOfInput;
      bodySize += lacing;
    }
    if (const CopyEnd end = CopyBytes(ctx, bodySize); end != CopyEnd::Done) return end;
    if ((ctx.Header[4] << 8 | ctx.Header[5]) == kEndOfStream) return CopyEnd::Done;

    // The next page's capture pattern: consumed even when it is none, and never written here.
    for (int i = 0; i < 4; ++i) {
      const int byte = ReadByte(ctx);
      if (byte < 0) return CopyEnd::EndOfInput;
      ++ctx.Position;
      ctx.Header[i] = static_cast<std::uint8_t>(byte);
    }
    if (Be32(ctx.Header.data()) != kCapture) return CopyEnd::Done;
    held = ReadHeld(ctx);
    ctx.Position += held;
  }
}

}  // namespace

bool IsOgg(ScanContext& ctx, int& held) {
  std::uint8_t* h = ctx.Header.data();
  h[0] = 'O';
  ReadHeader(ctx, 1, 3);
  if (Be32(h) != kCapture) return false;
  held = ReadHeld(ctx);
  return true;
}

bool ExtractOgg(ScanContext& ctx) {
  const std::int64_t lead = ctx.Position - 1;
  int held = 0;
  if (!IsOgg(ctx, held)) return Reject(ctx);
  if (!BeginOutput(ctx, ".ogg", lead)) return true;
  ctx.Position += 3 + held;
  if (CopyPages(ctx, held) == CopyEnd::Stopped) return true;
  EndOutput(ctx);
  return true;
}

}  // namespace sorvend
