#include "engine/formats/riff.h"

#include <algorithm>
#include <array>
#include <cstring>

#include "engine/formats/chunk_walk.h"
#include "engine/formats/formats.h"
#include "engine/formats/midi.h"

namespace sorvend {
namespace {

// Offsets in a RIFF file's first bytes: "RIFF", the size, the form type, the first chunk's id.
constexpr int kRiffSizeAt = 4;
constexpr int kFormTypeAt = 8;
constexpr int kFirstChunkAt = 12;

struct RiffForm {
  Kind kind;
  const char* formType;    // bytes 8-11
  const char* firstChunk;  // bytes 12-15
  const char* ext;
};

constexpr std::array<RiffForm, 3> kForms = {{
    {Kind::Avi, "AVI ", "LIST", ".AVI"},
    {Kind::Wav, "WAVE", "fmt ", ".WAV"},
    {Kind::Ani, "ACON", "LIST", ".ANI"},
}};

}  // namespace

bool IsRiff(ScanContext& ctx, const char*& ext) {
  const std::uint8_t* h = ctx.Header.data();
  if (!FourCcIs(h, "RIFF")) return false;
  for (const RiffForm& form : kForms) {
    // A switch is asked only when its form's turn comes.
    if (!ctx.Host->IsTicked(form.kind)) continue;
    if (FourCcIs(h + kFormTypeAt, form.formType) && FourCcIs(h + kFirstChunkAt, form.firstChunk)) {
      ext = form.ext;
      return true;
    }
  }
  return false;
}

bool ExtractRiff(ScanContext& ctx) {
  const std::int64_t lead = ctx.Position - 1;
  ctx.Header[0] = 'R';
  ReadHeader(ctx, 1, 15);
  const char* ext = nullptr;
  if (!IsRiff(ctx, ext)) return Reject(ctx);
  if (!BeginOutput(ctx, ext, lead)) return true;

  // "RIFF" and the size field as read; the form type and everything behind it are copied.
  WriteBytes(ctx, ctx.Header.data(), 8);
  const std::int32_t size = Le32(ctx.Header.data() + 4);
  SeekTo(ctx, lead + 8);
  // A size with its top bit set is negative and copies nothing beyond the 8 header bytes.
  const std::int64_t n = std::min<std::int64_t>(size, Remaining(ctx));
  if (CopyBytes(ctx, n) == CopyEnd::Stopped) return true;
  EndOutput(ctx);
  return true;
}

namespace {

constexpr std::int64_t kRiffHeader = 12;  // "RIFF", size, form type
// Streaming writers leave this (or 0) in the size field of a file they never went back to.
constexpr std::uint32_t kUnknownSize = 0xFFFFFFFF;
// Extension RIFFs behind one OpenDML AVI, each about 1 GiB: a hard bound far above real files.
constexpr int kMaxExtensions = 1 << 12;

// Walks the chunks of the form whose header is `h` at `lead`, up to `formEnd`, with `form` as
// the visitor. Whole, the object is the form; cut short or broken, it ends at its last whole
// chunk. form.Decodable(out) then says whether that is an object, and may move its end.
template <class Form>
bool WalkForm(ByteView& in, std::int64_t lead, const std::uint8_t* h, std::int64_t formEnd,
              Form& form, Extent& out) {
  ChunkWalker<Form> walker(in, ByteOrder::Little, "LIST", form);
  walker.lastWhole = lead + kRiffHeader;
  const WalkEnd how = walker.Walk(lead + kRiffHeader, formEnd, h + kFormTypeAt, 0);
  if (how == WalkEnd::Refused) return false;
  out.start = lead;
  out.cut = how == WalkEnd::Cut || how == WalkEnd::Broken;
  out.end = how == WalkEnd::Whole ? formEnd : walker.lastWhole;
  return form.Decodable(out);
}

// The sound's description as a decoder needs it: channels, a rate, and for plain and float
// samples a block of one sample a channel.
bool IsSaneWaveFormat(ByteView& in, const Chunk& c, std::uint16_t& blockAlign) {
  std::uint8_t f[16] = {};
  if (c.size < 14 || !in.Read(c.data, f, std::min<std::uint32_t>(c.size, sizeof f))) return false;
  const std::uint16_t tag = GetLe16(f);
  const std::uint16_t channels = GetLe16(f + 2);
  const std::uint32_t rate = GetLe32(f + 4);
  const std::uint16_t bits = GetLe16(f + 14);  // 0 in the 14-byte form
  blockAlign = GetLe16(f + 12);
  if (tag == 0 || channels == 0 || rate == 0 || blockAlign == 0 || bits > 64) return false;
  const bool plain = tag == 1 || tag == 3;
  return !plain || (bits != 0 && blockAlign == channels * ((bits + 7) / 8));
}

// WAVE: a sane "fmt " chunk, then a "data" chunk with at least one whole block. A file whose
// RIFF size was never filled in (0 or all ones) is taken as far as its data chunk says, which
// must then give a size; what follows it cannot be told from the next file's bytes.
struct WaveForm {
  ByteView& in;
  bool sizeUnknown;
  bool haveFormat = false;
  std::uint16_t blockAlign = 0;
  std::int64_t dataStart = -1;
  std::int64_t dataAvail = 0;
  std::uint32_t dataSize = 0;

