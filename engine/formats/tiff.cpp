// TIFF images: a byte-order header, then a chain of image file directories (IFDs) whose entries
// point anywhere in the file. The object ends at the furthest byte any directory, value, strip
// or tile reaches.
#include <algorithm>
#include <iterator>
#include <vector>

#include "engine/formats/formats.h"

namespace sorvend {
namespace {

constexpr std::uint32_t kLittle = 0x49492A00;  // "II*\0"
constexpr std::uint32_t kBig = 0x4D4D002A;     // "MM\0*"
constexpr std::int64_t kHeaderSize = 8;
constexpr std::int64_t kEntrySize = 12;

// Bounds on what one candidate may make the walk read: directories (pages, sub-images, Exif and
// GPS directories), their entries, and strips or tiles, all counted over the whole file.
constexpr std::size_t kMaxDirectories = 4096;
constexpr std::int64_t kMaxEntries = std::int64_t{1} << 18;
constexpr std::int64_t kMaxPieces = std::int64_t{1} << 20;

constexpr int kImageWidth = 256;
constexpr int kImageLength = 257;
constexpr int kStripOffsets = 273;
constexpr int kStripByteCounts = 279;
constexpr int kTileWidth = 322;
constexpr int kTileLength = 323;
constexpr int kTileOffsets = 324;
constexpr int kTileByteCounts = 325;
constexpr int kSubIfds = 330;
constexpr int kJpegInterchange = 513;
constexpr int kJpegInterchangeLength = 514;
constexpr int kExifIfd = 34665;
constexpr int kGpsIfd = 34853;
constexpr int kInteropIfd = 40965;

// The fields a directory check keeps, in this order: width and length, strip offsets and
// sizes, tile offsets, sizes, width and length, and where an old-style JPEG stream lies.
constexpr int kKeptTags[] = {
    kImageWidth,     kImageLength, kStripOffsets, kStripByteCounts, kTileOffsets,
    kTileByteCounts, kTileWidth,   kTileLength,   kJpegInterchange, kJpegInterchangeLength};
enum {
  kWidth,
  kLength,
  kStrips,
  kStripSizes,
  kTiles,
  kTileSizes,
  kTileW,
  kTileL,
  kJpeg,
  kJpegSize
};

constexpr int kShort = 3;
constexpr int kLong = 4;
constexpr int kIfd = 13;
// Bytes per value of the field types 1..13: BYTE, ASCII, SHORT, LONG, RATIONAL, SBYTE,
// UNDEFINED, SSHORT, SLONG, SRATIONAL, FLOAT, DOUBLE and IFD.
constexpr std::uint8_t kTypeSize[] = {0, 1, 1, 2, 4, 8, 1, 1, 2, 4, 8, 4, 8, 4};
constexpr int kLastType = 13;

// One directory entry as read: where its values are (in the entry itself when they fit in four
// bytes, elsewhere otherwise).
struct Field {
  int type = 0;
  std::uint32_t count = 0;
  std::int64_t valuesAt = 0;  // offset in the input
};

class TiffWalk {
 public:
  TiffWalk(ByteView& in, std::int64_t start, bool little)
      : in_(in), start_(start), little_(little), room_(in.Size() - start) {}

  // Walks every directory reachable from the header. Refused (false) when the first directory
  // does not describe a whole image or a directory is met twice. A later directory that is
  // broken or reaches past the input is left out with what it points to, and the object is cut:
  // `end` then reaches as far as the whole parts do.
  bool Walk(std::uint32_t first, std::int64_t& end, bool& cut) {
    end_ = kHeaderSize;
    pending_.push_back(first);
    bool firstDirectory = true;
    while (!pending_.empty()) {
      const std::uint32_t at = pending_.back();
      pending_.pop_back();
      if (!Visit(at)) return false;
      const std::int64_t before = end_;
      const std::size_t queued = pending_.size();
      if (!Directory(at, firstDirectory)) {
        if (firstDirectory) return false;
        end_ = before;
        pending_.resize(queued);
        cut = true;
      }
      firstDirectory = false;
    }
    end = start_ + end_;
    return true;
  }

