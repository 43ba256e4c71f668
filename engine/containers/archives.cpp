// Archives whose codecs libarchive brings (7z with LZMA, LZMA2, PPMd, BCJ; cabinets with
// MSZIP, Quantum, LZX; LZH with its -lhN- methods): the library reads the archive from its
// offset in the input through the scan's view, entry by entry, and each entry's bytes are
// scanned as an input of their own. Entries it delivers before a damage come out.
//
// Where each archive ends comes from its own headers: a 7z start header gives the offset and
// size of the header database behind the packed streams, a cabinet header its total size, and
// LZH entries are walked header by header up to the end mark (a zero byte).
#include <archive.h>
#include <archive_entry.h>
#include <lzma.h>
#include <zlib.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "engine/carver.h"
#include "engine/containers/containers.h"
#include "engine/containers/decode.h"

namespace sorvend {
namespace {

// The archive's bytes [start, end) of the input, as libarchive's callbacks read them.
struct Source {
  ScanContext* ctx;
  std::int64_t start;
  std::int64_t end;
  std::int64_t pos;
  std::vector<std::uint8_t> buffer = std::vector<std::uint8_t>(std::size_t{1} << 16);
};

la_ssize_t ReadSource(archive*, void* data, const void** block) {
  auto& s = *static_cast<Source*>(data);
  ByteView in(*s.ctx);
  const auto want =
      static_cast<std::size_t>(std::min<std::int64_t>(s.end - s.pos, s.buffer.size()));
  if (want == 0) return 0;
  if (in.Stopped() || !in.Read(s.pos, s.buffer.data(), want)) return ARCHIVE_FATAL;
  s.pos += static_cast<std::int64_t>(want);
  *block = s.buffer.data();
  return static_cast<la_ssize_t>(want);
}

la_int64_t SkipSource(archive*, void* data, la_int64_t request) {
  auto& s = *static_cast<Source*>(data);
  const std::int64_t step = std::clamp<std::int64_t>(request, 0, s.end - s.pos);
  s.pos += step;
  return step;
}

la_int64_t SeekSource(archive*, void* data, la_int64_t offset, int whence) {
  auto& s = *static_cast<Source*>(data);
  const std::int64_t base = whence == SEEK_SET ? s.start : whence == SEEK_CUR ? s.pos : s.end;
  const std::int64_t to = base + offset;
  if (to < s.start || to > s.end) return ARCHIVE_FATAL;
  s.pos = to;
  return to - s.start;
}

enum class Format { SevenZip, Cab, Lzh };

// Reads the archive at [start, end) and scans each regular entry. False when the library takes
// no entry from it or the front end stopped the scan. `damaged` receives the index of the
// first entry the library could not read whole (the last one read when the archive itself
// broke off), or -1.
bool UnpackArchive(ScanContext& ctx, std::int64_t start, std::int64_t end, Format format,
                   const char* kind, int& damaged) {
  damaged = -1;
  if (!MayOpenContainer(ctx, ContainerRef{kind, start, ""})) return false;
  archive* a = archive_read_new();
  switch (format) {
    case Format::SevenZip:
      archive_read_support_format_7zip(a);
      break;
    case Format::Cab:
      archive_read_support_format_cab(a);
      break;
    case Format::Lzh:
      archive_read_support_format_lha(a);
      break;
  }
  Source source{&ctx, start, end, start};
  archive_read_set_callback_data(a, &source);
  archive_read_set_read_callback(a, ReadSource);
  archive_read_set_skip_callback(a, SkipSource);
  archive_read_set_seek_callback(a, SeekSource);
  int entries = 0;
  bool stopped = false;
  if (archive_read_open1(a) == ARCHIVE_OK) {
    DecodedSink sink(*ctx.unpacker);
    std::vector<std::uint8_t>& out = ctx.unpacker->Scratch().out;
    archive_entry* entry = nullptr;
    int rc = ARCHIVE_OK;
    while (!stopped && (rc = archive_read_next_header(a, &entry)) == ARCHIVE_OK) {
      ++entries;
      if (archive_entry_filetype(entry) != AE_IFREG) continue;
      const char* name = archive_entry_pathname(entry);
      const ContainerRef ref{kind, start, name != nullptr ? name : ""};
      if (!MayOpenContainer(ctx, ref)) continue;
      sink.Reset();
      for (;;) {
        const la_ssize_t n = archive_read_data(a, out.data(), out.size());
        // The entry's end, or a damage: what came before is kept.
        if (n < 0 && damaged < 0) damaged = entries - 1;
        if (n <= 0) break;
        const bool taken =
            sink.Put(out.data(), static_cast<std::size_t>(n), source.pos - source.start);
        if (KeepResponsive(ctx, n)) {
          stopped = true;
          break;
        }
        if (!taken) break;
      }
      if (stopped || !ScanDecoded(ctx, sink, ref)) stopped = true;
    }
    if (rc != ARCHIVE_EOF && damaged < 0) damaged = std::max(0, entries - 1);
  }
  archive_read_free(a);
  return !stopped && !Stopped(ctx) && entries > 0;
}

// ---- 7z: the memory its coders ask for ----
//
// libarchive allocates what a 7z coder's properties ask for (an LZMA or LZMA2 dictionary, a
// PPMd model) before it decodes a byte, so the header database is read here first: an
// archive whose coders ask for more than the dictionary limit is refused, as a stream is.

// The 7z property ids this reading meets.
enum SevenZipId : std::uint64_t {
  kEnd = 0x00,
  kHeader = 0x01,
  kArchiveProperties = 0x02,
  kAdditionalStreamsInfo = 0x03,
  kMainStreamsInfo = 0x04,
  kPackInfo = 0x06,
  kUnpackInfo = 0x07,
  kSubStreamsInfo = 0x08,
  kSize = 0x09,
  kCrc = 0x0A,
  kFolder = 0x0B,
  kCodersUnpackSize = 0x0C,
  kEncodedHeader = 0x17,
};

// Counts beyond these are no archive a writer makes; they end the reading.
constexpr std::uint64_t kMaxFolders = 1 << 16;
constexpr std::uint64_t kMaxCoders = 64;
// Header databases of at most this many bytes, packed and unpacked, are read (one of a hundred
// thousand files takes a few MiB); the reading stays well within the memory unpacking may use.
constexpr std::uint64_t kMaxHeaderBytes = std::uint64_t{16} << 20;

// Reads a header database's numbers and bytes from memory; past its end, `ok` turns false and
// every read gives zeros.
class SevenZipReader {
 public:
  SevenZipReader(const std::uint8_t* p, std::size_t n) : p_(p), n_(n) {}
  bool ok() const { return ok_; }
  std::uint8_t Byte() {
    if (at_ >= n_) return ok_ = false, 0;
    return p_[at_++];
  }
  // A number: the first byte's leading one bits count the bytes that follow (little-endian),
  // and its bits below them are the value's highest.
  std::uint64_t Number() {
    const std::uint8_t first = Byte();
    std::uint64_t value = 0;
    std::uint8_t mask = 0x80;
    for (int i = 0; i < 8; ++i, mask >>= 1) {
      if ((first & mask) == 0) return value | std::uint64_t{first & (mask - 1u)} << (8 * i);
      value |= std::uint64_t{Byte()} << (8 * i);
    }
    return value;
  }
  const std::uint8_t* Bytes(std::uint64_t k) {
    if (k > n_ - at_) return ok_ = false, nullptr;
    const std::uint8_t* r = p_ + at_;
    at_ += static_cast<std::size_t>(k);
    return r;
  }

