#include "engine/formats/mp3.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <limits>

#include "engine/formats/bit_reader.h"
#include "engine/formats/formats.h"
#include "engine/formats/frame_chain.h"

namespace sorvend {
namespace {

// Every bitrate (kbit/s) of the published tables of all layers of both versions: the rows of
// the frame-length table.
constexpr std::array<int, 24> kRowKbps = {8,   16,  24,  32,  40,  48,  56,  64,
                                          80,  96,  112, 128, 144, 160, 176, 192,
                                          224, 256, 288, 320, 352, 384, 416, 448};
// Every sampling frequency (Hz) of all versions: the columns.
constexpr std::array<int, 9> kColumnHz = {8000,  11025, 12000, 16000, 22050,
                                          24000, 32000, 44100, 48000};

// Bytes in a frame without padding: the integer part of 144 * bitrate / frequency. Built by
// the compiler, so that the scan divides nothing.
constexpr auto kFrameBytes = [] {
  std::array<std::array<std::uint16_t, kColumnHz.size()>, kRowKbps.size()> table{};
  for (std::size_t r = 0; r < kRowKbps.size(); ++r) {
    for (std::size_t c = 0; c < kColumnHz.size(); ++c) {
      table[r][c] = static_cast<std::uint16_t>(144 * 1000 * kRowKbps[r] / kColumnHz[c]);
    }
  }
  return table;
}();
static_assert(kFrameBytes[11][7] == 417);  // 128 kbit/s at 44.1 kHz
static_assert(kFrameBytes[19][8] == 960);  // 320 kbit/s at 48 kHz

// Row of kFrameBytes by [version bit][layer - 1][bitrate index], layer 1 being Layer III (bits
// 01), 2 Layer II (10) and 3 Layer I (11); the version bit is 1 for MPEG-1 and 0 for the low
// sampling frequencies of MPEG-2 and MPEG-2.5. Bitrate indexes 0 (free format) and 15 are
// rejected before.
constexpr std::uint8_t kRow[2][3][16] = {
    // MPEG-2 and 2.5, Layers III and II: 8 to 160 kbit/s; Layer I: 32 to 256 kbit/s.
    {{0, 0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 0},
     {0, 0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 0},
     {0, 3, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16, 17, 0}},
    // MPEG-1 Layer III: 32 to 320 kbit/s; Layer II: 32 to 384 kbit/s; Layer I: 32 to 448.
    {{0, 3, 4, 5, 6, 7, 8, 9, 10, 11, 13, 15, 16, 17, 19, 0},
     {0, 3, 5, 6, 7, 8, 9, 10, 11, 13, 15, 16, 17, 19, 21, 0},
     {0, 3, 7, 9, 11, 13, 15, 16, 17, 18, 19, 20, 21, 22, 23, 0}},
};
// Column of kFrameBytes by [version bits][sampling-frequency index]: MPEG-2.5 (00), MPEG-2
// (10), MPEG-1 (11). Version 01 and index 3 are reserved and rejected before.
constexpr std::uint8_t kColumn[4][4] = {
    {1, 2, 0, 0},  // MPEG-2.5: 11.025, 12, 8 kHz
    {0, 0, 0, 0},
    {4, 5, 3, 0},  // MPEG-2: 22.05, 24, 16 kHz
    {7, 8, 6, 0},  // MPEG-1: 44.1, 48, 32 kHz
};

constexpr std::uint32_t kLayerIII = 0b01;
constexpr std::uint32_t kLayerII = 0b10;
constexpr std::uint32_t kLayerI = 0b11;
constexpr std::uint32_t kMpeg1 = 0b11;
constexpr std::uint32_t kReservedVersion = 0b01;

constexpr std::uint8_t kTag[3] = {'T', 'A', 'G'};
constexpr std::int64_t kTagSize = 128;

// Length of the frame that `header` starts, for every version and layer, or 0 for reserved
// fields and free format (whose length no header tells).
constexpr int AnyFrameLength(std::uint32_t header) {
  const std::uint8_t field[4] = {
      static_cast<std::uint8_t>(header >> 24), static_cast<std::uint8_t>(header >> 16),
      static_cast<std::uint8_t>(header >> 8), static_cast<std::uint8_t>(header)};
  MsbBits bits(field);
  const std::uint32_t sync = bits.Take(11);
  const std::uint32_t version = bits.Take(2);
  const std::uint32_t layer = bits.Take(2);
  bits.Take(1);  // protection
  const std::uint32_t bitrate = bits.Take(4);
  const std::uint32_t frequency = bits.Take(2);
  const int padding = static_cast<int>(bits.Take(1));
  if (sync != 0x7FF || version == kReservedVersion || layer == 0 || bitrate == 0 || bitrate == 15 ||
      frequency == 3) {
    return 0;
  }
  const bool mpeg1 = version == kMpeg1;
  const int bytes = kFrameBytes[kRow[mpeg1][layer - 1][bitrate]][kColumn[version][frequency]];
  // Layer I counts four-byte slots of 12 * bitrate / frequency; Layer III at the low
  // frequencies carries half the samples of MPEG-1.
  if (layer == kLayerI) return (bytes / 12 + padding) * 4;
  if (layer == kLayerIII && !mpeg1) return bytes / 2 + padding;
  return bytes + padding;
}

// AnyFrameLength by the header's twelve bits from the version to the padding, for the screen,
// which runs at every frame-like pair of bytes in machine code.
constexpr int kLengthShift = 9;
constexpr auto kFrameLengths = [] {
  std::array<std::uint16_t, 1 << 12> table{};
  for (std::uint32_t i = 0; i < table.size(); ++i) {
    table[i] = static_cast<std::uint16_t>(AnyFrameLength(0xFFE00000 | i << kLengthShift));
  }
  return table;
}();

}  // namespace

int FrameLengthOfHeader(std::uint32_t header) {
  const std::uint32_t layer = header >> 17 & 0b11;
  // Twelve sync bits leave out MPEG-2.5.
  if ((header >> 20) != 0xFFF || (layer != kLayerIII && layer != kLayerII)) return 0;
  return AnyFrameLength(header);
}

int MpegFrameLength(ScanContext& ctx) {
  ReadHeader(ctx, 0, 4);
  return FrameLengthOfHeader(GetBe32(ctx.Header.data()));
}

bool IsMp3Run(ScanContext& ctx) {
  std::int64_t p = ctx.Position - 1;
  int length = 0;
  for (int frame = 0; frame < 5; ++frame) {
    p += length;
    ctx.InFile.Seek(p);
    length = MpegFrameLength(ctx);
    if (length == 0) return false;
  }
  return true;
}

bool ExtractMp3(ScanContext& ctx) {
  const std::int64_t lead = ctx.Position - 1;
  if (!IsMp3Run(ctx)) return Reject(ctx);
  if (!BeginOutput(ctx, ".MP3", lead)) {
    // Unlike other formats, the byte after the lead byte is walked as after a rejection.
    SeekTo(ctx, lead + 1);
    return true;
  }
  // The lead byte is the first byte of the first frame and is copied from the input.
  SeekTo(ctx, lead);

  // Every frame but the last is followed by a valid header; Position is at the current frame.
  int length = 0;
  for (;;) {
    ctx.InFile.Seek(ctx.Position);
    length = MpegFrameLength(ctx);
    ctx.InFile.Seek(ctx.Position + length);
    if (MpegFrameLength(ctx) == 0) break;
    ctx.InFile.Seek(ctx.Position);
    CopyBytes(ctx, length, /*perByte=*/false);
    if (KeepResponsive(ctx, length)) return true;
  }

  // An ID3v1 tag may begin anywhere from the last frame's first byte to the third byte behind
  // it. Partial matches go back to the byte after their 'T'.
  ctx.InFile.Seek(ctx.Position);
  std::int64_t tagAt = -1;
  for (std::int64_t i = 0; i < length + 3; ++i) {
    if (ReadByte(ctx) != kTag[0]) continue;
    if (ReadByte(ctx) == kTag[1] && ReadByte(ctx) == kTag[2]) {
      tagAt = i;
      break;
    }
    ctx.InFile.Seek(ctx.Position + i + 1);
  }
  const std::int64_t n = tagAt >= 0 ? tagAt + kTagSize : length;

  ctx.InFile.Seek(ctx.Position);
  CopyBytes(ctx, std::min(n, Remaining(ctx)), /*perByte=*/false);
  EndOutput(ctx);
  return true;
}

namespace {

// The fields every frame of one stream shares: version, layer and sampling frequency.
constexpr std::uint32_t kStreamFields = 0x001E0C00;
// Fewer chained frames are too likely to be chance in ordinary data.
constexpr int kMinFrames = 5;

// The 32-byte header or footer of an APE tag.
struct ApeBlock {
  std::uint32_t size;  // items and footer, without the header
  std::uint32_t count;
  std::uint32_t flags;
};
constexpr std::uint32_t kApeHasHeader = 1u << 31;
constexpr std::uint32_t kApeHasNoFooter = 1u << 30;
constexpr std::uint32_t kApeIsHeader = 1u << 29;
constexpr std::int64_t kApeBlockSize = 32;
constexpr std::uint32_t kMaxApeItems = 4096;
constexpr std::size_t kMaxApeKey = 255;

bool ReadApeBlock(ByteView& in, std::int64_t at, ApeBlock& block) {
  std::uint8_t b[kApeBlockSize];
  if (!in.Read(at, b, sizeof b) || std::memcmp(b, "APETAGEX", 8) != 0) return false;
  const std::uint32_t version = GetLe32(b + 8);
  if ((version != 1000 && version != 2000) || GetLe32(b + 24) != 0 || GetLe32(b + 28) != 0) {
    return false;
  }
  block = {GetLe32(b + 12), GetLe32(b + 16), GetLe32(b + 20)};
  return true;
}

// End of the APE tag at `at`, or -1. A tag with a header tells its size there and repeats it
// in its footer; one without is walked item by item (value size, flags, a key of printable
// characters ended by a zero, the value) up to a footer that counts exactly those bytes.
std::int64_t ApeTagEnd(ByteView& in, std::int64_t at) {
  ApeBlock head{};
  if (ReadApeBlock(in, at, head)) {
    if (!(head.flags & kApeIsHeader) || (head.flags & kApeHasNoFooter) ||
        head.size < kApeBlockSize) {
      return -1;
    }
    const std::int64_t end = at + kApeBlockSize + head.size;
    ApeBlock foot{};
    const bool matches = ReadApeBlock(in, end - kApeBlockSize, foot) &&
                         !(foot.flags & kApeIsHeader) && foot.size == head.size &&
                         foot.count == head.count;
    return matches ? end : -1;
  }
  std::int64_t item = at;
  for (std::uint32_t items = 0; items <= kMaxApeItems; ++items) {
    ApeBlock foot{};
    if (ReadApeBlock(in, item, foot)) {
      const bool matches = !(foot.flags & (kApeIsHeader | kApeHasHeader)) && foot.count == items &&
                           foot.size == item + kApeBlockSize - at;
      return matches ? item + kApeBlockSize : -1;
    }
    std::uint8_t fields[8];
    if (!in.Read(item, fields, sizeof fields)) return -1;
    std::size_t avail = 0;
    const std::uint8_t* key = in.Peek(item + 8, kMaxApeKey + 1, avail);
    std::size_t n = 0;
    while (n < avail && key[n] >= 0x20 && key[n] <= 0x7E) ++n;
    if (n < 2 || n > kMaxApeKey || n >= avail || key[n] != 0) return -1;
    item += 8 + static_cast<std::int64_t>(n) + 1 + GetLe32(fields);
  }
  return -1;
}

// The value of n decimal digits, or -1.
std::int64_t Digits(const std::uint8_t* p, int n) {
  std::int64_t value = 0;
  for (int i = 0; i < n; ++i) {
    if (p[i] < '0' || p[i] > '9') return -1;
    value = value * 10 + (p[i] - '0');
  }
  return value;
}

constexpr char kLyricsBegin[] = "LYRICSBEGIN";
constexpr std::int64_t kLyricsBeginSize = sizeof kLyricsBegin - 1;
constexpr int kMaxLyricsFields = 16;
constexpr std::size_t kMaxLyricsText = 5100;

// End of the Lyrics3 tag at `at`, or -1. Version 2 holds fields (a three-letter name, a
// five-digit size, the text) and ends with the six-digit size of all that, "LYRICSBEGIN"
// included, and "LYRICS200". Version 1 holds up to 5100 bytes of lyrics ended by "LYRICSEND",
// and an ID3v1 tag always follows it.
std::int64_t Lyrics3End(ByteView& in, std::int64_t at) {
  std::uint8_t begin[kLyricsBeginSize];
  if (!in.Read(at, begin, sizeof begin) || std::memcmp(begin, kLyricsBegin, sizeof begin) != 0) {
    return -1;
  }
  std::int64_t field = at + kLyricsBeginSize;
  for (int i = 0; i < kMaxLyricsFields; ++i) {
    std::uint8_t f[15];
    if (!in.Read(field, f, sizeof f)) break;
    if (Digits(f, 6) == field - at && std::memcmp(f + 6, "LYRICS200", 9) == 0) return field + 15;
    const std::int64_t size = Digits(f + 3, 5);
    if (size < 0 || f[0] < 'A' || f[0] > 'Z' || f[1] < 'A' || f[1] > 'Z' || f[2] < 'A' ||
        f[2] > 'Z') {
      break;
    }
    field += 8 + size;
  }
  constexpr char kEnd[] = "LYRICSENDTAG";
  constexpr std::size_t kEndSize = sizeof kEnd - 1;
  std::size_t avail = 0;
  const std::uint8_t* text = in.Peek(at + kLyricsBeginSize, kMaxLyricsText + kEndSize, avail);
  if (avail < kEndSize) return -1;
  const auto* found = std::search(text, text + avail, kEnd, kEnd + kEndSize);
  if (found == text + avail) return -1;
  // The ID3v1 tag's "TAG" stays for the caller.
  return at + kLyricsBeginSize + (found - text) + 9;
}

constexpr std::int64_t kId3v1Size = 128;

// Behind the last frame: APE and Lyrics3 tags in either order, then an ID3v1 tag.
std::int64_t EndOfTrailingTags(ByteView& in, std::int64_t at) {
  bool ape = false;
  bool lyrics = false;
  for (;;) {
    if (const std::int64_t end = ape ? -1 : ApeTagEnd(in, at); end > 0) {
      ape = true;
      at = end;
    } else if (const std::int64_t lyricsEnd = lyrics ? -1 : Lyrics3End(in, at); lyricsEnd > 0) {
      lyrics = true;
      at = lyricsEnd;
    } else {
      break;
    }
  }
  std::uint8_t tag[3];
  if (in.Read(at, tag, sizeof tag) && std::memcmp(tag, kTag, sizeof tag) == 0 &&
      in.Size() - at >= kId3v1Size) {
    at += kId3v1Size;
  }
  return at;
}

// End of the ID3v2 tag at `at`, or -1: "ID3", version 2 to 4, a revision, only the flags its
// version defines, a sync-safe size, and behind the tag the footer its flag announces.
std::int64_t Id3v2End(ByteView& in, std::int64_t at) {
  std::uint8_t h[10];
  if (!in.Read(at, h, sizeof h) || std::memcmp(h, "ID3", 3) != 0) return -1;
  const int version = h[3];
  constexpr std::uint8_t kUndefinedFlags[5] = {0, 0, 0x3F, 0x1F, 0x0F};
  if (version < 2 || version > 4 || h[4] == 0xFF || (h[5] & kUndefinedFlags[version]) != 0 ||
      ((h[6] | h[7] | h[8] | h[9]) & 0x80) != 0) {
    return -1;
  }
  const std::int64_t size = std::int64_t{h[6]} << 21 | h[7] << 14 | h[8] << 7 | h[9];
  std::int64_t end = at + 10 + size;
  constexpr std::uint8_t kFooterFlag = 0x10;
  if (version == 4 && (h[5] & kFooterFlag) != 0) {
    std::uint8_t f[10];
    if (!in.Read(end, f, sizeof f) || std::memcmp(f, "3DI", 3) != 0 ||
        std::memcmp(f + 3, h + 3, 7) != 0) {
      return -1;
    }
    end += 10;
  }
  return end;
}

}  // namespace

namespace {

constexpr int kMono = 3;
constexpr int kJointStereo = 1;
constexpr std::uint32_t kReservedEmphasis = 2;
constexpr int kSubbands = 32;
constexpr int kForbiddenAllocation = 15;
constexpr std::uint32_t kMaxBigValues = 288;

struct FrameFields {
  std::int64_t start;
  std::int64_t body;  // offset of what follows the header and its checksum
  int length;
  int channels;
  int mode;
  int extension;
  bool mpeg1;
};

// Layer I: the 4-bit allocation of every subband, per channel below the joint-stereo bound
// and shared above it; 15 is forbidden, and the scale factors and twelve samples of each
// allocated subband must fit in the frame.
// The bytes of the allocations, which `allocation` holds.
std::size_t LayerIAllocationBytes(const FrameFields& f) {
  const int bound = f.mode == kJointStereo ? 4 * (f.extension + 1) : kSubbands;
  return static_cast<std::size_t>((bound * f.channels + (kSubbands - bound) + 1) / 2);
}

bool LayerIAllocationsFit(const std::uint8_t* allocation, const FrameFields& f) {
  const int bound = f.mode == kJointStereo ? 4 * (f.extension + 1) : kSubbands;
  const int nibbles = bound * f.channels + (kSubbands - bound);
  MsbBits bits(allocation);
  std::int64_t used = 8 * (f.body - f.start) + 4 * nibbles;
  for (int sb = 0; sb < kSubbands; ++sb) {
    // Above the bound both channels share the allocation and the samples.
    const int stored = sb < bound ? f.channels : 1;
    for (int ch = 0; ch < stored; ++ch) {
      const std::uint32_t a = bits.Take(4);
      if (a == kForbiddenAllocation) return false;
      if (a != 0) used += 6 * (sb < bound ? 1 : f.channels) + 12 * (std::int64_t{a} + 1);
    }
  }
  return used <= 8 * std::int64_t{f.length};
}

// Where the main data of a run's Layer III frames lies, in bits of their main data areas put
// one after the other (a frame's main data may begin in the areas of the frames before it).
struct MainData {
  std::int64_t area = 0;  // where the next frame's own area begins
  std::int64_t end = std::numeric_limits<std::int64_t>::min();  // end of the last frame's data
};

// Layer III side information: every granule's Huffman tables exist (4 and 14 do not), its
// big values fit a granule, a switched window is not the normal one, and the frame's main data
// begins no earlier than the previous frame's ends and ends within the frame's own area.
// The bytes of the side information, which `side` holds.
std::size_t LayerIIISideInfoBytes(const FrameFields& f) {
  return f.mpeg1 ? (f.channels == 1 ? 17 : 32) : (f.channels == 1 ? 9 : 17);
}

bool LayerIIISideInfoFits(const std::uint8_t* side, const FrameFields& f, MainData& data) {
  const auto sideInfo = static_cast<std::int64_t>(LayerIIISideInfoBytes(f));
  const std::int64_t own = f.start + f.length - (f.body + sideInfo);
  if (own < 0) return false;
  MsbBits bits(side);
  const std::uint32_t mainDataBegin = bits.Take(f.mpeg1 ? 9 : 8);
  bits.Take(f.mpeg1 ? (f.channels == 1 ? 5 : 3) : f.channels);  // private bits
  if (f.mpeg1) bits.Take(4 * f.channels);                       // scale factor selection
  const auto tableExists = [](std::uint32_t table) { return table != 4 && table != 14; };
  std::int64_t mainDataBits = 0;
  for (int granule = 0; granule < (f.mpeg1 ? 2 : 1); ++granule) {
    for (int channel = 0; channel < f.channels; ++channel) {
      mainDataBits += bits.Take(12);
      const std::uint32_t bigValues = bits.Take(9);
      bits.Take(8 + (f.mpeg1 ? 4 : 9));  // global gain, scale factor compression
      if (bigValues > kMaxBigValues) return false;
      const bool switched = bits.Take(1) != 0;
      if (switched && bits.Take(2) == 0) return false;  // block type
      if (switched) bits.Take(1);                       // mixed blocks
      for (int region = 0; region < (switched ? 2 : 3); ++region) {
        if (!tableExists(bits.Take(5))) return false;
      }
      bits.Take(switched ? 9 : 7);  // subblock gains, or region counts
      bits.Take(f.mpeg1 ? 3 : 2);   // pre-emphasis, scale factor scale, count1 table
    }
  }
  const std::int64_t begin = data.area - 8 * std::int64_t{mainDataBegin};
  data.area += 8 * own;
  if (begin < data.end || begin + mainDataBits > data.area) return false;
  data.end = begin + mainDataBits;
  return true;
}

// MPEG audio frames for the frame chain. What a decoder reads first in a frame is checked
// too: Layer I's allocations and Layer III's side information, without which the many 0xFF 0xFF
// pairs of machine code chain into runs of Layer I headers.
struct MpegAudioFrames {
  static constexpr std::size_t kHeadBytes = 4;
  static constexpr std::size_t kMinHead = 4;
  static constexpr int kMinFrames = sorvend::kMinFrames;
  static constexpr std::uint32_t kStreamFields = sorvend::kStreamFields;
  static int Length(const std::uint8_t* h, std::size_t /*avail*/) {
    const std::uint32_t header = GetBe32(h);
    if ((header >> 21) != 0x7FF || (header & 0b11) == kReservedEmphasis) return 0;
    return kFrameLengths[header >> kLengthShift & 0xFFF];
  }
  bool Fits(ByteView& in, std::int64_t at, const std::uint8_t* h, int length) {
    const FrameFields f = FieldsOf(at, GetBe32(h), length);
    std::uint8_t first[kSubbands];
    const std::size_t bytes = FirstBytes(GetBe32(h), f);
    return bytes == 0 || (in.Read(f.body, first, bytes) && FirstFits(GetBe32(h), f, first));
  }
  // The same for the frame at h when the bytes a decoder reads first are in view (avail bytes
  // from h on); true when they are not.
  bool FitsInView(const std::uint8_t* h, std::size_t avail, int length) {
    const FrameFields f = FieldsOf(0, GetBe32(h), length);
    const std::size_t bytes = FirstBytes(GetBe32(h), f);
    if (static_cast<std::size_t>(f.body) + bytes > avail) return true;
    return bytes == 0 || FirstFits(GetBe32(h), f, h + f.body);
  }
  MainData mainData;