 private:
  std::uint16_t U16(const std::uint8_t* p) const { return little_ ? GetLe16(p) : GetBe16(p); }
  std::uint32_t U32(const std::uint8_t* p) const { return little_ ? GetLe32(p) : GetBe32(p); }

  // A directory met a second time means a loop, which no decoder can follow to its end.
  bool Visit(std::uint32_t at) {
    const auto place = std::lower_bound(visited_.begin(), visited_.end(), at);
    if (place != visited_.end() && *place == at) return false;
    visited_.insert(place, at);
    return true;
  }

  // [offset, offset + size) lies behind the header and within the input: the object reaches
  // at least that far.
  bool Reach(std::int64_t offset, std::int64_t size) {
    if (offset < kHeaderSize || size > room_ - offset) return false;
    end_ = std::max(end_, offset + size);
    return true;
  }

  // Reads `n` values of an array field from index `first` into `out` as unsigned numbers.
  bool Values(const Field& f, std::uint32_t first, std::uint32_t n, std::uint32_t* out) {
    const int size = kTypeSize[f.type];
    std::uint8_t raw[4 * kBatch];
    if (!in_.Read(f.valuesAt + std::int64_t{first} * size, raw,
                  static_cast<std::size_t>(n) * size)) {
      return false;
    }
    for (std::uint32_t i = 0; i < n; ++i) {
      out[i] = size == 2 ? U16(raw + 2 * i) : U32(raw + 4 * i);
    }
    return true;
  }

  // Strips or tiles: offsets and byte counts of equal number, each piece within the input.
  bool Pieces(const Field& offsets, const Field& counts, bool& data) {
    if (offsets.count != counts.count || !IsIndex(offsets) || !IsIndex(counts) ||
        (pieces_ += offsets.count) > kMaxPieces) {
      return false;
    }
    std::uint32_t at[kBatch];
    std::uint32_t size[kBatch];
    for (std::uint32_t i = 0; i < offsets.count; i += kBatch) {
      const std::uint32_t n = std::min<std::uint32_t>(kBatch, offsets.count - i);
      if (!Values(offsets, i, n, at) || !Values(counts, i, n, size)) return false;
      for (std::uint32_t k = 0; k < n; ++k) {
        if (size[k] == 0) continue;  // a piece left out, as sparse files do
        if (!Reach(at[k], size[k])) return false;
        data = true;
      }
    }
    return true;
  }

  // Offsets and counts come as SHORT or LONG numbers.
  static bool IsIndex(const Field& f) { return f.type == kShort || f.type == kLong; }
  static bool IsDirectoryPointer(const Field& f) { return f.type == kLong || f.type == kIfd; }

  // One number of a field that holds exactly one.
  bool Single(const Field& f, std::uint32_t& value) {
    return f.count == 1 && IsIndex(f) && Values(f, 0, 1, &value);
  }

  // Queues the directories a field points to.
  bool Queue(const Field& f) {
    if (!IsDirectoryPointer(f) || f.count > kMaxDirectories) return false;
    std::uint32_t at[kBatch];
    for (std::uint32_t i = 0; i < f.count; i += kBatch) {
      const std::uint32_t n = std::min<std::uint32_t>(kBatch, f.count - i);
      if (!Values(f, i, n, at)) return false;
      for (std::uint32_t k = 0; k < n; ++k) {
        if (visited_.size() + pending_.size() >= kMaxDirectories) return false;
        pending_.push_back(at[k]);
      }
    }
    return true;
  }

