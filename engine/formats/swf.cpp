// Flash movies (SWF): an 8-byte header ("FWS", "CWS" or "ZWS", a version and the uncompressed
// file length), then the body: the stage rectangle, frame rate and count, and tags up to the
// End tag. "CWS" stores the body as one zlib stream, "ZWS" as raw LZMA data behind its
// compressed length and properties.
#include <lzma.h>
#include <zlib.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "engine/formats/bit_reader.h"
#include "engine/formats/formats.h"

namespace sorvend {
namespace {

constexpr std::int64_t kFileHeader = 8;
constexpr int kMinVersion = 1;
constexpr int kMaxVersion = 50;
// The body's shortest form: a 1-byte empty rectangle, rate, count and the End tag.
constexpr std::uint32_t kMinFileLength = kFileHeader + 1 + 4 + 2;
constexpr int kShowFrame = 1;
constexpr std::uint32_t kLongTag = 0x3F;
// Tag codes in use stop below 100; a higher one is what text looks like read as tag headers
// (two printable bytes give a code of at least 128).
constexpr int kMaxTagCode = 127;
// The longest rectangle with the frame rate and count.
constexpr std::size_t kMovieHeaderMax = 21;
constexpr std::size_t kTagHeaderMax = 6;
// Compressed bytes asked for at once: first a few, then in larger steps.
constexpr std::size_t kZlibProbe = 64;
constexpr std::size_t kZlibChunk = std::size_t{1} << 14;

// Follows the body's bytes in order, as they are read or inflated: the stage rectangle (which
// must enclose some area), a frame rate and count that are not zero, then the tag headers.
// Tag data is passed over without being kept.
class TagWalk {
 public:
  // Takes the next n body bytes. False once the body broke its structure.
  bool Feed(const std::uint8_t* p, std::size_t n) {
    while (n > 0 && state_ != State::Done && state_ != State::Broken) {
      if (state_ == State::Data) {
        const auto k = static_cast<std::size_t>(std::min<std::uint64_t>(skip_, n));
        Pass(k);
        p += k;
        n -= k;
        if (skip_ == 0) EndTagData();
        continue;
      }
      const std::size_t k = std::min(need_ - have_, n);
      std::memcpy(field_ + have_, p, k);
      have_ += k;
      pos_ += static_cast<std::int64_t>(k);
      p += k;
      n -= k;
      if (have_ == need_) Parse();
    }
    return state_ != State::Broken;
  }

  // Tag data that can be passed over without looking at it.
  std::uint64_t Skippable() const { return state_ == State::Data ? skip_ : 0; }
  void Skip(std::uint64_t k) {
    if (state_ != State::Data) return;
    Pass(k);
    if (skip_ == 0) EndTagData();
  }

  bool Ended() const { return state_ == State::Done; }
  bool Broken() const { return state_ == State::Broken; }
  // Body bytes behind the End tag, and behind the last whole ShowFrame tag (0 before one).
  std::int64_t EndOfTags() const { return pos_; }
  std::int64_t EndOfLastFrame() const { return frameEnd_; }

 private:
  enum class State { Rect, Movie, TagHeader, LongTagHeader, Data, Done, Broken };

  void Pass(std::uint64_t k) {
    skip_ -= k;
    pos_ += static_cast<std::int64_t>(k);
  }

  void EndTagData() {
    if (tagCode_ == kShowFrame) frameEnd_ = pos_;
    Expect(State::TagHeader, 2);
  }

  void Expect(State state, std::size_t bytes) {
    state_ = state;
    have_ = 0;
    need_ = bytes;
  }

  void Parse() {
    switch (state_) {
      case State::Rect: {
        const int bits = field_[0] >> 3;
        if (need_ == 1) {
          // Its first 5 bits give the rectangle's length; the frame rate and count follow.
          need_ = static_cast<std::size_t>(5 + 4 * bits + 7) / 8 + 4;
          return;
        }
        MsbBits rect(field_);
        rect.Skip(5);
        const std::int64_t xMin = rect.TakeSigned(bits), xMax = rect.TakeSigned(bits);
        const std::int64_t yMin = rect.TakeSigned(bits), yMax = rect.TakeSigned(bits);
        const std::uint8_t* movie = field_ + need_ - 4;
        if (xMax <= xMin || yMax <= yMin || GetLe16(movie) == 0 || GetLe16(movie + 2) == 0) {
          state_ = State::Broken;
          return;
        }
        return Expect(State::TagHeader, 2);
      }
      case State::TagHeader: {
        const std::uint16_t header = GetLe16(field_);
        tagCode_ = header >> 6;
        if (tagCode_ > kMaxTagCode) {
          state_ = State::Broken;
          return;
        }
        skip_ = header & kLongTag;
        if (skip_ == kLongTag) {
          // A 32-bit length follows the two bytes already held.
          state_ = State::LongTagHeader;
          need_ = 6;
          return;
        }
        break;
      }
      case State::LongTagHeader:
        skip_ = GetLe32(field_ + 2);
        break;
      default:
        return;
    }
    if (tagCode_ == 0) {
      state_ = skip_ == 0 ? State::Done : State::Broken;
    } else {
      state_ = State::Data;
      if (skip_ == 0) EndTagData();
    }
  }

