// The thorough FLAC rule: metadata blocks, frames measured subframe by subframe and checked by
// their CRCs, in order, up to the sample count STREAMINFO gives.
#include <gtest/gtest.h>

#include "tests/support/test_support.h"

namespace sorvend::test {
namespace {

// Frame offsets of a fixed-block-size stream of fewer than 128 frames: each header starts with
// the sync and holds its frame number in its fifth byte.
std::vector<std::size_t> FrameStarts(const Bytes& flac, std::size_t first, std::size_t count) {
  std::vector<std::size_t> starts;
  for (std::size_t at = first; at + 4 < flac.size() && starts.size() < count; ++at) {
    if (flac[at] == 0xFF && flac[at + 1] == 0xF8 && flac[at + 4] == starts.size()) {
      starts.push_back(at);
    }
  }
  return starts;
}

constexpr std::size_t kSoxFrames = 114;      // "fLaC", STREAMINFO and a comment block
constexpr std::size_t kFfmpegFrames = 8256;  // the same and a PADDING block

// The sample with STREAMINFO's 36-bit sample count set to `samples`.
Bytes WithSampleCount(Bytes flac, std::uint32_t samples) {
  flac[21] &= 0xF0;
  for (int i = 0; i < 4; ++i) flac[22 + i] = static_cast<std::uint8_t>(samples >> (24 - 8 * i));
  return flac;
}

TEST(FlacThorough, SamplesComeOutWhole) {
  for (const char* name :
       {"flac/sox_mono_8k.flac", "flac/sox_stereo_24bit.flac", "flac/sox_noise_8bit.flac",
        "flac/ffmpeg_stereo.flac", "flac/ffmpeg_piped.flac"}) {
    ExpectThoroughSampleComesOutWhole(Kind::Flac, ".FLAC", name);
  }
}

TEST(FlacThorough, Id3v2TagInFrontBelongsToTheStream) {
  const Bytes flac = ReadTestData("flac/sox_noise_8bit.flac");
  Bytes tagged;
  AppendText(tagged, "ID3");
  Append(tagged, {3, 0, 0, 0, 0, 0, 20});
  Append(tagged, Filler(20));
  Append(tagged, flac);
  const Bytes before = Filler(17);
  ScanRun run;
  ScanThorough(run, {Kind::Flac}, Join({before, tagged, Filler(9)}));
  ASSERT_EQ(run.host.outputs.size(), 1u);
  EXPECT_EQ(run.host.outputs[0].name, run.dir.File("ANT0000.FLAC"));
  EXPECT_EQ(run.host.outputs[0].offset, static_cast<std::int64_t>(before.size()));
  EXPECT_FALSE(run.host.outputs[0].cut);
  EXPECT_EQ(run.Output(0), tagged);
}

TEST(FlacThorough, RefusesWhatNoDecoderPlays) {
  const Bytes flac = ReadTestData("flac/sox_mono_8k.flac");
  const std::vector<std::size_t> starts = FrameStarts(flac, kSoxFrames, 5);
  ASSERT_EQ(starts.size(), 5u);
  const auto changed = [&](std::size_t at, std::uint8_t value) {
    Bytes b = flac;
    b[at] = value;
    return b;
  };
  Bytes tinyBlocks = flac;
  tinyBlocks[8] = 0;
  tinyBlocks[9] = 15;
  Bytes noRate = flac;
  noRate[18] = noRate[19] = 0;
  noRate[20] &= 0x0F;
  const struct {
    const char* what;
    Bytes data;
  } cases[] = {
      {"the magic as a program constant", Join({Slice(flac, 0, 4), Filler(64)})},
      {"blocks of 15 samples", tinyBlocks},
      {"no sampling rate", noRate},
      {"a comment block first", changed(4, 4)},
      {"STREAMINFO twice", changed(42, 0x80)},
      {"a block of the invalid type", changed(42, 0xFF)},
      {"cut inside the metadata", Slice(flac, 0, 80)},
      {"metadata only", Slice(flac, 0, kSoxFrames)},
      {"the first frame's header CRC-8 fails", changed(kSoxFrames + 5, flac[kSoxFrames + 5] ^ 1)},
      {"the first frame's CRC-16 fails", changed(starts[1] - 1, flac[starts[1] - 1] ^ 1)},
      {"the first frame's number is 1", changed(kSoxFrames + 4, 1)},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    ExpectThoroughWritesNothing({Kind::Flac}, Join({Filler(11), c.data, Filler(40)}));
  }
}

TEST(FlacThorough, FramesAddUpToTheSampleCount) {
  const Bytes flac = ReadTestData("flac/sox_mono_8k.flac");  // 4800 samples
  const std::vector<std::size_t> starts = FrameStarts(flac, kSoxFrames, 5);
  ASSERT_EQ(starts.size(), 5u);
  const Bytes frame1Twice =
      Join({Slice(flac, 0, starts[2]), Slice(flac, starts[1], starts[2] - starts[1]),
            Slice(flac, starts[2], flac.size() - starts[2])});
  const struct {
    const char* what;
    Bytes data;
    std::size_t kept;
    bool cut;
  } cases[] = {
      {"frame 1 twice", frame1Twice, starts[2], true},
      {"STREAMINFO counts fewer samples than the frames hold", WithSampleCount(flac, 4000),
       starts[3], true},
      {"STREAMINFO counts more samples than the frames hold", WithSampleCount(flac, 6000),
       flac.size(), true},
      {"sample count not known", WithSampleCount(flac, 0), flac.size(), false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    ScanRun run;
    ScanThorough(run, {Kind::Flac}, Join({Filler(6), c.data, Filler(30)}));
    ASSERT_EQ(run.host.outputs.size(), 1u);
    EXPECT_EQ(run.host.outputs[0].cut, c.cut);
    EXPECT_EQ(run.Output(0), Slice(c.data, 0, c.kept));
  }
}

TEST(FlacThorough, StreamCutByTheInputsEnd) {
  const Bytes known = ReadTestData("flac/sox_mono_8k.flac");
  const Bytes unknown = ReadTestData("flac/ffmpeg_piped.flac");
  const std::vector<std::size_t> k = FrameStarts(known, kSoxFrames, 5);
  const std::vector<std::size_t> u = FrameStarts(unknown, kFfmpegFrames, 5);
  ASSERT_EQ(k.size(), 5u);
  ASSERT_EQ(u.size(), 5u);
  const struct {
    const char* what;
    const Bytes& flac;
    std::size_t length;
    std::size_t kept;
    bool cut;
  } cases[] = {
      {"count known, end between frames", known, k[3], k[3], true},
      {"count known, end inside a frame", known, k[3] + 100, k[3], true},
      {"count known, last byte missing", known, known.size() - 1, k[4], true},
      {"count not known, end between frames", unknown, u[3], u[3], false},
      {"count not known, end inside a frame", unknown, u[3] + 100, u[3], true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    ScanRun run;
    ScanThorough(run, {Kind::Flac}, Join({Filler(3), Slice(c.flac, 0, c.length)}));
    ASSERT_EQ(run.host.outputs.size(), 1u);
    EXPECT_EQ(run.host.outputs[0].cut, c.cut);
    EXPECT_EQ(run.Output(0), Slice(c.flac, 0, c.kept));
  }
  ExpectThoroughWritesNothing({Kind::Flac}, Slice(known, 0, k[1] - 1));
}

TEST(FlacThorough, DamagedFrameCutsTheStreamAndTheNextOneComesWhole) {
  const Bytes flac = ReadTestData("flac/sox_mono_8k.flac");
  const std::vector<std::size_t> starts = FrameStarts(flac, kSoxFrames, 5);
  ASSERT_EQ(starts.size(), 5u);
  Bytes broken = flac;
  broken[starts[2] + 40] ^= 0x10;
  ExpectThoroughCutThenWhole(Kind::Flac, broken, Slice(flac, 0, starts[2]), flac);
}

}  // namespace
}  // namespace sorvend::test
