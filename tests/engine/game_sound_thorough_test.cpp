// The thorough rules for game sound: WavPack, Musepack SV8, TTA, CRI ADX, CAF and raw AC-3.
// Each sample comes out bit-exact, cuts and damage leave the whole units before them or
// nothing, and look-alikes give nothing.
#include <gtest/gtest.h>

#include "tests/support/test_support.h"

namespace sorvend::test {
namespace {

// Offsets where the units of `data` start and, as the last entry, where the last one ends; a
// unit at `at` is `size(at)` bytes long and they follow from `first` on.
template <class Size>
std::vector<std::size_t> Units(const Bytes& data, std::size_t first, Size size) {
  std::vector<std::size_t> at{first};
  while (at.back() < data.size()) at.push_back(at.back() + size(at.back()));
  EXPECT_EQ(at.back(), data.size());
  return at;
}

std::uint32_t Le32At(const Bytes& b, std::size_t at) {
  return b[at] | b[at + 1] << 8 | b[at + 2] << 16 | static_cast<std::uint32_t>(b[at + 3]) << 24;
}

// The samples `names` back to back behind filler, scanned thorough with only `kind` ticked,
// come out one by one, whole.
void ExpectBackToBack(Kind kind, const std::vector<std::string>& names) {
  Bytes input = Filler(123);
  std::vector<Bytes> files;
  for (const std::string& name : names) {
    files.push_back(ReadTestData(name));
    Append(input, files.back());
  }
  ScanRun run;
  ScanThorough(run, {kind}, input);
  ASSERT_EQ(run.host.outputs.size(), names.size());
  for (std::size_t n = 0; n < names.size(); ++n) {
    SCOPED_TRACE(names[n]);
    EXPECT_EQ(run.Output(n), files[n]);
    EXPECT_FALSE(run.host.outputs[n].cut);
  }
}

// WavPack blocks: the size field counts the block less 8 bytes.
std::vector<std::size_t> WavPackBlocks(const Bytes& wv) {
  return Units(wv, 0, [&](std::size_t at) { return std::size_t{Le32At(wv, at + 4)} + 8; });
}

// ---- WavPack

TEST(WavPackThorough, SamplesComeOutWhole) {
  for (const char* name : {"wavpack/tone_mono.wv", "wavpack/tone_51.wv", "wavpack/hybrid.wv",
                           "wavpack/ffmpeg_stereo.wv"}) {
    ExpectThoroughSampleComesOutWhole(Kind::Wv, ".WV", name);
  }
  ExpectBackToBack(Kind::Wv, {"wavpack/tone_mono.wv", "wavpack/ffmpeg_stereo.wv",
                              "wavpack/tone_51.wv", "wavpack/tone_mono.wv"});
}

// The source's RIFF header in the first block is the WavPack file's, never a WAV of its own,
// with the WavPack kind ticked or not; a WAV right behind is still found.
TEST(WavPackThorough, AWavPackFileYieldsNoWav) {
  const Bytes wv = ReadTestData("wavpack/tone_mono.wv");
  ASSERT_LT(FindText(wv, "RIFF"), 64u);
  ExpectThoroughWritesNothing({Kind::Wav}, Join({Filler(3), wv, Filler(5)}));
  ScanRun both;
  ScanThorough(both, {Kind::Wav, Kind::Wv}, Join({Filler(3), wv, Filler(5)}));
  ASSERT_EQ(both.host.outputs.size(), 1u);
  EXPECT_EQ(both.host.outputs[0].kind, "WV");
  ExpectThoroughRefusedThenFound(Kind::Wav, wv, ReadTestData("riff/tone.wav"));
  // The same header in front of its samples anywhere else is a WAV's as before.
  const std::size_t riff = FindText(wv, "RIFF");
  const Bytes wav = Join({Slice(wv, riff, 44), Filler(Le32At(wv, riff + 40))});
  ScanRun alone;
  ScanThorough(alone, {Kind::Wav, Kind::Wv}, Join({Filler(3), wav}));
  ASSERT_EQ(alone.host.outputs.size(), 1u);
  EXPECT_EQ(alone.Output(0), wav);
}

// A multichannel frame is whole only with its final block; a cut inside it keeps the frames
// before.
TEST(WavPackThorough, CutsKeepTheWholeFramesBefore) {
  const Bytes wv = ReadTestData("wavpack/tone_51.wv");
  const std::vector<std::size_t> blocks = WavPackBlocks(wv);
  ASSERT_EQ(blocks.size(), 13u);
  // Frames end behind blocks 4, 8 and 12.
  ExpectThoroughCut(Kind::Wv, wv, blocks[1] + 10, 0);
  ExpectThoroughCut(Kind::Wv, wv, blocks[4], blocks[4]);
  ExpectThoroughCut(Kind::Wv, wv, blocks[6], blocks[4]);
  ExpectThoroughCut(Kind::Wv, wv, blocks[9] + 3, blocks[8]);
  ExpectThoroughCut(Kind::Wv, wv, wv.size() - 1, blocks[8]);
}

TEST(WavPackThorough, ABrokenBlockEndsTheObjectCut) {
  const Bytes wv = ReadTestData("wavpack/tone_mono.wv");
  const std::vector<std::size_t> blocks = WavPackBlocks(wv);
  ASSERT_EQ(blocks.size(), 6u);
  // A size that no longer agrees with the block's sub-blocks.
  Bytes broken = wv;
  broken[blocks[2] + 4] = static_cast<std::uint8_t>(broken[blocks[2] + 4] + 2);
  ExpectThoroughCutThenWhole(Kind::Wv, Slice(broken, 0, blocks[3]), Slice(wv, 0, blocks[2]),
                             ReadTestData("wavpack/ffmpeg_stereo.wv"));
  // A block whose index goes back starts another stream; the first one falls short of its
  // declared samples.
  broken = wv;
  broken[blocks[3] + 17] = 0;
  broken[blocks[3] + 16] = 0;
  ScanRun run;
  ScanThorough(run, {Kind::Wv}, Join({Filler(3), broken, Filler(9)}));
  ASSERT_EQ(run.host.outputs.size(), 2u);
  EXPECT_TRUE(run.host.outputs[0].cut);
  EXPECT_EQ(run.Output(0), Slice(wv, 0, blocks[3]));
  EXPECT_FALSE(run.host.outputs[1].cut);
  EXPECT_EQ(run.Output(1), Slice(broken, blocks[3], wv.size() - blocks[3]));
}

TEST(WavPackThorough, AStreamShortOfItsDeclaredSamplesIsCut) {
  const Bytes wv = ReadTestData("wavpack/tone_mono.wv");
  const std::vector<std::size_t> blocks = WavPackBlocks(wv);
  ExpectThoroughCutTo(Kind::Wv, Join({Slice(wv, 0, blocks[4]), Filler(30)}),
                      Slice(wv, 0, blocks[4]));
}

TEST(WavPackThorough, RefusesWhatNoDecoderOpens) {
  const Bytes wv = ReadTestData("wavpack/ffmpeg_stereo.wv");
  const struct {
    const char* what;
    std::size_t at;
    std::uint8_t value;
  } damages[] = {
      {"version 0x401", 8, 0x01},
      {"version 0x411", 8, 0x11},
      {"an odd size", 4, static_cast<std::uint8_t>(wv[4] | 1)},
      {"a size of 1 MiB", 6, 0x10},
      {"no initial block", 25, static_cast<std::uint8_t>(wv[25] & ~0x08)},
  };
  for (const auto& d : damages) {
    SCOPED_TRACE(d.what);
    Bytes bad = Slice(wv, 0, WavPackBlocks(wv)[1]);
    bad[d.at] = d.value;
    ExpectThoroughWritesNothing({Kind::Wv}, Join({Filler(13), bad, Filler(40)}));
  }
}

// ---- Musepack

std::vector<std::size_t> MusepackPackets(const Bytes& mpc) {
  return Units(mpc, 4, [&](std::size_t at) {
    std::size_t size = 0;
    for (std::size_t i = at + 2;; ++i) {
      size = size << 7 | (mpc[i] & 0x7F);
      if ((mpc[i] & 0x80) == 0) return size;
    }
  });
}

TEST(MusepackThorough, SampleComesOutWhole) {
  ExpectThoroughSampleComesOutWhole(Kind::Mpc, ".MPC", "musepack/tone.mpc");
  ExpectBackToBack(Kind::Mpc, {"musepack/tone.mpc", "musepack/tone.mpc"});
}

TEST(MusepackThorough, CutsKeepTheWholePacketsBefore) {
  const Bytes mpc = ReadTestData("musepack/tone.mpc");
  const std::vector<std::size_t> packets = MusepackPackets(mpc);
  ASSERT_GT(packets.size(), 8u);
  // SH, RG, EI and SO come before the first audio packet.
  ASSERT_EQ(mpc[packets[4]], 'A');
  ExpectThoroughCut(Kind::Mpc, mpc, packets[4] + 5, 0);
  ExpectThoroughCut(Kind::Mpc, mpc, packets[6] + 1, packets[6]);
  ExpectThoroughCut(Kind::Mpc, mpc, mpc.size() - 1, packets[packets.size() - 2]);
  // A key that is no key breaks the walk.
  Bytes broken = mpc;
  broken[packets[6]] = 'a';
  ExpectThoroughCutThenWhole(Kind::Mpc, broken, Slice(mpc, 0, packets[6]), mpc);
}

TEST(MusepackThorough, RefusesWhatNoDecoderOpens) {
  const Bytes mpc = ReadTestData("musepack/tone.mpc");
  const std::vector<std::size_t> packets = MusepackPackets(mpc);
  for (const std::size_t at : {packets[0] + 4, packets[0] + 7}) {  // the CRC, the version
    SCOPED_TRACE(at);
    Bytes bad = mpc;
    bad[at] ^= 0x10;
    ExpectThoroughWritesNothing({Kind::Mpc}, Join({Filler(3), bad}));
  }
  // The stream header first, and some audio.
  ExpectThoroughWritesNothing({Kind::Mpc}, Join({Filler(3), Slice(mpc, 0, 4),
                                                 Slice(mpc, packets[1], mpc.size() - packets[1])}));
  ExpectThoroughWritesNothing({Kind::Mpc},
                              Join({Slice(mpc, 0, packets[4]), Slice(mpc, mpc.size() - 3, 3)}));
}

// ---- TTA

TEST(TtaThorough, SampleComesOutWhole) {
  ExpectThoroughSampleComesOutWhole(Kind::Tta, ".TTA", "tta/tone.tta");
}

TEST(TtaThorough, TheFramesTheTableNamesEndTheObject) {
  const Bytes tta = ReadTestData("tta/tone.tta");
  // Three frames behind the 22-byte header and the table of three sizes and its CRC.
  const std::size_t first = 22 + 3 * 4 + 4;
  const std::size_t second = first + Le32At(tta, 22);
  const std::size_t third = second + Le32At(tta, 26);
  ASSERT_EQ(third + Le32At(tta, 30), tta.size());
  ExpectThoroughCut(Kind::Tta, tta, second - 1, 0);
  ExpectThoroughCut(Kind::Tta, tta, second + 7, second);
  ExpectThoroughCut(Kind::Tta, tta, tta.size() - 1, third);
  // A damaged frame fails its CRC.
  Bytes damaged = tta;
  damaged[third + 9] ^= 0xFF;
  ExpectThoroughCutThenWhole(Kind::Tta, damaged, Slice(tta, 0, third), tta);
  for (const std::size_t at : {std::size_t{12}, std::size_t{23}, first + 3}) {
    SCOPED_TRACE(at);  // the header, the table, the first frame
    Bytes bad = tta;
    bad[at] ^= 0x01;
    ExpectThoroughWritesNothing({Kind::Tta}, Join({Filler(3), bad}));
  }
}

// ---- ADX

TEST(AdxThorough, SampleComesOutWhole) {
  ExpectThoroughSampleComesOutWhole(Kind::Adx, ".ADX", "adx/tone.adx");
}

TEST(AdxThorough, TheSampleCountGivesTheLength) {
  const Bytes adx = ReadTestData("adx/tone.adx");
  const std::size_t data = 0x24;
  const std::size_t frame = 36;  // a block per channel
  const std::size_t end = data + 69 * frame;
  ASSERT_EQ(end + 18, adx.size());
  // Without its end block the stream is whole still; cut, it keeps its whole frames.
  ScanRun run;
  ScanThorough(run, {Kind::Adx}, Join({Filler(5), Slice(adx, 0, end), Filler(50)}));
  ASSERT_EQ(run.host.outputs.size(), 1u);
  EXPECT_FALSE(run.host.outputs[0].cut);
  EXPECT_EQ(run.Output(0), Slice(adx, 0, end));
  ExpectThoroughCut(Kind::Adx, adx, data + 3 * frame + 20, data + 3 * frame);
  ExpectThoroughCut(Kind::Adx, adx, data + 20, 0);
}

TEST(AdxThorough, RefusesWhatNoDecoderOpens) {
  const Bytes adx = ReadTestData("adx/tone.adx");
  const struct {
    const char* what;
    std::size_t at;
    std::uint8_t value;
  } damages[] = {
      {"no copyright string", 0x1F, 'C'},
      {"encoding 2", 4, 2},
      {"blocks of 16 bytes", 5, 16},
      {"8-bit samples", 6, 8},
      {"no channel", 7, 0},
      {"version 2", 0x12, 2},
  };
  for (const auto& d : damages) {
    SCOPED_TRACE(d.what);
    Bytes bad = adx;
    bad[d.at] = d.value;
    ExpectThoroughWritesNothing({Kind::Adx}, Join({Filler(13), bad, Filler(40)}));
  }
}

// Machine code is full of 0x80 0x00, and of MPEG transport's 0x47: none of it is sound.
TEST(AdxThorough, CodeRichInTheLeadBytesGivesNothing) {
  Bytes code;
  Lcg rng(7);
  for (int i = 0; i < 20000; ++i) {
    switch (rng() % 4) {
      case 0:
        Append(code, {0x80, 0x00, 0x00, static_cast<std::uint8_t>(rng())});
        break;
      case 1:
        Append(code, {0x80, 0x00, 0x00, 0x20, 0x03, 0x12, 0x04, 0x02});
        break;
      case 2:
        Append(code, {0x47, static_cast<std::uint8_t>(rng() & 0x7F), 0x00, 0x10});
        break;
      default:
        code.push_back(static_cast<std::uint8_t>(rng()));
    }
  }
  ExpectThoroughWritesNothing({Kind::Adx, Kind::Ts, Kind::Ac3}, code);
}

// ---- CAF

TEST(CafThorough, SamplesComeOutWhole) {
  for (const char* name : {"caf/pcm.caf", "caf/alac.caf"}) {
    ExpectThoroughSampleComesOutWhole(Kind::Caf, ".CAF", name);
  }
}

// A data chunk of size -1 runs to the end of the input: whole packets only, cut when the input
// ends inside one.
TEST(CafThorough, AnOpenDataChunkRunsToTheInputsEnd) {
  const Bytes piped = ReadTestData("caf/piped.caf");
  ScanRun run;
  ScanThorough(run, {Kind::Caf}, Join({Filler(7), piped}));
  ASSERT_EQ(run.host.outputs.size(), 1u);
  EXPECT_FALSE(run.host.outputs[0].cut);
  EXPECT_EQ(run.Output(0), piped);
  ExpectThoroughCut(Kind::Caf, piped, piped.size() - 1, piped.size() - 2);
  ExpectThoroughCutTo(Kind::Caf, Join({piped, Bytes{1, 2, 3}}), Join({piped, Bytes{1, 2}}));
}

TEST(CafThorough, CutsKeepWholePacketsOrNothing) {
  const Bytes pcm = ReadTestData("caf/pcm.caf");
  const std::size_t data = FindText(pcm, "data") + 12 + 4;
  ExpectThoroughCut(Kind::Caf, pcm, data + 101, data + 100);
  ExpectThoroughCut(Kind::Caf, pcm, data + 1, 0);
  // Packets of variable size cannot be told apart once the table behind them is lost.
  const Bytes alac = ReadTestData("caf/alac.caf");
  ExpectThoroughCut(Kind::Caf, alac, FindText(alac, "pakt") + 5, 0);
  ExpectThoroughCut(Kind::Caf, alac, FindText(alac, "data") + 300, 0);
}

TEST(CafThorough, RefusesWhatNoDecoderOpens) {
  const Bytes pcm = ReadTestData("caf/pcm.caf");
  const struct {
    const char* what;
    std::size_t at;
    std::uint8_t value;
  } damages[] = {
      {"version 2", 5, 2},
      {"no description first", 8, 'D'},
      {"a negative sample rate", 20, 0xC0},
      {"no channel", 47, 0},
  };
  for (const auto& d : damages) {
    SCOPED_TRACE(d.what);
    Bytes bad = pcm;
    bad[d.at] = d.value;
    ExpectThoroughWritesNothing({Kind::Caf}, Join({Filler(13), bad, Filler(40)}));
  }
  // A description without data.
  ExpectThoroughWritesNothing({Kind::Caf},
                              Join({Filler(3), Slice(pcm, 0, FindText(pcm, "data")), Filler(8)}));
}

// ---- AC-3

std::vector<std::size_t> Ac3Frames(const Bytes& ac3) {
  static constexpr int kBitrates[] = {32,  40,  48,  56,  64,  80,  96,  112, 128, 160,
                                      192, 224, 256, 320, 384, 448, 512, 576, 640};
  return Units(ac3, 0, [&](std::size_t at) {
    const int code = ac3[at + 4] & 0x3F;
    const int kbps = kBitrates[code / 2];
    switch (ac3[at + 4] >> 6) {
      case 0:
        return std::size_t(4 * kbps);
      case 1:
        return std::size_t(2 * (kbps * 96000 / 44100 + (code & 1)));
      default:
        return std::size_t(6 * kbps);
    }
  });
}

TEST(Ac3Thorough, SamplesComeOutWhole) {
  for (const char* name : {"ac3/tone.ac3", "ac3/stereo_44k.ac3"}) {
    ExpectThoroughSampleComesOutWhole(Kind::Ac3, ".AC3", name);
  }
}

TEST(Ac3Thorough, BothCrcsOfEveryFrameAreChecked) {
  const Bytes ac3 = ReadTestData("ac3/stereo_44k.ac3");
  const std::vector<std::size_t> frames = Ac3Frames(ac3);
  ASSERT_EQ(frames.size(), 6u);
  // A byte in the first 5/8 of frame 3 (CRC1), then one in its last 3/8 (CRC2).
  for (const std::size_t at : {frames[3] + 40, frames[4] - 20}) {
    SCOPED_TRACE(at);
    Bytes broken = ac3;
    broken[at] ^= 0x04;
    ExpectThoroughCutThenWhole(Kind::Ac3, broken, Slice(ac3, 0, frames[3]),
                               ReadTestData("ac3/tone.ac3"));
  }
  ExpectThoroughCut(Kind::Ac3, ac3, frames[2] + 100, frames[2]);
  ExpectThoroughCut(Kind::Ac3, ac3, frames[2] - 1, 0);
}

TEST(Ac3Thorough, ARunNeedsTwoFramesOfOneStream) {
  const Bytes mono = ReadTestData("ac3/tone.ac3");
  const Bytes stereo = ReadTestData("ac3/stereo_44k.ac3");
  const std::vector<std::size_t> m = Ac3Frames(mono);
  const std::vector<std::size_t> s = Ac3Frames(stereo);
  ExpectThoroughWritesNothing({Kind::Ac3}, Join({Filler(3), Slice(mono, 0, m[1]), Filler(600)}));
  // One frame of each stream: neither is a run.
  ExpectThoroughWritesNothing(
      {Kind::Ac3}, Join({Filler(3), Slice(mono, 0, m[1]), Slice(stereo, 0, s[1]), Filler(600)}));
  // Two runs back to back end where the stream's fields change.
  ScanRun run;
  ScanThorough(run, {Kind::Ac3}, Join({Filler(3), mono, stereo}));
  ASSERT_EQ(run.host.outputs.size(), 2u);
  EXPECT_EQ(run.Output(0), mono);
  EXPECT_EQ(run.Output(1), stereo);
}

}  // namespace
}  // namespace sorvend::test
