// The chunk walk that RIFF and AIFF files share: a four-character id, a 32-bit size, the data
// and a pad byte after an odd size, each chunk within its parent; RIFF's "LIST" chunks hold a
// list type and chunks of their own.
#pragma once

#include <algorithm>
#include <cstdint>

#include "engine/measure.h"

namespace sorvend {

// Four bytes of printable ASCII, as every chunk id is; anything else means the walk has left
// the structure.
inline bool IsPrintableFourCc(const std::uint8_t* p) {
  return std::all_of(p, p + 4, [](std::uint8_t c) { return c >= 0x20 && c <= 0x7E; });
}

enum class ByteOrder { Little, Big };

// One chunk as the walk meets it.
struct Chunk {
  std::uint8_t id[4];
  std::uint32_t size;
  std::int64_t data;         // offset of its data, behind the 8-byte header
  std::int64_t avail;        // data bytes present: less than size when the input or the parent ends
  std::uint8_t parent[4];    // the form type or the list type of the chunk that holds it
  std::uint8_t listType[4];  // for a list chunk, its own type
  int depth;                 // 0 for the chunks of the form itself
  bool list;
  bool IsWhole() const { return avail == size; }
  bool Is(const char* code) const { return FourCcIs(id, code); }
  bool In(const char* code) const { return FourCcIs(parent, code); }
};

// What a visitor says of a chunk: go on, end the object right behind it, the structure breaks
// here, or the object is not one at all.
enum class Verdict { Go, Stop, Break, Refuse };

enum class WalkEnd { Whole, Stopped, Cut, Broken, Refused };

// Walks the chunks of one form, calling visit(const Chunk&) for each (a list before its
// children, a chunk cut short once before the walk ends). lastWhole is the end of the last
// whole chunk; with it a measure ends an object whose structure breaks.
template <class Visit>
class ChunkWalker {
 public:
  // A hard bound on the chunks of one object: far more than any real file has.
  static constexpr std::int64_t kMaxChunks = std::int64_t{1} << 22;
  static constexpr int kMaxDepth = 8;

  ChunkWalker(ByteView& in, ByteOrder order, const char* listId, Visit& visit)
      : in_(in), order_(order), listId_(listId), visit_(visit) {}

  // The chunks of [begin, end), where end is what the parent declares (it may lie beyond the
  // input).
  WalkEnd Walk(std::int64_t begin, std::int64_t end, const std::uint8_t* parent, int depth) {
    std::int64_t at = begin;
    while (at < end) {
      if (++chunks_ > kMaxChunks) return WalkEnd::Broken;
      // Slack too short for a chunk: inside the declared size, but no chunk's.
      if (end - at < 8) break;
      std::uint8_t h[8];
      if (!in_.Read(at, h, sizeof h)) return WalkEnd::Cut;
      if (!IsPrintableFourCc(h)) return WalkEnd::Broken;
      Chunk c{};
      std::copy(h, h + 4, c.id);
      std::copy(parent, parent + 4, c.parent);
      c.size = order_ == ByteOrder::Little ? GetLe32(h + 4) : GetBe32(h + 4);
      c.data = at + 8;
      c.depth = depth;
      const std::int64_t chunkEnd = c.data + c.size;
      c.avail = std::max<std::int64_t>(0, std::min({chunkEnd, end, in_.Size()}) - c.data);
      c.list = listId_ != nullptr && FourCcIs(h, listId_);
      if (c.list) {
        if (c.size < 4) return WalkEnd::Broken;
        if (!in_.Read(c.data, c.listType, 4)) return WalkEnd::Cut;
      }
      switch (visit_(c)) {
        case Verdict::Refuse:
          return WalkEnd::Refused;
        case Verdict::Break:
          return WalkEnd::Broken;
        case Verdict::Stop:
          lastWhole = chunkEnd;
          return WalkEnd::Stopped;
        case Verdict::Go:
          break;
      }
      if (c.list) {
        // A list that overruns its parent is walked as far as the parent goes, so that the
        // whole chunks inside it count.
        if (depth + 1 >= kMaxDepth) return WalkEnd::Broken;
        const WalkEnd inner = Walk(c.data + 4, std::min(chunkEnd, end), c.listType, depth + 1);
        if (inner != WalkEnd::Whole) return inner;
      }
      if (chunkEnd > end) return WalkEnd::Broken;  // overruns its parent
      if (chunkEnd > in_.Size()) return WalkEnd::Cut;
      at = chunkEnd;
      lastWhole = at;
      // An odd size is followed by a pad byte; a writer may leave out the last one of a parent.
      if ((c.size & 1) != 0 && at < end) {
        ++at;
        if (at <= in_.Size()) lastWhole = at;
      }
    }
    return end > in_.Size() ? WalkEnd::Cut : WalkEnd::Whole;
  }

  std::int64_t lastWhole = 0;

 private:
  ByteView& in_;
  ByteOrder order_;
  const char* listId_;
  Visit& visit_;
  std::int64_t chunks_ = 0;
};

}  // namespace sorvend
