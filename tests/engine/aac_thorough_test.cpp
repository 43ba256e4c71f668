// The thorough ADTS rule: at least five frames whose headers agree, chained by their lengths,
// whole frames only, an ID3v2 tag in front.
#include <gtest/gtest.h>

#include "tests/support/test_support.h"

namespace sorvend::test {
namespace {

struct Fields {
  int version = 0;  // 0 MPEG-4, 1 MPEG-2
  int layer = 0;
  int profile = 1;    // low complexity
  int frequency = 4;  // 44.1 kHz
  int channels = 2;
  bool checksum = false;
  int blocks = 1;
};

// The head of a single channel element that a decoder accepts: all fields zero.
const Bytes kQuietElement = {0, 0, 0, 0};

// A frame of `length` bytes: the seven header bytes, the block positions and checksum where
// asked, the head of its first element, and filler (which holds no 0xFF).
Bytes AdtsFrame(const Fields& f, int length, const Bytes& element = kQuietElement) {
  const int fullness = 0x7FF;
  Bytes b = {0xFF,
             static_cast<std::uint8_t>(0xF0 | f.version << 3 | f.layer << 1 | !f.checksum),
             static_cast<std::uint8_t>(f.profile << 6 | f.frequency << 2 | f.channels >> 2),
             static_cast<std::uint8_t>((f.channels & 3) << 6 | length >> 11),
             static_cast<std::uint8_t>(length >> 3),
             static_cast<std::uint8_t>((length & 7) << 5 | fullness >> 6),
             static_cast<std::uint8_t>((fullness & 0x3F) << 2 | (f.blocks - 1))};
  if (f.checksum) Append(b, Bytes(static_cast<std::size_t>(2 * f.blocks), 0));
  const std::size_t room =
      static_cast<std::size_t>(length) - std::min<std::size_t>(b.size(), length);
  Append(b, Slice(element, 0, std::min(room, element.size())));
  Append(b, Filler(static_cast<std::size_t>(length) - b.size(), static_cast<std::uint8_t>(length)));
  return b;
}

Bytes AdtsRun(int count, const Fields& f = {}, int length = 200) {
  Bytes b;
  for (int i = 0; i < count; ++i) Append(b, AdtsFrame(f, length + i));
  return b;
}

// Offsets of the frames of an ADTS file, by the length field of each header.
std::vector<std::size_t> FrameStarts(const Bytes& adts, std::size_t at) {
  std::vector<std::size_t> starts;
  while (at + 7 <= adts.size() && adts[at] == 0xFF) {
    starts.push_back(at);
    at += (adts[at + 3] & 3u) << 11 | adts[at + 4] << 3 | adts[at + 5] >> 5;
  }
  return starts;
}

TEST(AacThorough, SamplesComeOutWhole) {
  for (const char* name : {"aac/lc_44k.aac", "aac/main_22k_stereo.aac", "aac/id3_44k.aac"}) {
    ExpectThoroughSampleComesOutWhole(Kind::Aac, ".AAC", name);
  }
}

TEST(AacThorough, HeaderFieldsDecide) {
  const auto with = [](auto change) {
    Fields f;
    change(f);
    return f;
  };
  const struct {
    const char* what;
    Fields fields;
    int length;
    bool taken;
  } cases[] = {
      {"MPEG-4 low complexity", {}, 200, true},
      {"MPEG-2, 8 kHz mono",
       with([](Fields& f) { f.version = 1, f.frequency = 11, f.channels = 1; }), 200, true},
      {"MPEG-4 LTP", with([](Fields& f) { f.profile = 3; }), 200, true},
      {"with checksums", with([](Fields& f) { f.checksum = true; }), 10, true},
      {"with checksums, two blocks", with([](Fields& f) { f.checksum = true, f.blocks = 2; }), 12,
       true},
      {"channels from the stream", with([](Fields& f) { f.channels = 0; }), 200, true},
      {"MPEG-2 profile 3", with([](Fields& f) { f.version = 1, f.profile = 3; }), 200, false},
      {"sampling frequency 13", with([](Fields& f) { f.frequency = 13; }), 200, false},
      {"sampling frequency 15", with([](Fields& f) { f.frequency = 15; }), 200, false},
      {"layer 01", with([](Fields& f) { f.layer = 1; }), 200, false},
      {"header only", {}, 7, false},
      {"checksum, no data", with([](Fields& f) { f.checksum = true; }), 9, false},
      {"checksums of two blocks, no data", with([](Fields& f) { f.checksum = true, f.blocks = 2; }),
       11, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    Bytes run;
    for (int i = 0; i < 6; ++i) Append(run, AdtsFrame(c.fields, c.length));
    ScanRun scan;
    ScanThorough(scan, {Kind::Aac}, Join({Filler(5), run, Filler(9)}));
    if (!c.taken) {
      EXPECT_TRUE(scan.host.outputs.empty());
      continue;
    }
    ASSERT_EQ(scan.host.outputs.size(), 1u);
    EXPECT_FALSE(scan.host.outputs[0].cut);
    EXPECT_EQ(scan.Output(0), run);
  }
}

TEST(AacThorough, RefusesRunsThatAreNotOneStream) {
  const auto changed = [](std::size_t frame, auto change) {
    Bytes b;
    for (std::size_t i = 0; i < 5; ++i) {
      Fields f;
      if (i == frame) change(f);
      Append(b, AdtsFrame(f, 200));
    }
    return b;
  };
  Bytes gap = AdtsRun(5);
  gap.insert(gap.begin() + 401, 'x');
  const struct {
    const char* what;
    Bytes data;
  } cases[] = {
      {"four frames", AdtsRun(4)},
      {"profile changes", changed(2, [](Fields& f) { f.profile = 0; })},
      {"sampling frequency changes", changed(2, [](Fields& f) { f.frequency = 3; })},
      {"channels change", changed(2, [](Fields& f) { f.channels = 1; })},
      {"MPEG version changes", changed(2, [](Fields& f) { f.version = 1; })},
      {"a byte between two frames", gap},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    ExpectThoroughWritesNothing({Kind::Aac}, Join({Filler(7), c.data, Filler(30)}));
  }
}

TEST(AacThorough, WholeFramesOnlyWhenTheInputEnds) {
  const Bytes adts = ReadTestData("aac/lc_44k.aac");
  const std::vector<std::size_t> starts = FrameStarts(adts, 0);
  ASSERT_GT(starts.size(), 8u);
  const struct {
    std::size_t length;
    std::size_t kept;
    bool cut;
  } cases[] = {
      {starts[8], starts[8], false},
      {starts[8] + 3, starts[8], false},  // too little of a header to tell a frame
      {starts[8] + 7, starts[8], true},
      {adts.size() - 1, starts.back(), true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.length);
    ScanRun scan;
    ScanThorough(scan, {Kind::Aac}, Join({Filler(5), Slice(adts, 0, c.length)}));
    ASSERT_EQ(scan.host.outputs.size(), 1u);
    EXPECT_EQ(scan.host.outputs[0].cut, c.cut);
    EXPECT_EQ(scan.Output(0), Slice(adts, 0, c.kept));
  }
  ExpectThoroughWritesNothing({Kind::Aac}, Slice(adts, 0, starts[5] - 1));
}

// A frame whose first element a decoder refuses ends the stream before it; the frames behind
// it make a stream of their own.
TEST(AacThorough, FirstElementADecoderRefusesSplitsTheStream) {
  const struct {
    const char* what;
    Bytes element;
  } cases[] = {
      {"reserved bit set", {0x00, 0x01, 0x00, 0x00}},
      {"63 scale factor bands in a long window", {0x00, 0x00, 0x1F, 0x80}},
      {"prediction in a low-complexity stream", {0x00, 0x00, 0x00, 0x40}},
      {"reserved stereo mask in a channel pair", {0x21, 0x00, 0x18, 0x00}},
      {"15 bands in a short window at 44.1 kHz", {0x00, 0x00, 0x9E, 0x00}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    Bytes adts;
    std::vector<std::size_t> starts;
    for (int i = 0; i < 16; ++i) {
      starts.push_back(adts.size());
      Append(adts, AdtsFrame({}, 150 + i, i == 6 ? c.element : kQuietElement));
    }
    ScanRun run;
    ScanThorough(run, {Kind::Aac}, adts);
    ASSERT_EQ(run.host.outputs.size(), 2u);
    EXPECT_EQ(run.Output(0), Slice(adts, 0, starts[6]));
    EXPECT_EQ(run.host.outputs[1].offset, static_cast<std::int64_t>(starts[7]));
    EXPECT_EQ(run.Output(1), Slice(adts, starts[7], adts.size() - starts[7]));
  }
}

TEST(AacThorough, BrokenFrameSplitsTheStreamAndTheNextFileComesWhole) {
  const Bytes good = ReadTestData("aac/lc_44k.aac");
  const std::vector<std::size_t> starts = FrameStarts(good, 0);
  ASSERT_GT(starts.size(), 16u);
  Bytes broken = good;
  broken[starts[8] + 2] |= 0x3C;  // sampling frequency 15
  const Bytes before = Filler(21);
  ScanRun run;
  // Frames of two streams that follow each other directly would chain into one run.
  ScanThorough(run, {Kind::Aac}, Join({before, broken, Filler(5), good}));
  ASSERT_EQ(run.host.outputs.size(), 3u);
  EXPECT_EQ(run.Output(0), Slice(good, 0, starts[8]));
  EXPECT_EQ(run.host.outputs[1].offset, static_cast<std::int64_t>(before.size() + starts[9]));
  EXPECT_EQ(run.Output(1), Slice(good, starts[9], good.size() - starts[9]));
  EXPECT_EQ(run.Output(2), good);
}

}  // namespace
}  // namespace sorvend::test