  // Reads the directory at `at`: every entry of a known type with its values within the input,
  // strips and tiles whole, the directories it points to queued. The first one must describe an
  // image: a width, a length and some strip or tile data.
  bool Directory(std::uint32_t at, bool image) {
    std::uint8_t countBytes[2];
    if (!in_.Read(start_ + at, countBytes, 2)) return false;
    const int count = U16(countBytes);
    if (count == 0 || (entries_ += count) > kMaxEntries || !Reach(at, 2 + kEntrySize * count + 4)) {
      return false;
    }
    Field fields[std::size(kKeptTags)];
    for (int i = 0; i < count; ++i) {
      std::uint8_t e[kEntrySize];
      const std::int64_t entryAt = start_ + at + 2 + kEntrySize * i;
      if (!in_.Read(entryAt, e, sizeof e)) return false;
      Field f;
      f.type = U16(e + 2);
      f.count = U32(e + 4);
      if (f.type < 1 || f.type > kLastType) return false;
      const std::int64_t size = std::int64_t{f.count} * kTypeSize[f.type];
      if (size <= 4) {
        f.valuesAt = entryAt + 8;
      } else {
        if (!Reach(U32(e + 8), size)) return false;
        f.valuesAt = start_ + U32(e + 8);
      }
      const int tag = U16(e);
      if (tag == kSubIfds || tag == kExifIfd || tag == kGpsIfd || tag == kInteropIfd) {
        if (!Queue(f)) return false;
      } else if (const auto kept = std::find(std::begin(kKeptTags), std::end(kKeptTags), tag);
                 kept != std::end(kKeptTags)) {
        fields[kept - std::begin(kKeptTags)] = f;
      }
    }
    bool data = false;
    if ((fields[kStrips].count > 0 || fields[kStripSizes].count > 0) &&
        !Pieces(fields[kStrips], fields[kStripSizes], data)) {
      return false;
    }
    if ((fields[kTiles].count > 0 || fields[kTileSizes].count > 0) &&
        (fields[kTileW].count != 1 || fields[kTileL].count != 1 ||
         !Pieces(fields[kTiles], fields[kTileSizes], data))) {
      return false;
    }
    std::uint32_t jpegAt = 0;
    std::uint32_t jpegSize = 0;
    if ((fields[kJpeg].count > 0 || fields[kJpegSize].count > 0) &&
        (!Single(fields[kJpeg], jpegAt) || !Single(fields[kJpegSize], jpegSize) ||
         !Reach(jpegAt, jpegSize))) {
      return false;
    }
    std::uint8_t next[4];
    if (!in_.Read(start_ + at + 2 + kEntrySize * count, next, 4)) return false;
    if (U32(next) != 0) {
      if (visited_.size() + pending_.size() >= kMaxDirectories) return false;
      pending_.push_back(U32(next));
    }
    if (!image) return true;
    std::uint32_t width = 0;
    std::uint32_t length = 0;
    return Single(fields[kWidth], width) && Single(fields[kLength], length) && width > 0 &&
           length > 0 && data;
  }

  static constexpr std::uint32_t kBatch = 256;

  ByteView& in_;
  const std::int64_t start_;
  const bool little_;
  const std::int64_t room_;  // bytes from the header to the input's end
  std::int64_t end_ = 0;     // relative to the header
  std::int64_t entries_ = 0;
  std::int64_t pieces_ = 0;
  std::vector<std::uint32_t> visited_;
  std::vector<std::uint32_t> pending_;
};

}  // namespace

// The first directory lies behind the header, on a word boundary as the standard asks, and
// within the input with its count, one entry and the next directory's offset.
bool ScreenTiff(const std::uint8_t* p, std::size_t avail, std::int64_t left) {
  if (avail < kHeaderSize) return true;
  const bool little = GetBe32(p) == kLittle;
  if (!little && GetBe32(p) != kBig) return false;
  const std::uint32_t first = little ? GetLe32(p + 4) : GetBe32(p + 4);
  return first >= kHeaderSize && first % 2 == 0 && first <= left - (2 + kEntrySize + 4);
}

// The header's byte order and first directory, then every directory reachable from it (the
// page chain, sub-images, Exif, GPS and interoperability directories). The first directory must
// describe a whole image, so that Exif blocks, which are TIFF structures without one, are left
// alone; a later part that is broken or runs past the input leaves the object cut behind the
// parts that were whole.
bool MeasureTiff(ByteView& in, std::int64_t lead, Extent& out) {
  std::uint8_t head[kHeaderSize];
  if (!in.Read(lead, head, sizeof head) || !ScreenTiff(head, sizeof head, in.Size() - lead)) {
    return false;
  }
  const bool little = GetBe32(head) == kLittle;
  const std::uint32_t first = little ? GetLe32(head + 4) : GetBe32(head + 4);
  TiffWalk walk(in, lead, little);
  out.start = lead;
  out.ext = ".TIF";
  return walk.Walk(first, out.end, out.cut);
}

}  // namespace sorvend
