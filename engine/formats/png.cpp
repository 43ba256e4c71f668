#include "engine/formats/png.h"

#include <zlib.h>

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
  if (GetBe32(h) != kPng) return false;
  ReadHeader(ctx, 4, 4);
  if (GetBe32(h + 4) != kLineEnds) return false;
  // The signature alone is a constant inside every program that handles PNG, usually followed
  // by unrelated data whose "lengths" would swallow the rest of the input. A real image always
  // starts with its 13-byte header chunk.
  ReadHeader(ctx, 8, 8);
  return GetBe32(h + 8) == kIhdrLength && GetBe32(h + 12) == kIhdr;
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
    const auto count = static_cast<std::int32_t>(GetBe32(&ctx.Header[kChunkAt]) + 4u);
    const CopyEnd end = CopyBytes(ctx, count);
    if (end == CopyEnd::Stopped) return true;
    if (end == CopyEnd::EndOfInput || GetBe32(&ctx.Header[kChunkAt + 4]) == kIend) break;
  }
  EndOutput(ctx);
  return true;
}

namespace {

constexpr std::uint32_t kIdat = 0x49444154;  // "IDAT"
constexpr std::uint32_t kMaxChunkLength = 0x7FFFFFFF;

bool IsLetter(std::uint8_t c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
}

// The image header's fields as a decoder needs them: a non-empty image, and a bit depth that
// its colour type allows.
bool IsSaneHeader(const std::uint8_t* d) {
  const std::uint32_t width = GetBe32(d);
  const std::uint32_t height = GetBe32(d + 4);
  if (width == 0 || height == 0 || width > kMaxChunkLength || height > kMaxChunkLength) {
    return false;
  }
  const int depth = d[8];
  const int colour = d[9];
  bool depthFits = false;
  switch (colour) {
    case 0:
      depthFits = depth == 1 || depth == 2 || depth == 4 || depth == 8 || depth == 16;
      break;
    case 3:
      depthFits = depth == 1 || depth == 2 || depth == 4 || depth == 8;
      break;
    case 2:
    case 4:
    case 6:
      depthFits = depth == 8 || depth == 16;
      break;
    default:
      break;
  }
  return depthFits && d[10] == 0 && d[11] == 0 && d[12] <= 1;
}

// The CRC of a chunk covers its type and data.
bool CrcMatches(ByteView& in, std::int64_t chunk, std::uint32_t length) {
  uLong crc = crc32(0L, Z_NULL, 0);
  const bool whole = in.Each(
      chunk + 4, std::int64_t{length} + 4,
      [&](const std::uint8_t* p, std::size_t n) { crc = crc32(crc, p, static_cast<uInt>(n)); });
  std::uint8_t stored[4];
  return whole && in.Read(chunk + 8 + length, stored, 4) && GetBe32(stored) == crc;
}

}  // namespace

// The chunk walk: every chunk has a four-letter type and a matching CRC, up to the end chunk.
// An image whose walk breaks after its image data is written up to its last good chunk.
bool MeasurePng(ByteView& in, std::int64_t lead, Extent& out) {
  std::uint8_t head[33];
  if (!in.Read(lead, head, sizeof head) || std::memcmp(head, kSignature, 8) != 0 ||
      GetBe32(head + 8) != kIhdrLength || GetBe32(head + 12) != kIhdr || !IsSaneHeader(head + 16) ||
      !CrcMatches(in, lead + 8, kIhdrLength)) {
    return false;
  }
  out.start = lead;
  out.ext = ".PNG";
  std::int64_t at = lead + sizeof head;
  bool imageData = false;
  for (;;) {
    std::uint8_t chunk[8];
    if (!in.Read(at, chunk, sizeof chunk)) break;
    const std::uint32_t length = GetBe32(chunk);
    const std::uint32_t type = GetBe32(chunk + 4);
    if (length > kMaxChunkLength || !IsLetter(chunk[4]) || !IsLetter(chunk[5]) ||
        !IsLetter(chunk[6]) || !IsLetter(chunk[7]) || !CrcMatches(in, at, length)) {
      break;
    }
    at += 12 + std::int64_t{length};
    if (type == kIdat) imageData = true;
    if (type == kIend) {
      out.end = at;
      return imageData;
    }
  }
  // Cut or broken: what came before is an image only if it holds image data.
  out.end = at;
  out.cut = true;
  return imageData;
}

}  // namespace sorvend
