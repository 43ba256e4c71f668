// The thorough QuickTime and MP4 rule: the top-level box walk from the file type box or a
// movie's first box, the movie and media data it needs, and cuts behind the last whole one.
#include <gtest/gtest.h>

#include "tests/support/test_support.h"

namespace sorvend::test {
namespace {

Bytes Box(const char* type, const Bytes& payload, std::uint32_t size = 0) {
  Bytes b;
  AppendBe32(b, size != 0 ? size : static_cast<std::uint32_t>(8 + payload.size()));
  AppendText(b, type);
  Append(b, payload);
  return b;
}

std::uint32_t Be32At(const Bytes& b, std::size_t at) {
  return std::uint32_t{b[at]} << 24 | std::uint32_t{b[at + 1]} << 16 |
         std::uint32_t{b[at + 2]} << 8 | b[at + 3];
}

void PutBe32(Bytes& b, std::size_t at, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) b[at + i] = static_cast<std::uint8_t>(v >> (24 - 8 * i));
}

// Start offsets of the file's top-level boxes of `type`, in order.
std::vector<std::size_t> BoxesOf(const Bytes& file, const std::string& type) {
  std::vector<std::size_t> found;
  for (std::size_t at = 0; at + 8 <= file.size(); at += Be32At(file, at)) {
    if (std::string(file.begin() + at + 4, file.begin() + at + 8) == type) found.push_back(at);
  }
  return found;
}

TEST(MovThorough, SamplesComeOutWhole) {
  const struct {
    const char* name;
    const char* ext;
  } samples[] = {
      {"mov/testsrc.mov", ".MOV"}, {"mov/mandel.mov", ".MOV"}, {"mov/faststart.mp4", ".MP4"},
      {"mov/frag.mp4", ".MP4"},    {"mov/sine.m4a", ".M4A"},   {"mov/clip.3gp", ".3GP"},
  };
  for (const auto& s : samples) ExpectThoroughSampleComesOutWhole(Kind::Mov, s.ext, s.name);
}

// Movies written without a file type box start at their first box and are QuickTime's.
TEST(MovThorough, MovieWithoutFileTypeStartsAtItsFirstBox) {
  for (const char* name : {"mov/testsrc.mov", "mov/faststart.mp4"}) {
    SCOPED_TRACE(name);
    const Bytes file = ReadTestData(name);
    const std::size_t first = Be32At(file, 0);
    const Bytes movie = Slice(file, first, file.size() - first);
    ScanRun run;
    ScanThorough(run, {Kind::Mov}, Join({Filler(21), movie, Filler(30)}));
    ASSERT_EQ(run.host.outputs.size(), 1u);
    EXPECT_EQ(run.host.outputs[0].name, run.dir.File("ANT0000.MOV"));
    EXPECT_EQ(run.host.outputs[0].offset, 21);
    EXPECT_EQ(run.Output(0), movie);
  }
}

// A damaged file type box is left out; the movie starts at the box behind it.
TEST(MovThorough, DamagedFileTypeIsLeftOut) {
  const Bytes file = ReadTestData("mov/testsrc.mov");
  Bytes badBrand = file;
  badBrand[8] = 0x01;
  ScanRun run;
  ScanThorough(run, {Kind::Mov}, Join({Filler(7), badBrand}));
  ASSERT_EQ(run.host.outputs.size(), 1u);
  EXPECT_EQ(run.host.outputs[0].name, run.dir.File("ANT0000.MOV"));
  EXPECT_EQ(run.Output(0), Slice(file, 20, file.size() - 20));
}

TEST(MovThorough, LargeSizesAndABoxToTheEndOfTheInput) {
  const Bytes file = ReadTestData("mov/faststart.mp4");
  const std::size_t mdat = BoxesOf(file, "mdat").at(0);
  const std::uint32_t mdatSize = Be32At(file, mdat);
  Bytes large = Slice(file, 0, mdat);
  AppendBe32(large, 1);
  AppendText(large, "mdat");
  AppendBe32(large, 0);
  AppendBe32(large, mdatSize + 8);
  Append(large, Slice(file, mdat + 8, mdatSize - 8));
  Append(large, Box("free", Filler(5)));

  ScanRun run;
  ScanThorough(run, {Kind::Mov}, Join({Filler(9), large, Filler(40)}));
  ASSERT_EQ(run.host.outputs.size(), 1u);
  EXPECT_EQ(run.Output(0), large);

  // A media data box of size 0 runs to the input's end, which it really does here.
  Bytes toTheEnd = file;
  PutBe32(toTheEnd, mdat, 0);
  ScanRun endRun;
  ScanThorough(endRun, {Kind::Mov}, Join({Filler(9), toTheEnd}));
  ASSERT_EQ(endRun.host.outputs.size(), 1u);
  EXPECT_FALSE(endRun.host.outputs[0].cut);
  EXPECT_EQ(endRun.Output(0), toTheEnd);
}

TEST(MovThorough, RefusesWhatIsNoMovie) {
  const Bytes mdatFirst = ReadTestData("mov/testsrc.mov");
  const Bytes ftyp = Slice(mdatFirst, 0, 20);
  const std::size_t moov = BoxesOf(mdatFirst, "moov").at(0);
  const std::size_t mdat = BoxesOf(mdatFirst, "mdat").at(0);
  Bytes badMovie = mdatFirst;
  badMovie[moov + 12] = 'X';  // the movie header's type
  Bytes emptyMedia = mdatFirst;
  PutBe32(emptyMedia, mdat, 7);
  Bytes sizeZeroBeforeMovie = mdatFirst;
  PutBe32(sizeZeroBeforeMovie, mdat, 0);
  Bytes repeatedMdat;
  for (int i = 0; i < 1000; ++i) AppendText(repeatedMdat, "mdat");
  const struct {
    const char* what;
    Bytes data;
  } cases[] = {
      {"no movie box", Slice(mdatFirst, 0, moov)},
      {"no media data", Join({ftyp, Slice(mdatFirst, moov, mdatFirst.size() - moov)})},
      {"a movie box that opens with no movie child", badMovie},
      {"a box smaller than its header", emptyMedia},
      {"media data to the end before the movie", sizeZeroBeforeMovie},
      {"the type as text, over and over", repeatedMdat},
      {"box types in prose",
       Join({Filler(8), Bytes{'f', 'r', 'e', 'e', ' ', 'w', 'i', 'd', 'e'}, Filler(8)})},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    ExpectThoroughWritesNothing({Kind::Mov}, Join({Filler(13), c.data, Filler(40)}));
  }
}

// Other boxes before the movie box and media data are few: a walk that has not met both within
// 16 boxes ends, so that a long run of boxes is not walked again from each of them. A movie
// behind one box too many is found from a later box.
TEST(MovThorough, BoxesBeforeTheMovieAreBounded) {
  const Bytes file = ReadTestData("mov/testsrc.mov");
  const std::size_t mdat = BoxesOf(file, "mdat").at(0);  // behind ftyp and wide
  for (const int frees : {13, 14}) {
    SCOPED_TRACE(frees);
    Bytes padded = Slice(file, 0, mdat);
    for (int i = 0; i < frees; ++i) Append(padded, Box("free", {}));
    Append(padded, Slice(file, mdat, file.size() - mdat));
    const std::size_t start = frees == 13 ? 0 : mdat;
    ScanRun run;
    ScanThorough(run, {Kind::Mov}, Join({Filler(3), padded}));
    ASSERT_EQ(run.host.outputs.size(), 1u);
    EXPECT_EQ(run.host.outputs[0].offset, static_cast<std::int64_t>(3 + start));
    EXPECT_EQ(run.Output(0), Slice(padded, start, padded.size() - start));
  }
}

// A second file type box starts the next movie, even with no byte between them.
TEST(MovThorough, MoviesBackToBack) {
  const Bytes a = ReadTestData("mov/sine.m4a"), b = ReadTestData("mov/frag.mp4");
  ScanRun run;
  ScanThorough(run, {Kind::Mov}, Join({Filler(3), a, b, a}));
  ASSERT_EQ(run.host.outputs.size(), 3u);
  EXPECT_EQ(run.Output(0), a);
  EXPECT_EQ(run.Output(1), b);
  EXPECT_EQ(run.Output(2), a);
  EXPECT_EQ(run.host.outputs[1].name, run.dir.File("ANT0001.MP4"));
}

TEST(MovThorough, CutBehindTheLastWholeMediaData) {
  const Bytes frag = ReadTestData("mov/frag.mp4");
  const std::vector<std::size_t> mdats = BoxesOf(frag, "mdat");
  const std::size_t secondMdatEnd = mdats[1] + Be32At(frag, mdats[1]);
  const std::size_t mfra = BoxesOf(frag, "mfra").at(0);
  const std::pair<std::size_t, std::size_t> cuts[] = {
      {mdats[2] + 100, secondMdatEnd},  // inside the last fragment's media data
      {mfra + 20, mfra},                // inside the closing index
  };
  for (const auto& [length, kept] : cuts) {
    ScanRun run;
    ScanThorough(run, {Kind::Mov}, Join({Filler(5), Slice(frag, 0, length)}));
    ASSERT_EQ(run.host.outputs.size(), 1u) << length;
    EXPECT_TRUE(run.host.outputs[0].cut);
    EXPECT_EQ(run.Output(0), Slice(frag, 0, kept)) << length;
  }
  // Cut inside the only media data or the movie box: nothing a player could open is left.
  for (const char* name : {"mov/faststart.mp4", "mov/testsrc.mov"}) {
    const Bytes file = ReadTestData(name);
    ExpectThoroughWritesNothing({Kind::Mov}, Slice(file, 0, file.size() - 10));
  }
}

// A box whose size was damaged to run past the input cuts the movie there; the next movie,
// inside what the damaged size claimed, still comes out whole.
TEST(MovThorough, DamagedSizeCutsTheMovieAndTheNextOneIsFound) {
  const Bytes frag = ReadTestData("mov/frag.mp4");
  const Bytes next = ReadTestData("mov/faststart.mp4");
  const std::size_t mfra = BoxesOf(frag, "mfra").at(0);
  Bytes broken = frag;
  PutBe32(broken, mfra, 0x7FFFFFF0);
  ExpectThoroughCutThenWhole(Kind::Mov, Join({broken, Filler(6)}), Slice(frag, 0, mfra), next);
}

}  // namespace
}  // namespace sorvend::test
