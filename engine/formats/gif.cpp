#include "engine/formats/gif.h"

namespace sorvend {
namespace {

constexpr std::uint32_t kGif8 = 0x47494638;  // "GIF8"
constexpr int kExtension = 0x21;
constexpr int kImage = 0x2C;
constexpr int kTableFlag = 0x80;

bool IsKnownExtension(int label) {
  return label == 0x01 || label == 0xF9 || label == 0xFE || label == 0xFF;
}

// Colour tables hold 2^(N+1) entries of 3 bytes; N is the low three bits of a packed byte.
std::int64_t ColourTableSize(int packed) {
  return (packed & kTableFlag) ? std::int64_t{3} << ((packed & 7) + 1) : 0;
}

// Copies n bytes without KeepResponsive; false at the end of the input.
bool Copy(ScanContext& ctx, std::int64_t n) {
  return CopyBytes(ctx, n, false) == CopyEnd::Done;
}

// Everything behind the header: screen descriptor, global colour table and the block loop.
// Done when the loop ended on a byte that starts no block (the trailer or anything else).
CopyEnd CopyBody(ScanContext& ctx) {
  // Width and height, packed fields, background colour index and aspect ratio.
  int packed = 0;
  if (!Copy(ctx, 4) || !CopyByte(ctx, packed) || !Copy(ctx, 2) ||
      !Copy(ctx, ColourTableSize(packed))) {
    return CopyEnd::EndOfInput;
  }
  for (;;) {
    // Introducer and label go to the output before they are looked at, so the byte that
    // ends the loop is the last byte of the output.
    int introducer = 0;
    if (!CopyByte(ctx, introducer)) return CopyEnd::EndOfInput;
    if (introducer == kExtension) {
      int label = 0;
      if (!CopyByte(ctx, label)) return CopyEnd::EndOfInput;
      if (!IsKnownExtension(label)) return CopyEnd::Done;
    } else if (introducer == kImage) {
      // Position and size, packed fields, local colour table, LZW minimum code size.
      if (!Copy(ctx, 8) || !CopyByte(ctx, packed) || !Copy(ctx, ColourTableSize(packed)) ||
          !Copy(ctx, 1)) {
        return CopyEnd::EndOfInput;
      }
    } else {
      return CopyEnd::Done;
    }
    if (const CopyEnd end = CopySubBlocks(ctx); end != CopyEnd::Done) return end;
  }
}

}  // namespace

bool IsGif(ScanContext& ctx) {
  std::uint8_t* h = ctx.Header.data();
  h[0] = 'G';
  ReadHeader(ctx, 1, 3);
  if (Be32(h) != kGif8) return false;
  ReadHeader(ctx, 4, 2);
  return (h[4] == '7' || h[4] == '9') && h[5] == 'a';
}

CopyEnd CopySubBlocks(ScanContext& ctx) {
  for (;;) {
    int length = 0;
    if (!CopyByte(ctx, length)) return CopyEnd::EndOfInput;
    if (length == 0) return CopyEnd::Done;
    if (!Copy(ctx, length)) return CopyEnd::EndOfInput;
    if (KeepResponsive(ctx, length)) return CopyEnd::Stopped;
  }
}

bool ExtractGif(ScanContext& ctx) {
  const std::int64_t lead = ctx.Position - 1;
  if (!IsGif(ctx)) return Reject(ctx);
  if (!BeginOutput(ctx, ".GIF", lead)) return true;
  WriteBytes(ctx, ctx.Header.data(), 6);
  ctx.Position += 5;
  if (CopyBody(ctx) == CopyEnd::Stopped) return true;
  EndOutput(ctx);
  return true;
}

}  // namespace sorvend
