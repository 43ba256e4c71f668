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
  if (GetBe32(h) != kGif8) return false;
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

namespace {

constexpr int kTrailer = 0x3B;
constexpr int kPlainText = 0x01;
constexpr int kGraphicControl = 0xF9;
constexpr int kApplication = 0xFF;

// Where a chain of data sub-blocks starting at `at` ends, behind its zero-length terminator;
// -1 when the input ends first. `data` tells whether any sub-block held bytes.
std::int64_t SubBlocksEnd(ByteView& in, std::int64_t at, bool& data) {
  constexpr std::size_t kPiece = std::size_t{1} << 16;
  data = false;
  for (;;) {
    std::size_t avail = 0;
    const std::uint8_t* p = in.Peek(at, kPiece, avail);
    if (avail == 0) return -1;
    std::size_t i = 0;
    while (i < avail) {
      if (p[i] == 0) return at + static_cast<std::int64_t>(i) + 1;
      data = true;
      i += 1 + std::size_t{p[i]};
    }
    at += static_cast<std::int64_t>(i);
  }
}

// The size of the first sub-block each extension begins with, or -1 for any.
int FirstBlockSize(int label) {
  switch (label) {
    case kPlainText:
      return 12;
    case kGraphicControl:
      return 4;
    case kApplication:
      return 11;
    default:
      return -1;
  }
}

}  // namespace

// The header and a screen of non-zero size, then image descriptors (non-empty, with a code size
// a decoder takes and some image data) and the four known extensions, each with its sub-block
// chain, up to the trailer. An image broken or cut by the input's end is written up to its last
// whole image: decoders take a GIF without its trailer.
bool MeasureGif(ByteView& in, std::int64_t lead, Extent& out) {
  std::uint8_t head[13];
  if (!in.Read(lead, head, sizeof head) || GetBe32(head) != kGif8 ||
      (head[4] != '7' && head[4] != '9') || head[5] != 'a' || GetLe16(head + 6) == 0 ||
      GetLe16(head + 8) == 0) {
    return false;
  }
  out.start = lead;
  out.ext = ".GIF";
  std::int64_t at = lead + sizeof head + ColourTableSize(head[10]);
  std::int64_t lastImageEnd = -1;
  for (;;) {
    const int introducer = in.Byte(at);
    bool data = false;
    if (introducer == kTrailer) {
      out.end = at + 1;
      return lastImageEnd >= 0;
    }
    if (introducer == kExtension) {
      std::uint8_t ext[2];
      if (!in.Read(at + 1, ext, 2) || !IsKnownExtension(ext[0])) break;
      const int size = FirstBlockSize(ext[0]);
      if (size >= 0 && ext[1] != size) break;
      at = SubBlocksEnd(in, at + 2, data);
    } else if (introducer == kImage) {
      std::uint8_t d[9];
      if (!in.Read(at + 1, d, sizeof d) || GetLe16(d + 4) == 0 || GetLe16(d + 6) == 0) break;
      const std::int64_t codeSizeAt = at + 1 + sizeof d + ColourTableSize(d[8]);
      const int codeSize = in.Byte(codeSizeAt);
      if (codeSize < 1 || codeSize > 8) break;
      at = SubBlocksEnd(in, codeSizeAt + 1, data);
      if (at < 0 || !data) break;
      lastImageEnd = at;
    } else {
      break;
    }
    if (at < 0) break;
  }
  out.end = lastImageEnd;
  out.cut = true;
  return lastImageEnd >= 0;
}

}  // namespace sorvend