 private:
  static FrameFields FieldsOf(std::int64_t at, std::uint32_t header, int length) {
    const int mode = header >> 6 & 0b11;
    return {at,
            at + 4 + ((header >> 16 & 1) == 0 ? 2 : 0),
            length,
            mode == kMono ? 1 : 2,
            mode,
            static_cast<int>(header >> 4 & 0b11),
            (header >> 19 & 0b11) == kMpeg1};
  }
  // How many bytes behind the header the first checks read: Layer I's allocations or Layer
  // III's side information; Layer II has none here.
  static std::size_t FirstBytes(std::uint32_t header, const FrameFields& f) {
    switch (header >> 17 & 0b11) {
      case kLayerI:
        return LayerIAllocationBytes(f);
      case kLayerIII:
        return LayerIIISideInfoBytes(f);
      default:
        return 0;
    }
  }
  bool FirstFits(std::uint32_t header, const FrameFields& f, const std::uint8_t* first) {
    return (header >> 17 & 0b11) == kLayerI ? LayerIAllocationsFit(first, f)
                                            : LayerIIISideInfoFits(first, f, mainData);
  }
};

}  // namespace

// The frames that follow in view must chain as the measure asks.
bool ScreenMpegAudio(const std::uint8_t* p, std::size_t avail, std::int64_t /*left*/) {
  return FramesChainInView<MpegAudioFrames>(p, avail);
}

// Frames whose headers agree on version, layer and sampling frequency, each starting where the
// one before ends, then the tags that may follow the audio.
bool MeasureMpegAudio(ByteView& in, std::int64_t lead, Extent& out) {
  MpegAudioFrames frames;
  const FrameRun run = WalkFrames(in, lead, frames);
  if (run.frames < kMinFrames) return false;
  out.start = lead;
  out.end = run.cut ? run.end : EndOfTrailingTags(in, run.end);
  out.cut = run.cut;
  out.ext = ".MP3";
  return true;
}

// An ID3v2 tag belongs to the audio stream right behind it, whichever of the kinds it is.
bool MeasureTaggedAudio(ByteView& in, std::int64_t lead, Extent& out) {
  const struct {
    Kind kind;
    MeasureEntry measure;
  } streams[] = {
      {Kind::Mp3, MeasureMpegAudio},
      {Kind::Flac, MeasureFlac},
      {Kind::Aac, MeasureAac},
  };
  bool any = false;
  for (const auto& s : streams) any = any || in.Ticked(s.kind);
  if (!any) return false;
  const std::int64_t body = Id3v2End(in, lead);
  if (body < 0) return false;
  for (const auto& s : streams) {
    Extent stream;
    if (in.Ticked(s.kind) && s.measure(in, body, stream)) {
      out = stream;
      out.start = lead;
      return true;
    }
  }
  return false;
}

}  // namespace sorvend
