// The thorough rules for game video: id RoQ, MPEG program streams and MPEG transport streams.
#include <gtest/gtest.h>

#include "tests/support/test_support.h"

namespace sorvend::test {
namespace {

std::uint32_t Le32At(const Bytes& b, std::size_t at) {
  return b[at] | b[at + 1] << 8 | b[at + 2] << 16 | static_cast<std::uint32_t>(b[at + 3]) << 24;
}

// ---- RoQ

// Where the chunks behind the signature chunk start, and the end of the last one.
std::vector<std::size_t> RoqChunks(const Bytes& roq) {
  std::vector<std::size_t> at{8};
  while (at.back() < roq.size()) at.push_back(at.back() + 8 + Le32At(roq, at.back() + 2));
  EXPECT_EQ(at.back(), roq.size());
  return at;
}

TEST(RoqThorough, SampleComesOutWhole) {
  ExpectThoroughSampleComesOutWhole(Kind::Roq, ".ROQ", "roq/testsrc.roq");
}

TEST(RoqThorough, EndsBehindTheLastChunkOfAKnownId) {
  const Bytes roq = ReadTestData("roq/testsrc.roq");
  const std::vector<std::size_t> chunks = RoqChunks(roq);
  ASSERT_GT(chunks.size(), 6u);
  ScanRun run;
  ScanThorough(
      run, {Kind::Roq},
      Join({Filler(3), Slice(roq, 0, chunks[4]), {0x40, 0x10, 8, 0, 0, 0, 0, 0}, Filler(20)}));
  ASSERT_EQ(run.host.outputs.size(), 1u);
  EXPECT_FALSE(run.host.outputs[0].cut);
  EXPECT_EQ(run.Output(0), Slice(roq, 0, chunks[4]));
  ExpectThoroughCut(Kind::Roq, roq, chunks[5] + 20, chunks[5]);
  ExpectThoroughCut(Kind::Roq, roq, chunks[5] + 3, chunks[5]);
  ExpectThoroughCut(Kind::Roq, roq, chunks[1] + 3, 0);
}

TEST(RoqThorough, RefusesWhatNoPlayerOpens) {
  const Bytes roq = ReadTestData("roq/testsrc.roq");
  const std::vector<std::size_t> chunks = RoqChunks(roq);
  // A frame rate of 0, a chunk of an unknown id first, the information chunk alone.
  ExpectThoroughWritesNothing({Kind::Roq}, Join({Filler(3), Patched(roq, 6, {0, 0})}));
  ExpectThoroughWritesNothing({Kind::Roq}, Join({Filler(3), Patched(roq, 9, {0x50})}));
  ExpectThoroughWritesNothing({Kind::Roq}, Join({Filler(3), Slice(roq, 0, chunks[1]), Filler(9)}));
}

// ---- MPEG program streams

TEST(MpegPsThorough, SamplesComeOutWhole) {
  ExpectThoroughSampleComesOutWhole(Kind::Mpg, ".MPG", "mpeg/testsrc.mpg");
  ExpectThoroughSampleComesOutWhole(Kind::Mpg, ".MPG", "mpeg/testsrc.vob");
}

TEST(MpegPsThorough, TheEndCodeEndsTheStream) {
  const Bytes mpg = ReadTestData("mpeg/testsrc.mpg");
  const Bytes ended = Join({mpg, {0x00, 0x00, 0x01, 0xB9}});
  ScanRun run;
  ScanThorough(run, {Kind::Mpg}, Join({Filler(3), ended, {0x00, 0x00, 0x01, 0xE0, 0, 0}}));
  ASSERT_EQ(run.host.outputs.size(), 1u);
  EXPECT_FALSE(run.host.outputs[0].cut);
  EXPECT_EQ(run.Output(0), ended);
}

// The VOB's packs are 2,048 bytes, each opening with a 14-byte pack header.
TEST(MpegPsThorough, CutsKeepTheWholePacketsBefore) {
  const Bytes vob = ReadTestData("mpeg/testsrc.vob");
  ASSERT_EQ(vob.size(), 3u * 2048);
  ExpectThoroughCut(Kind::Mpg, vob, 2048 + 14 + 100, 2048 + 14);
  ExpectThoroughCut(Kind::Mpg, vob, 4096 + 2, 4096);
  // The first pack alone is no stream.
  ExpectThoroughCut(Kind::Mpg, vob, 2048 + 10, 0);
  // A pack header without its marker bits breaks the stream.
  ExpectThoroughCutThenWhole(Kind::Mpg, Patched(vob, 4096 + 4, {0x40}), Slice(vob, 0, 4096),
                             ReadTestData("mpeg/testsrc.mpg"));
}

TEST(MpegPsThorough, NeedsTwoPacksWithARisingClock) {
  const Bytes vob = ReadTestData("mpeg/testsrc.vob");
  const Bytes two = Slice(vob, 0, 4096);
  ScanRun run;
  ScanThorough(run, {Kind::Mpg}, Join({Filler(3), two, Filler(5)}));
  ASSERT_EQ(run.host.outputs.size(), 1u);
  EXPECT_EQ(run.Output(0), two);
  // The second pack's clock made the first's.
  Bytes still = two;
  std::copy(vob.begin() + 4, vob.begin() + 10, still.begin() + 2048 + 4);
  ExpectThoroughWritesNothing({Kind::Mpg}, Join({Filler(3), still, Filler(5)}));
  ExpectThoroughWritesNothing({Kind::Mpg}, Join({Filler(3), Slice(vob, 0, 2048), Filler(5)}));
}

// ---- MPEG transport streams

constexpr std::size_t kPacket = 188;

TEST(MpegTsThorough, SamplesComeOutWhole) {
  ExpectThoroughSampleComesOutWhole(Kind::Ts, ".TS", "mpegts/testsrc.ts");
  ExpectThoroughSampleComesOutWhole(Kind::Ts, ".M2TS", "mpegts/testsrc.m2ts");
  ScanRun run;
  ScanThorough(run, {Kind::Ts},
               Join({ReadTestData("mpegts/testsrc.m2ts"), ReadTestData("mpegts/testsrc.ts")}));
  ASSERT_EQ(run.host.outputs.size(), 2u);
  EXPECT_EQ(run.host.outputs[0].kind, "M2TS");
  EXPECT_EQ(run.host.outputs[1].kind, "TS");
}

TEST(MpegTsThorough, CutsKeepTheWholePackets) {
  const Bytes ts = ReadTestData("mpegts/testsrc.ts");
  ExpectThoroughCut(Kind::Ts, ts, 30 * kPacket + 100, 30 * kPacket);
  ExpectThoroughCut(Kind::Ts, ts, 15 * kPacket + 100, 0);
  const Bytes m2ts = ReadTestData("mpegts/testsrc.m2ts");
  ExpectThoroughCut(Kind::Ts, m2ts, 20 * 192 + 50, 20 * 192);
  // Sixteen packets make a stream; what follows out of step is not the stream's.
  ScanRun run;
  ScanThorough(run, {Kind::Ts}, Join({Filler(3), Slice(ts, 0, 16 * kPacket), Filler(200)}));
  ASSERT_EQ(run.host.outputs.size(), 1u);
  EXPECT_FALSE(run.host.outputs[0].cut);
  EXPECT_EQ(run.Output(0), Slice(ts, 0, 16 * kPacket));
}

// ffmpeg writes the service description (packet 0), the association table (packet 1) and the
// program map table (packet 2) first, and both tables again 25 packets on.
TEST(MpegTsThorough, NeedsTheTablesThatNameItsStreams) {
  const Bytes ts = ReadTestData("mpegts/testsrc.ts");
  ASSERT_EQ(ts[kPacket + 2], 0x00);
  ASSERT_EQ(ts[2 * kPacket + 1] & 0x1F, 0x10);
  ASSERT_EQ(ts[26 * kPacket + 2], 0x00);
  ASSERT_EQ(ts[27 * kPacket + 1] & 0x1F, 0x10);
  const struct {
    const char* what;
    std::size_t at;
    std::uint8_t value;
  } damages[] = {
      {"no association table", kPacket + 1, 0x5F},
      {"an association table failing its CRC", kPacket + 20, 0x55},
      {"no program map table", 2 * kPacket + 1, 0x51},
      {"a program map table failing its CRC", 2 * kPacket + 20, 0x55},
  };
  for (const auto& d : damages) {
    SCOPED_TRACE(d.what);
    Bytes bad = ts;
    bad[d.at] = d.value;
    bad[d.at + 25 * kPacket] = d.value;
    ExpectThoroughWritesNothing({Kind::Ts}, Join({Filler(13), bad, Filler(40)}));
  }
}

// A run of packets in step is looked at from its first packet: a stream behind two stray
// packets starts with them, and a long run without tables is refused once.
TEST(MpegTsThorough, ARunIsTakenFromItsFirstPacket) {
  const Bytes ts = ReadTestData("mpegts/testsrc.ts");
  Bytes stray = Filler(kPacket);
  stray[0] = 0x47;
  stray[3] = 0x10;
  const Bytes run2 = Join({stray, stray, ts});
  ScanRun run;
  ScanThorough(run, {Kind::Ts}, Join({Filler(5), run2}));
  ASSERT_EQ(run.host.outputs.size(), 1u);
  EXPECT_EQ(run.Output(0), run2);
  Bytes nulls;
  for (int i = 0; i < 3000; ++i) Append(nulls, Patched(stray, 1, {0x1F, 0xFF}));
  ExpectThoroughWritesNothing({Kind::Ts}, Join({Filler(5), nulls, Filler(7)}));
}

}  // namespace
}  // namespace sorvend::test

