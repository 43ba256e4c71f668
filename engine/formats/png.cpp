#include "engine/formats/png.h"

namespace sorvend {
namespace {

constexpr std::uint8_t kSignature[8] = {0x89, 'P', 'N', 'G', 0x0D, 0x0A, 0x1A, 0x0A};
constexpr std::uint32_t kPng = 0x89504E47;  // 0x89 "PNG"
constexpr std::uint32_t kLineEnds = 0x0D0A1A0A;
constexpr std::uint32_t kIhdr = 0x49484452;  // "IHDR"
constexpr std::uint32_t kIend = 0x49454E44;  // "IEND"
constexpr std::uint32_t kIhdrLength = 13;

// Where the current chunk's length and type are kept, behind the signature and first header.
constexpr int kChunkAt = 16;

// Copies the 4 bytes of a chunk header field into Header[at..at+4); false at the end of input.
bool CopyField(ScanContext& ctx, int at) {
  for (int i = 0; i < 4; ++i) {
    int byte = 0;
    if (!CopyByte(ctx, byte)) return false;
    ctx.Header[at + i] = static_cast<std::uint8_t>(byte);
  }
  return true;
}

}  // namespace

bool IsPng(ScanContext& ctx) {
  std::uint8_t* h = ctx.Header.data();
  h[0] = kSignature[0];
  ReadHeader(ctx, 1, 3);
  if (Be32(h) != kPng) return false;
  ReadHeader(ctx, 4, 4);
  if (Be32(h + 4) != kLineEnds) return false;
  // The signature alone is a constant inside every program that handles PNG, usually followed
  // by unrelated data whose "lengths" would swallow the rest of the input. A real image always
  // starts with its 13-byte header chunk.
  ReadHeader(ctx, 8, 8);
  return Be32(h + 8) == kIhdrLength && Be32(h + 12) == kIhdr;
}

bool ExtractPng(ScanContext& ctx) {
  const std::int64_t lead = ctx.Position - 1;
  if (!IsPng(ctx)) return Reject(ctx);
  if (!BeginOutput(ctx, ".PNG", lead)) return true;
  WriteBytes(ctx, kSignature, sizeof kSignature);
  // The first chunk's header was only looked at; the chunk loop copies it like any other.
  SeekTo(ctx, ctx.Position + 7);

  for (;;) {
    if (!CopyField(ctx, kChunkAt) || !CopyField(ctx, kChunkAt + 4)) break;
    // Data and CRC; lengths of 2^31 - 4 and more wrap to counts that copy little or nothing.
    const auto count = static_cast<std::int32_t>(Be32(&ctx.Header[kChunkAt]) + 4u);
    const CopyEnd end = CopyBytes(ctx, count);
    if (end == CopyEnd::Stopped) return true;
    if (end == CopyEnd::EndOfInput || Be32(&ctx.Header[kChunkAt + 4]) == kIend) break;
  }
  EndOutput(ctx);
  return true;
}

}  // namespace sorvend
