// HEIF still images (HEIC, AVIF and the other brands): ISO base media boxes, as in movies, but
// the picture is described by a "meta" box instead of a movie box. The meta box's handler is
// "pict"; its item information box lists the items and its item location box says where each
// item's bytes lie, as extents at file offsets (usually inside "mdat"). A file with a movie box
// is a movie, whatever its brands, and stays with the movie rule.
#include <algorithm>

#include "engine/formats/formats.h"
#include "engine/formats/forward_reader.h"
#include "engine/formats/mov.h"

namespace sorvend {
namespace {

constexpr std::int64_t kBoxHeader = 8;
// The brand list of a file type box: major brand, minor version and a few compatible brands.
constexpr std::uint32_t kMaxFtypSize = 1024;
// A picture has a handful of top-level boxes and its meta box a dozen children.
constexpr int kMaxTopLevelBoxes = 64;
constexpr int kMaxMetaChildren = 256;
// Beyond any real offset or length; keeps sums of three of them from overflowing.
constexpr std::uint64_t kMaxField = std::uint64_t{1} << 60;

// The picture's kind and extension by its file type box: AVIF by the major brand "avif" (or the
// sequence brand "avis"), HEIC by "heic", "heix", "heim" or "heis", HEIF for the rest. Every
// HEIF file names the still image brand "mif1" or the sequence brand "msf1" among its brands.
bool ReadFileType(BoxReader& in, std::int64_t start, std::uint32_t size, Kind& kind,
                  const char*& ext) {
  if (size < 16 || size > kMaxFtypSize || size % 4 != 0) return false;
  std::uint8_t body[kMaxFtypSize];
  if (!in.Read(start + kBoxHeader, body, size - kBoxHeader)) return false;
  const auto isBrand = [](const std::uint8_t* b) {
    return std::all_of(b, b + 4, [](std::uint8_t c) { return c >= 0x20 && c <= 0x7E; });
  };
  if (!isBrand(body)) return false;
  bool heif = FourCcIs(body, "mif1") || FourCcIs(body, "msf1");
  for (std::uint32_t at = 8; at < size - kBoxHeader; at += 4) {
    if (!isBrand(body + at)) return false;
    heif = heif || FourCcIs(body + at, "mif1") || FourCcIs(body + at, "msf1");
  }
  if (!heif) return false;
  if (FourCcIs(body, "avif") || FourCcIs(body, "avis")) {
    kind = Kind::Avif;
    ext = ".AVIF";
  } else {
    kind = Kind::Heic;
    const bool heic = FourCcIs(body, "heic") || FourCcIs(body, "heix") || FourCcIs(body, "heim") ||
                      FourCcIs(body, "heis");
    ext = heic ? ".HEIC" : ".HEIF";
  }
  return true;
}

// Reads big-endian fields of 0 to 8 bytes from the item location box in order.
class FieldReader {
 public:
  FieldReader(ByteView& in, std::int64_t at, std::int64_t end) : r_(in, at, end) {}
  // A field of `bytes` bytes; false when the box ends first.
  bool Field(int bytes, std::uint64_t& value) {
    value = 0;
    for (int i = 0; i < bytes; ++i) {
      const int b = r_.Next();
      if (b < 0) return false;
      value = value << 8 | static_cast<std::uint64_t>(b);
    }
    return true;
  }

