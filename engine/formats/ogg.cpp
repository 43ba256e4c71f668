#include "engine/formats/ogg.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <span>

#include "engine/formats/crc.h"
#include "engine/formats/formats.h"

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
    if (GetBe32(ctx.Header.data()) != kCapture) return CopyEnd::Done;
    held = ReadHeld(ctx);
    ctx.Position += held;
  }
}

}  // namespace

bool IsOgg(ScanContext& ctx, int& held) {
  std::uint8_t* h = ctx.Header.data();
  h[0] = 'O';
  ReadHeader(ctx, 1, 3);
  if (GetBe32(h) != kCapture) return false;
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

namespace {

constexpr auto kPageCrc = MsbFirstCrcTable<std::uint32_t, 0x04C11DB7>();
constexpr std::int64_t kPageHeaderSize = 27;
constexpr std::uint8_t kContinued = 0x01;
constexpr std::uint8_t kBeginning = 0x02;
constexpr std::uint8_t kEnd = 0x04;
constexpr int kLastLacing = 255;
// Logical streams that may begin together in one link (a video, its sound, subtitles...).
constexpr std::size_t kMaxStreams = 32;
// Enough of a first packet to tell its codec.
constexpr std::size_t kCodecIdSize = 8;

struct Page {
  std::uint8_t type = 0;
  std::uint32_t serial = 0;
  std::uint32_t sequence = 0;
  std::int64_t size = 0;  // header, segment table and body
  int segments = 0;
  int packetsEnded = 0;   // packets whose last segment lies on this page
  bool lastOpen = false;  // the last packet goes on in the next page
  std::uint8_t body[kCodecIdSize] = {};
};

std::uint32_t PageCrc(std::uint32_t crc, const std::uint8_t* p, std::size_t n) {
  for (std::size_t i = 0; i < n; ++i) crc = crc << 8 ^ kPageCrc[(crc >> 24) ^ p[i]];
  return crc;
}

// The page at `at`: capture pattern, version 0, only the three known flags, the segment table
// and body whole, and a CRC over all of it (its own field counted as zeros) that matches.
bool ReadPage(ByteView& in, std::int64_t at, Page& page) {
  std::uint8_t h[kPageHeaderSize + 255];
  if (!in.Read(at, h, kPageHeaderSize) || GetBe32(h) != kCapture || h[4] != 0 ||
      (h[5] & ~(kContinued | kBeginning | kEnd)) != 0) {
    return false;
  }
  page.type = h[5];
  page.serial = GetLe32(h + 14);
  page.sequence = GetLe32(h + 18);
  page.segments = h[26];
  std::memset(page.body, 0, sizeof page.body);
  if (!in.Read(at + kPageHeaderSize, h + kPageHeaderSize,
               static_cast<std::size_t>(page.segments))) {
    return false;
  }
  std::int64_t bodySize = 0;
  page.packetsEnded = 0;
  for (int i = 0; i < page.segments; ++i) {
    const int lacing = h[kPageHeaderSize + i];
    bodySize += lacing;
    if (lacing < kLastLacing) ++page.packetsEnded;
  }
  page.lastOpen = page.segments > 0 && h[kPageHeaderSize + page.segments - 1] == kLastLacing;
  const std::int64_t tableEnd = kPageHeaderSize + page.segments;
  page.size = tableEnd + bodySize;
  if (page.size > in.Size() - at) return false;

  const std::uint32_t stored = GetLe32(h + 22);
  std::memset(h + 22, 0, 4);
  std::uint32_t crc = PageCrc(0, h, static_cast<std::size_t>(tableEnd));
  std::size_t kept = 0;
  const bool whole = in.Each(at + tableEnd, bodySize, [&](const std::uint8_t* p, std::size_t n) {
    const std::size_t take = std::min(n, kCodecIdSize - kept);
    std::memcpy(page.body + kept, p, take);
    kept += take;
    crc = PageCrc(crc, p, n);
  });
  return whole && crc == stored;
}

struct Codec {
  const char* id;
  std::size_t idSize;
  const char* ext;
  int headerPackets;
};
constexpr Codec kCodecs[] = {
    {"\x01vorbis", 7, ".ogg", 3},
    {"OpusHead", 8, ".opus", 2},
    {"\x80theora", 7, ".ogv", 3},
};
// Any other codec: its first packet is its header as far as is known.
constexpr Codec kOtherCodec = {"", 0, ".ogg", 1};

const Codec& CodecOf(const Page& first) {
  for (const Codec& c : kCodecs) {
    if (std::memcmp(first.body, c.id, c.idSize) == 0) return c;
  }
  return kOtherCodec;
}

struct Stream {
  std::uint32_t serial = 0;
  std::uint32_t nextSequence = 0;
  int headerPackets = 0;
  int packets = 0;
  bool open = false;
  bool ended = false;
};

void TakePage(Stream& s, const Page& page) {
  ++s.nextSequence;
  s.packets += page.packetsEnded;
  if (page.segments > 0) s.open = page.lastOpen;
  if ((page.type & kEnd) != 0) s.ended = true;
}

// A page fits its stream when it follows the stream's last page by number, and says that it
// continues a packet exactly when that page left one open.
bool Fits(const Stream& s, const Page& page) {
  return !s.ended && page.sequence == s.nextSequence && ((page.type & kContinued) != 0) == s.open;
}

}  // namespace

// One link: the beginning-of-stream pages of its logical streams, then their pages in any
// interleaving, up to the end-of-stream page of each. A page that does not fit (damaged,
// foreign, out of order) or the input's end leaves the link cut behind its last good page.
bool MeasureOgg(ByteView& in, std::int64_t lead, Extent& out) {
  Page page;
  if (!ReadPage(in, lead, page) || (page.type & kContinued) != 0 || (page.type & kBeginning) == 0) {
    return false;
  }
  const Codec& codec = CodecOf(page);
  std::array<Stream, kMaxStreams> all;
  std::size_t count = 0;
  const auto begin = [&](const Codec& c) {
    all[count] = {page.serial, page.sequence, c.headerPackets};
    TakePage(all[count++], page);
  };
  const auto streams = [&] { return std::span(all.data(), count); };
  const auto allEnded = [&] {
    return std::ranges::all_of(streams(), [](const Stream& s) { return s.ended; });
  };
  begin(codec);
  std::int64_t at = lead + page.size;
  std::int64_t beginningsEnd = at;
  bool beginnings = true;
  while (!allEnded()) {
    if (!ReadPage(in, at, page)) break;
    const auto known =
        std::ranges::find_if(streams(), [&](const Stream& s) { return s.serial == page.serial; });
    if ((page.type & kBeginning) != 0) {
      // Further streams begin only before the first page of data; a later beginning is the
      // next link's or another object's.
      if (!beginnings || known != streams().end() || count == kMaxStreams ||
          (page.type & kContinued) != 0) {
        break;
      }
      begin(CodecOf(page));
      at += page.size;
      beginningsEnd = at;
      continue;
    }
    beginnings = false;
    if (known == streams().end() || !Fits(*known, page)) break;
    TakePage(*known, page);
    at += page.size;
  }
  out.start = lead;
  out.end = at;
  out.ext = codec.ext;
  out.cut = !allEnded();
  if (!out.cut) return at > beginningsEnd;
  // Cut: playable only with every stream's headers and some packet of data.
  const bool headers =
      std::ranges::all_of(streams(), [](const Stream& s) { return s.packets >= s.headerPackets; });
  const bool data =
      std::ranges::any_of(streams(), [](const Stream& s) { return s.packets > s.headerPackets; });
  return headers && data;
}

}  // namespace sorvend
