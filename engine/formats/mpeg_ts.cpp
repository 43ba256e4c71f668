// MPEG transport streams: 188-byte packets, each opening with the sync byte 0x47, a packet id
// and the adaptation and continuity fields; or the 192-byte packets of Blu-ray and AVCHD
// (M2TS), each such packet behind a 4-byte arrival time stamp. A stream names its programs in
// the program association table (packet id 0) and each program's streams in a program map
// table; both are sections checked by their CRC-32.
#include "engine/formats/crc.h"
#include "engine/formats/formats.h"

namespace sorvend {
namespace {

constexpr std::uint8_t kSync = 0x47;
constexpr std::int64_t kPacket = 188;
constexpr std::int64_t kTimeStamp = 4;
constexpr std::int64_t kM2tsPacket = kPacket + kTimeStamp;
constexpr int kMinPackets = 16;
// The program association table comes within this many packets of the start, the program map
// table it names within as many behind it.
constexpr int kTableWithin = 1000;
constexpr std::uint16_t kPatPid = 0;
constexpr std::uint8_t kPatTable = 0x00;
constexpr std::uint8_t kPmtTable = 0x02;
constexpr std::size_t kMaxSection = 1024;
constexpr std::size_t kSectionHeader = 8;
constexpr std::size_t kSectionCrc = 4;
constexpr std::size_t kMaxPrograms = 32;
constexpr std::int64_t kMaxPackets = std::int64_t{1} << 32;

constexpr auto kCrc32 = MsbFirstCrcTable<std::uint32_t, 0x04C11DB7>();

std::uint32_t MpegCrc32(const std::uint8_t* p, std::size_t n) {
  std::uint32_t crc = 0xFFFFFFFF;
  for (std::size_t i = 0; i < n; ++i) crc = crc << 8 ^ kCrc32[(crc >> 24 ^ p[i]) & 0xFF];
  return crc;
}

std::uint16_t PidOf(const std::uint8_t* packet) {
  return static_cast<std::uint16_t>((packet[1] & 0x1F) << 8 | packet[2]);
}

// The payload of a whole packet: its offset in the packet, or 0 when it carries none or its
// adaptation field overruns it.
std::size_t PayloadOffset(const std::uint8_t* packet) {
  const int control = packet[3] >> 4 & 3;
  if ((control & 1) == 0) return 0;
  std::size_t at = 4;
  if ((control & 2) != 0) at += 1 + std::size_t{packet[4]};
  return at < kPacket ? at : 0;
}

// One section (a table) gathered from the payloads of the packets of one packet id.
class Section {
 public:
  // Feeds a whole packet of the section's packet id; true once the section is complete.
  bool Feed(const std::uint8_t* packet) {
    const std::size_t payload = PayloadOffset(packet);
    if (payload == 0) return false;
    const bool start = (packet[1] & 0x40) != 0;
    std::size_t from = payload;
    if (start) {
      from += 1 + std::size_t{packet[payload]};  // the pointer field
      if (from >= kPacket) return false;
      size_ = 0;
      open_ = true;
    } else if (!open_) {
      return false;
    }
    const std::size_t n = std::min<std::size_t>(kPacket - from, kMaxSection + 3 - size_);
    std::copy(packet + from, packet + from + n, bytes_ + size_);
    size_ += n;
    if (size_ < 3) return false;
    const std::size_t length = 3 + ((bytes_[1] & 0x0F) << 8 | bytes_[2]);
    if (length > kMaxSection + 3 || length < kSectionHeader + kSectionCrc) {
      open_ = false;
      return false;
    }
    if (size_ < length) return false;
    open_ = false;
    length_ = length;
    return true;
  }
  // The completed section is a table of `table` with the syntax bit set and a CRC that holds.
  bool Holds(std::uint8_t table) const {
    return bytes_[0] == table && (bytes_[1] & 0x80) != 0 && MpegCrc32(bytes_, length_) == 0;
  }
  const std::uint8_t* Bytes() const { return bytes_; }
  std::size_t Length() const { return length_; }

