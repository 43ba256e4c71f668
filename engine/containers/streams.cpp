// Compressed streams found by their magic at any offset: gzip members, xz streams, bzip2
// streams, zstd and LZ4 frames, and bare zlib streams. Each is decoded by its own library
// (zlib, liblzma, libbz2, libzstd, liblz4), and what it decodes to is scanned as an input.
#include <zlib.h>

#include <algorithm>
#include <cstring>
#include <string>

#include "engine/carver.h"
#include "engine/containers/containers.h"
#include "engine/containers/decode.h"

namespace sorvend {
namespace {

// Decodes the stream at `lead` and scans its bytes; `header` is the size of its header, behind
// which the walk goes on when the stream cannot be followed to its end (damaged, refused, or
// stopped by a limit), so that the bytes after the header are scanned as they stand.
// `copied` is how many of the first decoded bytes are a copy of the input's own (a stored
// block): a stream that breaks off with no more than these decodes nothing the walk does not
// find in place.
std::int64_t UnpackStream(ScanContext& ctx, std::int64_t lead, Codec codec, const char* kind,
                          std::int64_t header, std::string entry = {}, std::int64_t copied = 0) {
  const ContainerRef ref{kind, lead, std::move(entry)};
  if (!MayOpenContainer(ctx, ref)) return -1;
  DecodedSink sink(*ctx.unpacker);
  const DecodeResult r = DecodeStream(ctx, codec, lead, -1, sink);
  if (r.end == DecodeEnd::Stopped) return -1;
  if (r.end == DecodeEnd::Dictionary) {
    ReportLimit(ctx, kDictionaryLimitText, ref);
    return -1;
  }
  const bool unfinished = r.end != DecodeEnd::StreamEnd && r.end != DecodeEnd::Limit;
  // Nothing decoded from a stream that does not go on: not one at all.
  if (unfinished && sink.Size() <= copied) return -1;
  if (!ScanDecoded(ctx, sink, ref)) return -1;
  switch (r.end) {
    case DecodeEnd::StreamEnd:
      return lead + r.consumed;
    case DecodeEnd::InputEnd:
      return ctx.FileSize;
    default:
      return lead + header;
  }
}

// A gzip header's name and comment end with a zero byte; a name longer than any file system
// allows is no header.
constexpr std::size_t kLongestGzipString = 4096;

// The gzip member header: ID1 ID2 CM FLG MTIME(4) XFL OS, then the optional extra field,
// name, comment and header CRC as FLG says. Returns the header's size, or 0 when it is no
// header; `name` receives the original file name.
std::int64_t GzipHeader(ByteView& in, std::int64_t lead, std::string& name) {
  std::uint8_t h[10];
  if (!in.Read(lead, h, sizeof h) || h[2] != 8 || (h[3] & 0xE0) != 0) return 0;
  const std::uint8_t flags = h[3];
  std::int64_t at = lead + 10;
  if (flags & 0x04) {  // FEXTRA
    std::uint8_t len[2];
    if (!in.Read(at, len, 2)) return 0;
    at += 2 + GetLe16(len);
  }
  for (const std::uint8_t flag : {std::uint8_t{0x08}, std::uint8_t{0x10}}) {  // FNAME, FCOMMENT
    if ((flags & flag) == 0) continue;
    std::string text;
    for (;;) {
      const int c = in.Byte(at++);
      if (c < 0 || text.size() == kLongestGzipString) return 0;
      if (c == 0) break;
      text += static_cast<char>(c);
    }
    if (flag == 0x08) name = std::move(text);
  }
  if (flags & 0x02) at += 2;  // FHCRC
  return at - lead;
}

// Whether deflate data can start with p[0..avail): the first block header is not the reserved
// type, a stored block's length has its complement behind it, and a dynamic block's code
// counts are within their ranges. Bytes out of view pass.
bool DeflateStartFits(const std::uint8_t* p, std::size_t avail) {
  if (avail < 1) return true;
  switch (p[0] >> 1 & 3) {
    case 0:  // stored: LEN, then NLEN its complement
      return avail < 5 || (GetLe16(p + 1) ^ GetLe16(p + 3)) == 0xFFFF;
    case 2:  // dynamic: at most 286 literal/length and 30 distance codes
      return (p[0] >> 3) <= 29 && (avail < 2 || (p[1] & 0x1F) <= 29);
    case 1:
      return true;
    default:  // reserved
      return false;
  }
}

}  // namespace

std::int64_t UnpackGzip(ScanContext& ctx, std::int64_t lead) {
  ByteView in(ctx);
  std::string name;
  const std::int64_t header = GzipHeader(in, lead, name);
  if (header == 0) return -1;
  std::size_t avail = 0;
  const std::uint8_t* p = in.Peek(lead + header, 4096, avail);
  if (avail == 0 || !ctx.unpacker->Scratch().zlibTrial.Decodes(
                        p, avail, lead + header + std::int64_t(avail) >= in.Size(), true)) {
    return -1;
  }
  return UnpackStream(ctx, lead, Codec::Gzip, "gzip", header, std::move(name));
}

bool ScreenGzip(const std::uint8_t* p, std::size_t avail, std::int64_t) {
  constexpr std::size_t kFixedHeader = 10;
  if (avail < kFixedHeader) return true;
  const std::uint8_t flags = p[3];
  std::size_t at = kFixedHeader;
  if (flags & 0x04) {  // FEXTRA
    if (at + 2 > avail) return true;
    at += 2 + GetLe16(p + at);
  }
  for (const std::uint8_t flag : {std::uint8_t{0x08}, std::uint8_t{0x10}}) {  // FNAME, FCOMMENT
    if ((flags & flag) == 0) continue;
    if (at >= avail) return true;
    const std::size_t seen = std::min(avail - at, kLongestGzipString + 1);
    const auto* end = static_cast<const std::uint8_t*>(std::memchr(p + at, 0, seen));
    if (end == nullptr) return seen <= kLongestGzipString;
    at = static_cast<std::size_t>(end - p) + 1;
  }
  if (flags & 0x02) at += 2;  // FHCRC
  return at >= avail || DeflateStartFits(p + at, avail - at);
}

std::int64_t UnpackXz(ScanContext& ctx, std::int64_t lead) {
  // The stream header: magic (6), flags (2), their CRC-32 (4).
  ByteView in(ctx);
  std::uint8_t h[12];
  if (!in.Read(lead, h, sizeof h) || h[6] != 0 || (h[7] & 0xF0) != 0 ||
      crc32(0, h + 6, 2) != GetLe32(h + 8)) {
    return -1;
  }
  return UnpackStream(ctx, lead, Codec::Xz, "xz", sizeof h);
}

std::int64_t UnpackBzip2(ScanContext& ctx, std::int64_t lead) {
  // "BZh", the block size digit, then a block's magic (pi) or the end of the stream (sqrt(pi)).
  ByteView in(ctx);
  std::uint8_t h[10];
  if (!in.Read(lead, h, sizeof h)) return -1;
  static constexpr std::uint8_t kBlock[] = {0x31, 0x41, 0x59, 0x26, 0x53, 0x59};
  static constexpr std::uint8_t kEnd[] = {0x17, 0x72, 0x45, 0x38, 0x50, 0x90};
  if (std::memcmp(h + 4, kBlock, 6) != 0 && std::memcmp(h + 4, kEnd, 6) != 0) return -1;
  return UnpackStream(ctx, lead, Codec::Bzip2, "bzip2", 4);
}

std::int64_t UnpackZstd(ScanContext& ctx, std::int64_t lead) {
  ByteView in(ctx);
  // The frame header descriptor's reserved bit is zero.
  const int descriptor = in.Byte(lead + 4);
  if (descriptor < 0 || (descriptor & 0x08) != 0) return -1;
  return UnpackStream(ctx, lead, Codec::Zstd, "zstd", 5);
}

std::int64_t UnpackLz4(ScanContext& ctx, std::int64_t lead) {
  ByteView in(ctx);
  // FLG: version 01 and a reserved bit of zero; BD: a block size of 4 to 7 and reserved zeros.
  std::uint8_t h[6];
  if (!in.Read(lead, h, sizeof h) || (h[4] & 0xC2) != 0x40 || (h[5] & 0x8F) != 0 ||
      (h[5] >> 4 & 7) < 4) {
    return -1;
  }
  return UnpackStream(ctx, lead, Codec::Lz4Frame, "lz4", 6);
}

bool ScreenZlib(const std::uint8_t* p, std::size_t avail, std::int64_t) {
  return avail < 3 || DeflateStartFits(p + 2, avail - 2);
}

struct BareZlibTrial::State {
  z_stream z{};
  bool ready = false;
  std::uint8_t out[1024];
};

BareZlibTrial::BareZlibTrial() : state_(std::make_unique<State>()) {
  state_->ready = inflateInit(&state_->z) == Z_OK;
}

BareZlibTrial::~BareZlibTrial() {
  inflateEnd(&state_->z);
}

bool BareZlibTrial::Decodes(const std::uint8_t* p, std::size_t n, bool whole, bool raw) {
  State& s = *state_;
  if (!s.ready || inflateReset2(&s.z, raw ? -MAX_WBITS : MAX_WBITS) != Z_OK) return false;
  s.z.next_in = const_cast<Bytef*>(p);
  s.z.avail_in = static_cast<uInt>(n);
  s.z.next_out = s.out;
  s.z.avail_out = sizeof s.out;
  const int rc = inflate(&s.z, Z_NO_FLUSH);
  if (rc == Z_STREAM_END) return true;
  if (rc != Z_OK && rc != Z_BUF_ERROR) return false;
  // Still going: enough decoded bytes to hold the start of an object, or a cut stream that
  // decoded all there is.
  constexpr uLong kEnough = 64;
  return s.z.total_out >= kEnough || (whole && s.z.avail_in == 0 && s.z.total_out > 0);
}

std::int64_t UnpackZlib(ScanContext& ctx, std::int64_t lead) {
  ByteView in(ctx);
  std::size_t avail = 0;
  const std::uint8_t* p = in.Peek(lead, 4096, avail);
  if (avail < 3 || !ctx.unpacker->Scratch().zlibTrial.Decodes(
                       p, avail, lead + std::int64_t(avail) >= in.Size())) {
    return -1;
  }
  // Data tables hold stored-block look-alikes (78 01 00 00 FF FF 00 ...) that decode one block
  // and break off at the next.
  const bool storedFirst = (p[2] >> 1 & 3) == 0 && avail >= 5;
  return UnpackStream(ctx, lead, Codec::Zlib, "zlib", 2, {}, storedFirst ? GetLe16(p + 3) : 0);
}

}  // namespace sorvend
