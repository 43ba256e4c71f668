#include "engine/formats/mp3.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "engine/carver.h"
#include "tests/support/test_support.h"

namespace sorvend::test {
namespace {

constexpr int kMpeg2 = 0;
constexpr int kMpeg1 = 1;
constexpr int kLayer3 = 0b01;
constexpr int kLayer2 = 0b10;

// A frame header with all twelve sync bits; the protection bit set (no checksum), joint stereo.
std::uint32_t Header(int version, int layer, int bitrate, int frequency, int padding = 0) {
  return 0xFFF00000u | std::uint32_t(version) << 19 | std::uint32_t(layer) << 17 | 1u << 16 |
         std::uint32_t(bitrate) << 12 | std::uint32_t(frequency) << 10 |
         std::uint32_t(padding) << 9 | 0x40u;
}

const std::uint32_t k128At44 = Header(kMpeg1, kLayer3, 9, 0);        // 417 bytes
const std::uint32_t k128At44Pad = Header(kMpeg1, kLayer3, 9, 0, 1);  // 418 bytes

// A frame of `length` bytes: the header and filler, which holds neither 0xFF nor "TAG".
Bytes Frame(std::uint32_t header, int length, std::uint8_t seed = 1) {
  Bytes b;
  AppendBe32(b, header);
  Append(b, Filler(static_cast<std::size_t>(length) - 4, seed));
  return b;
}

Bytes Frames(int count, std::uint32_t header = k128At44) {
  Bytes b;
  for (int i = 0; i < count; ++i) {
    Append(b, Frame(header, FrameLengthOfHeader(header), static_cast<std::uint8_t>(i)));
  }
  return b;
}

Bytes Id3v1Tag() {
  Bytes b;
  AppendText(b, "TAG");
  Append(b, Filler(125, 9));
  return b;
}

// --- Frame lengths -------------------------------------------------------------------------

// A few lengths worked out by hand; the exhaustive check below covers every other header.
TEST(MpegFrameLength, TellingValues) {
  struct Case {
    const char* name;
    std::uint32_t header;
    int length;
  };
  const std::vector<Case> cases = {
      {"MPEG-1 L3 128k 44.1k", Header(kMpeg1, kLayer3, 9, 0), 417},
      {"MPEG-1 L3 128k 44.1k padded", Header(kMpeg1, kLayer3, 9, 0, 1), 418},
      {"MPEG-1 L2 384k 32k", Header(kMpeg1, kLayer2, 14, 2), 1728},
      {"MPEG-2 L2 64k 22.05k", Header(kMpeg2, kLayer2, 8, 0), 417},
      {"MPEG-2 L3 64k 22.05k", Header(kMpeg2, kLayer3, 8, 0), 208},
      {"MPEG-2 L3 8k 24k", Header(kMpeg2, kLayer3, 1, 1), 24},
      {"MPEG-2.5 (eleven sync bits)", Header(kMpeg2, kLayer3, 8, 0) & ~0x00100000u, 0},
      {"all ones (read at the end)", 0xFFFFFFFF, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(FrameLengthOfHeader(c.header), c.length);
  }
}

// Bitrates (kbit/s) by bitrate index and frequencies (Hz) by index, from the published tables.
constexpr int kMpeg1Layer2Kbps[16] = {0,   32,  48,  56,  64,  80,  96,  112,
                                      128, 160, 192, 224, 256, 320, 384, 0};
constexpr int kMpeg1Layer3Kbps[16] = {0,   32,  40,  48,  56,  64,  80,  96,
                                      112, 128, 160, 192, 224, 256, 320, 0};
constexpr int kMpeg2Kbps[16] = {0, 8, 16, 24, 32, 40, 48, 56, 64, 80, 96, 112, 128, 144, 160, 0};
constexpr int kMpeg1Hz[4] = {44100, 48000, 32000, 0};
constexpr int kMpeg2Hz[4] = {22050, 24000, 16000, 0};

int ReferenceLength(std::uint32_t h) {
  if (h >> 20 != 0xFFF) return 0;
  const int version = h >> 19 & 1;
  const int layer = h >> 17 & 3;
  const int bitrate = h >> 12 & 15;
  const int frequency = h >> 10 & 3;
  const int padding = h >> 9 & 1;
  if (layer != kLayer2 && layer != kLayer3) return 0;
  if (bitrate == 0 || bitrate == 15 || frequency == 3) return 0;
  const int kbps = version == kMpeg1
                       ? (layer == kLayer2 ? kMpeg1Layer2Kbps : kMpeg1Layer3Kbps)[bitrate]
                       : kMpeg2Kbps[bitrate];
  const int hz = (version == kMpeg1 ? kMpeg1Hz : kMpeg2Hz)[frequency];
  const int factor = version == kMpeg2 && layer == kLayer3 ? 72 : 144;
  return factor * kbps * 1000 / hz + padding;
}

TEST(MpegFrameLength, LookupMatchesTheFormulaForEveryHeader) {
  // Every value of the 23 bits that matter (sync, version, layer, protection, bitrate,
  // frequency, padding), with the untested low bits varied along.
  int mismatches = 0;
  int valid = 0;
  for (std::uint32_t top = 0; top < (1u << 23); ++top) {
    const std::uint32_t header = top << 9 | ((top * 2654435761u) >> 23);
    const int got = FrameLengthOfHeader(header);
    const int want = ReferenceLength(header);
    if (got != want && ++mismatches <= 5) {
      ADD_FAILURE() << std::hex << "header 0x" << header << std::dec << ": " << got
                    << " instead of " << want;
    }
    if (want != 0) {
      ++valid;
      EXPECT_GE(got, 24);
    }
  }
  EXPECT_EQ(mismatches, 0);
  // 2 versions x 2 layers x 14 bitrates x 3 frequencies x 2 paddings x 2 protections.
  EXPECT_EQ(valid, 2 * 2 * 14 * 3 * 2 * 2);
}

// --- Runs ----------------------------------------------------------------------------------

TEST(Mp3, RunLengthDecidesAndTheWholeRunIsCopied) {
  struct Case {
    int frames;
    bool taken;
  };
  for (const Case& c :
       std::vector<Case>{{3, false}, {4, false}, {5, true}, {6, true}, {40, true}}) {
    SCOPED_TRACE(c.frames);
    const Bytes stream = Frames(c.frames);
    Bytes input = Filler(23);
    Append(input, stream);
    Append(input, Filler(40, 2));
    ScanRun run;
    ScanOnly(run, {Kind::Mp3}, input);
    if (!c.taken) {
      EXPECT_TRUE(run.host.outputs.empty());
      EXPECT_EQ(run.ctx.OutputCount, 0);
      continue;
    }
    ASSERT_EQ(run.host.outputs.size(), 1u);
    EXPECT_EQ(run.host.outputs[0].name, run.dir.File("ANT0000.MP3"));
    EXPECT_EQ(run.host.outputs[0].offset, 23);
    EXPECT_EQ(run.Output(0), stream);
  }
}

TEST(Mp3, EveryHeaderIsDecodedAlongTheRun) {
  // Bitrate, padding, layer and version change from frame to frame.
  const std::vector<std::uint32_t> headers = {
      Header(kMpeg1, kLayer3, 9, 0),    Header(kMpeg1, kLayer3, 9, 0, 1),
      Header(kMpeg1, kLayer3, 1, 0),    Header(kMpeg1, kLayer3, 14, 0, 1),
      Header(kMpeg1, kLayer2, 3, 1),    Header(kMpeg2, kLayer3, 8, 0, 1),
      Header(kMpeg2, kLayer3, 1, 1),    Header(kMpeg2, kLayer2, 1, 2),
      Header(kMpeg1, kLayer3, 5, 2, 1),
  };
  Bytes stream;
  for (std::uint32_t h : headers) Append(stream, Frame(h, FrameLengthOfHeader(h)));
  Bytes input = Filler(3);
  Append(input, stream);
  Append(input, Filler(3));
  ScanRun run;
  ScanOnly(run, {Kind::Mp3}, input);
  ASSERT_EQ(run.host.outputs.size(), 1u);
  EXPECT_EQ(run.Output(0), stream);
}

TEST(Mp3, BrokenRunIsRejectedAndTheWalkFindsTheRunBehindTheBreak) {
  // Frames 0 and 1, a frame whose header is Layer I, then five good frames.
  Bytes input = Filler(10);
  Append(input, Frames(2));
  const std::size_t goodAt = input.size() + 417;
  Append(input, Frame(Header(kMpeg1, 0b11, 9, 0), 417));
  const Bytes good = Frames(5, k128At44Pad);
  Append(input, good);
  ScanRun run;
  ScanOnly(run, {Kind::Mp3}, input);
  ASSERT_EQ(run.host.outputs.size(), 1u);
  EXPECT_EQ(run.host.outputs[0].offset, static_cast<std::int64_t>(goodAt));
  EXPECT_EQ(run.Output(0), good);
}

// --- The tag --------------------------------------------------------------------------------

TEST(Mp3, TagBehindTheLastFrame) {
  struct Case {
    const char* name;
    std::string between;  // bytes between the last frame and "TAG"
    bool found;
    std::size_t tagAt;  // offset of the found "TAG" behind the last frame's end
  };
  const std::vector<Case> cases = {
      {"right behind", "", true, 0},
      {"one stray byte", "x", true, 1},
      {"two stray bytes", "xy", true, 2},
      {"three stray bytes", "xyz", false, 0},
      {"T then TAG", "T", true, 1},
      {"TA then TAG", "TA", true, 2},
      {"TT then TAG, last start in the window", "TT", true, 2},
      {"TAT then TAG, out of the window", "TAT", false, 0},
  };
  const Bytes frames = Frames(6);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Bytes input = Filler(12);
    Append(input, frames);
    AppendText(input, c.between);
    Append(input, Id3v1Tag());
    const std::size_t tagEnd = input.size();
    Append(input, Frames(5, k128At44Pad));  // right behind the tag, found or walked over
    ScanRun run;
    ScanOnly(run, {Kind::Mp3}, input);
    const std::size_t expected = frames.size() + (c.found ? c.tagAt + 128 : 0);
    ASSERT_EQ(run.host.outputs.size(), 2u);
    EXPECT_EQ(run.Output(0), Slice(input, 12, expected));
    EXPECT_EQ(run.host.outputs[1].offset, static_cast<std::int64_t>(tagEnd));
  }
}

TEST(Mp3, TagInsideTheLastFrameEndsTheOutput128BytesOnFromIt) {
  for (const std::size_t tagAt : {std::size_t{0}, std::size_t{10}, std::size_t{412}}) {
    SCOPED_TRACE(tagAt);
    Bytes last = Frame(k128At44, 417, 30);
    if (tagAt > 0) std::copy_n("TAG", 3, last.begin() + static_cast<std::ptrdiff_t>(tagAt));
    Bytes input = Filler(12);
    const Bytes head = Frames(5);
    Append(input, head);
    Append(input, last);
    Append(input, Filler(300, 4));
    ScanRun run;
    ScanOnly(run, {Kind::Mp3}, input);
    ASSERT_EQ(run.host.outputs.size(), 1u);
    // At 0 the frame's own sync is no 'T': no tag, the last frame alone.
    const std::size_t last_n = tagAt > 0 ? tagAt + 128 : 417;
    EXPECT_EQ(run.Output(0), Slice(input, 12, head.size() + last_n));
    EXPECT_EQ(run.ctx.Position, static_cast<std::int64_t>(input.size()));
  }
}

TEST(Mp3, EndOfInputBoundsTheCopy) {
  struct Case {
    const char* name;
    Bytes tail;            // after six whole frames
    std::size_t expected;  // bytes of the tail in the output
  };
  Bytes header3 = {0xFF, 0xFB, 0x90};  // the fourth byte, read at the end, counts as 0xFF
  const std::vector<Case> cases = {
      {"last frame cut short", Slice(Frame(k128At44, 417), 0, 100), 100},
      {"three header bytes", header3, 3},
      {"two header bytes", {0xFF, 0xFB}, 0},
      {"tag cut short", Slice(Id3v1Tag(), 0, 60), 60},
      {"only the tag's identifier", Slice(Id3v1Tag(), 0, 3), 3},
  };
  const Bytes frames = Frames(6);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Bytes input = Filler(4);
    Append(input, frames);
    Append(input, c.tail);
    ScanRun run;
    ScanOnly(run, {Kind::Mp3}, input);
    ASSERT_EQ(run.host.outputs.size(), 1u);
    EXPECT_EQ(run.Output(0), Slice(input, 4, frames.size() + c.expected));
  }
}

// --- Failure, responsiveness, dispatch -------------------------------------------------------

TEST(Mp3, FailedOutputOpenWalksOnFromTheByteAfterTheLeadByte) {
  // The walk goes on inside the first frame and finds the run that starts at the second.
  const Bytes frames = Frames(6);
  Bytes input = Filler(8);
  Append(input, frames);
  ScanRun run;
  std::filesystem::create_directory(run.dir.path() / "ANT0000.MP3");
  ScanOnly(run, {Kind::Mp3}, input);
  ASSERT_EQ(run.host.failed.size(), 1u);
  EXPECT_EQ(run.host.failed[0], run.dir.File("ANT0000.MP3"));
  ASSERT_EQ(run.host.outputs.size(), 1u);
  EXPECT_EQ(run.host.outputs[0].name, run.dir.File("ANT0001.MP3"));
  EXPECT_EQ(run.host.outputs[0].offset, 8 + 417);
  EXPECT_EQ(run.Output(0), Slice(frames, 417, 5 * 417));
}

TEST(Mp3, KeepsResponsiveOncePerFrameAndStopsWhenClosed) {
  const Bytes frames = Frames(7);
  Bytes input = Filler(2);
  Append(input, frames);
  {
    ScanRun run;
    run.CountCopyCalls();
    Scan(run, input);
    ASSERT_EQ(run.host.outputs.size(), 1u);
    EXPECT_EQ(run.copyCalls, 6);  // the last frame is copied with the tag search, without a call
  }
  {
    ScanRun run;
    run.CountCopyCalls(2);
    Scan(run, input);
    EXPECT_TRUE(run.host.outputs.empty());
    EXPECT_EQ(run.ctx.Position, 2 + 2 * 417);
    EXPECT_EQ(ReadFile(run.dir.File("ANT0000.MP3")), Slice(frames, 0, 2 * 417));
  }
}

TEST(Dispatch0xFF, JpegFirstThenMp3WhenNotTaken) {
  Bytes jfif = {0xFF, 0xD8, 0xFF, 0xE0, 0x00, 0x10};
  AppendText(jfif, "JFIF");
  Append(jfif, {0x00, 0x01, 0x01, 0x00, 0x00, 0x01, 0x00, 0x01, 0x00, 0x00, 0xFF, 0xD9});
  Bytes exifFirst = {0xFF, 0xD8, 0xFF, 0xE1, 0x00, 0x08};
  AppendText(exifFirst, "Exif");
  Append(exifFirst, {0x00, 0x00, 0xFF, 0xD9});
  const Bytes mp3 = Frames(5);

  struct Case {
    const char* name;
    Bytes object;
    bool jpg;
    bool mp3;
    const char* kind;  // nullptr: no output
  };
  const std::vector<Case> cases = {
      {"JFIF, both ticked", jfif, true, true, "JPG"},
      {"JFIF, MP3 only", jfif, false, true, nullptr},
      {"Exif first, both ticked", exifFirst, true, true, nullptr},
      {"MP3, both ticked: JPEG says not taken", mp3, true, true, "MP3"},
      {"MP3, MP3 only", mp3, false, true, "MP3"},
      {"MP3, JPEG only", mp3, true, false, nullptr},
      {"MP3, nothing ticked", mp3, false, false, nullptr},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Bytes input = Filler(6);
    Append(input, c.object);
    Append(input, Filler(6));
    ScanRun run;
    for (bool& t : run.host.ticked) t = false;
    run.host.ticked[static_cast<int>(Kind::Jpg)] = c.jpg;
    run.host.ticked[static_cast<int>(Kind::Mp3)] = c.mp3;
    Scan(run, input);
    if (c.kind == nullptr) {
      EXPECT_TRUE(run.host.outputs.empty());
      continue;
    }
    ASSERT_EQ(run.host.outputs.size(), 1u);
    EXPECT_EQ(run.host.outputs[0].kind, c.kind);
    EXPECT_EQ(run.Output(0), c.object);
  }
}

// --- Real files -----------------------------------------------------------------------------

// The stream as a carve must give it: the file without an ID3v2 tag in front (10 header bytes
// plus the sync-safe size, plus a 10-byte footer when its flag is set).
Bytes WithoutId3v2(const Bytes& file) {
  if (file.size() < 10 || file[0] != 'I' || file[1] != 'D' || file[2] != '3') return file;
  std::size_t size =
      std::size_t{file[6]} << 21 | std::size_t{file[7]} << 14 | std::size_t{file[8]} << 7 | file[9];
  size += 10 + ((file[5] & 0x10) ? 10 : 0);
  return Slice(file, size, file.size() - size);
}

TEST(Mp3, RealFilesComeBackBitExact) {
  const std::vector<std::string> names = {"mp3/cbr128_44k_id3v1.mp3", "mp3/mpeg2_22k_id3v1.mp3",
                                          "mp3/vbr_44k.mp3", "mp3/layer2_48k.mp2",
                                          "mp3/layer2_24k.mp2"};
  Bytes input = Filler(50);
  std::vector<std::size_t> offsets;
  for (const std::string& name : names) {
    const Bytes file = ReadTestData(name);
    if (name.find("id3v1") != std::string::npos) {
      ASSERT_EQ(Slice(file, file.size() - 128, 3), Bytes({'T', 'A', 'G'})) << name;
    }
    offsets.push_back(input.size() + file.size() - WithoutId3v2(file).size());
    Append(input, file);
    Append(input, Filler(37, static_cast<std::uint8_t>(offsets.size())));
  }
  ScanRun run;
  ScanOnly(run, {Kind::Mp3, Kind::Jpg}, input);
  ASSERT_EQ(run.host.outputs.size(), names.size());
  for (std::size_t i = 0; i < names.size(); ++i) {
    SCOPED_TRACE(names[i]);
    EXPECT_EQ(run.host.outputs[i].offset, static_cast<std::int64_t>(offsets[i]));
    EXPECT_EQ(run.Output(i), WithoutId3v2(ReadTestData(names[i])));
  }
}

TEST(Mp3, LyingHeadersNeverMakeUpBytes) {
  // Real frames with random bytes overwritten, many of them in the headers, and cut anywhere.
  const Bytes file = WithoutId3v2(ReadTestData("mp3/mpeg2_22k_id3v1.mp3"));
  std::vector<std::size_t> headers;
  for (std::size_t p = 0; p + 4 <= file.size();) {
    const int n = FrameLengthOfHeader(static_cast<std::uint32_t>(file[p] << 24 | file[p + 1] << 16 |
                                                                 file[p + 2] << 8 | file[p + 3]));
    if (n == 0) break;
    headers.push_back(p);
    p += static_cast<std::size_t>(n);
  }
  ASSERT_GT(headers.size(), 10u);
  Lcg next(4242);
  for (int round = 0; round < 40; ++round) {
    SCOPED_TRACE(round);
    Bytes input = Filler(3, static_cast<std::uint8_t>(round));
    for (int copy = 0; copy < 2; ++copy) {
      Bytes object = file;
      for (int k = 0; k < 6; ++k) {
        const std::size_t at = headers[next() % headers.size()] + 1 + next() % 3;
        object[at] = static_cast<std::uint8_t>(next());
      }
      object[next() % object.size()] = 'T';
      Append(input, object);
    }
    input.resize(input.size() - next() % 400);
    ExpectScanEndsWithInputSlices({Kind::Mp3}, input);
  }
}

}  // namespace
}  // namespace sorvend::test