  State state_ = State::Rect;
  // The field being collected: the rectangle with rate and count (at most 21 bytes), or a tag
  // header.
  std::uint8_t field_[kMovieHeaderMax] = {};
  std::size_t have_ = 0;
  std::size_t need_ = 1;
  int tagCode_ = 0;
  std::uint64_t skip_ = 0;
  std::int64_t pos_ = 0;
  std::int64_t frameEnd_ = 0;
};

// An uncompressed body: its tags are walked by their headers, their data jumped over, within
// the file length. The movie ends at the file length once the End tag lies within it; a body
// that the input ends in or that breaks is cut behind its last whole frame.
bool MeasurePlain(ByteView& in, std::int64_t lead, std::uint32_t fileLength, Extent& out) {
  TagWalk walk;
  const std::int64_t fileEnd = lead + fileLength;
  const std::int64_t stop = std::min(fileEnd, in.Size());
  std::int64_t at = lead + kFileHeader;
  while (at < stop && !walk.Ended() && !walk.Broken()) {
    const auto jump = static_cast<std::int64_t>(
        std::min<std::uint64_t>(walk.Skippable(), static_cast<std::uint64_t>(stop - at)));
    walk.Skip(static_cast<std::uint64_t>(jump));
    at += jump;
    if (at == stop) break;
    // As little as a tag header is asked for; the view hands over all it holds in one piece.
    std::size_t avail = 0;
    const std::uint8_t* p = in.Peek(at, kTagHeaderMax, avail);
    if (avail == 0) break;
    avail = static_cast<std::size_t>(
        std::min<std::int64_t>(static_cast<std::int64_t>(avail), stop - at));
    walk.Feed(p, avail);
    at += static_cast<std::int64_t>(avail);
  }
  if (walk.Ended() && fileEnd <= in.Size()) {
    out.end = fileEnd;
    return true;
  }
  // The input ends before the file length, or the tags break or run past it.
  out.cut = true;
  out.end = walk.Ended() ? lead + kFileHeader + walk.EndOfTags()
                         : lead + kFileHeader + walk.EndOfLastFrame();
  return walk.Ended() || walk.EndOfLastFrame() > 0;
}

// One inflate state per thread, reset for each candidate: allocating state and window anew for
// every "CWS" in ordinary data would cost more than the check itself.
z_stream* FreshInflater() {
  struct State {
    State() { ok = inflateInit(&z) == Z_OK; }
    ~State() {
      if (ok) inflateEnd(&z);
    }
    z_stream z{};
    bool ok = false;
  };
  thread_local State state;
  return state.ok && inflateReset(&state.z) == Z_OK ? &state.z : nullptr;
}

// A zlib stream header: deflate with a window of at most 32 KiB, no preset dictionary, and the
// check bits that make the pair a multiple of 31.
bool IsZlibHeader(const std::uint8_t* p) {
  return (p[0] & 0x0F) == 8 && p[0] >> 4 <= 7 && (p[1] & 0x20) == 0 && (p[0] << 8 | p[1]) % 31 == 0;
}

// A zlib body: inflated to its end through a small buffer that is reused, never past the
// declared length, and walked as it comes out. The stream must yield exactly the file length
// minus the header; the movie ends where the stream does.
bool MeasureZlib(ByteView& in, std::int64_t lead, std::uint32_t fileLength, Extent& out) {
  std::uint8_t zlibHeader[2];
  if (!in.Read(lead + kFileHeader, zlibHeader, 2) || !IsZlibHeader(zlibHeader)) return false;
  z_stream* inflater = FreshInflater();
  if (inflater == nullptr) return false;
  z_stream& z = *inflater;
  z.next_in = nullptr;
  z.avail_in = 0;
  TagWalk walk;
  const std::uint64_t body = fileLength - kFileHeader;
  std::uint64_t produced = 0;
  std::int64_t at = lead + kFileHeader;
  std::uint8_t buffer[4096];
  for (;;) {
    if (z.avail_in == 0) {
      std::size_t avail = 0;
      // A little is asked for first, as most candidates end within it; the view hands over all
      // it holds in one piece.
      const std::uint8_t* p = in.Peek(at, produced == 0 ? kZlibProbe : kZlibChunk, avail);
      if (avail == 0) return false;
      z.next_in = const_cast<Bytef*>(p);
      z.avail_in = static_cast<uInt>(avail);
      at += static_cast<std::int64_t>(avail);
    }
    // Room for one byte more than the body, so that a stream that goes on is caught; the first
    // call inflates no more than the rectangle, rate and count, which refuse most candidates.
    const std::uint64_t limit = produced == 0 ? kMovieHeaderMax : sizeof buffer;
    const auto room = static_cast<uInt>(std::min(limit, body - produced + 1));
    z.next_out = buffer;
    z.avail_out = room;
    const int result = inflate(&z, Z_NO_FLUSH);
    const std::size_t got = room - z.avail_out;
    produced += got;
    if (produced > body || !walk.Feed(buffer, got)) return false;
    if (result == Z_STREAM_END) break;
    if (result != Z_OK) return false;
  }
  out.end = at - z.avail_in;
  return produced == body && walk.Ended();
}

// LZMA properties as decoders take them: literal context and position bits that fit together,
// position bits of at most 4, and a dictionary of 4 KiB to 1 GiB.
bool AreSaneLzmaProperties(const std::uint8_t* props) {
  const int d = props[0];
  const int lc = d % 9;
  const int lp = d / 9 % 5;
  const int pb = d / 45;
  const std::uint32_t dictionary = GetLe32(props + 1);
  return d < 9 * 5 * 5 && lc + lp <= 4 && pb <= 4 && dictionary >= (1u << 12) &&
         dictionary <= (1u << 30);
}

// Decoder state that is always released, with the filter options liblzma allocated.
class LzmaDecoder {
 public:
  explicit LzmaDecoder(const std::uint8_t* props) {
    filters_[0].id = LZMA_FILTER_LZMA1;
    filters_[1].id = LZMA_VLI_UNKNOWN;
    if (lzma_properties_decode(&filters_[0], nullptr, props, 5) != LZMA_OK) return;
    // Only the first few KiB are decoded; their matches reach back no further than that.
    auto* options = static_cast<lzma_options_lzma*>(filters_[0].options);
    options->dict_size = std::min<std::uint32_t>(options->dict_size, kDecodeDictionary);
    ok_ = lzma_raw_decoder(&stream_, filters_) == LZMA_OK;
  }
  ~LzmaDecoder() {
    lzma_end(&stream_);
    std::free(filters_[0].options);
  }
  LzmaDecoder(const LzmaDecoder&) = delete;
  LzmaDecoder& operator=(const LzmaDecoder&) = delete;
  bool ok() const { return ok_; }
  lzma_stream& stream() { return stream_; }

