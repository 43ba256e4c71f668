// Matroska and WebM: an EBML header naming the document type, then one Segment whose
// top-level children (track list, clusters of frames, index...) are walked by their sizes.
#include <cstring>

#include "engine/formats/formats.h"

namespace sorvend {
namespace {

constexpr std::uint32_t kEbml = 0x1A45DFA3;
constexpr std::uint32_t kDocType = 0x4282;
constexpr std::uint32_t kEbmlReadVersion = 0x42F7;
constexpr std::uint32_t kEbmlMaxIdLength = 0x42F2;
constexpr std::uint32_t kEbmlMaxSizeLength = 0x42F3;
constexpr std::uint32_t kSegment = 0x18538067;

// The Segment's top-level children.
constexpr std::uint32_t kSeekHead = 0x114D9B74;
constexpr std::uint32_t kInfo = 0x1549A966;
constexpr std::uint32_t kTracks = 0x1654AE6B;
constexpr std::uint32_t kCluster = 0x1F43B675;
constexpr std::uint32_t kCues = 0x1C53BB6B;
constexpr std::uint32_t kChapters = 0x1043A770;
constexpr std::uint32_t kTags = 0x1254C367;
constexpr std::uint32_t kAttachments = 0x1941A469;
// Allowed at every level.
constexpr std::uint32_t kVoid = 0xEC;
constexpr std::uint32_t kCrc32 = 0xBF;

// A Cluster's children: its timestamp, blocks of frames and their neighbours' positions.
constexpr std::uint32_t kTimestamp = 0xE7;
constexpr std::uint32_t kSilentTracks = 0x5854;
constexpr std::uint32_t kPosition = 0xA7;
constexpr std::uint32_t kPrevSize = 0xAB;
constexpr std::uint32_t kSimpleBlock = 0xA3;
constexpr std::uint32_t kBlockGroup = 0xA0;
constexpr std::uint32_t kEncryptedBlock = 0xAF;

constexpr std::uint32_t kTrackEntry = 0xAE;

constexpr std::int64_t kUnknownSize = -1;
// An EBML header holds a handful of short fields.
constexpr std::int64_t kMaxHeaderSize = 1024;
constexpr std::int64_t kMaxDocTypeLength = 16;
// Elements walked per candidate: far more than the frames of any real file.
constexpr int kMaxElements = 1 << 22;
// Stream information, track list and the first cluster come among the first top-level
// elements. The bound keeps a long run of other elements from being walked again from every
// header hidden in them.
constexpr int kMaxElementsBeforePlayable = 64;

bool IsSegmentChild(std::uint32_t id) {
  switch (id) {
    case kSeekHead:
    case kInfo:
    case kTracks:
    case kCluster:
    case kCues:
    case kChapters:
    case kTags:
    case kAttachments:
    case kVoid:
    case kCrc32:
      return true;
    default:
      return false;
  }
}

bool IsClusterChild(std::uint32_t id) {
  switch (id) {
    case kTimestamp:
    case kSilentTracks:
    case kPosition:
    case kPrevSize:
    case kSimpleBlock:
    case kBlockGroup:
    case kEncryptedBlock:
    case kVoid:
    case kCrc32:
      return true;
    default:
      return false;
  }
}

// The length of a variable-length number by the leading zero bits of its first byte; 9 for a
// zero byte, which starts no valid one.
int VintLength(std::uint8_t first) {
  int length = 1;
  for (std::uint8_t marker = 0x80; marker != 0 && (first & marker) == 0; marker >>= 1) ++length;
  return length;
}

struct Element {
  std::uint32_t id = 0;
  std::int64_t size = 0;  // kUnknownSize when every bit of the size is set
  std::int64_t data = 0;  // where its data starts
  std::int64_t End() const { return data + size; }
};

enum class Header { Ok, Bad, Short };

// The element header at `at`: IDs of 1 to 4 bytes (all-zero and all-one values are reserved),
// sizes of 1 to 8 bytes. Short when the input ends within the header; e.id is then set if the
// ID itself was whole, and 0 otherwise.
Header ReadElement(ByteView& in, std::int64_t at, Element& e) {
  e.id = 0;
  std::size_t avail = 0;
  const std::uint8_t* p = in.Peek(at, 12, avail);
  if (avail == 0) return Header::Short;
  const int idLength = VintLength(p[0]);
  if (idLength > 4) return Header::Bad;
  if (avail < static_cast<std::size_t>(idLength)) return Header::Short;
  std::uint32_t id = 0;
  for (int i = 0; i < idLength; ++i) id = id << 8 | p[i];
  const std::uint32_t idBits = (std::uint32_t{1} << (7 * idLength)) - 1;
  if ((id & idBits) == 0 || (id & idBits) == idBits) return Header::Bad;
  e.id = id;
  if (avail == static_cast<std::size_t>(idLength)) return Header::Short;
  const int sizeLength = VintLength(p[idLength]);
  if (sizeLength > 8) return Header::Bad;
  if (avail < static_cast<std::size_t>(idLength + sizeLength)) return Header::Short;
  std::uint64_t size = p[idLength] & (0xFFu >> sizeLength);
  for (int i = 1; i < sizeLength; ++i) size = size << 8 | p[idLength + i];
  const bool unknown = size == (std::uint64_t{1} << (7 * sizeLength)) - 1;
  e.size = unknown ? kUnknownSize : static_cast<std::int64_t>(size);
  e.data = at + idLength + sizeLength;
  return Header::Ok;
}

// An unsigned field of up to 8 bytes.
bool ReadUint(ByteView& in, const Element& e, std::uint64_t& value) {
  std::uint8_t bytes[8];
  if (e.size < 1 || e.size > 8 || !in.Read(e.data, bytes, static_cast<std::size_t>(e.size))) {
    return false;
  }
  value = 0;
  for (std::int64_t i = 0; i < e.size; ++i) value = value << 8 | bytes[i];
  return true;
}

// The EBML header's fields a reader must honour: version 1 of the encoding, IDs of at most 4
// bytes, sizes of at most 8, and a document type of Matroska's. Its extension, or nullptr.
const char* DocumentExtension(ByteView& in, const Element& header) {
  if (header.size < 1 || header.size > kMaxHeaderSize) return nullptr;
  const char* ext = nullptr;
  for (std::int64_t at = header.data; at < header.End();) {
    Element e;
    if (ReadElement(in, at, e) != Header::Ok || e.size == kUnknownSize || e.End() > header.End()) {
      return nullptr;
    }
    std::uint64_t value = 0;
    if (e.id == kDocType) {
      char text[kMaxDocTypeLength] = {};
      if (e.size > kMaxDocTypeLength || !in.Read(e.data, text, static_cast<std::size_t>(e.size))) {
        return nullptr;
      }
      // Strings may be padded with zero bytes.
      if (std::strncmp(text, "matroska", kMaxDocTypeLength) == 0) {
        ext = ".MKV";
      } else if (std::strncmp(text, "webm", kMaxDocTypeLength) == 0) {
        ext = ".WEBM";
      } else {
        return nullptr;
      }
    } else if ((e.id == kEbmlReadVersion && (!ReadUint(in, e, value) || value != 1)) ||
               (e.id == kEbmlMaxIdLength && (!ReadUint(in, e, value) || value > 4)) ||
               (e.id == kEbmlMaxSizeLength &&
                (!ReadUint(in, e, value) || value < 1 || value > 8))) {
      return nullptr;
    }
    at = e.End();
  }
  return ext;
}

// The parent's first child is whole within it and of a type it may open with.
bool OpensWith(ByteView& in, const Element& parent, bool (*accept)(std::uint32_t)) {
  Element e;
  return ReadElement(in, parent.data, e) == Header::Ok && e.size != kUnknownSize &&
         e.End() <= parent.End() && accept(e.id);
}

bool OpensTrackList(std::uint32_t id) {
  return id == kTrackEntry || id == kVoid || id == kCrc32;
}

// How the walk over one level stopped.
enum class Stop {
  Next,  // at an element of the Segment's level, or at a known Segment's end
  End,   // at bytes that are no element of the level, or at the input's end between two
  Cut,   // the input ends within an element
};

// The walk over a Segment's children. A known-size Segment must be filled exactly by them; a
// Segment of unknown size ends at the first bytes that are none.
class SegmentWalk {
 public:
  SegmentWalk(ByteView& in, const Element& segment)
      : in_(in), known_(segment.size != kUnknownSize), limit_(known_ ? segment.End() : in.Size()) {}

