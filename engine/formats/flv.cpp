// Flash Video: a 9-byte header, then tags (audio, video, script data), each followed by the
// size of the tag before it, which links the tags into a checkable chain.
#include <cstring>

#include "engine/formats/formats.h"

namespace sorvend {
namespace {

constexpr std::int64_t kFileHeader = 9;
constexpr std::int64_t kTagHeader = 11;
// A tag header: its type, then its data size in 24 bits.
constexpr int kTagTypeAt = 0;
constexpr int kDataSizeAt = 1;
// Behind the size and the timestamp: the stream id, always 0.
constexpr int kStreamIdAt = 8;
constexpr std::int64_t kTagSizeField = 4;
constexpr std::uint8_t kAudio = 8;
constexpr std::uint8_t kVideo = 9;
constexpr std::uint8_t kScriptData = 18;
// Only the audio (4) and video (1) flags are defined.
constexpr std::uint8_t kReservedFlags = 0xFA;
// Far beyond the tag count of any real file (one tag per frame and per audio packet).
constexpr int kMaxTags = 1 << 24;
// Script data (metadata, cue points) comes before the first frame in a tag or two. The bound
// keeps a long chain of script tags from being walked again from every header hidden in them.
constexpr int kMaxTagsBeforeMedia = 64;

// A tag header as a player takes it: a known type with the filter (encryption) and reserved
// bits clear, and stream ID 0.
bool IsTagHeader(const std::uint8_t* t) {
  const std::uint8_t type = t[kTagTypeAt];
  return (type == kAudio || type == kVideo || type == kScriptData) && GetBe24(t + kStreamIdAt) == 0;
}

}  // namespace

// The header (version 1, no reserved flags, 9 bytes long, a first back-size of 0), then the tag
// chain: each tag's trailing back-size equals its own size. The file ends behind the back-size
// of the last tag that fits the chain; a tag that the input ends in or whose back-size differs
// cuts it there. It needs one audio or video tag.
bool MeasureFlv(ByteView& in, std::int64_t lead, Extent& out) {
  std::uint8_t head[kFileHeader + kTagSizeField];
  if (!in.Read(lead, head, sizeof head) || std::memcmp(head, "FLV\x01", 4) != 0 ||
      (head[4] & kReservedFlags) != 0 || GetBe32(head + 5) != kFileHeader ||
      GetBe32(head + kFileHeader) != 0) {
    return false;
  }
  out.start = lead;
  out.ext = ".FLV";
  std::int64_t at = lead + sizeof head;
  bool media = false;
  for (int tags = 0; tags < kMaxTags; ++tags) {
    if (tags == kMaxTagsBeforeMedia && !media) return false;
    std::uint8_t tag[kTagHeader];
    if (!in.Read(at, tag, sizeof tag)) {
      // Part of a tag header at the input's end.
      out.cut = in.Byte(at) == kAudio || in.Byte(at) == kVideo || in.Byte(at) == kScriptData;
      break;
    }
    if (!IsTagHeader(tag)) break;
    const std::int64_t tagSize = kTagHeader + std::int64_t{GetBe24(tag + kDataSizeAt)};
    std::uint8_t back[kTagSizeField];
    if (!in.Read(at + tagSize, back, sizeof back) || GetBe32(back) != tagSize) {
      out.cut = true;
      break;
    }
    media = media || tag[kTagTypeAt] != kScriptData;
    at += tagSize + kTagSizeField;
  }
  out.end = at;
  return media;
}

}  // namespace sorvend
