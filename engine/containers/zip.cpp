// ZIP archives: the local file headers are walked one behind the other from the first one met,
// so that a damaged entry or a missing central directory hides none of the entries behind it.
// Each entry is decoded by its method's library and scanned as an input of its own.
//
// A local header is "PK\3\4", version (2), flags (2), method (2), time and date (4), CRC-32 (4),
// compressed and uncompressed sizes (4 + 4), name and extra field lengths (2 + 2), the name and
// the extra field. The sizes are 0xFFFFFFFF when the ZIP64 extra field (0x0001) holds them; with
// flag bit 3 they may be zero and stand in a data descriptor behind the data instead.
#include <algorithm>
#include <string>

#include "engine/carver.h"
#include "engine/containers/containers.h"
#include "engine/containers/decode.h"

namespace sorvend {
namespace {

constexpr std::uint32_t kLocalHeader = 0x04034B50;     // PK\3\4
constexpr std::uint32_t kCentralHeader = 0x02014B50;   // PK\1\2
constexpr std::uint32_t kEndOfDirectory = 0x06054B50;  // PK\5\6
constexpr std::uint32_t kZip64End = 0x06064B50;        // PK\6\6
constexpr std::uint32_t kZip64Locator = 0x07064B50;    // PK\6\7
constexpr std::uint32_t kSignature = 0x05054B50;       // PK\5\5, the directory's signature
constexpr std::uint32_t kDescriptor = 0x08074B50;      // PK\7\8

constexpr std::uint16_t kEncrypted = 0x0001;
constexpr std::uint16_t kHasDescriptor = 0x0008;
constexpr std::uint16_t kLzmaEndMarker = 0x0002;
// Flag bits no writer sets: 7 to 10 are unused, 12, 14 and 15 reserved.
constexpr std::uint16_t kUnusedFlags = 0xD780;
// The highest version of the format an entry can need, 6.3, times ten.
constexpr int kNewestVersion = 63;

struct LocalEntry {
  std::uint16_t flags = 0;
  std::uint16_t method = 0;
  std::int64_t compressed = 0;
  std::int64_t uncompressed = 0;
  bool zip64 = false;
  std::string name;
  std::int64_t dataStart = 0;
};

// Reads the local header at `at`; false when there is none.
bool ReadLocalEntry(ByteView& in, std::int64_t at, LocalEntry& e) {
  std::uint8_t h[30];
  if (!in.Read(at, h, sizeof h) || GetLe32(h) != kLocalHeader) return false;
  e.flags = GetLe16(h + 6);
  e.method = GetLe16(h + 8);
  e.compressed = GetLe32(h + 18);
  e.uncompressed = GetLe32(h + 22);
  // The signature stands in machine code as a constant; such a "header" has flags no writer
  // sets or a version that does not exist, and what it says must never be copied and scanned.
  if (h[4] > kNewestVersion || (e.flags & kUnusedFlags) != 0) return false;
  const std::uint16_t nameLength = GetLe16(h + 26);
  const std::uint16_t extraLength = GetLe16(h + 28);
  e.name.resize(nameLength);
  if (!in.Read(at + 30, e.name.data(), nameLength)) return false;
  // The ZIP64 field gives the sizes whose 32-bit fields are all ones, in this order.
  std::int64_t x = at + 30 + nameLength;
  const std::int64_t extraEnd = x + extraLength;
  e.zip64 = false;
  while (x + 4 <= extraEnd) {
    std::uint8_t f[4];
    if (!in.Read(x, f, 4)) return false;
    const std::uint16_t id = GetLe16(f);
    const std::uint16_t size = GetLe16(f + 2);
    if (id == 0x0001) {
      e.zip64 = true;
      std::uint8_t v[16] = {};
      const std::size_t n = std::min<std::size_t>(size, sizeof v);
      if (!in.Read(x + 4, v, n)) return false;
      std::size_t used = 0;
      for (std::int64_t* field : {&e.uncompressed, &e.compressed}) {
        if (*field != 0xFFFFFFFF || used + 8 > n) continue;
        const std::uint64_t value = GetLe64(v + used);
        if (value > static_cast<std::uint64_t>(INT64_MAX / 2)) return false;
        *field = static_cast<std::int64_t>(value);
        used += 8;
      }
    }
    x += 4 + size;
  }
  e.dataStart = extraEnd;
  // Stored data is its own decoded bytes: both sizes are the same, unless the header leaves
  // them to a data descriptor or an encryption header comes first.
  if (e.method != 0 || (e.flags & kHasDescriptor) != 0) return true;
  return (e.flags & kEncrypted) != 0 ? e.compressed >= e.uncompressed
                                     : e.compressed == e.uncompressed;
}

// Where a stored entry with a data descriptor ends: the first descriptor signature whose
// compressed size is the distance from the data's start. -1 when none is found within `limit`.
std::int64_t FindStoredEnd(ByteView& in, const LocalEntry& e, std::int64_t limit) {
  const std::int64_t end = std::min(in.Size(), e.dataStart + limit);
  for (std::int64_t at = e.dataStart; at + 16 <= end;) {
    std::size_t avail = 0;
    const std::uint8_t* p = in.Peek(at, 1 << 16, avail);
    if (avail < 16) return -1;
    for (std::size_t i = 0; i + 16 <= avail; ++i) {
      if (p[i] != 'P' || GetLe32(p + i) != kDescriptor) continue;
      const std::int64_t size = at + static_cast<std::int64_t>(i) - e.dataStart;
      const std::int64_t recorded =
          e.zip64 ? static_cast<std::int64_t>(GetLe64(p + i + 8)) : GetLe32(p + i + 8);
      if (recorded == size) return at + static_cast<std::int64_t>(i);
    }
    at += static_cast<std::int64_t>(avail) - 15;
  }
  return -1;
}

bool Decodable(std::uint16_t method) {
  switch (method) {
    case 0:   // stored
    case 8:   // deflate
    case 12:  // bzip2
    case 14:  // LZMA
    case 20:  // zstd, the number first given to it
    case 93:  // zstd
    case 95:  // xz
      return true;
    default:
      return false;
  }
}

// Decodes an entry's data into `sink`; the result counts its compressed bytes from dataStart.
DecodeResult DecodeEntry(ScanContext& ctx, const LocalEntry& e, std::int64_t length,
                         DecodedSink& sink) {
  switch (e.method) {
    case 0:
      return DecodeStream(ctx, Codec::Stored, e.dataStart, length, sink);
    case 8:
      return DecodeStream(ctx, Codec::Deflate, e.dataStart, length, sink);
    case 12:
      return DecodeStream(ctx, Codec::Bzip2, e.dataStart, length, sink);
    case 20:
    case 93:
      return DecodeStream(ctx, Codec::Zstd, e.dataStart, length, sink);
    case 95:
      return DecodeStream(ctx, Codec::Xz, e.dataStart, length, sink);
    default:
      break;
  }
  // LZMA: a version (2) and the properties' size (2), then the properties (5), then the raw
  // stream, which the .lzma form's decoder reads behind its 13-byte header: the properties
  // and the uncompressed size (all ones for "ends with its end marker").
  ByteView in(ctx);
  std::uint8_t h[9];
  if (!in.Read(e.dataStart, h, sizeof h) || GetLe16(h + 2) != 5) return {};
  std::vector<std::uint8_t> header(h + 4, h + 9);
  const bool sizeKnown = (e.flags & kLzmaEndMarker) == 0 && e.uncompressed > 0;
  const std::uint64_t size = sizeKnown ? static_cast<std::uint64_t>(e.uncompressed) : ~0ull;
  for (int i = 0; i < 8; ++i) header.push_back(static_cast<std::uint8_t>(size >> (8 * i)));
  DecodeResult r =
      DecodeStream(ctx, Codec::LzmaAlone, e.dataStart + 9,
                   length < 0 ? -1 : std::max<std::int64_t>(0, length - 9), sink, header);
  r.consumed += 9;
  return r;
}

// Walks the central directory from `at` to its end record; returns the offset behind it, or -1
// when the records stop before one.
std::int64_t EndOfDirectory(ByteView& in, std::int64_t at) {
  for (;;) {
    std::uint8_t h[46];
    if (!in.Read(at, h, 4)) return -1;
    switch (GetLe32(h)) {
      case kCentralHeader:
        if (!in.Read(at, h, 46)) return -1;
        at += 46 + GetLe16(h + 28) + GetLe16(h + 30) + GetLe16(h + 32);
        break;
      case kSignature:
        if (!in.Read(at, h, 6)) return -1;
        at += 6 + GetLe16(h + 4);
        break;
      case kZip64End: {
        if (!in.Read(at, h, 12)) return -1;
        const std::uint64_t size = GetLe64(h + 4);
        if (size > static_cast<std::uint64_t>(in.Size())) return -1;
        at += 12 + static_cast<std::int64_t>(size);
        break;
      }
      case kZip64Locator:
        at += 20;
        break;
      case kEndOfDirectory:
        if (!in.Read(at, h, 22)) return -1;
        return std::min(in.Size(), at + 22 + GetLe16(h + 20));
      default:
        return -1;
    }
  }
}

bool IsRecordAt(ByteView& in, std::int64_t at) {
  std::uint8_t s[4];
  if (!in.Read(at, s, 4)) return false;
  const std::uint32_t sig = GetLe32(s);
  return sig == kLocalHeader || sig == kCentralHeader || sig == kEndOfDirectory ||
         sig == kZip64End || sig == kSignature;
}

}  // namespace

std::int64_t UnpackZip(ScanContext& ctx, std::int64_t lead) {
  ByteView in(ctx);
  Unpacker& unpacker = *ctx.unpacker;
  DecodedSink sink(unpacker);
  std::int64_t at = lead;
  int entries = 0;
  LocalEntry e;
  while (ReadLocalEntry(in, at, e) && e.dataStart <= in.Size()) {
    const bool descriptor = (e.flags & kHasDescriptor) != 0;
    // Behind a descriptor the local sizes may be zero or partly filled in (a streaming writer
    // may know the uncompressed size only): only a compressed size given is taken.
    const bool sizesKnown = !descriptor || e.compressed != 0;
    const ContainerRef ref{"zip", lead, e.name};
    std::int64_t dataEnd = sizesKnown ? e.dataStart + e.compressed : -1;
    // The entry's sizes are confirmed when its decoder ends the data where they say.
    bool confirmed = false;
    // The decoder ran out of input inside the entry: the archive is cut by the input's end.
    bool cut = false;
    const bool empty = !descriptor && e.uncompressed == 0;
    if (Decodable(e.method) && (e.flags & kEncrypted) == 0 && !empty) {
      if (e.method == 0 && !sizesKnown) {
        const std::int64_t end = FindStoredEnd(in, e, unpacker.Limits().streamBytes);
        if (end >= 0) dataEnd = end;
      }
      const std::int64_t length = dataEnd >= 0 ? dataEnd - e.dataStart : -1;
      if ((e.method != 0 || length >= 0) && MayOpenContainer(ctx, ref)) {
        sink.Reset();
        const DecodeResult r = DecodeEntry(ctx, e, length, sink);
        if (r.end == DecodeEnd::Dictionary) ReportLimit(ctx, kDictionaryLimitText, ref);
        if (r.end == DecodeEnd::Stopped || !ScanDecoded(ctx, sink, ref)) return -1;
        cut = r.end == DecodeEnd::InputEnd;
        if (r.end == DecodeEnd::StreamEnd) {
          if (dataEnd < 0) dataEnd = e.dataStart + r.consumed;
          confirmed = dataEnd == e.dataStart + r.consumed;
        }
      }
    }
    ++entries;
    if (dataEnd < 0) return e.dataStart;  // the data's end is not known: the walk goes on there
    std::int64_t next = dataEnd;
    if (descriptor) {
      std::uint8_t s[4];
      if (in.Read(next, s, 4) && GetLe32(s) == kDescriptor) next += 4;
      next += e.zip64 ? 20 : 12;
    }
    if (next >= in.Size()) {
      // Sizes beyond the input's end are taken only when the data really runs to it; those of a
      // look-alike header (machine code, a program's strings) would hide the rest of the input.
      return confirmed || cut ? in.Size() : e.dataStart;
    }
    if (!IsRecordAt(in, next)) {
      // Sizes that lead nowhere may be damaged: the walk goes on behind this entry's header, so
      // that whatever stands behind it is still found.
      return confirmed ? next : e.dataStart;
    }
    at = next;
  }
  if (entries == 0) return -1;
  const std::int64_t end = EndOfDirectory(in, at);
  return end > at ? end : at;
}

}  // namespace sorvend
