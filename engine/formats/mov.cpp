#include "engine/formats/mov.h"

#include <algorithm>
#include <cstring>
#include <iterator>

namespace sorvend {
namespace {

constexpr std::uint32_t kMdat = 0x6D646174;  // "mdat"
constexpr std::uint32_t kMoov = 0x6D6F6F76;  // "moov"

// Header layout: [0..4) "mdat" as read, [4..8) S1, [8..12) S2, [12..16) the next atom's type.
constexpr int kMdatSizeAt = 4;
constexpr int kMoovSizeAt = 8;
constexpr int kNextTypeAt = 12;

// Atom sizes are unsigned in the format but handled as signed 32-bit numbers: a size of 2^31
// or more counts as negative and copies nothing.
std::int32_t SizeAt(const ScanContext& ctx, int at) {
  return static_cast<std::int32_t>(GetBe32(&ctx.Header[at]));
}

}  // namespace

bool IsMov(ScanContext& ctx) {
  std::uint8_t* h = ctx.Header.data();
  h[0] = 'm';
  ReadHeader(ctx, 1, 3);
  if (GetBe32(h) != kMdat) return false;
  // The atom's 4-byte size stands before the "m"; there must be room for it.
  if (ctx.Position < 5) return false;
  const std::int64_t start = ctx.Position - 5;
  ctx.InFile.Seek(start);
  ReadHeader(ctx, kMdatSizeAt, 4);
  const std::int64_t next = start + SizeAt(ctx, kMdatSizeAt);
  if (next < 0) return false;
  ctx.InFile.Seek(next);
  for (int i = 0; i < 8; ++i) {
    const int byte = ReadByte(ctx);
    if (byte < 0) return false;
    h[kMoovSizeAt + i] = static_cast<std::uint8_t>(byte);
  }
  return GetBe32(h + kNextTypeAt) == kMoov;
}

bool ExtractMov(ScanContext& ctx) {
  const std::int64_t start = ctx.Position - 5;
  if (!IsMov(ctx)) return Reject(ctx);
  if (!BeginOutput(ctx, ".MOV", start)) return true;
  // Back to the atom's start: its size field, already passed by the walk, is copied too. With
  // sizes that lie the copy may end at or before the "m"; the scan loop then resumes behind it.
  SeekTo(ctx, start);
  for (const int at : {kMdatSizeAt, kMoovSizeAt}) {
    const std::int64_t n = std::min<std::int64_t>(SizeAt(ctx, at), Remaining(ctx));
    if (CopyBytes(ctx, n) == CopyEnd::Stopped) return true;
  }
  EndOutput(ctx);
  return true;
}

namespace {

constexpr std::uint32_t kFtyp = FourCcBe("ftyp");
// Box types a thorough candidate can start at: the lead byte is the type's first letter, and
// the box's size stands in the 4 bytes before it.
constexpr std::uint32_t kStartTypes[] = {
    kFtyp, kMoov, kMdat, FourCcBe("wide"), FourCcBe("free"), FourCcBe("skip")};
// Box types that may stand at the top level of a movie after its first box.
bool IsTopLevelType(std::uint32_t type) {
  switch (type) {
    case kMoov:
    case kMdat:
    case FourCcBe("free"):
    case FourCcBe("skip"):
    case FourCcBe("wide"):
    case FourCcBe("uuid"):
    case FourCcBe("meta"):
    case FourCcBe("moof"):
    case FourCcBe("mfra"):
    case FourCcBe("sidx"):
    case FourCcBe("ssix"):
    case FourCcBe("styp"):
    case FourCcBe("pdin"):
    case FourCcBe("prft"):
    case FourCcBe("emsg"):
    case FourCcBe("pnot"):
      return true;
    default:
      return false;
  }
}
// Boxes a movie box opens with: its header, a compressed or reference movie, or, for writers
// that put the header later, one of its other children.
constexpr std::uint32_t kMovieChildTypes[] = {FourCcBe("mvhd"), FourCcBe("cmov"), FourCcBe("rmra"),
                                              FourCcBe("prfl"), FourCcBe("iods"), FourCcBe("trak"),
                                              FourCcBe("udta"), FourCcBe("meta"), FourCcBe("mvex")};

constexpr std::int64_t kBoxHeader = 8;
constexpr std::int64_t kLargeBoxHeader = 16;
// Far beyond any real file's top-level box count (a fragmented film has two per fragment).
constexpr int kMaxBoxes = 1 << 20;
// A movie's header boxes are few: its movie box and media data come among the first boxes. The
// bound keeps a long run of other boxes from being walked again from every one of them.
constexpr int kMaxBoxesBeforeMovie = 16;
// The brand list of a file-type box: major brand, minor version and a few compatible brands.
constexpr std::uint32_t kMaxFtypSize = 1024;
// Sizes beyond this overflow offset arithmetic and exist in no file.
constexpr std::uint64_t kMaxBoxSize = std::uint64_t{1} << 62;

template <std::size_t N>
bool IsOneOf(std::uint32_t type, const std::uint32_t (&types)[N]) {
  return std::find(std::begin(types), std::end(types), type) != std::end(types);
}

bool IsBrandByte(std::uint8_t c) {
  return c >= 0x20 && c <= 0x7E;
}

// A file-type box: a printable major brand and a list of whole compatible brands, each
// printable or (as QuickTime pads its list) all zero. Its extension by the major brand, or
// nullptr when the box is not one.
const char* FileTypeExtension(BoxReader& in, std::int64_t start, std::uint32_t size) {
  if (size < 16 || size > kMaxFtypSize || size % 4 != 0) return nullptr;
  std::uint8_t body[kMaxFtypSize];
  if (!in.Read(start + kBoxHeader, body, size - kBoxHeader)) return nullptr;
  if (!std::all_of(body, body + 4, IsBrandByte)) return nullptr;
  for (std::uint32_t at = 8; at < size - kBoxHeader; at += 4) {
    const bool zero = GetBe32(body + at) == 0;
    if (!zero && !std::all_of(body + at, body + at + 4, IsBrandByte)) return nullptr;
  }
  if (FourCcIs(body, "qt  ")) return ".MOV";
  if (FourCcIs(body, "M4A ")) return ".M4A";
  if (std::memcmp(body, "3gp", 3) == 0 || std::memcmp(body, "3g2", 3) == 0) return ".3GP";
  return ".MP4";
}

// A movie box opens with a whole child box of a type movies begin with.
bool IsSaneMovie(BoxReader& in, std::int64_t content, std::int64_t contentSize) {
  std::uint8_t child[8];
  if (contentSize < kBoxHeader || !in.Read(content, child, sizeof child)) return false;
  const std::uint32_t size = GetBe32(child);
  return size >= kBoxHeader && size <= contentSize && IsOneOf(GetBe32(child + 4), kMovieChildTypes);
}

}  // namespace

bool ReadBox(BoxReader& in, std::int64_t at, std::int64_t inputSize, Box& box) {
  std::uint8_t head[kLargeBoxHeader];
  if (!in.Read(at, head, kBoxHeader)) return false;
  box.type = GetBe32(head + 4);
  std::uint64_t size = GetBe32(head);
  std::int64_t header = kBoxHeader;
  if (size == 1) {
    if (!in.Read(at + kBoxHeader, head + kBoxHeader, 8)) return false;
    size = GetBe64(head + kBoxHeader);
    header = kLargeBoxHeader;
  }
  box.toTheEnd = size == 0;
  if (box.toTheEnd) size = static_cast<std::uint64_t>(inputSize - at);
  if (size < static_cast<std::uint64_t>(header) || size > kMaxBoxSize) return false;
  box.content = at + header;
  box.end = at + static_cast<std::int64_t>(size);
  return true;
}

// The top-level box walk from a file-type box or one of the boxes movies start with. The movie
// needs its movie box and media data, met within its first boxes; it ends at the first bytes
// that are no top-level box. A box that runs past the input leaves the movie cut behind its
// last whole movie or media data box, when both had been met by then.
bool MeasureMov(ByteView& view, std::int64_t lead, Extent& out) {
  BoxReader in(view);
  const std::int64_t start = lead - 4;
  std::uint8_t head[kLargeBoxHeader];
  if (start < 0 || !in.Read(start, head, kBoxHeader) || !IsOneOf(GetBe32(head + 4), kStartTypes)) {
    return false;
  }
  out.start = start;
  out.ext = ".MOV";
  std::int64_t at = start;
  if (GetBe32(head + 4) == kFtyp) {
    const std::uint32_t size = GetBe32(head);
    out.ext = FileTypeExtension(in, start, size);
    if (out.ext == nullptr) return false;
    at += size;
  }
  bool movie = false;
  bool media = false;
  // Where the movie may be cut: behind its last whole movie or media data box.
  std::int64_t wholeEnd = -1;
  for (int boxes = 0; boxes < kMaxBoxes; ++boxes) {
    if (boxes == kMaxBoxesBeforeMovie && !(movie && media)) return false;
    Box box;
    if (!ReadBox(in, at, view.Size(), box) || !IsTopLevelType(box.type)) break;
    const bool isMovie = box.type == kMoov;
    const bool isMedia = box.type == kMdat;
    if (isMovie && !IsSaneMovie(in, box.content, box.end - box.content)) break;
    if (box.end > view.Size()) {
      out.end = wholeEnd;
      out.cut = true;
      return wholeEnd > 0;
    }
    // A box running to the end of the input is taken where the movie is whole with it.
    if (box.toTheEnd && !((movie || isMovie) && (media || isMedia))) break;
    movie = movie || isMovie;
    media = media || isMedia;
    at = box.end;
    if ((isMovie || isMedia) && movie && media) wholeEnd = at;
  }
  out.end = at;
  return movie && media;
}

}  // namespace sorvend