  Verdict operator()(const Chunk& c) {
    if (c.depth != 0) return Verdict::Go;
    if (c.Is("fmt ") && !haveFormat) {
      if (!c.IsWhole()) return Verdict::Go;  // the walk ends with it
      if (!IsSaneWaveFormat(in, c, blockAlign)) return Verdict::Refuse;
      haveFormat = true;
    } else if (c.Is("data") && dataStart < 0) {
      if (!haveFormat) return Verdict::Refuse;  // a decoder reads the description first
      dataStart = c.data;
      dataSize = c.size;
      dataAvail = c.avail;
      if (sizeUnknown) {
        if (c.size == 0 || c.size == kUnknownSize) return Verdict::Refuse;
        if (c.IsWhole()) return Verdict::Stop;
      }
    }
    return Verdict::Go;
  }

  bool Decodable(Extent& out) const {
    if (dataStart < 0 || dataSize < blockAlign) return false;
    if (dataAvail == dataSize) return true;
    // The data chunk itself was cut short: its whole blocks are the sound.
    const std::int64_t blocks = dataAvail / blockAlign;
    out.end = dataStart + blocks * blockAlign;
    return blocks > 0;
  }
};

// AVI: "LIST hdrl" first with the main header first in it, and a "LIST movi" with at least one
// whole chunk (a frame, a piece of sound). An OpenDML extension ("AVIX") has only the movi list.
struct AviForm {
  bool continuation;
  bool first = true;
  bool mainHeader = false;
  std::int64_t headerEnd = 0;
  std::int64_t frames = 0;

  Verdict operator()(const Chunk& c) {
    if (c.depth == 0 && first && !continuation) {
      first = false;
      if (!c.list || !FourCcIs(c.listType, "hdrl")) return Verdict::Refuse;
      headerEnd = c.data + c.size;
    } else if (c.depth == 1 && c.In("hdrl") && !mainHeader) {
      if (!c.Is("avih") || c.size < 56) return Verdict::Refuse;
      mainHeader = true;
    } else if ((c.In("movi") || c.In("rec ")) && !c.list && c.IsWhole()) {
      ++frames;
    }
    return Verdict::Go;
  }

  bool Decodable(const Extent& out) const {
    return (continuation || (mainHeader && out.end >= headerEnd)) && frames > 0;
  }
};

// OpenDML: an AVI beyond 1 GiB goes on in "RIFF AVIX" extensions right behind its first RIFF; they
// belong to the object. An extension that breaks ends it, cut.
void TakeAvixExtensions(ByteView& in, std::uint32_t size, Extent& out) {
  for (int n = 0; n < kMaxExtensions && !out.cut; ++n) {
    const std::int64_t at = out.end + (size & 1);
    std::uint8_t h[kRiffHeader];
    if (!in.Read(at, h, sizeof h) || !FourCcIs(h, "RIFF") || !FourCcIs(h + kFormTypeAt, "AVIX"))
      return;
    size = GetLe32(h + kRiffSizeAt);
    AviForm avix{true};
    Extent piece;
    if (size < 4 || !WalkForm(in, at, h, at + 8 + std::int64_t{size}, avix, piece)) {
      out.cut = true;
      return;
    }
    out.end = piece.end;
    out.cut = piece.cut;
  }
}

// Animated cursors: the "anih" header (frames and steps, icon flag) before a "LIST fram" of
// "icon" chunks, each an icon or cursor file when the flag says so; at least one whole frame.
struct AconForm {
  ByteView& in;
  bool header = false;
  bool iconFrames = false;
  std::int64_t frames = 0;

