// The thorough Ogg rule: CRC-checked pages, one link of logical streams from their beginning
// pages to their end pages, cut at the first page that does not fit.
#include <gtest/gtest.h>

#include "tests/support/test_support.h"

namespace sorvend::test {
namespace {

struct PageAt {
  std::size_t offset;
  std::size_t size;
};

// The pages of a file, by their segment tables.
std::vector<PageAt> Pages(const Bytes& ogg) {
  std::vector<PageAt> pages;
  for (std::size_t at = 0; at + 27 <= ogg.size();) {
    const std::size_t segments = ogg[at + 26];
    std::size_t size = 27 + segments;
    for (std::size_t i = 0; i < segments; ++i) size += ogg[at + 27 + i];
    pages.push_back({at, size});
    at += size;
  }
  return pages;
}

// Stores the CRC of the page as it now is: polynomial 0x04C11DB7, most significant bit first,
// its own field counted as zeros; worked out bit by bit.
void Reseal(Bytes& ogg, const PageAt& page) {
  for (std::size_t i = 22; i < 26; ++i) ogg[page.offset + i] = 0;
  std::uint32_t crc = 0;
  for (std::size_t i = 0; i < page.size; ++i) {
    crc ^= std::uint32_t{ogg[page.offset + i]} << 24;
    for (int bit = 0; bit < 8; ++bit) crc = (crc & 0x80000000u) ? crc << 1 ^ 0x04C11DB7u : crc << 1;
  }
  for (std::size_t i = 0; i < 4; ++i)
    ogg[page.offset + 22 + i] = static_cast<std::uint8_t>(crc >> (8 * i));
}

// The file with byte `at` of page `page` set to `value`, the page's CRC made to match again.
Bytes Changed(const Bytes& ogg, std::size_t page, std::size_t at, std::uint8_t value) {
  const std::vector<PageAt> pages = Pages(ogg);
  Bytes b = ogg;
  b[pages[page].offset + at] = value;
  Reseal(b, pages[page]);
  return b;
}

// The first `count` pages of a file.
Bytes FirstPages(const Bytes& ogg, std::size_t count) {
  const std::vector<PageAt> pages = Pages(ogg);
  return Slice(ogg, 0, pages[count].offset);
}

constexpr std::size_t kType = 5;
constexpr std::size_t kSerial = 14;
constexpr std::size_t kSequence = 18;

TEST(OggThorough, SamplesComeOutWhole) {
  ExpectThoroughSampleComesOutWhole(Kind::Ogg, ".ogg", "ogg/tone.ogg");
  ExpectThoroughSampleComesOutWhole(Kind::Ogg, ".ogg", "ogg/chirp.ogg");
  ExpectThoroughSampleComesOutWhole(Kind::Ogg, ".opus", "ogg/opus_48k.opus");
  ExpectThoroughSampleComesOutWhole(Kind::Ogg, ".ogv", "ogg/theora_vorbis.ogv");
}

TEST(OggThorough, Reseal) {
  // The helper the other tests build pages with gives the encoders' own CRCs.
  const Bytes tone = ReadTestData("ogg/tone.ogg");
  Bytes copy = tone;
  for (const PageAt& page : Pages(copy)) Reseal(copy, page);
  EXPECT_EQ(copy, tone);
}

// Game archives hold files back to back, and a chained file is its links one after the other:
// each comes out on its own.
TEST(OggThorough, FilesBackToBackComeOutOneEach) {
  const std::vector<std::pair<const char*, const char*>> files = {{"ogg/tone.ogg", "ogg"},
                                                                  {"ogg/chirp.ogg", "ogg"},
                                                                  {"ogg/tone.ogg", "ogg"},
                                                                  {"ogg/theora_vorbis.ogv", "ogv"},
                                                                  {"ogg/opus_48k.opus", "opus"}};
  Bytes input = Filler(5);
  std::vector<std::size_t> offsets;
  for (const auto& [name, ext] : files) {
    offsets.push_back(input.size());
    Append(input, ReadTestData(name));
  }
  ScanRun run;
  ScanThorough(run, {Kind::Ogg}, input);
  ASSERT_EQ(run.host.outputs.size(), files.size());
  for (std::size_t i = 0; i < files.size(); ++i) {
    SCOPED_TRACE(files[i].first);
    EXPECT_EQ(run.host.outputs[i].kind, files[i].second);
    EXPECT_EQ(run.host.outputs[i].offset, static_cast<std::int64_t>(offsets[i]));
    EXPECT_FALSE(run.host.outputs[i].cut);
    EXPECT_EQ(run.Output(i), ReadTestData(files[i].first));
  }
}

TEST(OggThorough, RefusesWhatIsNoStream) {
  const Bytes tone = ReadTestData("ogg/tone.ogg");
  const Bytes chirp = ReadTestData("ogg/chirp.ogg");
  const std::vector<PageAt> pages = Pages(tone);
  Bytes constant;
  AppendText(constant, "OggS");
  constant.push_back(0x4C);
  constant.resize(27, 0);
  Bytes badCrc = tone;
  badCrc[pages[0].offset + 40] ^= 1;
  Bytes badData = chirp;
  badData[Pages(chirp)[2].offset + 100] ^= 1;
  const struct {
    const char* what;
    Bytes data;
  } cases[] = {
      {"a page header cut out of code", constant},
      {"the first page's CRC fails", badCrc},
      {"version 1", Changed(tone, 0, 4, 1)},
      {"an unknown flag", Changed(tone, 0, kType, 0x0A)},
      {"a continued packet on the first page", Changed(tone, 0, kType, 0x03)},
      {"no beginning page", Slice(tone, pages[1].offset, tone.size() - pages[1].offset)},
      {"a first page that is also the last", Changed(FirstPages(tone, 1), 0, kType, 0x06)},
      {"the headers and then the input's end", FirstPages(tone, 2)},
      {"the headers of a stream whose only data page is damaged", badData},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    ExpectThoroughWritesNothing({Kind::Ogg}, Join({Filler(11), c.data}));
  }
}

TEST(OggThorough, StreamIsCutAtTheFirstPageThatDoesNotFit) {
  const Bytes tone = ReadTestData("ogg/tone.ogg");
  const std::vector<PageAt> pages = Pages(tone);
  Bytes badCrc = tone;
  badCrc[pages[3].offset + 30] ^= 1;
  const struct {
    const char* what;
    Bytes data;
  } cases[] = {
      {"a damaged page", badCrc},
      {"a page out of order", Changed(tone, 3, kSequence, 7)},
      {"a page of another stream", Changed(tone, 3, kSerial, 0x55)},
      {"a continued packet where none was open", Changed(tone, 3, kType, 0x05)},
      {"the input's end inside a page", Slice(tone, 0, tone.size() - 1)},
      {"a second beginning of the same stream", Join({FirstPages(tone, 3), FirstPages(tone, 1)})},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    ScanRun run;
    ScanThorough(run, {Kind::Ogg}, Join({Filler(3), c.data}));
    ASSERT_EQ(run.host.outputs.size(), 1u);
    EXPECT_TRUE(run.host.outputs[0].cut);
    EXPECT_EQ(run.Output(0), FirstPages(tone, 3));
  }
}

TEST(OggThorough, BeginningAfterDataStartsTheNextOutput) {
  const Bytes tone = ReadTestData("ogg/tone.ogg");
  const Bytes chirp = ReadTestData("ogg/chirp.ogg");
  const Bytes cut = FirstPages(tone, 3);
  ExpectThoroughCutThenWhole(Kind::Ogg, cut, cut, chirp);
}

TEST(OggThorough, MultiplexedStreamsEndTogether) {
  const Bytes ogv = ReadTestData("ogg/theora_vorbis.ogv");
  // Pages: Theora and Vorbis beginnings, their headers, Theora data, Theora's end, Vorbis' end.
  const struct {
    const char* what;
    std::size_t pages;
    bool taken;
  } cases[] = {
      {"both beginnings only", 2, false},
      {"the headers of both", 4, false},
      {"headers and video", 5, true},
      {"all but the sound's end", 6, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    const Bytes part = FirstPages(ogv, c.pages);
    ScanRun run;
    ScanThorough(run, {Kind::Ogg}, Join({Filler(3), part}));
    if (!c.taken) {
      EXPECT_TRUE(run.host.outputs.empty());
      continue;
    }
    ASSERT_EQ(run.host.outputs.size(), 1u);
    EXPECT_EQ(run.host.outputs[0].kind, "ogv");
    EXPECT_TRUE(run.host.outputs[0].cut);
    EXPECT_EQ(run.Output(0), part);
  }
}

}  // namespace
}  // namespace sorvend::test