 private:
  const std::uint8_t* p_;
  std::size_t n_;
  std::size_t at_ = 0;
  bool ok_ = true;
};

struct SevenZipCoder {
  std::vector<std::uint8_t> id;
  std::vector<std::uint8_t> props;
};

// What a streams info block holds, as far as this reading needs it: its coders' largest
// memory, and the first folder whole, which is all a packed header database has.
struct SevenZipStreams {
  std::uint64_t packPos = 0;
  std::uint64_t firstPackSize = 0;
  std::uint64_t folders = 0;
  std::vector<SevenZipCoder> firstFolder;
  std::uint64_t outputs = 0;  // of every folder's coders together
  std::uint64_t firstUnpackSize = 0;
  std::uint64_t largest = 0;
};

// The memory a coder asks for: LZMA's and LZMA2's dictionary, PPMd's model; 0 for the coders
// that need little (copy, deflate, bzip2, the branch filters).
std::uint64_t CoderMemory(const SevenZipCoder& c) {
  static constexpr std::uint8_t kLzma[] = {0x03, 0x01, 0x01};
  static constexpr std::uint8_t kPpmd[] = {0x03, 0x04, 0x01};
  const auto is = [&](const auto& id) {
    return c.id.size() == sizeof id && std::equal(c.id.begin(), c.id.end(), id);
  };
  if ((is(kLzma) || is(kPpmd)) && c.props.size() >= 5) return GetLe32(c.props.data() + 1);
  if (c.id.size() == 1 && c.id[0] == 0x21 && !c.props.empty()) {  // LZMA2
    const int code = c.props[0];
    if (code > 40) return UINT64_MAX;
    if (code == 40) return 0xFFFFFFFF;
    return std::uint64_t{2u | (code & 1u)} << (code / 2 + 11);
  }
  return 0;
}

// Digests of `count` items: a byte telling whether all are there, else a bit per item, then
// four bytes for each one there.
void SkipDigests(SevenZipReader& r, std::uint64_t count) {
  std::uint64_t defined = count;
  if (r.Byte() == 0) {
    defined = 0;
    const std::uint8_t* bits = r.Bytes((count + 7) / 8);
    for (std::uint64_t i = 0; bits != nullptr && i < count; ++i) {
      defined += bits[i / 8] >> (7 - i % 8) & 1;
    }
  }
  r.Bytes(4 * defined);
}

bool ReadFolder(SevenZipReader& r, std::vector<SevenZipCoder>& coders, std::uint64_t& outputs) {
  const std::uint64_t count = r.Number();
  if (count == 0 || count > kMaxCoders) return false;
  std::uint64_t inputs = 0;
  outputs = 0;
  for (std::uint64_t i = 0; i < count && r.ok(); ++i) {
    const std::uint8_t flags = r.Byte();
    // 0x40 and 0x80 are reserved: no writer sets them.
    if ((flags & 0xC0) != 0) return false;
    SevenZipCoder& c = coders.emplace_back();
    const std::uint8_t* id = r.Bytes(flags & 0x0F);
    if (id != nullptr) c.id.assign(id, id + (flags & 0x0F));
    std::uint64_t in = 1;
    std::uint64_t out = 1;
    if (flags & 0x10) in = r.Number(), out = r.Number();
    if (in > kMaxCoders || out > kMaxCoders) return false;
    if (flags & 0x20) {
      const std::uint64_t size = r.Number();
      const std::uint8_t* props = r.Bytes(size);
      if (props != nullptr) c.props.assign(props, props + size);
    }
    inputs += in;
    outputs += out;
  }
  if (outputs == 0 || inputs < outputs - 1) return false;
  for (std::uint64_t i = 0; i + 1 < outputs; ++i) r.Number(), r.Number();  // bind pairs
  const std::uint64_t packed = inputs - (outputs - 1);
  for (std::uint64_t i = 0; packed > 1 && i < packed; ++i) r.Number();
  return r.ok();
}

bool ReadStreams(SevenZipReader& r, SevenZipStreams& s) {
  for (;;) {
    switch (r.Number()) {
      case kEnd:
      case kSubStreamsInfo:  // every coder is known by now
        return r.ok();
      case kPackInfo: {
        s.packPos = r.Number();
        const std::uint64_t count = r.Number();
        if (count > kMaxFolders) return false;
        for (std::uint64_t id = r.Number(); id != kEnd && r.ok(); id = r.Number()) {
          if (id == kSize) {
            for (std::uint64_t i = 0; i < count && r.ok(); ++i) {
              const std::uint64_t size = r.Number();
              if (i == 0) s.firstPackSize = size;
            }
          } else if (id == kCrc) {
            SkipDigests(r, count);
          } else {
            return false;
          }
        }
        break;
      }
      case kUnpackInfo: {
        const std::uint64_t count = r.Number() == kFolder ? r.Number() : kMaxFolders + 1;
        // A list kept elsewhere (the external flag) is no archive a writer makes.
        if (count > kMaxFolders || r.Byte() != 0) return false;
        std::uint64_t outputs = 0;
        for (std::uint64_t i = 0; i < count && r.ok(); ++i) {
          std::uint64_t folderOutputs = 0;
          std::vector<SevenZipCoder> coders;
          if (!ReadFolder(r, coders, folderOutputs)) return false;
          for (const SevenZipCoder& c : coders) s.largest = std::max(s.largest, CoderMemory(c));
          if (i == 0) s.firstFolder = std::move(coders);
          outputs += folderOutputs;
        }
        if (r.Number() != kCodersUnpackSize) return false;
        s.folders = count;
        s.outputs = outputs;
        for (std::uint64_t i = 0; i < outputs && r.ok(); ++i) {
          const std::uint64_t size = r.Number();
          if (i == 0) s.firstUnpackSize = size;
        }
        for (std::uint64_t id = r.Number(); id != kEnd && r.ok(); id = r.Number()) {
          if (id != kCrc) return false;
          SkipDigests(r, count);
        }
        break;
      }
      default:
        return false;
    }
    if (!r.ok()) return false;
  }
}

// A plain header database behind its id: the coders of its streams infos, up to the files'
// info.
bool LargestInHeader(SevenZipReader& r, std::uint64_t& largest) {
  for (;;) {
    const std::uint64_t id = r.Number();
    if (!r.ok()) return false;
    if (id == kArchiveProperties) {
      for (std::uint64_t type = r.Number(); type != kEnd && r.ok(); type = r.Number()) {
        r.Bytes(r.Number());
      }
    } else if (id == kAdditionalStreamsInfo || id == kMainStreamsInfo) {
      SevenZipStreams s;
      if (!ReadStreams(r, s)) return false;
      largest = std::max(largest, s.largest);
    } else {
      return true;  // the files' info or the end: no coders behind
    }
  }
}

// Decodes a packed header database: one folder of one LZMA or LZMA2 coder, as writers pack it.
bool UnpackHeader(ByteView& in, std::int64_t archive, const SevenZipStreams& s,
                  std::vector<std::uint8_t>& header) {
  if (s.folders != 1 || s.firstFolder.size() != 1 || s.outputs != 1 ||
      s.firstUnpackSize > kMaxHeaderBytes || s.firstPackSize > kMaxHeaderBytes) {
    return false;
  }
  const SevenZipCoder& c = s.firstFolder[0];
  lzma_filter filters[2] = {{LZMA_FILTER_LZMA1, nullptr}, {LZMA_VLI_UNKNOWN, nullptr}};
  if (c.id.size() == 1 && c.id[0] == 0x21) filters[0].id = LZMA_FILTER_LZMA2;
  if (lzma_properties_decode(&filters[0], nullptr, c.props.data(), c.props.size()) != LZMA_OK) {
    return false;
  }
  std::vector<std::uint8_t> packed(static_cast<std::size_t>(s.firstPackSize));
  const std::int64_t at = archive + 32 + static_cast<std::int64_t>(s.packPos);
  header.assign(static_cast<std::size_t>(s.firstUnpackSize), 0);
  lzma_stream z = LZMA_STREAM_INIT;
  bool ok = in.Read(at, packed.data(), packed.size()) && lzma_raw_decoder(&z, filters) == LZMA_OK;
  if (ok) {
    z.next_in = packed.data();
    z.avail_in = packed.size();
    z.next_out = header.data();
    z.avail_out = header.size();
    const lzma_ret rc = lzma_code(&z, LZMA_RUN);
    ok = (rc == LZMA_OK || rc == LZMA_STREAM_END) && z.avail_out == 0;
  }
  lzma_end(&z);
  std::free(filters[0].options);
  return ok;
}

// The most memory one coder of the archive at `archive` asks for, its header database being
// `header`; false when the database cannot be read this far (libarchive then judges it).
bool LargestCoderMemory(ByteView& in, std::int64_t archive, const std::uint8_t* header,
                        std::size_t size, std::uint64_t limit, std::uint64_t& largest) {
  SevenZipReader r(header, size);
  const std::uint64_t type = r.Number();
  if (type == kEncodedHeader) {
    SevenZipStreams s;
    std::vector<std::uint8_t> unpacked;
    if (!ReadStreams(r, s)) return false;
    largest = std::max(largest, s.largest);
    // The packed database's own coder is judged before it is decoded.
    if (largest > limit) return true;
    if (!UnpackHeader(in, archive, s, unpacked)) return false;
    SevenZipReader inner(unpacked.data(), unpacked.size());
    if (inner.Number() != kHeader) return false;
    return LargestInHeader(inner, largest);
  }
  return type == kHeader && LargestInHeader(r, largest);
}

}  // namespace

std::int64_t Unpack7z(ScanContext& ctx, std::int64_t lead) {
  // The signature (6), the version (2), the start header's CRC-32 (4), then the start header:
  // the offset of the header database behind these 32 bytes (8), its size (8), its CRC-32 (4).
  ByteView in(ctx);
  std::uint8_t h[32];
  if (!in.Read(lead, h, sizeof h) || h[6] != 0 || crc32(0, h + 12, 20) != GetLe32(h + 8)) {
    return -1;
  }
  const std::uint64_t offset = GetLe64(h + 12);
  const std::uint64_t size = GetLe64(h + 20);
  const auto room = static_cast<std::uint64_t>(in.Size() - lead - 32);
  if (offset > room || size > room - offset || size == 0) return -1;
  // The start header's checksum vouches for the size, so a damage inside ends nothing early.
  const std::int64_t end = lead + 32 + static_cast<std::int64_t>(offset + size);
  if (size <= kMaxHeaderBytes) {
    std::vector<std::uint8_t> header(static_cast<std::size_t>(size));
    const std::uint64_t limit = ctx.unpacker->Limits().dictionaryBytes;
    std::uint64_t largest = 0;
    if (in.Read(end - static_cast<std::int64_t>(size), header.data(), header.size()) &&
        crc32(0, header.data(), static_cast<uInt>(header.size())) == GetLe32(h + 28) &&
        LargestCoderMemory(in, lead, header.data(), header.size(), limit, largest) &&
        largest > limit) {
      ReportLimit(ctx, kDictionaryLimitText, ContainerRef{"7z", lead, ""});
      return -1;
    }
  }
  int damaged;
  return UnpackArchive(ctx, lead, end, Format::SevenZip, "7z", damaged) ? end : -1;
}

std::int64_t UnpackCab(ScanContext& ctx, std::int64_t lead) {
  // "MSCF", a reserved zero (4), the cabinet's size (4), a reserved zero (4), the offset of
  // the first file entry (4), a reserved zero (4), version 1.3.
  ByteView in(ctx);
  std::uint8_t h[26];
  if (!in.Read(lead, h, sizeof h) || GetLe32(h + 4) != 0 || GetLe32(h + 12) != 0 || h[24] != 3 ||
      h[25] != 1) {
    return -1;
  }
  const std::int64_t size = GetLe32(h + 8);
  if (size < 36 || GetLe32(h + 16) >= static_cast<std::uint32_t>(size)) return -1;
  // A cabinet cut by the end of the input is read as far as it goes; the walk then goes on
  // behind its header, since the bytes its size claims are not all its own.
  const std::int64_t end = lead + size;
  int damaged;
  if (!UnpackArchive(ctx, lead, std::min(end, in.Size()), Format::Cab, "cab", damaged)) return -1;
  constexpr std::int64_t kHeader = 36;
  return end <= in.Size() ? end : lead + kHeader;
}

std::int64_t UnpackLzh(ScanContext& ctx, std::int64_t lead) {
  // The method "-lhN-" stands 2 bytes into an entry's header. Levels 0 and 1 start with the
  // header's size less 2 (1 byte), level 2 with the whole header's size (2 bytes); the level is
  // at 20 and the compressed size (which, in level 1, holds the extended headers) at 7.
  ByteView in(ctx);
  const std::int64_t start = lead - 2;
  std::int64_t at = start;
  // Behind the last entry's header: where the walk goes on when the entries do not end in the
  // end mark (a zero byte), since then their sizes may claim bytes that are not theirs.
  std::int64_t lastData = -1;
  int entries = 0;
  bool ended = false;
  for (;;) {
    std::uint8_t h[22];
    if (in.Read(at, h, 1) && h[0] == 0) {
      ended = true;
      ++at;
      break;
    }
    if (!in.Read(at, h, sizeof h) || h[2] != '-' || h[3] != 'l' || h[6] != '-') break;
    const std::int64_t packed = GetLe32(h + 7);
    std::int64_t header = 0;
    switch (h[20]) {
      case 0:
      case 1:
        header = 2 + h[0];
        break;
      case 2:
        header = GetLe16(h);
        break;
      default:
        break;
    }
    if (header < 22) break;
    lastData = at + header;
    ++entries;
    at = std::min(in.Size(), lastData + packed);
  }
  if (lastData < 0 || start < ctx.ObjectFloor) return -1;
  int damaged;
  if (!UnpackArchive(ctx, start, at, Format::Lzh, "lzh", damaged)) return -1;
  // Each entry but the last is vouched for by the header behind it; the last one only by the
  // end mark, a single zero byte. When that one is damaged or has no end mark, its size may
  // claim bytes that are not its own, and the walk goes on behind its header.
  return ended && damaged != entries - 1 ? at : lastData;
}

}  // namespace sorvend
