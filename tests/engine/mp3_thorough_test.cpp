// The thorough MPEG audio rule: chained frames of every version and layer whose headers agree,
// an ID3v2 tag in front, APE, Lyrics3 and ID3v1 tags behind, whole frames only.
#include <gtest/gtest.h>

#include "engine/formats/mp3.h"
#include "tests/support/test_support.h"

namespace sorvend::test {
namespace {

constexpr int kMpeg25 = 0b00;
constexpr int kReservedVersion = 0b01;
constexpr int kMpeg2 = 0b10;
constexpr int kMpeg1 = 0b11;
constexpr int kLayer3 = 0b01;
constexpr int kLayer2 = 0b10;
constexpr int kLayer1 = 0b11;

// A frame header: eleven sync bits, no checksum, joint stereo.
std::uint32_t Header(int version, int layer, int bitrate, int frequency, int padding = 0) {
  return 0xFFE00000u | std::uint32_t(version) << 19 | std::uint32_t(layer) << 17 | 1u << 16 |
         std::uint32_t(bitrate) << 12 | std::uint32_t(frequency) << 10 |
         std::uint32_t(padding) << 9 | 0x40u;
}

const std::uint32_t k128At44 = Header(kMpeg1, kLayer3, 9, 0);  // 417 bytes

// `count` frames of `length` bytes each: the header, `body`, and zeros (Layer I without
// allocations, Layer III side information of no audio, as in LAME's info frame).
Bytes Frames(int count, std::uint32_t header = k128At44, std::size_t length = 417,
             const Bytes& body = {}) {
  Bytes b;
  for (int i = 0; i < count; ++i) {
    AppendBe32(b, header);
    Append(b, body);
    b.resize(b.size() + length - 4 - body.size(), 0);
  }
  return b;
}

Bytes Id3v1() {
  Bytes b;
  AppendText(b, "TAG");
  Append(b, Filler(125, 9));
  return b;
}

Bytes ApeItem(const std::string& key, const std::string& value) {
  Bytes b;
  AppendLe32(b, static_cast<std::uint32_t>(value.size()));
  AppendLe32(b, 0);
  AppendText(b, key);
  b.push_back(0);
  AppendText(b, value);
  return b;
}

Bytes ApeBlock(std::uint32_t size, std::uint32_t count, std::uint32_t flags) {
  Bytes b;
  AppendText(b, "APETAGEX");
  for (std::uint32_t v : {2000u, size, count, flags, 0u, 0u}) AppendLe32(b, v);
  return b;
}

// An APE tag of two items; `header` puts a header in front, `countInFooter` lies if not 2.
Bytes ApeTag(bool header, std::uint32_t countInFooter = 2) {
  const Bytes items = Join({ApeItem("Title", "Sorvend"), ApeItem("Artist", "Test")});
  const auto size = static_cast<std::uint32_t>(items.size() + 32);
  const std::uint32_t hasHeader = header ? 1u << 31 : 0;
  return Join({header ? ApeBlock(size, 2, hasHeader | 1u << 29) : Bytes{}, items,
               ApeBlock(size, countInFooter, hasHeader)});
}

Bytes Text(const std::string& s) {
  Bytes b;
  AppendText(b, s);
  return b;
}

// Lyrics3 version 2: fields, then the size of all from "LYRICSBEGIN" on and "LYRICS200".
Bytes Lyrics3v2(int sizeError = 0) {
  const std::string body =
      "LYRICSBEGININD00002"
      "10"
      "LYR00011"
      "la la la la";
  const std::string size = std::to_string(1000000 + body.size() + sizeError).substr(1);
  return Text(body + size + "LYRICS200");
}

TEST(MpegAudioThorough, SamplesComeOutWhole) {
  for (const char* name :
       {"mp3/cbr128_44k_id3v1.mp3", "mp3/mpeg2_22k_id3v1.mp3", "mp3/vbr_44k.mp3",
        "mp3/layer2_48k.mp2", "mp3/layer2_24k.mp2", "mp3/id3v23_32k.mp3", "mp3/id3v24_32k.mp3",
        "mp3/mpeg25_8k.mp3", "mp3/ape_id3v1.mp3", "mp3/ape_footer.mp3"}) {
    ExpectThoroughSampleComesOutWhole(Kind::Mp3, ".MP3", name);
  }
}

// Lengths worked out by hand for the versions and layers the samples do not cover: a run built
// with the right length chains, one with any other would not.
TEST(MpegAudioThorough, EveryVersionAndLayerChains) {
  const struct {
    const char* name;
    std::uint32_t header;
    std::size_t length;
  } cases[] = {
      {"MPEG-1 Layer I 32k 44.1k", Header(kMpeg1, kLayer1, 1, 0), 32},
      {"MPEG-1 Layer I 32k 44.1k padded", Header(kMpeg1, kLayer1, 1, 0, 1), 36},
      {"MPEG-1 Layer I 448k 48k", Header(kMpeg1, kLayer1, 14, 1), 448},
      {"MPEG-2 Layer I 256k 16k", Header(kMpeg2, kLayer1, 14, 2), 768},
      {"MPEG-2 Layer II 160k 24k", Header(kMpeg2, kLayer2, 14, 1), 960},
      {"MPEG-2.5 Layer III 8k 8k", Header(kMpeg25, kLayer3, 1, 2), 72},
      {"MPEG-2.5 Layer III 64k 11.025k", Header(kMpeg25, kLayer3, 8, 0), 417},
      {"MPEG-2.5 Layer III 160k 12k padded", Header(kMpeg25, kLayer3, 14, 1, 1), 961},
      {"MPEG-1 Layer III 320k 32k padded", Header(kMpeg1, kLayer3, 14, 2, 1), 1441},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const Bytes run = Frames(6, c.header, c.length);
    ScanRun scan;
    ScanThorough(scan, {Kind::Mp3}, Join({Filler(13), run, Filler(50)}));
    ASSERT_EQ(scan.host.outputs.size(), 1u);
    EXPECT_FALSE(scan.host.outputs[0].cut);
    EXPECT_EQ(scan.Output(0), run);
  }
}

TEST(MpegAudioThorough, RefusesRunsThatAreNotAudio) {
  Bytes changesRate = Frames(5);
  changesRate[2 * 417 + 2] ^= 0x04;  // the third frame says 48 kHz
  Bytes changesLayer = Frames(5);
  changesLayer[2 * 417 + 1] ^= 0x06;  // the third frame says Layer I
  Bytes gap = Frames(5);
  gap.insert(gap.begin() + 2 * 417, 'x');
  const struct {
    const char* what;
    Bytes data;
  } cases[] = {
      {"four frames", Frames(4)},
      {"reserved version", Frames(6, Header(kReservedVersion, kLayer3, 9, 0))},
      {"reserved layer", Frames(6, Header(kMpeg1, 0, 9, 0))},
      {"bitrate index 15", Frames(6, Header(kMpeg1, kLayer3, 15, 0))},
      {"reserved sampling frequency", Frames(6, Header(kMpeg1, kLayer3, 9, 3))},
      {"free format", Frames(6, Header(kMpeg1, kLayer3, 0, 0))},
      {"sampling frequency changes", changesRate},
      {"layer changes", changesLayer},
      {"a byte between two frames", gap},
      {"an ID3v2 tag in front of four frames",
       Join({Text("ID3"), {3, 0, 0, 0, 0, 0, 5}, Filler(5), Frames(4)})},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    ExpectThoroughWritesNothing({Kind::Mp3}, Join({Filler(7), c.data, Filler(30)}));
  }
}

// What a decoder reads right behind the header: Layer I allocations, Layer III side
// information (joint stereo, no checksum: bit 20 of the side information is the first
// granule's main data length, bit 32 its big values, bit 53 its window switch, bit 54 its
// first Huffman table).
TEST(MpegAudioThorough, RefusesFramesNoDecoderReads) {
  const std::uint32_t layer1 = Header(kMpeg1, kLayer1, 1, 0);  // 32 bytes
  const struct {
    const char* what;
    Bytes data;
  } cases[] = {
      {"reserved emphasis", Frames(6, k128At44 | 0b10)},
      {"Layer I allocation 15", Frames(6, layer1, 32, {0x0F})},
      {"Layer I samples past the frame's end", Frames(6, layer1, 32, {0x11, 0x10})},
      {"Huffman table 4", Frames(6, k128At44, 417, {0, 0, 0, 0, 0, 0, 0, 0x80})},
      {"big values past a granule", Frames(6, k128At44, 417, {0, 0, 0, 0, 0xFF})},
      {"a switched window of the normal type", Frames(6, k128At44, 417, {0, 0, 0, 0, 0, 0, 0x04})},
      {"more main data than the frame holds", Frames(6, k128At44, 417, {0, 0, 0x0F, 0xFF})},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    ExpectThoroughWritesNothing({Kind::Mp3}, Join({Filler(7), c.data, Filler(30)}));
  }
  // Two Layer I subbands of one sample set each fit in the frame, a third would not.
  const Bytes full = Frames(6, layer1, 32, {0x11});
  ScanRun run;
  ScanThorough(run, {Kind::Mp3}, Join({Filler(7), full, Filler(30)}));
  ASSERT_EQ(run.host.outputs.size(), 1u);
  EXPECT_EQ(run.Output(0), full);
}

// A frame may begin its main data in the frames before it, but not inside the main data of
// the frame before it.
TEST(MpegAudioThorough, MainDataOfFramesDoesNotOverlap) {
  const Bytes first = Frames(1, k128At44, 417, {0, 0, 0x06, 0x40});  // 200 bytes of main data
  const struct {
    const char* what;
    Bytes second;
    std::size_t kept;
  } cases[] = {
      // 381 bytes back: where the first frame's main data begins.
      {"overlapping", Frames(1, k128At44, 417, {0xBE, 0x80}), 5 * 417},
      // 181 bytes back: where the first frame's main data ends.
      {"adjoining", Frames(1, k128At44, 417, {0x5A, 0x80}), 6 * 417},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    const Bytes run = Join({first, c.second, Frames(4)});
    ScanRun scan;
    ScanThorough(scan, {Kind::Mp3}, Join({Filler(7), run, Filler(30)}));
    ASSERT_EQ(scan.host.outputs.size(), 1u);
    EXPECT_EQ(scan.Output(0), Slice(run, run.size() - c.kept, c.kept));
  }
}

TEST(MpegAudioThorough, WholeFramesOnlyWhenTheInputEnds) {
  const Bytes run = Frames(8);
  const struct {
    std::size_t length;
    std::size_t kept;
    bool cut;
  } cases[] = {
      {8 * 417, 8 * 417, false},
      {8 * 417 - 1, 7 * 417, true},
      {7 * 417 + 100, 7 * 417, true},
      {5 * 417 + 10, 5 * 417, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.length);
    ScanRun scan;
    ScanThorough(scan, {Kind::Mp3}, Join({Filler(5), Slice(run, 0, c.length)}));
    ASSERT_EQ(scan.host.outputs.size(), 1u);
    EXPECT_EQ(scan.host.outputs[0].cut, c.cut);
    EXPECT_EQ(scan.Output(0), Slice(run, 0, c.kept));
  }
  // Cut inside the fifth frame, four whole ones are too few.
  ExpectThoroughWritesNothing({Kind::Mp3}, Slice(run, 0, 5 * 417 - 1));
}

// Frame offsets of an MPEG-1 or MPEG-2 Layer II/III file, from `at` to its first non-frame.
std::vector<std::size_t> FrameStarts(const Bytes& file, std::size_t at) {
  std::vector<std::size_t> starts;
  while (at + 4 <= file.size()) {
    const int length = FrameLengthOfHeader(std::uint32_t{file[at]} << 24 | file[at + 1] << 16 |
                                           file[at + 2] << 8 | file[at + 3]);
    if (length == 0) break;
    starts.push_back(at);
    at += static_cast<std::size_t>(length);
  }
  return starts;
}

TEST(MpegAudioThorough, BrokenFrameSplitsTheFileAndTheNextFileComesWhole) {
  const Bytes good = ReadTestData("mp3/cbr128_44k_id3v1.mp3");
  const std::size_t tagEnd = 10 + 45;
  const std::vector<std::size_t> starts = FrameStarts(good, tagEnd);
  ASSERT_EQ(starts.size(), 41u);
  Bytes broken = good;
  broken[starts[20] + 1] = 0x00;  // frame 20 loses its sync
  const Bytes before = Filler(21);
  ScanRun run;
  ScanThorough(run, {Kind::Mp3}, Join({before, broken, good}));
  ASSERT_EQ(run.host.outputs.size(), 3u);
  EXPECT_EQ(run.Output(0), Slice(good, 0, starts[20]));
  EXPECT_EQ(run.host.outputs[1].offset, static_cast<std::int64_t>(before.size() + starts[21]));
  EXPECT_EQ(run.Output(1), Slice(good, starts[21], good.size() - starts[21]));
  EXPECT_EQ(run.Output(2), good);
  for (const OutputRecord& out : run.host.outputs) EXPECT_FALSE(out.cut);
}

TEST(MpegAudioThorough, TagsBehindTheFramesBelongToThem) {
  const Bytes lyrics1 = Text("LYRICSBEGINla la la la\r\nLYRICSEND");
  const struct {
    const char* what;
    Bytes tail;
    std::size_t kept;
  } cases[] = {
      {"ID3v1", Id3v1(), 128},
      {"ID3v1 cut by the input's end", Slice(Id3v1(), 0, 100), 0},
      {"APE with a header", ApeTag(true), ApeTag(true).size()},
      {"APE with only a footer, then ID3v1", Join({ApeTag(false), Id3v1()}),
       ApeTag(false).size() + 128},
      {"APE whose footer miscounts its items", Join({ApeTag(false, 3), Id3v1()}), 0},
      {"Lyrics3 version 2, then ID3v1", Join({Lyrics3v2(), Id3v1()}), Lyrics3v2().size() + 128},
      {"Lyrics3 version 2 of a wrong size", Join({Lyrics3v2(1), Id3v1()}), 0},
      {"Lyrics3 version 1, then ID3v1", Join({lyrics1, Id3v1()}), lyrics1.size() + 128},
      {"Lyrics3 version 1 without ID3v1", Join({lyrics1, Filler(128)}), 0},
      {"APE, Lyrics3, ID3v1", Join({ApeTag(true), Lyrics3v2(), Id3v1()}),
       ApeTag(true).size() + Lyrics3v2().size() + 128},
      {"Lyrics3, APE, ID3v1", Join({Lyrics3v2(), ApeTag(false), Id3v1()}),
       Lyrics3v2().size() + ApeTag(false).size() + 128},
  };
  const Bytes run = Frames(6);
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    ScanRun scan;
    ScanThorough(scan, {Kind::Mp3}, Join({Filler(3), run, c.tail}));
    ASSERT_EQ(scan.host.outputs.size(), 1u);
    EXPECT_FALSE(scan.host.outputs[0].cut);
    EXPECT_EQ(scan.Output(0), Join({run, Slice(c.tail, 0, c.kept)}));
  }
}

TEST(MpegAudioThorough, Id3v2TagInFrontWhenItIsWellFormed) {
  const Bytes frames = Frames(6);
  // Header of a tag whose ten-byte body is filler; `footer` is appended behind the body.
  const auto tag = [](std::vector<std::uint8_t> head, const Bytes& footer = {}) {
    Bytes b = Text("ID3");
    b.insert(b.end(), head.begin(), head.end());
    return Join({b, Filler(10), footer});
  };
  const Bytes footer = Join({Text("3DI"), {4, 0, 0x10, 0, 0, 0, 10}});
  const struct {
    const char* what;
    Bytes tag;
    bool taken;
  } cases[] = {
      {"version 2", tag({2, 0, 0x40, 0, 0, 0, 10}), true},
      {"version 3", tag({3, 0, 0xE0, 0, 0, 0, 10}), true},
      {"version 4 with its footer", tag({4, 0, 0x10, 0, 0, 0, 10}, footer), true},
      {"version 4, footer flag without a footer", tag({4, 0, 0x10, 0, 0, 0, 10}), false},
      {"version 5", tag({5, 0, 0, 0, 0, 0, 10}), false},
      {"revision 0xFF", tag({3, 0xFF, 0, 0, 0, 0, 10}), false},
      {"a flag version 3 does not define", tag({3, 0, 0x10, 0, 0, 0, 10}), false},
      {"a size byte that is not sync-safe", tag({3, 0, 0, 0, 0, 0x80, 10}), false},
      {"a size past the first frame", tag({3, 0, 0, 0, 0, 0, 11}), false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    const Bytes before = Filler(9);
    ScanRun scan;
    ScanThorough(scan, {Kind::Mp3}, Join({before, c.tag, frames, Filler(20)}));
    ASSERT_EQ(scan.host.outputs.size(), 1u);
    const std::size_t skipped = c.taken ? 0 : c.tag.size();
    EXPECT_EQ(scan.host.outputs[0].offset, static_cast<std::int64_t>(before.size() + skipped));
    EXPECT_EQ(scan.Output(0), Join({Slice(c.tag, skipped, c.tag.size() - skipped), frames}));
  }
}

TEST(MpegAudioThorough, TagAloneIsNotTakenForOtherKinds) {
  const Bytes sample = ReadTestData("mp3/id3v23_32k.mp3");
  ExpectThoroughWritesNothing({Kind::Flac, Kind::Aac, Kind::Ogg}, sample);
}

}  // namespace
}  // namespace sorvend::test