 private:
  ForwardReader r_;
};

bool IsFieldSize(unsigned bytes) {
  return bytes == 0 || bytes == 4 || bytes == 8;
}

// The furthest end of the item location box's extents that lie in the file itself (not in the
// meta box's own item data, nor in other items), counted from the file's start; `itemsEnd` is
// left as it was when there are none. False when the box does not parse.
bool ReadItemLocations(ByteView& in, std::int64_t fileStart, const Box& box,
                       std::int64_t& itemsEnd) {
  FieldReader f(in, box.content, box.end);
  std::uint64_t version = 0;
  std::uint64_t sizes = 0;
  std::uint64_t more = 0;
  if (!f.Field(4, version) || !f.Field(1, sizes) || !f.Field(1, more)) return false;
  version >>= 24;
  const auto offsetSize = static_cast<unsigned>(sizes >> 4);
  const auto lengthSize = static_cast<unsigned>(sizes & 0xF);
  const auto baseSize = static_cast<unsigned>(more >> 4);
  const unsigned indexSize = version >= 1 ? static_cast<unsigned>(more & 0xF) : 0;
  if (version > 2 || !IsFieldSize(offsetSize) || !IsFieldSize(lengthSize) ||
      !IsFieldSize(baseSize) || !IsFieldSize(indexSize)) {
    return false;
  }
  const int idBytes = version < 2 ? 2 : 4;
  std::uint64_t items = 0;
  if (!f.Field(idBytes, items)) return false;
  for (std::uint64_t item = 0; item < items; ++item) {
    std::uint64_t id = 0;
    std::uint64_t method = 0;
    std::uint64_t reference = 0;
    std::uint64_t base = 0;
    std::uint64_t extents = 0;
    if (!f.Field(idBytes, id) || (version >= 1 && !f.Field(2, method)) || !f.Field(2, reference) ||
        !f.Field(static_cast<int>(baseSize), base) || !f.Field(2, extents)) {
      return false;
    }
    // Construction method 0 with data reference 0: offsets into this file.
    const bool inFile = (method & 0xF) == 0 && reference == 0;
    for (std::uint64_t e = 0; e < extents; ++e) {
      std::uint64_t index = 0;
      std::uint64_t offset = 0;
      std::uint64_t length = 0;
      if (!f.Field(static_cast<int>(indexSize), index) ||
          !f.Field(static_cast<int>(offsetSize), offset) ||
          !f.Field(static_cast<int>(lengthSize), length)) {
        return false;
      }
      if (base > kMaxField || offset > kMaxField || length > kMaxField) return false;
      // Length 0 stands for the whole file; it adds no end of its own.
      if (inFile && length > 0) {
        itemsEnd =
            std::max(itemsEnd, fileStart + static_cast<std::int64_t>(base + offset + length));
      }
    }
  }
  return true;
}

// The meta box: its handler must be "pict", and it needs its item information and item location
// boxes. Sets the end of the items' extents.
bool ReadMeta(BoxReader& in, ByteView& view, std::int64_t fileStart, const Box& meta,
              std::int64_t& itemsEnd) {
  // A full box: version and flags before the children.
  std::int64_t at = meta.content + 4;
  bool picture = false;
  bool information = false;
  bool locations = false;
  for (int children = 0; at < meta.end && children < kMaxMetaChildren; ++children) {
    Box child;
    if (!ReadBox(in, at, meta.end, child) || child.toTheEnd) return false;
    switch (child.type) {
      case FourCcBe("hdlr"): {
        // Version and flags, a pre-defined field, then the handler type.
        std::uint8_t handler[4];
        if (child.end - child.content < 12 || !in.Read(child.content + 8, handler, 4)) return false;
        picture = FourCcIs(handler, "pict");
        break;
      }
      case FourCcBe("iinf"):
        information = true;
        break;
      case FourCcBe("iloc"):
        if (locations || !ReadItemLocations(view, fileStart, child, itemsEnd)) return false;
        locations = true;
        break;
      default:
        break;
    }
    at = child.end;
  }
  return at == meta.end && picture && information && locations;
}

}  // namespace

// The file type box, then the top-level boxes: one meta box, media data, free space. The
// picture ends at the furthest of its boxes and of its items' extents. Where a box runs past
// the input but every item's bytes are there, it is cut behind them; where an item's bytes are
// missing, nothing is left to decode.
bool MeasureHeif(ByteView& view, std::int64_t lead, Extent& out) {
  BoxReader in(view);
  const std::int64_t start = lead - 4;
  std::uint8_t head[kBoxHeader];
  if (start < 0 || !in.Read(start, head, kBoxHeader) || !FourCcIs(head + 4, "ftyp")) return false;
  Kind kind = Kind::Heic;
  if (!ReadFileType(in, start, GetBe32(head), kind, out.ext) || !view.Ticked(kind)) return false;
  std::int64_t at = start + GetBe32(head);
  bool meta = false;
  bool media = false;
  bool cut = false;
  std::int64_t itemsEnd = 0;
  for (int boxes = 0; boxes < kMaxTopLevelBoxes && !cut; ++boxes) {
    Box box;
    if (!ReadBox(in, at, view.Size(), box)) break;
    if (box.type == FourCcBe("moov")) return false;
    if (box.type == FourCcBe("meta")) {
      if (meta || box.end > view.Size() || !ReadMeta(in, view, start, box, itemsEnd)) return false;
      meta = true;
    } else if (box.type == FourCcBe("mdat")) {
      media = true;
    } else if (box.type != FourCcBe("free") && box.type != FourCcBe("skip") &&
               box.type != FourCcBe("uuid")) {
      break;
    }
    cut = box.end > view.Size();
    if (!cut) at = box.end;
  }
  if (!meta || !media || itemsEnd > view.Size()) return false;
  out.start = start;
  out.end = std::max(at, itemsEnd);
  out.cut = cut;
  return true;
}

}  // namespace sorvend
