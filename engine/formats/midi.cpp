#include "engine/formats/midi.h"

#include <algorithm>

#include "engine/formats/chunk_walk.h"
#include "engine/formats/formats.h"

namespace sorvend {
namespace {

constexpr std::int64_t kHeaderBytes = 14;  // "MThd", length 6, format, tracks, division
// Chunks of other types between the tracks, kept by their length; real files have a few.
constexpr int kMaxOtherChunks = 64;

// Reads a track's bytes in order, a piece of the input at a time.
class TrackReader {
 public:
  TrackReader(ByteView& in, std::int64_t at, std::int64_t end) : in_(in), at_(at), end_(end) {}

  // The next byte, or -1 at the track's end.
  int Next() {
    if (at_ >= end_) return -1;
    if (left_ == 0) {
      const auto want = static_cast<std::size_t>(std::min<std::int64_t>(end_ - at_, 1 << 16));
      p_ = in_.Peek(at_, want, left_);
      if (left_ == 0) return -1;
    }
    --left_;
    ++at_;
    return *p_++;
  }

  // Passes n bytes; false when they leave the track.
  bool Skip(std::uint32_t n) {
    if (n > end_ - at_) return false;
    at_ += n;
    if (n <= left_) {
      p_ += n;
      left_ -= n;
    } else {
      left_ = 0;  // the next byte comes from a fresh look at the input
    }
    return true;
  }

  // A variable-length quantity: 7 bits a byte, most significant first, at most four bytes.
  bool Quantity(std::uint32_t& value) {
    value = 0;
    for (int i = 0; i < 4; ++i) {
      const int b = Next();
      if (b < 0) return false;
      value = value << 7 | static_cast<std::uint32_t>(b & 0x7F);
      if ((b & 0x80) == 0) return true;
    }
    return false;
  }

 private:
  ByteView& in_;
  std::int64_t at_;
  std::int64_t end_;
  const std::uint8_t* p_ = nullptr;
  std::size_t left_ = 0;
};

// Data bytes of a channel message by its status byte's upper nibble: program change and
// channel pressure carry one, the others two.
int DataBytes(int status) {
  const int kind = status >> 4;
  return kind == 0xC || kind == 0xD ? 1 : 2;
}

// The event stream of one track: a delta time before every event, channel messages (running
// status allowed), system exclusive and meta events by their lengths, up to the end-of-track
// event. Bounded by the track's length.
bool TrackIsValid(ByteView& in, std::int64_t at, std::int64_t end) {
  TrackReader r(in, at, end);
  int running = 0;
  for (;;) {
    std::uint32_t delta = 0;
    if (!r.Quantity(delta)) return false;
    int status = r.Next();
    int data = 0;  // data bytes still to read
    if (status < 0) return false;
    if (status < 0x80) {
      // Running status: the byte read is the first data byte of a message like the last one.
      if (running == 0) return false;
      data = DataBytes(running) - 1;
    } else if (status < 0xF0) {
      running = status;
      data = DataBytes(status);
    } else if (status == 0xFF) {
      const int type = r.Next();
      std::uint32_t length = 0;
      if (type < 0 || type >= 0x80 || !r.Quantity(length)) return false;
      if (type == 0x2F) return length == 0;  // end of track
      if (!r.Skip(length)) return false;
      running = 0;  // meta and system exclusive events cancel running status
      continue;
    } else if (status == 0xF0 || status == 0xF7) {
      std::uint32_t length = 0;
      if (!r.Quantity(length) || !r.Skip(length)) return false;
      running = 0;
      continue;
    } else {
      return false;  // real-time and common messages have no place in a file
    }
    for (; data > 0; --data) {
      const int b = r.Next();
      if (b < 0 || b >= 0x80) return false;
    }
  }
}

// Format 0 has one track; a division with its top bit set counts SMPTE frames (-24, -25, -29
// or -30 a second) and ticks a frame.
bool IsSaneHeader(const std::uint8_t* h) {
  const std::uint16_t format = GetBe16(h + 8);
  const std::uint16_t tracks = GetBe16(h + 10);
  const std::uint16_t division = GetBe16(h + 12);
  if (GetBe32(h + 4) != 6 || format > 2 || tracks == 0 || (format == 0 && tracks != 1) ||
      division == 0) {
    return false;
  }
  if ((division & 0x8000) == 0) return true;
  const int frames = 256 - (division >> 8);
  return (frames == 24 || frames == 25 || frames == 29 || frames == 30) && (division & 0xFF) != 0;
}

}  // namespace

bool MeasureMidiAt(ByteView& in, std::int64_t start, std::int64_t limit, Extent& out) {
  std::uint8_t h[kHeaderBytes];
  if (limit - start < kHeaderBytes || !in.Read(start, h, sizeof h) || !FourCcIs(h, "MThd") ||
      !IsSaneHeader(h)) {
    return false;
  }
  const int tracks = GetBe16(h + 10);
  out.start = start;
  std::int64_t at = start + kHeaderBytes;
  std::int64_t lastTrackEnd = at;
  int found = 0;
  int others = 0;
  while (found < tracks) {
    std::uint8_t c[8];
    if (limit - at < 8 || !in.Read(at, c, sizeof c)) break;
    const std::int64_t chunkEnd = at + 8 + GetBe32(c + 4);
    if (chunkEnd > limit) break;
    if (FourCcIs(c, "MTrk")) {
      if (!TrackIsValid(in, at + 8, chunkEnd)) break;
      ++found;
      lastTrackEnd = chunkEnd;
    } else if (!IsPrintableFourCc(c) || ++others > kMaxOtherChunks || chunkEnd > in.Size()) {
      break;
    }
    at = chunkEnd;
  }
  // Tracks missing or broken: the whole ones before are a file a player reads; the header
  // still counts the missing ones.
  out.end = lastTrackEnd;
  out.cut = found < tracks;
  return found > 0;
}

// Standard MIDI files stand alone as far as the input goes.
bool MeasureMidi(ByteView& in, std::int64_t lead, Extent& out) {
  out.ext = ".MID";
  return MeasureMidiAt(in, lead, in.Size(), out);
}

}  // namespace sorvend