  static constexpr std::uint32_t kDecodeDictionary = 1u << 16;

 private:
  lzma_filter filters_[2] = {};
  lzma_stream stream_ = LZMA_STREAM_INIT;
  bool ok_ = false;
};

constexpr std::int64_t kLzmaHeader = kFileHeader + 4 + 5;  // compressed length, properties
constexpr std::size_t kLzmaProbe = 4096;

// An LZMA body: the header gives the compressed length, so the end needs no decoding. The
// properties must be sane, and the first KiB must decode into a sane start of the body (the
// whole of it when the body is that short).
bool MeasureLzma(ByteView& in, std::int64_t lead, std::uint32_t fileLength, Extent& out) {
  std::uint8_t head[kLzmaHeader];
  if (!in.Read(lead, head, sizeof head) || !AreSaneLzmaProperties(head + 12)) return false;
  const std::uint32_t compressed = GetLe32(head + 8);
  out.end = lead + kLzmaHeader + compressed;
  if (compressed < 5 || out.end > in.Size()) return false;
  LzmaDecoder decoder(head + 12);
  if (!decoder.ok()) return false;
  lzma_stream& s = decoder.stream();
  std::size_t avail = 0;
  const std::size_t probe = std::min<std::size_t>(compressed, std::size_t{1} << 14);
  const std::uint8_t* p = in.Peek(lead + kLzmaHeader, probe, avail);
  const std::uint64_t body = fileLength - kFileHeader;
  const auto want = static_cast<std::size_t>(std::min<std::uint64_t>(body, kLzmaProbe));
  std::uint8_t buffer[kLzmaProbe];
  s.next_in = p;
  s.avail_in = std::min(avail, probe);
  s.next_out = buffer;
  s.avail_out = want;
  const lzma_ret result = lzma_code(&s, LZMA_RUN);
  if ((result != LZMA_OK && result != LZMA_STREAM_END) || s.total_out != want) return false;
  TagWalk walk;
  return walk.Feed(buffer, want) && (want < body || walk.Ended());
}

}  // namespace

// The header: a known signature, a version of 1 to 50 and a file length that holds a body.
// Each form is then measured as its body is stored.
bool MeasureSwf(ByteView& in, std::int64_t lead, Extent& out) {
  std::uint8_t head[kFileHeader];
  if (!in.Read(lead, head, sizeof head) || head[1] != 'W' || head[2] != 'S' ||
      head[3] < kMinVersion || head[3] > kMaxVersion) {
    return false;
  }
  const std::uint32_t fileLength = GetLe32(head + 4);
  if (fileLength < kMinFileLength) return false;
  out.start = lead;
  out.ext = ".SWF";
  switch (head[0]) {
    case 'F':
      return MeasurePlain(in, lead, fileLength, out);
    case 'C':
      return MeasureZlib(in, lead, fileLength, out);
    case 'Z':
      return MeasureLzma(in, lead, fileLength, out);
    default:
      return false;
  }
}

}  // namespace sorvend
