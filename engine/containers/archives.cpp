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
#include <zlib.h>

#include <algorithm>
#include <cstdio>
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