 private:
  std::uint8_t bytes_[kMaxSection + 3 + kPacket] = {};
  std::size_t size_ = 0;
  std::size_t length_ = 0;
  bool open_ = false;
};

// The start of a program association table's section in the packet at p[0..avail): no
// transport error, the unit start flag, packet id 0, no scrambling, a payload whose pointer
// field leads to table id 0 with the syntax bit set. True when the bytes in view are too few to
// tell.
bool StartsAssociationTable(const std::uint8_t* p, std::size_t avail) {
  if ((p[1] & 0xC0) != 0x40 || PidOf(p) != kPatPid || (p[3] & 0xC0) != 0) return false;
  if (avail < 5) return true;
  const std::size_t payload = PayloadOffset(p);
  if (payload == 0) return false;
  if (avail <= payload) return true;
  const std::size_t section = payload + 1 + p[payload];
  if (section + 3 > static_cast<std::size_t>(kPacket)) return false;
  if (avail < section + 2) return true;
  return p[section] == kPatTable && (p[section + 1] & 0x80) != 0;
}

}  // namespace

// A stream is found by its program association table: the packet that starts one, with the
// next packet's sync byte 188 or 192 bytes on.
bool ScreenMpegTs(const std::uint8_t* p, std::size_t avail, std::int64_t left) {
  if (left <= kPacket) return false;
  if (avail > static_cast<std::size_t>(kPacket) && p[kPacket] != kSync &&
      (avail <= static_cast<std::size_t>(kM2tsPacket) || p[kM2tsPacket] != kSync)) {
    return false;
  }
  return StartsAssociationTable(p, avail);
}

// The lead byte is the sync byte of a packet that starts a program association table. The
// stream starts at the first packet of the run of sync bytes in step that holds it, no more
// than kTableWithin packets before it, and runs while they stay in step; it is cut when the
// input ends inside a packet. It needs kMinPackets packets and a program map table that the
// association table names within kTableWithin packets behind it.
bool MeasureMpegTs(ByteView& in, std::int64_t lead, Extent& out) {
  const auto syncAt = [&](std::int64_t at) { return in.Byte(at) == kSync; };
  std::uint8_t first[kPacket];
  if (!in.Read(lead, first, sizeof first) || first[0] != kSync ||
      !StartsAssociationTable(first, sizeof first)) {
    return false;
  }
  Section pat;
  const bool patWhole = pat.Feed(first);
  if (patWhole && !pat.Holds(kPatTable)) return false;
  // The packet size: the one whose sync bytes stand in step around the table for the packets a
  // stream needs, one of them behind it at least.
  std::int64_t stride = 0;
  for (const std::int64_t s : {kPacket, kM2tsPacket}) {
    int back = 0;
    int ahead = 0;
    while (ahead + 1 < kMinPackets && syncAt(lead + (ahead + 1) * s)) ++ahead;
    while (back + ahead + 1 < kMinPackets && syncAt(lead - (back + 1) * s)) ++back;
    if (ahead > 0 && back + ahead + 1 >= kMinPackets) {
      stride = s;
      break;
    }
  }
  if (stride == 0) return false;
  const std::int64_t prefix = stride - kPacket;
  if (lead - prefix < in.Floor()) return false;
  // Back to the run's first packet (with its time stamp), behind the previous object.
  std::int64_t start = lead;
  std::int64_t before = 0;
  while (start - stride - prefix >= in.Floor() && syncAt(start - stride)) {
    // The table would not be within the stream's first packets.
    if (++before >= kTableWithin) return false;
    start -= stride;
  }

  Section pmt;
  std::uint16_t pmtPids[kMaxPrograms];
  std::size_t programs = 0;
  bool patFound = false;
  bool pmtFound = false;
  std::int64_t packets = before;
  std::int64_t sincePat = 0;
  bool cut = false;
  for (std::int64_t at = lead; packets < kMaxPackets; at += stride, ++packets) {
    std::size_t avail = 0;
    const std::uint8_t* p = in.Peek(at, kPacket, avail);
    if (avail < static_cast<std::size_t>(kPacket)) {
      cut = avail > 0 && p[0] == kSync;
      break;
    }
    if (p[0] != kSync) break;
    if (pmtFound) continue;
    if (sincePat++ > kTableWithin) return false;
    const std::uint16_t pid = PidOf(p);
    if (!patFound) {
      // The association table's section, complete in its first packet or in the next ones
      // of its packet id.
      if (at != lead && (pid != kPatPid || !pat.Feed(p))) continue;
      if (at == lead && !patWhole) continue;
      if (!pat.Holds(kPatTable)) return false;
      // The programs behind the section header, before the CRC; program 0 names the network
      // information, no map.
      const std::uint8_t* s = pat.Bytes();
      for (std::size_t e = kSectionHeader; e + 4 <= pat.Length() - kSectionCrc; e += 4) {
        if (GetBe16(s + e) != 0 && programs < kMaxPrograms) {
          pmtPids[programs++] = static_cast<std::uint16_t>((s[e + 2] & 0x1F) << 8 | s[e + 3]);
        }
      }
      if (programs == 0) return false;
      patFound = true;
      continue;
    }
    if (std::find(pmtPids, pmtPids + programs, pid) != pmtPids + programs && pmt.Feed(p) &&
        pmt.Holds(kPmtTable)) {
      pmtFound = true;
    }
  }
  if (!pmtFound || packets < kMinPackets) return false;
  out.start = start - prefix;
  out.end = out.start + packets * stride;
  out.cut = cut;
  out.ext = stride == kPacket ? ".TS" : ".M2TS";
  return true;
}

}  // namespace sorvend
