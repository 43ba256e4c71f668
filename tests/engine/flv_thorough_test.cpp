// The thorough Flash Video rule: the header, the tag chain linked by back-sizes, and cuts.
#include <gtest/gtest.h>

#include "tests/support/test_support.h"

namespace sorvend::test {
namespace {

// Offsets of the sample's tags; the last entry is the end of the file.
std::vector<std::size_t> Tags(const Bytes& flv) {
  std::vector<std::size_t> found;
  for (std::size_t at = 13; at < flv.size();) {
    found.push_back(at);
    at += 11 + (std::size_t{flv[at + 1]} << 16 | flv[at + 2] << 8 | flv[at + 3]) + 4;
  }
  found.push_back(flv.size());
  return found;
}

TEST(FlvThorough, SampleComesOutWhole) {
  ExpectThoroughSampleComesOutWhole(Kind::Flv, ".FLV", "flv/testsrc.flv");
}

TEST(FlvThorough, RefusesWhatNoPlayerOpens) {
  const Bytes flv = ReadTestData("flv/testsrc.flv");
  const std::vector<std::size_t> tags = Tags(flv);
  const struct {
    const char* what;
    std::size_t at;
    std::uint8_t value;
  } damages[] = {
      {"version 2", 3, 2},
      {"a reserved flag", 4, 0x0D},
      {"a header of 10 bytes", 8, 10},
      {"a first back-size other than 0", 12, 1},
      {"an encrypted first media tag", tags[1], 0x29},
      {"a first media tag of another stream", tags[1] + 10, 1},
  };
  for (const auto& d : damages) {
    SCOPED_TRACE(d.what);
    Bytes bad = Slice(flv, 0, tags[2]);
    bad[d.at] = d.value;
    ExpectThoroughWritesNothing({Kind::Flv}, Join({Filler(13), bad, Filler(40)}));
  }
  // Script data alone holds nothing to play.
  ExpectThoroughWritesNothing({Kind::Flv}, Join({Filler(3), Slice(flv, 0, tags[1]), Filler(9)}));
}

// Script data before the first frame is short; a long chain of it is walked no further, so
// that it is not walked again from each header hidden in it.
TEST(FlvThorough, ScriptTagsBeforeTheFirstFrameAreBounded) {
  const Bytes flv = ReadTestData("flv/testsrc.flv");
  const std::vector<std::size_t> tags = Tags(flv);
  const Bytes script = Slice(flv, tags[0], tags[1] - tags[0]);
  for (const int scripts : {63, 64}) {
    SCOPED_TRACE(scripts);
    Bytes chained = Slice(flv, 0, tags[0]);
    for (int i = 0; i < scripts; ++i) Append(chained, script);
    Append(chained, Slice(flv, tags[1], flv.size() - tags[1]));
    ScanRun run;
    ScanThorough(run, {Kind::Flv}, Join({Filler(3), chained}));
    ASSERT_EQ(run.host.outputs.size(), scripts == 63 ? 1u : 0u);
    if (scripts == 63) {
      EXPECT_EQ(run.Output(0), chained);
    }
  }
}

TEST(FlvThorough, FilesBackToBackEndAtTheirLastTag) {
  const Bytes flv = ReadTestData("flv/testsrc.flv");
  ScanRun run;
  ScanThorough(run, {Kind::Flv}, Join({flv, flv}));
  ASSERT_EQ(run.host.outputs.size(), 2u);
  EXPECT_EQ(run.Output(0), flv);
  EXPECT_EQ(run.Output(1), flv);
  EXPECT_FALSE(run.host.outputs[1].cut);
}

TEST(FlvThorough, CutBehindTheLastTagThatFitsTheChain) {
  const Bytes flv = ReadTestData("flv/testsrc.flv");
  const std::vector<std::size_t> tags = Tags(flv);
  const std::pair<std::size_t, std::size_t> cuts[] = {
      {tags[3] + 5, tags[3]},     // inside a tag header
      {tags[2] + 100, tags[2]},   // inside a tag's data
      {flv.size() - 2, tags[3]},  // inside the last back-size
  };
  for (const auto& [length, kept] : cuts) {
    ScanRun run;
    ScanThorough(run, {Kind::Flv}, Join({Filler(5), Slice(flv, 0, length)}));
    ASSERT_EQ(run.host.outputs.size(), 1u) << length;
    EXPECT_TRUE(run.host.outputs[0].cut);
    EXPECT_EQ(run.Output(0), Slice(flv, 0, kept)) << length;
  }
}

// A back-size that differs from its tag's size cuts the file before that tag; the next file
// comes out whole.
TEST(FlvThorough, BrokenChainCutsTheFileAndTheNextOneIsFound) {
  const Bytes flv = ReadTestData("flv/testsrc.flv");
  const std::vector<std::size_t> tags = Tags(flv);
  Bytes broken = flv;
  broken[tags[3] - 1] ^= 1;
  ExpectThoroughCutThenWhole(Kind::Flv, Join({broken, Filler(8)}), Slice(flv, 0, tags[2]), flv);
}

}  // namespace
}  // namespace sorvend::test