  Verdict operator()(const Chunk& c) {
    if (c.depth == 0 && c.Is("anih") && !header) {
      std::uint8_t a[36];
      if (!c.IsWhole()) return Verdict::Go;  // the walk ends with it
      if (c.size < sizeof a || !in.Read(c.data, a, sizeof a)) return Verdict::Refuse;
      const std::uint32_t flags = GetLe32(a + 32);
      if (GetLe32(a) != sizeof a || GetLe32(a + 4) == 0 || GetLe32(a + 8) == 0 ||
          (flags & ~3u) != 0) {
        return Verdict::Refuse;
      }
      header = true;
      iconFrames = (flags & 1) != 0;
    } else if (c.depth == 1 && c.In("fram")) {
      if (!header) return Verdict::Refuse;  // frames before the header that sizes them
      std::uint8_t icon[4];
      if (!c.Is("icon")) return Verdict::Break;
      if (iconFrames && (!in.Read(c.data, icon, sizeof icon) || GetLe16(icon) != 0 ||
                         (GetLe16(icon + 2) != 1 && GetLe16(icon + 2) != 2))) {
        return Verdict::Break;
      }
      if (c.IsWhole()) ++frames;
    }
    return Verdict::Go;
  }

  bool Decodable(const Extent&) const { return header && frames > 0; }
};

// RIFF MIDI: a "data" chunk that holds a standard MIDI file. A MIDI file cut short in it cuts
// the object behind its last whole track.
struct RmidForm {
  ByteView& in;
  bool found = false;
  Extent midi{};

  Verdict operator()(const Chunk& c) {
    if (c.depth != 0 || !c.Is("data") || found) return Verdict::Go;
    found = MeasureMidiAt(in, c.data, c.data + c.avail, midi);
    return found ? Verdict::Go : Verdict::Refuse;
  }

  bool Decodable(Extent& out) const {
    if (!found) return false;
    if (midi.cut) {
      out.end = midi.end;
      out.cut = true;
    } else {
      out.end = std::max(out.end, midi.end);
    }
    return true;
  }
};

constexpr std::uint8_t kIccFlag = 0x20;
constexpr std::uint8_t kExifFlag = 0x08;
constexpr std::uint8_t kXmpFlag = 0x04;
constexpr std::uint8_t kAnimationFlag = 0x02;
constexpr std::uint8_t kReservedFlags = 0xC1;

// An image bitstream chunk's header: a lossy one is a shown key frame with its start code and a
// size; a lossless one starts with its signature byte and version 0.
bool IsSaneBitstream(ByteView& in, const Chunk& c) {
  std::uint8_t b[10];
  if (c.Is("VP8L")) {
    return c.size >= 5 && in.Read(c.data, b, 5) && b[0] == 0x2F && GetLe32(b + 1) >> 29 == 0;
  }
  if (c.size < sizeof b || !in.Read(c.data, b, sizeof b)) return false;
  const std::uint32_t tag = GetLe24(b);
  const bool keyFrame = (tag & 1) == 0;
  const bool shown = (tag >> 4 & 1) != 0;
  return keyFrame && (tag >> 1 & 7) <= 3 && shown && (tag >> 5) < c.size && b[3] == 0x9D &&
         b[4] == 0x01 && b[5] == 0x2A && (GetLe16(b + 6) & 0x3FFF) != 0 &&
         (GetLe16(b + 8) & 0x3FFF) != 0;
}

// WebP: a simple file's first chunk is its bitstream; an extended one starts with "VP8X" (no
// reserved bits, a canvas of at most 2^32 - 1 pixels) and holds what its flags announce: an
// ICC profile, metadata, and either one image (an optional alpha chunk and a bitstream) or an
// animation (its parameters, then frames that each start with alpha or a bitstream).
struct WebpForm {
  ByteView& in;
  bool first = true;
  bool extended = false;
  std::uint8_t flags = 0;
  bool image = false;
  bool animation = false;
  std::int64_t frames = 0;
  std::uint8_t found = 0;  // the flags of the chunks met

