// Windows Media audio and video (ASF): a header object holding the file's properties and its
// streams, the data object with the packets, then optional index objects. Objects are named by
// GUIDs and sized by 64-bit little-endian fields.
#include <algorithm>
#include <array>
#include <cstring>

#include "engine/formats/formats.h"

namespace sorvend {
namespace {

using Guid = std::array<std::uint8_t, 16>;

constexpr Guid kHeader = {0x30, 0x26, 0xB2, 0x75, 0x8E, 0x66, 0xCF, 0x11,
                          0xA6, 0xD9, 0x00, 0xAA, 0x00, 0x62, 0xCE, 0x6C};
constexpr Guid kData = {0x36, 0x26, 0xB2, 0x75, 0x8E, 0x66, 0xCF, 0x11,
                        0xA6, 0xD9, 0x00, 0xAA, 0x00, 0x62, 0xCE, 0x6C};
constexpr Guid kFileProperties = {0xA1, 0xDC, 0xAB, 0x8C, 0x47, 0xA9, 0xCF, 0x11,
                                  0x8E, 0xE4, 0x00, 0xC0, 0x0C, 0x20, 0x53, 0x65};
constexpr Guid kStreamProperties = {0x91, 0x07, 0xDC, 0xB7, 0xB7, 0xA9, 0xCF, 0x11,
                                    0x8E, 0xE6, 0x00, 0xC0, 0x0C, 0x20, 0x53, 0x65};
constexpr Guid kVideoMedia = {0xC0, 0xEF, 0x19, 0xBC, 0x4D, 0x5B, 0xCF, 0x11,
                              0xA8, 0xFD, 0x00, 0x80, 0x5F, 0x5C, 0x44, 0x2B};
// The objects that may follow the data object.
constexpr Guid kIndexObjects[] = {
    {0x90, 0x08, 0x00, 0x33, 0xB1, 0xE5, 0xCF, 0x11,  // simple index
     0x89, 0xF4, 0x00, 0xA0, 0xC9, 0x03, 0x49, 0xCB},
    {0xD3, 0x29, 0xE2, 0xD6, 0xDA, 0x35, 0xD1, 0x11,  // index
     0x90, 0x34, 0x00, 0xA0, 0xC9, 0x03, 0x49, 0xBE},
    {0xF8, 0x03, 0xB1, 0xFE, 0xAD, 0x12, 0x64, 0x4C,  // media object index
     0x84, 0x0F, 0x2A, 0x1D, 0x2F, 0x7A, 0xD4, 0x8C},
    {0xD0, 0x3F, 0xB7, 0x3C, 0x4A, 0x0C, 0x03, 0x48,  // timecode index
     0x95, 0x3D, 0xED, 0xF7, 0xB6, 0x22, 0x8F, 0x0C},
};

constexpr std::int64_t kObjectHeader = 24;  // GUID and size
constexpr std::int64_t kHeaderObjectFixed = 30;
constexpr std::int64_t kDataObjectFixed = 50;
constexpr std::int64_t kFilePropertiesSize = 104;
constexpr std::int64_t kStreamTypeAt = 24;
// The header holds metadata and cover art, but no more than this.
constexpr std::uint64_t kMaxHeaderSize = std::uint64_t{1} << 26;
constexpr std::uint32_t kMaxHeaderObjects = 1024;
constexpr int kMaxIndexObjects = 64;
// Object and file sizes beyond this exist in no file and would overflow offset arithmetic.
constexpr std::uint64_t kMaxSize = std::uint64_t{1} << 62;
constexpr std::uint32_t kBroadcast = 1;
// Smaller packets could not hold their own header and one payload's.
constexpr std::uint32_t kMinPacket = 32;

bool IsGuid(const std::uint8_t* p, const Guid& g) {
  return std::memcmp(p, g.data(), g.size()) == 0;
}

// What the header object says about the file.
struct Properties {
  std::uint8_t fileId[16] = {};
  std::uint64_t fileSize = 0;
  std::uint32_t flags = 0;
  std::uint32_t minPacket = 0;
  std::uint32_t maxPacket = 0;
  bool found = false;
  int streams = 0;
  bool video = false;
};

// The header's objects, which must fill it exactly; the file properties and each stream's
// type are taken from them.
bool ReadHeaderObjects(ByteView& in, std::int64_t at, std::int64_t end, std::uint32_t count,
                       Properties& p) {
  for (std::uint32_t i = 0; i < count; ++i) {
    std::uint8_t object[kFilePropertiesSize];
    if (!in.Read(at, object, kObjectHeader)) return false;
    const std::uint64_t size = GetLe64(object + 16);
    if (size < kObjectHeader || size > static_cast<std::uint64_t>(end - at)) return false;
    if (IsGuid(object, kFileProperties)) {
      if (p.found || size < kFilePropertiesSize ||
          !in.Read(at + kObjectHeader, object + kObjectHeader,
                   kFilePropertiesSize - kObjectHeader)) {
        return false;
      }
      std::memcpy(p.fileId, object + 24, sizeof p.fileId);
      p.fileSize = GetLe64(object + 40);
      p.flags = GetLe32(object + 88);
      p.minPacket = GetLe32(object + 92);
      p.maxPacket = GetLe32(object + 96);
      p.found = true;
    } else if (IsGuid(object, kStreamProperties)) {
      Guid type;
      if (size < kStreamTypeAt + type.size() ||
          !in.Read(at + kStreamTypeAt, type.data(), type.size())) {
        return false;
      }
      ++p.streams;
      p.video = p.video || type == kVideoMedia;
    }
    at += static_cast<std::int64_t>(size);
  }
  return at == end && p.found && p.streams > 0;
}

// Reads through one packet's bytes; any read past them leaves it failed.
class PacketCursor {
 public:
  PacketCursor(const std::uint8_t* p, std::size_t n) : p_(p), n_(n) {}
  bool ok() const { return ok_; }
  std::size_t pos() const { return pos_; }
  void Skip(std::size_t k) {
    if (k > n_ - pos_) ok_ = false;
    if (ok_) pos_ += k;
  }
  // A little-endian field of 0, 1, 2 or 4 bytes, by its 2-bit length type.
  std::uint32_t Field(int type) {
    static constexpr std::size_t kBytes[4] = {0, 1, 2, 4};
    const std::size_t at = pos_;
    Skip(kBytes[type]);
    std::uint32_t value = 0;
    for (std::size_t i = kBytes[type]; ok_ && i > 0; --i) value = value << 8 | p_[at + i - 1];
    return value;
  }
  std::uint8_t Byte() { return static_cast<std::uint8_t>(Field(1)); }