  // Walks from `at`: the end of the Segment, or of its last whole top-level element that
  // leaves a playable file when the Segment broke or runs past the input (then cut() holds),
  // or -1 when there is none.
  std::int64_t Walk(std::int64_t at) {
    for (;;) {
      if (elements_++ >= kMaxElements) return Broken();
      if (elements_ > kMaxElementsBeforePlayable && !Playable()) return -1;
      if (known_ && at == limit_) return Playable() ? at : -1;
      Element e;
      const Header h = ReadElement(in_, at, e);
      if (h == Header::Short && at < in_.Size() && (e.id == 0 || IsSegmentChild(e.id))) {
        return Broken();
      }
      if (h != Header::Ok || !IsSegmentChild(e.id)) return Ended(at);
      // A player needs the stream information and tracks before the first frames.
      if (e.id == kCluster && !(info_ && tracks_)) return -1;
      if (e.size == kUnknownSize) {
        if (e.id != kCluster) return Ended(at);
        const Stop stop = WalkOpenCluster(e.data, at);
        if (stop == Stop::Cut) return Broken();
        cluster_ = true;
        if (Playable()) whole_ = at;
        if (stop == Stop::End) return Ended(at);
        continue;
      }
      if (e.End() > in_.Size()) return Broken();
      if (e.End() > limit_ || (e.id == kTracks && !OpensWith(in_, e, OpensTrackList)) ||
          (e.id == kCluster && !OpensWith(in_, e, IsClusterChild))) {
        return Ended(at);
      }
      info_ = info_ || e.id == kInfo;
      tracks_ = tracks_ || e.id == kTracks;
      cluster_ = cluster_ || e.id == kCluster;
      at = e.End();
      if (Playable()) whole_ = at;
    }
  }

