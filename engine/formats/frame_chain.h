// The frame chain that MPEG audio and ADTS share: frames that each start where the one before
// ends, whose headers agree on the stream's fields, with a few of them needed before a run is
// taken for a stream rather than chance.
//
// A format describes its frames with a type that has:
//   static constexpr std::size_t kHeadBytes;   // bytes a frame's checks look at
//   static constexpr std::size_t kMinHead;     // the fewest of them a frame header takes
//   static constexpr int kMinFrames;           // frames a run needs
//   static constexpr std::uint32_t kStreamFields;  // header bits (big-endian) every frame shares
//   // The frame's length, or 0 when h[0..avail) shows it is no frame (avail >= kMinHead).
//   static int Length(const std::uint8_t* h, std::size_t avail);
//   // Deeper checks through the view, frame by frame in order (state may carry over).
//   bool Fits(ByteView& in, std::int64_t at, const std::uint8_t* h, int length);
// and may have the same checks over bytes in memory, for the screen (true when the bytes
// they need are not all there):
//   bool FitsInView(const std::uint8_t* h, std::size_t avail, int length);
#pragma once

#include <algorithm>
#include <cstdint>

#include "engine/measure.h"

namespace sorvend {

// The screen's part: the frames in view chain, as far as they go. True when the bytes in view
// are too few to tell.
// The deeper checks of the frames in view, whose headers chain; apart from the header walk,
// which look-alikes fail at once, so that the walk stays small.
template <class Format>
[[gnu::noinline]] bool FramesFitInView(const std::uint8_t* p, std::size_t avail) {
  Format format;
  std::size_t at = 0;
  for (int frame = 0; frame < Format::kMinFrames && avail - at >= Format::kMinHead; ++frame) {
    const int length = Format::Length(p + at, avail - at);
    if (!format.FitsInView(p + at, avail - at, length)) return false;
    at += static_cast<std::size_t>(length);
    if (at > avail) break;
  }
  return true;
}

template <class Format>
bool FramesChainInView(const std::uint8_t* p, std::size_t avail) {
  const std::uint32_t stream = GetBe32(p) & Format::kStreamFields;
  std::size_t at = 0;
  for (int frame = 0; frame < Format::kMinFrames && avail - at >= Format::kMinHead; ++frame) {
    const int length = Format::Length(p + at, avail - at);
    if (length == 0 || (GetBe32(p + at) & Format::kStreamFields) != stream) return false;
    at += static_cast<std::size_t>(length);
    if (at > avail) break;
  }
  if constexpr (requires(Format f) { f.FitsInView(p, avail, 0); }) {
    return FramesFitInView<Format>(p, avail);
  }
  return true;
}

// Where a run of frames from `lead` ends.
struct FrameRun {
  std::int64_t end = 0;
  int frames = 0;
  // The input ended inside the frame behind the run.
  bool cut = false;
};

// The measure's part: walks the frames from `lead` until one fails its checks or the input
// ends inside one.
template <class Format>
FrameRun WalkFrames(ByteView& in, std::int64_t lead, Format& format) {
  FrameRun run{lead, 0, false};
  std::uint32_t stream = 0;
  for (;;) {
    std::size_t avail = 0;
    const std::uint8_t* h = in.Peek(run.end, Format::kHeadBytes, avail);
    if (avail < Format::kMinHead) break;
    avail = std::min(avail, Format::kHeadBytes);
    const int length = Format::Length(h, avail);
    const std::uint32_t fields = GetBe32(h) & Format::kStreamFields;
    if (length == 0 || (run.frames > 0 && fields != stream)) break;
    if (length > in.Size() - run.end) {
      run.cut = true;
      break;
    }
    if (!format.Fits(in, run.end, h, length)) break;
    stream = fields;
    run.end += length;
    ++run.frames;
  }
  return run;
}

}  // namespace sorvend
