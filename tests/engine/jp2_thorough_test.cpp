// The thorough JPEG 2000 rules: the box form up to its codestream box and the bare codestream
// up to EOC behind its tile-parts; codestream boxes and tile-parts that run to the end, refused
// headers and boxes, and streams that are cut or break.
#include <gtest/gtest.h>

#include "tests/support/test_support.h"

namespace sorvend::test {
namespace {

// jp2/tiles.j2k: the main header up to 116, four tile-parts at 116, 178, 240 and 299, EOC at
// 358. jp2/tiles.jp2 and jp2/im.jp2: the header box at 32, the codestream box at 77.
constexpr std::size_t kTileParts[] = {116, 178, 240, 299};
constexpr std::size_t kPsot = 6;  // in a tile-part, behind its marker, Lsot and Isot
constexpr std::size_t kIsot = 4;
constexpr std::size_t kCodestreamBox = 77;

TEST(Jp2Thorough, SamplesComeOutWhole) {
  for (const char* name : {"jp2/im.jp2", "jp2/tiles.jp2"}) {
    ExpectThoroughSampleComesOutWhole(Kind::Jp2, ".JP2", name);
  }
  for (const char* name : {"jp2/im.j2k", "jp2/tiles.j2k"}) {
    ExpectThoroughSampleComesOutWhole(Kind::Jp2, ".J2K", name);
  }
}

// A codestream box of length 0 and a last tile-part of length 0 both run to EOC, which ends the
// object however much follows.
TEST(Jp2Thorough, PartsThatRunToTheEndEndAtEoc) {
  const struct {
    const char* what;
    Bytes object;
  } cases[] = {
      {"a codestream box of length 0",
       Patched(ReadTestData("jp2/tiles.jp2"), kCodestreamBox, {0, 0, 0, 0})},
      {"a last tile-part of length 0",
       Patched(ReadTestData("jp2/tiles.j2k"), kTileParts[3] + kPsot, {0, 0, 0, 0})},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    ScanRun run;
    ScanThorough(run, {Kind::Jp2}, Join({Filler(9), c.object, Filler(300)}));
    ASSERT_EQ(run.host.outputs.size(), 1u);
    EXPECT_FALSE(run.host.outputs[0].cut);
    EXPECT_EQ(run.Output(0), c.object);
  }
}

TEST(Jp2Thorough, RefusesHeadersAndBoxesNoDecoderOpens) {
  const Bytes j2k = ReadTestData("jp2/tiles.j2k");
  const struct {
    const char* what;
    Bytes data;
  } cases[] = {
      {"a SIZ length that does not fit its components", Patched(j2k, 4, {0, 48})},
      {"no components", Patched(j2k, 40, {0, 0})},
      {"a tile grid that starts right of the image", Patched(j2k, 32, {0, 0, 0, 1})},
      {"a tile width of 0", Patched(j2k, 24, {0, 0, 0, 0})},
      {"no coding style segment", Patched(j2k, 52, {0x53})},
      {"a tile-part marker in the main header's place", Patched(j2k, 52, {0x91})},
      {"a first tile-part of a tile the grid lacks", Patched(j2k, kTileParts[0] + kIsot, {0, 4})},
      {"a first tile-part shorter than its header", Patched(j2k, kTileParts[0] + kPsot + 3, {11})},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    ExpectThoroughWritesNothing({Kind::Jp2}, Join({Filler(33), c.data, Filler(40)}));
  }
}

// The box form refused, the codestream inside is still found on its own.
TEST(Jp2Thorough, RefusedBoxFormLeavesItsCodestream) {
  const Bytes jp2 = ReadTestData("jp2/im.jp2");
  const std::size_t codestream = kCodestreamBox + 8;
  const struct {
    const char* what;
    Bytes data;
  } cases[] = {
      {"a damaged signature box", Patched(jp2, 11, {0x0B})},
      {"a file type of another brand",
       Patched(Patched(jp2, 20, {'j', 'p', 'x'}), 28, {'j', 'p', 'x'})},
      {"no header box before the codestream", Patched(jp2, 36, {'j', 'p', '2', 'x'})},
      {"a box type that is no text", Patched(jp2, 36, {0x01})},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    const Bytes before = Filler(33);
    ScanRun run;
    ScanThorough(run, {Kind::Jp2}, Join({before, c.data, Filler(40)}));
    ASSERT_EQ(run.host.outputs.size(), 1u);
    EXPECT_EQ(run.host.outputs[0].name.substr(run.host.outputs[0].name.size() - 4), ".J2K");
    EXPECT_EQ(run.host.outputs[0].offset, static_cast<std::int64_t>(before.size() + codestream));
    EXPECT_EQ(run.Output(0), Slice(jp2, codestream, jp2.size() - codestream));
  }
  ExpectThoroughWritesNothing({Kind::Jp2},
                              Join({Filler(33), Patched(jp2, codestream + 1, {0x4E}), Filler(40)}));
}

TEST(Jp2Thorough, CutStreamsKeepTheirWholeTileParts) {
  const Bytes j2k = ReadTestData("jp2/tiles.j2k");
  const std::pair<std::size_t, std::size_t> cuts[] = {
      {j2k.size() - 1, j2k.size() - 2},  // no EOC
      {kTileParts[3] + 20, kTileParts[3]},
      {kTileParts[1], kTileParts[1]},
      {kTileParts[1] - 1, 0},
  };
  for (const auto& [length, kept] : cuts) ExpectThoroughCut(Kind::Jp2, j2k, length, kept);
  const Bytes jp2 = ReadTestData("jp2/tiles.jp2");
  ExpectThoroughCut(Kind::Jp2, jp2, jp2.size() - 1, jp2.size() - 2);
  ExpectThoroughCut(Kind::Jp2, jp2, kCodestreamBox + 40, 0);
}

TEST(Jp2Thorough, BrokenTilePartEndsTheStreamAndTheNextIsFound) {
  const Bytes j2k = ReadTestData("jp2/tiles.j2k");
  ExpectThoroughCutThenWhole(Kind::Jp2, Patched(j2k, kTileParts[2] + kIsot, {0, 9}),
                             Slice(j2k, 0, kTileParts[2]), ReadTestData("jp2/im.j2k"));
}

}  // namespace
}  // namespace sorvend::test
