// The thorough rules for AIFF, MIDI, VOC and AU: samples, refusals, cuts and broken structures
// followed by a good object; and lying samples of every kind of the group, RIFF forms included.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <vector>

#include "tests/support/test_support.h"

namespace sorvend::test {
namespace {

TEST(SoundThorough, SamplesComeOutWhole) {
  const struct {
    Kind kind;
    const char* ext;
    const char* name;
  } samples[] = {
      {Kind::Aiff, ".AIF", "aiff/tone.aif"},   {Kind::Aiff, ".AIF", "aiff/tone.aifc"},
      {Kind::Mid, ".MID", "midi/format0.mid"}, {Kind::Mid, ".MID", "midi/format1.mid"},
      {Kind::Voc, ".VOC", "voc/tone8.voc"},    {Kind::Au, ".AU", "au/tone.au"},
  };
  for (const auto& s : samples) ExpectThoroughSampleComesOutWhole(s.kind, s.ext, s.name);
}

struct Refusal {
  const char* what;
  Bytes data;
};

Bytes WithBe32(Bytes b, std::size_t at, std::uint32_t v) {
  SetBe32(b, at, v);
  return b;
}

void ExpectRefusals(Kind kind, const std::vector<Refusal>& cases) {
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    ExpectThoroughWritesNothing({kind}, Join({Filler(33), c.data, Filler(40)}));
  }
}

// tone.aif: COMM data at 54 (channels, frames, bits, rate at 62), SSND data at 80 (offset,
// block size), 1600 bytes of 16-bit mono sound from 88 to the end.
constexpr std::size_t kAiffComm = 54;
constexpr std::size_t kAiffSound = 88;

TEST(AiffThorough, RefusesWhatNoDecoderOpens) {
  const Bytes aif = ReadTestData("aiff/tone.aif");
  auto patched = [&](std::size_t at, std::uint32_t v) { return WithBe32(aif, at, v); };
  Bytes ilbm = aif;
  ilbm[8] = 'I', ilbm[9] = 'L', ilbm[10] = 'B', ilbm[11] = 'M';
  ExpectRefusals(Kind::Aiff,
                 {
                     {"no channels", patched(kAiffComm - 2, 0x00000000)},
                     {"no sample frames", patched(kAiffComm + 2, 0)},
                     {"a rate of zero", patched(kAiffComm + 8, 0)},
                     {"no sound chunk", patched(kAiffSound - 16, 0x53534E58)},  // "SSNX"
                     {"sound offset beyond its chunk", patched(kAiffSound - 8, 5000)},
                     {"a FORM size below 4", patched(4, 2)},
                     {"another IFF form", ilbm},
                 });
}

TEST(AiffThorough, InputEndingInsideKeepsTheWholeFrames) {
  const Bytes aif = ReadTestData("aiff/tone.aif");
  ExpectThoroughCutTo(Kind::Aiff, Slice(aif, 0, kAiffSound + 101), Slice(aif, 0, kAiffSound + 100));
  const Bytes aifc = ReadTestData("aiff/tone.aifc");
  const std::size_t sound = FindText(aifc, "SSND") + 16;
  ExpectThoroughCutTo(Kind::Aiff, Slice(aifc, 0, sound + 51), Slice(aifc, 0, sound + 50));
  ExpectThoroughWritesNothing({Kind::Aiff}, Slice(aif, 0, kAiffSound + 1));
  ExpectThoroughWritesNothing({Kind::Aiff}, Slice(aif, 0, kAiffComm + 10));
}

TEST(AiffThorough, BrokenWalkIsCutAndTheNextFileFound) {
  const Bytes aif = ReadTestData("aiff/tone.aif");
  // A chunk with an id that is no text behind the sound, inside the FORM.
  Bytes junkChunk = Join({aif, Bytes{0x01, 0x02, 0x03, 0x04, 0, 0, 0, 2, 0xAA, 0xBB}});
  SetBe32(junkChunk, 4, static_cast<std::uint32_t>(junkChunk.size() - 8));
  ExpectThoroughCutThenWhole(Kind::Aiff, junkChunk, Slice(junkChunk, 0, aif.size()), aif);
  // A sound chunk that overruns its FORM: the sound inside the FORM is kept.
  Bytes overrun = aif;
  SetBe32(overrun, kAiffSound - 12, 5000);
  ExpectThoroughCutThenWhole(Kind::Aiff, overrun, overrun, aif);
}

// format1.mid: header (14 bytes), tracks at 14, 50 and 100, 142 bytes in all.
constexpr std::size_t kSecondTrack = 50;
constexpr std::size_t kThirdTrack = 100;

TEST(MidiThorough, RefusesWhatNoPlayerOpens) {
  const Bytes mid = ReadTestData("midi/format1.mid");
  const Bytes single = ReadTestData("midi/format0.mid");
  auto patched = [](Bytes b, std::size_t at, std::uint16_t v) {
    SetBe16(b, at, v);
    return b;
  };
  Bytes noEnd = single;
  noEnd[noEnd.size() - 2] = 0x01;  // the end-of-track event becomes an empty text event
  ExpectRefusals(Kind::Mid, {
                                {"a header of 7 bytes", patched(mid, 6, 7)},
                                {"format 3", patched(mid, 8, 3)},
                                {"format 0 with three tracks", patched(mid, 8, 0)},
                                {"no tracks", patched(mid, 10, 0)},
                                {"no division", patched(mid, 12, 0)},
                                {"a frame rate of -100", patched(mid, 12, 0x9C28)},
                                {"running status with nothing to run", patched(single, 22, 0x0045)},
                                {"a track without its end", noEnd},
                            });
}

TEST(MidiThorough, FrameDivisionsAndChunksBetweenTracksAreKept) {
  Bytes smpte = ReadTestData("midi/format0.mid");
  SetBe16(smpte, 12, 0xE728);  // 25 frames a second, 40 ticks a frame
  const Bytes mid = ReadTestData("midi/format1.mid");
  Bytes other = {'X', 'F', 'I', 'H', 0, 0, 0, 3, 1, 2, 3};
  Bytes withOther = Join({Slice(mid, 0, kSecondTrack), other, Slice(mid, kSecondTrack, 92)});
  for (const Bytes& file : {smpte, withOther}) {
    ScanRun run;
    ScanThorough(run, {Kind::Mid}, Join({Filler(7), file, Filler(7)}));
    ASSERT_EQ(run.host.outputs.size(), 1u);
    EXPECT_FALSE(run.host.outputs[0].cut);
    EXPECT_EQ(run.Output(0), file);
  }
}

TEST(MidiThorough, MissingOrBrokenTracksCutBehindTheLastWholeOne) {
  const Bytes mid = ReadTestData("midi/format1.mid");
  const Bytes single = ReadTestData("midi/format0.mid");
  ExpectThoroughCutTo(Kind::Mid, Slice(mid, 0, kThirdTrack + 20), Slice(mid, 0, kThirdTrack));
  ExpectThoroughWritesNothing({Kind::Mid}, Slice(mid, 0, kSecondTrack - 1));
  Bytes badData = mid;
  badData[kSecondTrack + 23] = 0xC8;  // a note number with its top bit set
  ExpectThoroughCutThenWhole(Kind::Mid, badData, Slice(mid, 0, kSecondTrack), single);
  Bytes badId = mid;
  badId[kSecondTrack] = 0x01;
  ExpectThoroughCutThenWhole(Kind::Mid, badId, Slice(mid, 0, kSecondTrack), single);
}

// tone8.voc: the 26-byte header, one 8-bit sound block (type 1) of 802 bytes, the terminator.
constexpr std::size_t kVocHeader = 26;

Bytes VocBlock(std::uint8_t type, const Bytes& data) {
  Bytes b = {type, static_cast<std::uint8_t>(data.size()),
             static_cast<std::uint8_t>(data.size() >> 8),
             static_cast<std::uint8_t>(data.size() >> 16)};
  Append(b, data);
  return b;
}

// tone8.voc's sound split into a sound block and a continuation, with `middle` between them.
Bytes TwoBlockVoc(const Bytes& middle = {}) {
  const Bytes voc = ReadTestData("voc/tone8.voc");
  const Bytes first = Slice(voc, kVocHeader + 4, 402);  // rate divisor, codec, 400 samples
  const Bytes rest = Slice(voc, kVocHeader + 4 + 402, 400);
  return Join({Slice(voc, 0, kVocHeader), VocBlock(1, first), middle, VocBlock(2, rest), {0}});
}

TEST(VocThorough, RefusesWhatNoPlayerOpens) {
  const Bytes voc = ReadTestData("voc/tone8.voc");
  Bytes badCheck = voc;
  badCheck[24] ^= 1;
  Bytes badHeaderSize = voc;
  badHeaderSize[20] = 0x1B;
  Bytes badCodec = voc;
  badCodec[kVocHeader + 5] = 9;
  const Bytes header = Slice(voc, 0, kVocHeader);
  ExpectRefusals(Kind::Voc, {
                                {"a wrong version check", badCheck},
                                {"a header size other than 26", badHeaderSize},
                                {"an unknown codec", badCodec},
                                {"no sound", Join({header, VocBlock(5, {'h', 'i', 0}), {0}})},
                                {"a continuation with nothing before",
                                 Join({header, VocBlock(2, Filler(9)), {0}})},
                            });
}

TEST(VocThorough, ChainCutOrBrokenKeepsItsWholeBlocks) {
  const Bytes two = TwoBlockVoc();
  ScanRun run;
  ScanThorough(run, {Kind::Voc}, Join({Filler(3), two}));
  ASSERT_EQ(run.host.outputs.size(), 1u);
  EXPECT_FALSE(run.host.outputs[0].cut);
  EXPECT_EQ(run.Output(0), two);

  const std::size_t secondBlock = kVocHeader + 4 + 402;
  ExpectThoroughCutTo(Kind::Voc, Slice(two, 0, two.size() - 20), Slice(two, 0, secondBlock));
  const Bytes unknownType = TwoBlockVoc(VocBlock(10, Filler(4)));
  ExpectThoroughCutThenWhole(Kind::Voc, unknownType, Slice(two, 0, secondBlock),
                             ReadTestData("voc/tone8.voc"));
  ExpectThoroughWritesNothing({Kind::Voc}, Slice(two, 0, secondBlock - 1));
}

TEST(VocThorough, SixteenBitSoxFileEndsWhereItsBlockSizeSays) {
  // sox gives its 16-bit sound block a size 8 bytes short of the samples it writes; a player
  // reads the block by its size, and so does the measure.
  const Bytes voc = ReadTestData("voc/tone.voc");
  const std::size_t declared = voc[27] | voc[28] << 8 | voc[29] << 16;
  ExpectThoroughCutTo(Kind::Voc, voc, Slice(voc, 0, kVocHeader + 4 + declared));
}

// tone.au: a 44-byte header (with its annotation), 3200 bytes of 32-bit mono samples.
constexpr std::size_t kAuHeader = 44;

TEST(AuThorough, RefusesWhatNoPlayerOpens) {
  const Bytes au = ReadTestData("au/tone.au");
  auto patched = [&](std::size_t at, std::uint32_t v) { return WithBe32(au, at, v); };
  ExpectRefusals(Kind::Au, {
                               {"an unknown data size", patched(8, 0xFFFFFFFF)},
                               {"no data", patched(8, 0)},
                               {"less than one sample", patched(8, 3)},
                               {"a header size below 24", patched(4, 20)},
                               {"encoding 0", patched(12, 0)},
                               {"a fragmented encoding", patched(12, 8)},
                               {"no rate", patched(16, 0)},
                               {"no channels", patched(20, 0)},
                           });
}

TEST(AuThorough, InputEndingInsideKeepsTheWholeFrames) {
  const Bytes au = ReadTestData("au/tone.au");
  ExpectThoroughCutTo(Kind::Au, Slice(au, 0, kAuHeader + 101), Slice(au, 0, kAuHeader + 100));
  Bytes stereo = au;
  SetBe32(stereo, 20, 2);
  ExpectThoroughCutTo(Kind::Au, Slice(stereo, 0, kAuHeader + 107),
                      Slice(stereo, 0, kAuHeader + 104));
  ExpectThoroughWritesNothing({Kind::Au}, Slice(au, 0, kAuHeader + 3));
}

// Samples of every kind here with a few bytes changed (most in their headers and first chunk
// sizes), back to back with random bytes and cut anywhere near the end: every scan ends and
// writes only slices of its input, and enough objects survive the lies to reach the copy.
TEST(ChunkedSoundThorough, LyingSamplesScanSafely) {
  std::vector<Bytes> samples;
  for (const char* name : {"riff/tone.wav", "riff/lavf.wav", "riff/clip.avi", "riff/spin.ani",
                           "riff/song.rmi", "riff/alpha.webp", "riff/anim.webp", "aiff/tone.aifc",
                           "midi/format1.mid", "voc/tone8.voc", "au/tone.au"}) {
    samples.push_back(ReadTestData(name));
  }
  std::mt19937 rng(20261208);
  std::size_t carved = 0;
  for (int round = 0; round < 150; ++round) {
    SCOPED_TRACE(::testing::Message() << "round " << round);
    Bytes input;
    for (int piece = 0; piece < 4; ++piece) {
      Bytes object = samples[rng() % samples.size()];
      for (int k = static_cast<int>(rng() % 4); k > 0; --k) {
        const std::size_t reach =
            rng() % 2 == 0 ? std::min<std::size_t>(64, object.size()) : object.size();
        object[rng() % reach] = static_cast<std::uint8_t>(rng());
      }
      Append(input, object);
      AppendRandomBytes(input, rng, 40);
    }
    input.resize(input.size() - rng() % 300);
    ScanRun run;
    run.ctx.profile = Profile::Thorough;
    ASSERT_TRUE(ScanUntilEndOrGuard(
        run,
        {Kind::Wav, Kind::Avi, Kind::Ani, Kind::Mid, Kind::Webp, Kind::Aiff, Kind::Voc, Kind::Au},
        input))
        << "the scan did not end";
    carved += run.host.outputs.size();
    ExpectOutputsAreInputSlices(run, input);
    if (::testing::Test::HasFatalFailure()) return;
  }
  EXPECT_GT(carved, 300u);
}

}  // namespace
}  // namespace sorvend::test
