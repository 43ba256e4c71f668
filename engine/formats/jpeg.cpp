#include "engine/formats/jpeg.h"

#include <algorithm>
#include <array>
#include <cstring>

namespace sorvend {
namespace {

constexpr int kSoi = 0xD8;
constexpr int kEoi = 0xD9;
constexpr int kSos = 0xDA;
constexpr std::uint8_t kApp0[2] = {0xFF, 0xE0};

enum class State { Marker, Code, Length, Scan, Finish };

}  // namespace

bool IsJfif(ScanContext& ctx) {
  std::uint8_t* h = ctx.Header.data();
  ReadHeader(ctx, 0, 1);
  if (h[0] != kSoi) return false;
  ReadHeader(ctx, 1, 2);
  if (std::memcmp(h + 1, kApp0, 2) != 0) return false;
  ReadHeader(ctx, 3, 2);  // the APP0 length is not tested
  ReadHeader(ctx, 5, 4);
  return std::memcmp(h + 5, "JFIF", 4) == 0;
}

bool ExtractJpeg(ScanContext& ctx) {
  const std::int64_t lead = ctx.Position - 1;
  if (!IsJfif(ctx)) return Reject(ctx);
  if (!BeginOutput(ctx, ".JPG", lead)) return true;

  static constexpr std::uint8_t kSoiBytes[2] = {0xFF, kSoi};
  WriteBytes(ctx, kSoiBytes, 2);
  // The walk starts at the APP0 marker and copies it again.
  SeekTo(ctx, lead + 2);

  // Every byte read is written before it is looked at; the end of the input finishes the image.
  int byte = 0;
  State state = State::Marker;
  while (state != State::Finish) {
    switch (state) {
      case State::Marker:
        if (!CopyByte(ctx, byte)) {
          state = State::Finish;
        } else if (byte == 0xFF) {
          state = State::Code;
        } else {
          // Not a marker: the image ends with this byte, and the walk examines it again.
          SeekTo(ctx, ctx.Position - 1);
          state = State::Finish;
        }
        break;
      case State::Code:
        if (!CopyByte(ctx, byte) || byte == kEoi) {
          state = State::Finish;
        } else {
          state = byte == kSos ? State::Scan : State::Length;
        }
        break;
      case State::Length: {
        int hi = 0;
        int lo = 0;
        if (!CopyByte(ctx, hi) || !CopyByte(ctx, lo)) {
          state = State::Finish;
          break;
        }
        // The length counts its own two bytes. Bounded by what is left, the 2 are taken off
        // afterwards, so a segment cut off by the end stops 2 bytes short of it and the walk
        // reads those as a marker.
        const std::int64_t length = hi * 256 + lo;
        const std::int64_t body = std::min(length, Remaining(ctx)) - 2;
        const CopyEnd end = CopyBytes(ctx, body);
        if (end == CopyEnd::Stopped) return true;
        state = end == CopyEnd::EndOfInput ? State::Finish : State::Marker;
        break;
      }
      case State::Scan: {
        // No marker is interpreted here: tables, further scans and restart markers are copied
        // up to the first 0xFF 0xD9.
        int prev = 0;
        state = State::Finish;
        while (CopyByte(ctx, byte)) {
          if (KeepResponsive(ctx, 1)) return true;
          if (prev == 0xFF && byte == kEoi) break;
          prev = byte;
        }
        break;
      }
      case State::Finish:
        break;
    }
  }
  EndOutput(ctx);
  return true;
}

namespace {

constexpr int kDht = 0xC4;
constexpr int kJpgExtension = 0xC8;
constexpr int kDac = 0xCC;
constexpr int kRst0 = 0xD0;
constexpr int kRst7 = 0xD7;
constexpr int kDqt = 0xDB;
constexpr int kDnl = 0xDC;
constexpr int kDri = 0xDD;
constexpr int kApp0Code = 0xE0;
constexpr int kApp15 = 0xEF;
constexpr int kCom = 0xFE;

// SOF0..SOF15 without the three codes of that range that are no frame header.
bool IsFrameHeader(int code) {
  return code >= 0xC0 && code <= 0xCF && code != kDht && code != kJpgExtension && code != kDac;
}
bool IsLossless(int code) {
  return (code & 3) == 3;
}
bool IsProgressive(int code) {
  return (code & 3) == 2;
}

// What the walk knows of the image so far.
struct JpegWalk {
  explicit JpegWalk(ByteView& view) : in(view) {}
  ByteView& in;
  int frameCode = 0;  // the SOFn code once the frame header is read
  std::uint16_t height = 0;
  int componentCount = 0;
  // Only the first componentCount are read; left unfilled, since most candidates never reach a
  // frame header.
  std::array<std::uint8_t, 255> componentIds;
  std::uint16_t restartInterval = 0;
  int scans = 0;
  bool scanData = false;  // some entropy-coded data was seen
};

// The frame header: sample precision, lines (0 when a DNL segment gives them later), a width,
// and per component its id, sampling factors 1..4 and a quantisation table 0..3.
bool CheckFrame(JpegWalk& walk, int code, std::int64_t body, int bodyLength) {
  std::uint8_t f[6 + 3 * 255];
  if (bodyLength < 6 || bodyLength > static_cast<int>(sizeof f) ||
      !walk.in.Read(body, f, static_cast<std::size_t>(bodyLength))) {
    return false;
  }
  const int precision = f[0];
  const int count = f[5];
  const bool precisionFits = IsLossless(code) ? precision >= 2 && precision <= 16
                             : code == 0xC0   ? precision == 8
                                              : precision == 8 || precision == 12;
  if (!precisionFits || GetBe16(f + 3) == 0 || count == 0 || bodyLength != 6 + 3 * count ||
      (IsProgressive(code) && count > 4)) {
    return false;
  }
  for (int i = 0; i < count; ++i) {
    const std::uint8_t* c = f + 6 + 3 * i;
    const int h = c[1] >> 4;
    const int v = c[1] & 15;
    if (h < 1 || h > 4 || v < 1 || v > 4 || c[2] > 3) return false;
    walk.componentIds[i] = c[0];
  }
  walk.frameCode = code;
  walk.height = GetBe16(f + 1);
  walk.componentCount = count;
  return true;
}

// The scan header: 1..4 components of the frame with their table selectors, then the
// spectral selection (or predictor) and the successive approximation bits.
bool CheckScan(JpegWalk& walk, std::int64_t body, int bodyLength) {
  std::uint8_t s[4 + 2 * 4];
  if (walk.frameCode == 0 || bodyLength < 6 || bodyLength > static_cast<int>(sizeof s) ||
      !walk.in.Read(body, s, static_cast<std::size_t>(bodyLength))) {
    return false;
  }
  const int count = s[0];
  if (count < 1 || count > 4 || bodyLength != 4 + 2 * count) return false;
  const auto ids = walk.componentIds.begin();
  for (int i = 0; i < count; ++i) {
    const std::uint8_t* c = s + 1 + 2 * i;
    if (std::find(ids, ids + walk.componentCount, c[0]) == ids + walk.componentCount ||
        (c[1] >> 4) > 3 || (c[1] & 15) > 3) {
      return false;
    }
  }
  const int start = s[1 + 2 * count];
  const int end = s[2 + 2 * count];
  const int high = s[3 + 2 * count] >> 4;
  if (IsLossless(walk.frameCode)) return start <= 7 && end == 0 && high == 0;
  return start <= end && end <= 63 && high <= 13;
}

// Quantisation tables: 64 entries of 8 or 16 bits each, for table 0..3.
bool CheckQuantTables(ByteView& in, std::int64_t at, int left) {
  while (left > 0) {
    const int tableSpec = in.Byte(at);
    if (tableSpec < 0 || (tableSpec >> 4) > 1 || (tableSpec & 15) > 3) return false;
    const int size = 1 + 64 * ((tableSpec >> 4) + 1);
    at += size;
    left -= size;
  }
  return left == 0;
}

// Huffman tables: class (DC or AC) and id, 16 code counts, then as many symbols.
bool CheckHuffmanTables(ByteView& in, std::int64_t at, int left) {
  while (left > 0) {
    std::uint8_t t[17];
    if (left < 17 || !in.Read(at, t, sizeof t) || (t[0] >> 4) > 1 || (t[0] & 15) > 3) {
      return false;
    }
    int symbols = 0;
    for (int i = 1; i < 17; ++i) symbols += t[i];
    if (symbols > 256) return false;
    at += 17 + symbols;
    left -= 17 + symbols;
  }
  return left == 0;
}

// Arithmetic coding conditioning: pairs of class and id, then a value.
bool CheckArithmeticTables(ByteView& in, std::int64_t at, int left) {
  if (left % 2 != 0) return false;
  for (; left > 0; left -= 2, at += 2) {
    const int tableSpec = in.Byte(at);
    if (tableSpec < 0 || (tableSpec >> 4) > 1 || (tableSpec & 15) > 3) return false;
  }
  return true;
}

// Whether the marker segment `code` may stand here and its body is well formed. Only one
// frame header, scans only inside a frame, the line count only after the first scan of a
// frame that left it open.
bool CheckSegment(JpegWalk& walk, int code, std::int64_t body, int bodyLength) {
  if (IsFrameHeader(code)) return walk.frameCode == 0 && CheckFrame(walk, code, body, bodyLength);
  if (code >= kApp0Code && code <= kApp15) return true;
  std::uint8_t two[2];
  switch (code) {
    case kCom:
      return true;
    case kDqt:
      return CheckQuantTables(walk.in, body, bodyLength);
    case kDht:
      return CheckHuffmanTables(walk.in, body, bodyLength);
    case kDac:
      return CheckArithmeticTables(walk.in, body, bodyLength);
    case kSos:
      return CheckScan(walk, body, bodyLength);
    case kDri:
      if (bodyLength != 2 || !walk.in.Read(body, two, 2)) return false;
      walk.restartInterval = GetBe16(two);
      return true;
    case kDnl:
      return walk.scans == 1 && walk.height == 0 && bodyLength == 2 && walk.in.Read(body, two, 2) &&
             GetBe16(two) != 0;
    default:
      return false;
  }
}

// Follows a scan's entropy-coded data from `at`, at memchr speed: stuffed 0xFF 0x00 pairs and
// restart markers in their cycle belong to it. Returns where it ends: at the first 0xFF of the
// marker behind it (fill bytes included), or at the input's end.
std::int64_t EntropyEnd(JpegWalk& walk, std::int64_t at) {
  constexpr std::size_t kPiece = std::size_t{1} << 16;
  int nextRestart = 0;
  for (;;) {
    std::size_t avail = 0;
    const std::uint8_t* p = walk.in.Peek(at, kPiece, avail);
    if (avail == 0) return at;
    const auto* ff = static_cast<const std::uint8_t*>(std::memchr(p, 0xFF, avail));
    if (ff == nullptr) {
      at += static_cast<std::int64_t>(avail);
      continue;
    }
    at += ff - p;
    std::int64_t next = at + 1;
    int code = ff + 1 < p + avail ? ff[1] : walk.in.Byte(next);
    while (code == 0xFF) code = walk.in.Byte(++next);
    if (code == 0x00) {
      at = next + 1;
    } else if (code == kRst0 + nextRestart && walk.restartInterval != 0) {
      nextRestart = (nextRestart + 1) % (kRst7 - kRst0 + 1);
      at = next + 1;
    } else {
      return at;
    }
  }
}

}  // namespace

// Marker segments walked by their lengths, so that whatever an APPn segment holds (an Exif
// thumbnail with markers of its own) stays inside it; one frame header, then scans whose
// entropy-coded data is followed to the next marker, up to the end-of-image marker. An image
// broken or cut after some scan data ends before the marker that broke it.
bool MeasureJpeg(ByteView& in, std::int64_t lead, Extent& out) {
  std::uint8_t soi[2];
  if (!in.Read(lead, soi, 2) || soi[0] != 0xFF || soi[1] != kSoi) return false;
  out.start = lead;
  out.ext = ".JPG";
  JpegWalk walk(in);
  std::int64_t at = lead + 2;  // where the next marker is due
  std::int64_t good = at;      // the end of the last whole unit
  for (;;) {
    // The marker and its length in one look, as they stand where no fill bytes come first.
    std::size_t avail = 0;
    const std::uint8_t* m = in.Peek(at, 4, avail);
    if (avail == 0 || m[0] != 0xFF) break;
    std::int64_t codeAt = at + 1;
    int code = avail > 1 ? m[1] : in.Byte(codeAt);
    while (code == 0xFF) code = in.Byte(++codeAt);  // fill bytes before the marker
    if (code == kEoi) {
      out.end = codeAt + 1;
      return walk.scanData;
    }
    // No segment has a second SOI, a restart marker or a stuffed zero for its code.
    if (code < 0 || code == kSoi || code == 0x00 || (code >= kRst0 && code <= kRst7)) break;
    std::uint8_t length[2];
    if (codeAt == at + 1 && avail >= 4) {
      std::memcpy(length, m + 2, 2);
    } else if (!in.Read(codeAt + 1, length, 2)) {
      break;
    }
    if (GetBe16(length) < 2) break;
    const std::int64_t body = codeAt + 3;
    const int bodyLength = GetBe16(length) - 2;
    if (body + bodyLength > in.Size() || !CheckSegment(walk, code, body, bodyLength)) break;
    at = body + bodyLength;
    if (code == kSos) {
      ++walk.scans;
      const std::int64_t end = EntropyEnd(walk, at);
      walk.scanData = walk.scanData || end > at;
      at = end;
    }
    if (walk.scanData) good = at;
  }
  out.end = good;
  out.cut = true;
  return walk.scanData;
}

}  // namespace sorvend