namespace sorvend::test {
namespace {

// Samples of every game sound and video kind with lying bytes (sizes, counts, tables, headers),
// cut short at times, scanned thorough: every scan ends and writes only slices of its input.
TEST(GameMediaThorough, LyingSamplesScanSafely) {
  std::vector<Bytes> samples;
  for (const char* name :
       {"wavpack/tone_mono.wv", "wavpack/tone_51.wv", "musepack/tone.mpc", "tta/tone.tta",
        "adx/tone.adx", "caf/pcm.caf", "caf/alac.caf", "ac3/tone.ac3", "roq/testsrc.roq",
        "mpeg/testsrc.mpg", "mpeg/testsrc.vob", "mpegts/testsrc.ts", "mpegts/testsrc.m2ts"}) {
    samples.push_back(ReadTestData(name));
  }
  ExpectRandomSoupsScanSafely(
      {Kind::Wv, Kind::Mpc, Kind::Tta, Kind::Adx, Kind::Caf, Kind::Ac3, Kind::Roq, Kind::Mpg,
       Kind::Ts, Kind::Wav},
      20261220,
      [&](Bytes& input, std::mt19937& rng, int) {
        AppendDamagedSample(input, rng, samples, 600);
        AppendRandomBytes(input, rng, 40);
      },
      Profile::Thorough);
}

}  // namespace
}  // namespace sorvend::test