  bool cut() const { return cut_; }

 private:
  bool Playable() const { return info_ && tracks_ && cluster_; }

  std::int64_t Broken() {
    cut_ = true;
    return whole_;
  }

  // Bytes that are no child: the end of a Segment of unknown size, a break in a known one.
  std::int64_t Ended(std::int64_t at) {
    if (known_) return Broken();
    return Playable() ? at : -1;
  }

  // A Cluster of unknown size runs over its children up to the next element of the Segment's
  // level; `at` ends behind its last whole child.
  Stop WalkOpenCluster(std::int64_t from, std::int64_t& at) {
    at = from;
    for (;;) {
      if (elements_++ >= kMaxElements) return Stop::Cut;
      if (at == limit_) return Stop::Next;
      Element e;
      const Header h = ReadElement(in_, at, e);
      // The input ends within a header: the cluster is whole unless that is one of its own.
      if (h == Header::Short && at < in_.Size()) {
        return IsClusterChild(e.id) ? Stop::Cut : Stop::Next;
      }
      if (h != Header::Ok) return Stop::End;
      if (IsSegmentChild(e.id) && !IsClusterChild(e.id)) return Stop::Next;
      if (!IsClusterChild(e.id) || e.size == kUnknownSize) return Stop::End;
      if (e.End() > in_.Size()) return Stop::Cut;
      if (e.End() > limit_) return Stop::End;
      at = e.End();
    }
  }

  ByteView& in_;
  const bool known_;
  const std::int64_t limit_;
  int elements_ = 0;
  bool info_ = false;
  bool tracks_ = false;
  bool cluster_ = false;
  bool cut_ = false;
  std::int64_t whole_ = -1;
};

}  // namespace

// The EBML header with a Matroska document type, then the Segment right behind it. Its
// children are walked by their sizes, stream information and track list before the first
// cluster; a Segment of known size must be filled by them exactly, one of unknown size ends at
// the first bytes that are none. A Segment that breaks or runs past the input is cut behind its
// last whole top-level element, if the stream information, the track list and one whole
// cluster lie before it.
bool MeasureMkv(ByteView& in, std::int64_t lead, Extent& out) {
  Element header;
  if (ReadElement(in, lead, header) != Header::Ok || header.id != kEbml) return false;
  out.ext = DocumentExtension(in, header);
  Element segment;
  if (out.ext == nullptr || ReadElement(in, header.End(), segment) != Header::Ok ||
      segment.id != kSegment) {
    return false;
  }
  out.start = lead;
  SegmentWalk walk(in, segment);
  out.end = walk.Walk(segment.data);
  out.cut = walk.cut();
  return out.end > lead;
}

}  // namespace sorvend