 private:
  const std::uint8_t* p_;
  std::size_t n_;
  std::size_t pos_ = 0;
  bool ok_ = true;
};

// A data packet: optional error correction data (its length in the low bits of the first byte,
// no opaque data, no other length type), the payload parsing information (no second error
// correction flag, stream numbers stored in one byte as every packet has them, a packet length
// and padding that fit), then payloads whose headers and lengths fill the packet up to its
// padding exactly. Packets beyond the view's reach are checked up to their payloads only.
bool IsPacket(ByteView& in, std::int64_t at, std::uint32_t packet) {
  std::size_t avail = 0;
  const std::uint8_t* p = in.Peek(at, packet, avail);
  const std::size_t n = std::min<std::size_t>(avail, packet);
  if (n < kMinPacket) return false;
  PacketCursor c(p, n);
  std::uint8_t lengthTypes = c.Byte();
  if ((lengthTypes & 0x80) != 0) {
    if ((lengthTypes & 0x70) != 0) return false;
    c.Skip(lengthTypes & 0x0F);
    lengthTypes = c.Byte();
  }
  const std::uint8_t propertyTypes = c.Byte();
  if ((lengthTypes & 0x80) != 0 || (propertyTypes & 0xC0) != 0x40) return false;
  const int packetLengthType = lengthTypes >> 5 & 3;
  const std::uint32_t length = packetLengthType != 0 ? c.Field(packetLengthType) : packet;
  c.Field(lengthTypes >> 1 & 3);  // sequence
  const std::uint32_t padding = c.Field(lengthTypes >> 3 & 3);
  c.Skip(6);  // send time and duration
  if (!c.ok() || length > packet || padding > length) return false;
  if (n < packet) return true;
  const std::size_t payloadsEnd = length - padding;
  const bool multiple = (lengthTypes & 1) != 0;
  int payloads = 1;
  int payloadLengthType = 0;
  if (multiple) {
    const std::uint8_t flags = c.Byte();
    payloads = flags & 0x3F;
    payloadLengthType = flags >> 6;
  }
  for (int i = 0; i < payloads && c.ok(); ++i) {
    c.Skip(1);                           // stream number
    c.Field(propertyTypes >> 4 & 3);     // media object number
    c.Field(propertyTypes >> 2 & 3);     // offset into the media object
    c.Skip(c.Field(propertyTypes & 3));  // replicated data
    if (!c.ok() || c.pos() > payloadsEnd) return false;
    c.Skip(multiple ? c.Field(payloadLengthType) : payloadsEnd - c.pos());
  }
  return c.ok() && payloads > 0 && c.pos() == payloadsEnd;
}

// The end of the data object's packets of one fixed size: the data end when every packet is
// whole and sound, otherwise the end of the last such packet.
std::int64_t PacketsEnd(ByteView& in, std::int64_t at, std::int64_t end, std::uint32_t packet) {
  while (at + packet <= end && at + packet <= in.Size() && IsPacket(in, at, packet)) {
    at += packet;
  }
  return at + packet > end && end <= in.Size() ? end : at;
}

// The end of the last whole index object from `at` on, up to the file's end.
std::int64_t IndexEnd(ByteView& in, std::int64_t at, std::int64_t end) {
  for (int i = 0; i < kMaxIndexObjects && at < end; ++i) {
    std::uint8_t object[kObjectHeader];
    if (!in.Read(at, object, sizeof object)) break;
    const std::uint64_t size = GetLe64(object + 16);
    if (size < kObjectHeader || size > static_cast<std::uint64_t>(end - at) ||
        at + static_cast<std::int64_t>(size) > in.Size() ||
        std::none_of(std::begin(kIndexObjects), std::end(kIndexObjects),
                     [&](const Guid& g) { return IsGuid(object, g); })) {
      break;
    }
    at += static_cast<std::int64_t>(size);
  }
  return at;
}

}  // namespace

// The header object (sane size and object count, the file properties and at least one stream),
// then the data object of the same file ID right behind it. The file size gives the end, and
// the data object and any index objects must fill it; a broadcast file, whose size is unknown,
// ends with its data object. Packets of one fixed size must each be sound. A file
// whose packets or index objects break, or that the input ends in, is cut behind its last
// whole packet or index object; with packets of varying size only behind its data object.
bool MeasureAsf(ByteView& in, std::int64_t lead, Extent& out) {
  std::uint8_t head[kHeaderObjectFixed];
  if (!in.Read(lead, head, sizeof head) || !IsGuid(head, kHeader)) return false;
  const std::uint64_t headerSize = GetLe64(head + 16);
  const std::uint32_t count = GetLe32(head + 24);
  if (head[28] != 0x01 || head[29] != 0x02 || count == 0 || count > kMaxHeaderObjects ||
      headerSize < kHeaderObjectFixed + kFilePropertiesSize || headerSize > kMaxHeaderSize) {
    return false;
  }
  const std::int64_t dataStart = lead + static_cast<std::int64_t>(headerSize);
  Properties p;
  std::uint8_t data[kDataObjectFixed];
  if (!ReadHeaderObjects(in, lead + kHeaderObjectFixed, dataStart, count, p) ||
      !in.Read(dataStart, data, sizeof data) || !IsGuid(data, kData) ||
      std::memcmp(data + 24, p.fileId, sizeof p.fileId) != 0 || data[48] != 0x01 ||
      data[49] != 0x01) {
    return false;
  }
  const Kind kind = p.video ? Kind::Wmv : Kind::Wma;
  if (!in.Ticked(kind)) return false;
  const std::uint64_t dataSize = GetLe64(data + 16);
  if (dataSize < kDataObjectFixed || dataSize > kMaxSize) return false;
  const std::int64_t dataEnd = dataStart + static_cast<std::int64_t>(dataSize);
  const bool broadcast = (p.flags & kBroadcast) != 0 || p.fileSize == 0;
  if (!broadcast && (p.fileSize > kMaxSize || p.fileSize < headerSize + dataSize)) return false;
  const std::int64_t fileEnd = broadcast ? dataEnd : lead + static_cast<std::int64_t>(p.fileSize);
  out.start = lead;
  out.ext = p.video ? ".WMV" : ".WMA";
  std::int64_t wholeData = std::min(dataEnd, in.Size());
  if (p.minPacket == p.maxPacket && p.minPacket >= kMinPacket) {
    wholeData = PacketsEnd(in, dataStart + kDataObjectFixed, dataEnd, p.minPacket);
  } else if (dataEnd > in.Size()) {
    return false;
  }
  if (wholeData < dataEnd) {
    // Cut within the packets.
    out.end = wholeData;
    out.cut = true;
    return wholeData > dataStart + kDataObjectFixed;
  }
  out.end = IndexEnd(in, dataEnd, fileEnd);
  out.cut = out.end != fileEnd;
  return true;
}

}  // namespace sorvend