  Verdict operator()(const Chunk& c) {
    if (c.depth != 0) return Verdict::Go;
    if (first) {
      first = false;
      if (c.Is("VP8X")) {
        std::uint8_t x[10];
        if (c.size < sizeof x || !in.Read(c.data, x, sizeof x) || (x[0] & kReservedFlags) != 0 ||
            x[1] != 0 || x[2] != 0 || x[3] != 0 ||
            (std::uint64_t{GetLe24(x + 4)} + 1) * (GetLe24(x + 7) + 1) > 0xFFFFFFFFu) {
          return Verdict::Refuse;
        }
        extended = true;
        flags = x[0];
        return Verdict::Go;
      }
      if ((c.Is("VP8 ") || c.Is("VP8L")) && IsSaneBitstream(in, c)) {
        image = c.IsWhole();
        return Verdict::Go;
      }
      return Verdict::Refuse;
    }
    if (!extended) return Verdict::Go;
    const bool animated = (flags & kAnimationFlag) != 0;
    if (c.Is("ICCP")) {
      found |= kIccFlag;
    } else if (c.Is("EXIF")) {
      found |= kExifFlag;
    } else if (c.Is("XMP ")) {
      found |= kXmpFlag;
    } else if (c.Is("ANIM")) {
      if (!animated || c.size < 6) return Verdict::Break;
      animation = c.IsWhole();
    } else if (c.Is("ANMF")) {
      if (!animation || !IsSaneFrame(c)) return Verdict::Break;
      if (c.IsWhole()) ++frames;
    } else if (c.Is("VP8 ") || c.Is("VP8L")) {
      if (animated || !IsSaneBitstream(in, c)) return Verdict::Break;
      image = c.IsWhole();
    }
    return Verdict::Go;
  }

  // An animation frame: position, size, duration and flags, then its first chunk.
  bool IsSaneFrame(const Chunk& c) const {
    std::uint8_t f[24];
    if (c.size < sizeof f || !in.Read(c.data, f, sizeof f)) return false;
    const std::uint8_t* inner = f + 16;
    const bool known =
        FourCcIs(inner, "ALPH") || FourCcIs(inner, "VP8 ") || FourCcIs(inner, "VP8L");
    return known && GetLe32(inner + 4) <= c.size - sizeof f;
  }

  bool Decodable(const Extent& out) const {
    const bool pictured = (flags & kAnimationFlag) != 0 ? frames > 0 : image;
    // An ICC profile comes before the image; metadata after it may be what a cut lost.
    const std::uint8_t needed =
        out.cut ? flags & kIccFlag : flags & (kIccFlag | kExifFlag | kXmpFlag);
    return pictured && (found & needed) == needed;
  }
};

}  // namespace

// Five forms, each with its kind's switch: AVI (with its OpenDML extensions), WAVE, animated
// cursors, RIFF MIDI and WebP. Every chunk is walked: printable ids, sizes within their parent.
bool MeasureRiff(ByteView& in, std::int64_t lead, Extent& out) {
  std::uint8_t h[kRiffHeader];
  if (!in.Read(lead, h, sizeof h) || !FourCcIs(h, "RIFF")) return false;
  const std::uint32_t size = GetLe32(h + kRiffSizeAt);
  const std::int64_t formEnd = lead + kFormTypeAt + std::int64_t{size};
  const std::uint8_t* form = h + kFormTypeAt;
  // A size of 0 is a streaming WAVE's; any other below 4 cannot hold the form type.
  if (size != 0 && size < 4) return false;
  if (FourCcIs(form, "WAVE") && in.Ticked(Kind::Wav)) {
    // A WavPack file keeps its source's header, with the compressed samples behind it.
    if (IsWavPackRiffHeader(in, lead)) return false;
    out.ext = ".WAV";
    const bool sizeUnknown = size == 0 || size == kUnknownSize;
    WaveForm wave{in, sizeUnknown};
    return WalkForm(in, lead, h, sizeUnknown ? in.Size() : formEnd, wave, out);
  }
  if (size == 0) return false;
  if (FourCcIs(form, "AVI ") && in.Ticked(Kind::Avi)) {
    out.ext = ".AVI";
    AviForm avi{false};
    if (!WalkForm(in, lead, h, formEnd, avi, out)) return false;
    TakeAvixExtensions(in, size, out);
    return true;
  }
  if (FourCcIs(form, "ACON") && in.Ticked(Kind::Ani)) {
    out.ext = ".ANI";
    AconForm acon{in};
    return WalkForm(in, lead, h, formEnd, acon, out);
  }
  if (FourCcIs(form, "RMID") && in.Ticked(Kind::Mid)) {
    out.ext = ".RMI";
    RmidForm rmid{in};
    return WalkForm(in, lead, h, formEnd, rmid, out);
  }
  if (FourCcIs(form, "WEBP") && in.Ticked(Kind::Webp)) {
    out.ext = ".WEBP";
    WebpForm webp{in};
    return WalkForm(in, lead, h, formEnd, webp, out);
  }
  return false;
}

}  // namespace sorvend
