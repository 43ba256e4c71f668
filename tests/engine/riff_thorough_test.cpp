// The thorough RIFF rule: every form's chunk walk and required chunks, refusals, cuts and
// broken walks, OpenDML extensions and WAVE files whose RIFF size was never filled in.
#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

#include "tests/support/test_support.h"

namespace sorvend::test {
namespace {

const std::initializer_list<Kind> kRiffKinds = {Kind::Avi, Kind::Wav, Kind::Ani, Kind::Mid,
                                                Kind::Webp};

// A chunk: id, little-endian size, data and a pad byte after an odd size.
Bytes Chunk(const std::string& id, const Bytes& data) {
  Bytes b;
  AppendText(b, id);
  AppendLe32(b, static_cast<std::uint32_t>(data.size()));
  Append(b, data);
  if (data.size() % 2 != 0) b.push_back(0);
  return b;
}

// A list chunk (or, with id "RIFF", a whole form) of the given type.
Bytes List(const std::string& id, const std::string& type, const Bytes& chunks) {
  Bytes body;
  AppendText(body, type);
  Append(body, chunks);
  return Chunk(id, body);
}

// The end of every chunk that holds no others, walking into lists, in file order.
void CollectLeafEnds(const Bytes& b, std::size_t at, std::size_t end,
                     std::vector<std::size_t>& ends) {
  while (at + 8 <= end) {
    const std::size_t size = b[at + 4] | b[at + 5] << 8 | b[at + 6] << 16 | b[at + 7] << 24;
    const std::string id(b.begin() + at, b.begin() + at + 4);
    if (id == "LIST") {
      CollectLeafEnds(b, at + 12, at + 8 + size, ends);
    } else {
      ends.push_back(at + 8 + size + size % 2);
    }
    at += 8 + size + size % 2;
  }
}

// What a cut at `length` keeps: up to the end of the last whole chunk.
Bytes KeptByCut(const Bytes& riff, std::size_t length) {
  std::vector<std::size_t> ends;
  CollectLeafEnds(riff, 12, riff.size(), ends);
  std::size_t kept = 12;
  for (std::size_t end : ends) {
    if (end <= length) kept = end;
  }
  return Slice(riff, 0, kept);
}

TEST(RiffThorough, SamplesComeOutWhole) {
  const struct {
    Kind kind;
    const char* ext;
    const char* name;
  } samples[] = {
      {Kind::Wav, ".WAV", "riff/tone.wav"},        {Kind::Wav, ".WAV", "riff/lavf.wav"},
      {Kind::Avi, ".AVI", "riff/clip.avi"},        {Kind::Ani, ".ANI", "riff/spin.ani"},
      {Kind::Mid, ".RMI", "riff/song.rmi"},        {Kind::Webp, ".WEBP", "riff/lossy.webp"},
      {Kind::Webp, ".WEBP", "riff/lossless.webp"}, {Kind::Webp, ".WEBP", "riff/alpha.webp"},
      {Kind::Webp, ".WEBP", "riff/anim.webp"},
  };
  for (const auto& s : samples) ExpectThoroughSampleComesOutWhole(s.kind, s.ext, s.name);
}

TEST(RiffThorough, OddChunksArePaddedAndALastMissingPadIsTolerated) {
  const Bytes wav = ReadTestData("riff/tone.wav");
  const std::size_t data = FindText(wav, "data");
  const Bytes format = Slice(wav, 12, data - 12);
  const Bytes samples = Slice(wav, data + 8, 3999);
  const Bytes padded = List("RIFF", "WAVE", Join({format, Chunk("data", samples)}));
  Bytes unpadded = Slice(padded, 0, padded.size() - 1);
  SetLe32(unpadded, 4, static_cast<std::uint32_t>(unpadded.size() - 8));
  for (const Bytes& form : {padded, unpadded}) {
    ScanRun run;
    ScanThorough(run, {Kind::Wav}, Join({Filler(9), form, Filler(8)}));
    ASSERT_EQ(run.host.outputs.size(), 1u);
    EXPECT_FALSE(run.host.outputs[0].cut);
    EXPECT_EQ(run.Output(0), form);
  }
}

// The sample with the four bytes at the first `what` replaced by `with`.
Bytes Patched(const char* name, const std::string& what, const Bytes& with, std::size_t skip = 0) {
  Bytes b = ReadTestData(name);
  std::copy(with.begin(), with.end(), b.begin() + FindText(b, what) + skip);
  return b;
}

Bytes Text(const std::string& s) {
  return Bytes(s.begin(), s.end());
}

TEST(RiffThorough, RefusesWhatNoDecoderOpens) {
  const Bytes wav = ReadTestData("riff/tone.wav");
  Bytes zeroTemplate = List("RIFF", "WAVE", Join({Chunk("fmt ", Bytes(16, 0)), Chunk("data", {})}));
  Bytes noChannels = wav;
  noChannels[22] = 0;
  Bytes badBlockAlign = wav;
  badBlockAlign[32] = 2;  // 8-bit mono takes one byte a block
  const std::size_t data = FindText(wav, "data");
  const Bytes dataFirst = List(
      "RIFF", "WAVE", Join({Chunk("data", Slice(wav, data + 8, 64)), Slice(wav, 12, data - 12)}));
  Bytes tinySize = wav;
  SetLe32(tinySize, 4, 2);
  const Bytes otherForm = List("RIFF", "CDXA", Chunk("fmt ", Bytes(16, 1)));
  Bytes lilac = ReadTestData("riff/alpha.webp");
  lilac[20] |= 0x20;  // announces an ICC profile it lacks
  Bytes reservedFlag = ReadTestData("riff/alpha.webp");
  reservedFlag[20] |= 0x01;
  Bytes interFrame = ReadTestData("riff/lossy.webp");
  interFrame[20] |= 0x01;
  const struct {
    const char* what;
    Bytes data;
  } cases[] = {
      {"a WAVE header template of zeros", zeroTemplate},
      {"no channels", noChannels},
      {"a block that does not fit the samples", badBlockAlign},
      {"sound before its description", dataFirst},
      {"a RIFF size below 4", tinySize},
      {"a form of no kind", otherForm},
      {"a stream whose data size is unknown too", ReadTestData("riff/stream.wav")},
      {"an AVI whose first list is not its header", Patched("riff/clip.avi", "hdrl", Text("hdrx"))},
      {"an AVI header without its main header", Patched("riff/clip.avi", "avih", Text("avix"))},
      {"an AVI without movie data", Patched("riff/clip.avi", "movi", Text("mov_"))},
      {"a cursor without its header", Patched("riff/spin.ani", "anih", Text("anix"))},
      {"a cursor header with no frames", Patched("riff/spin.ani", "anih", Bytes(4, 0), 12)},
      {"a RIFF MIDI whose data is no MIDI file", Patched("riff/song.rmi", "MThd", Text("MTHd"))},
      {"a lossy WebP without its start code", Patched("riff/lossy.webp", "VP8 ", {0x9C}, 11)},
      {"a lossy WebP that is not a key frame", interFrame},
      {"a lossless WebP without its signature", Patched("riff/lossless.webp", "VP8L", {0x2E}, 8)},
      {"a WebP lacking the profile it announces", lilac},
      {"a WebP with a reserved flag", reservedFlag},
      {"a WebP whose first chunk is no image", Patched("riff/lossy.webp", "VP8 ", Text("VP8Y"))},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    ExpectThoroughWritesNothing(kRiffKinds, Join({Filler(33), c.data, Filler(40)}));
  }
}

TEST(RiffThorough, EachFormNeedsItsOwnSwitch) {
  const struct {
    const char* name;
    Kind kind;
  } forms[] = {{"riff/tone.wav", Kind::Wav},
               {"riff/clip.avi", Kind::Avi},
               {"riff/spin.ani", Kind::Ani},
               {"riff/song.rmi", Kind::Mid},
               {"riff/lossy.webp", Kind::Webp}};
  for (const auto& f : forms) {
    SCOPED_TRACE(f.name);
    ScanRun run;
    run.ctx.profile = Profile::Thorough;
    TickOnly(run.host, kRiffKinds);
    run.host.ticked[static_cast<int>(f.kind)] = false;
    Scan(run, ReadTestData(f.name));
    EXPECT_TRUE(run.host.outputs.empty());
  }
}

TEST(RiffThorough, InputEndingInsideKeepsTheWholeChunksOrSamples) {
  const Bytes avi = ReadTestData("riff/clip.avi");
  const Bytes ani = ReadTestData("riff/spin.ani");
  const Bytes wav = ReadTestData("riff/lavf.wav");
  const std::size_t samples = FindText(wav, "data") + 8;
  const Bytes alpha = ReadTestData("riff/alpha.webp");
  const std::size_t vp8 = FindText(alpha, "VP8 ");
  // An extended WebP whose trailing chunk is cut (its RIFF size takes it in): its image is whole.
  Bytes exifCut = Join({alpha, Text("EXIF"), Bytes{9, 0, 0, 0, 1}});
  SetLe32(exifCut, 4, static_cast<std::uint32_t>(alpha.size() + 10));
  const struct {
    Kind kind;
    Bytes data;
    Bytes kept;
  } cases[] = {
      // In the movie list, after the third frame.
      {Kind::Avi, Slice(avi, 0, 8500), KeptByCut(avi, 8500)},
      // In the index behind the movie list.
      {Kind::Avi, Slice(avi, 0, avi.size() - 3), KeptByCut(avi, avi.size() - 3)},
      // In the second icon.
      {Kind::Ani, Slice(ani, 0, ani.size() - 40), KeptByCut(ani, ani.size() - 40)},
      // Samples of two bytes: an odd cut keeps the whole ones.
      {Kind::Wav, Slice(wav, 0, samples + 101), Slice(wav, 0, samples + 100)},
      {Kind::Webp, exifCut, Slice(exifCut, 0, alpha.size())},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.kept.size());
    ExpectThoroughCutTo(c.kind, c.data, c.kept);
  }
  // Nothing decodable is left: no sound, the only image or the first frame cut.
  ExpectThoroughWritesNothing({Kind::Wav}, Slice(wav, 0, samples + 1));
  ExpectThoroughWritesNothing({Kind::Webp}, Slice(alpha, 0, vp8 + 20));
  ExpectThoroughWritesNothing({Kind::Avi}, Slice(avi, 0, 5720 + 100));
}

TEST(RiffThorough, BrokenWalkIsCutAtItsLastWholeChunkAndTheNextFormFound) {
  const Bytes avi = ReadTestData("riff/clip.avi");
  const std::size_t fourthFrame = FindText(avi, "00dc", 8000);  // frames start at 5720, 6510, ...
  const struct {
    const char* what;
    std::size_t at;
    Bytes with;
  } breaks[] = {
      {"an id that is no text", fourthFrame, {0x01}},
      {"a chunk overrunning its list", fourthFrame + 6, {0x10}},
  };
  for (const auto& b : breaks) {
    SCOPED_TRACE(b.what);
    Bytes broken = avi;
    std::copy(b.with.begin(), b.with.end(), broken.begin() + b.at);
    ExpectThoroughCutThenWhole(Kind::Avi, broken, Slice(avi, 0, fourthFrame), avi);
  }
}

TEST(RiffThorough, MovieListOverrunningItsRiffKeepsTheFramesInside) {
  const Bytes avi = ReadTestData("riff/clip.avi");
  Bytes shortRiff = avi;
  SetLe32(shortRiff, 4, 8500 - 8);  // the RIFF ends in the fourth frame
  ExpectThoroughCutThenWhole(Kind::Avi, shortRiff, Slice(shortRiff, 0, KeptByCut(avi, 8500).size()),
                             avi);
}

TEST(RiffThorough, DataChunkOverrunningItsRiffKeepsTheSamplesInside) {
  const Bytes wav = ReadTestData("riff/lavf.wav");  // 16-bit samples
  Bytes shortRiff = wav;
  SetLe32(shortRiff, 4, static_cast<std::uint32_t>(wav.size() - 8 - 101));
  ExpectThoroughCutThenWhole(Kind::Wav, shortRiff, Slice(shortRiff, 0, wav.size() - 102), wav);
}

TEST(RiffThorough, CursorFrameThatIsNoIconEndsTheCursor) {
  const Bytes ani = ReadTestData("riff/spin.ani");
  Bytes broken = ani;
  const std::size_t second = FindText(ani, "icon", FindText(ani, "icon") + 1);
  broken[second + 10] = 3;  // neither an icon nor a cursor
  ExpectThoroughCutTo(Kind::Ani, broken, Slice(ani, 0, second));
}

TEST(RiffThorough, MidiCutInsideItsRiffFormKeepsItsWholeTracks) {
  const Bytes rmi = ReadTestData("riff/song.rmi");
  const Bytes mid = ReadTestData("midi/format1.mid");
  const std::size_t thirdTrack =
      FindText(rmi, "MTrk", FindText(rmi, "MTrk", FindText(rmi, "MTrk") + 1) + 1);
  ExpectThoroughCutTo(Kind::Mid, Slice(rmi, 0, rmi.size() - 5), Slice(rmi, 0, thirdTrack));
}

TEST(RiffThorough, WaveOfUnknownRiffSizeEndsWithItsDataChunk) {
  const Bytes wav = ReadTestData("riff/tone.wav");
  for (std::uint32_t size : {0u, 0xFFFFFFFFu}) {
    Bytes stream = wav;
    SetLe32(stream, 4, size);
    ScanRun run;
    ScanThorough(run, {Kind::Wav}, Join({Filler(3), stream, Filler(50), wav}));
    ASSERT_EQ(run.host.outputs.size(), 2u) << size;
    EXPECT_FALSE(run.host.outputs[0].cut);
    EXPECT_EQ(run.Output(0), stream);
    EXPECT_EQ(run.Output(1), wav);
  }
}

TEST(RiffThorough, AviTakesTheOpenDmlExtensionsBehindIt) {
  const Bytes avi = ReadTestData("riff/clip.avi");
  const Bytes frame = Chunk("00dc", Filler(10, 4));
  const Bytes sound = Chunk("01wb", Filler(7, 5));
  const Bytes extension = List("RIFF", "AVIX", List("LIST", "movi", Join({frame, sound})));
  ScanRun run;
  ScanThorough(run, {Kind::Avi}, Join({Filler(21), avi, extension, extension, Filler(30)}));
  ASSERT_EQ(run.host.outputs.size(), 1u);
  EXPECT_FALSE(run.host.outputs[0].cut);
  EXPECT_EQ(run.Output(0), Join({avi, extension, extension}));

  // An extension whose second chunk breaks: the object ends after its first, cut.
  Bytes broken = extension;
  broken[12 + 12 + frame.size()] = 0x02;
  ExpectThoroughCutTo(Kind::Avi, Join({avi, broken}),
                      Join({avi, Slice(broken, 0, 24 + frame.size())}));
}

}  // namespace
}  // namespace sorvend::test
