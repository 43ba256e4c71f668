// The thorough Sun raster rule: the size from the length field, or from the sides for the old
// type, run-length bytes decoded to the image's size; refused headers and cut images.
#include <gtest/gtest.h>

#include "tests/support/test_support.h"

namespace sorvend::test {
namespace {

constexpr std::size_t kHeaderBytes = 32;

TEST(SunRasterThorough, SamplesComeOutWhole) {
  for (const char* name : {"ras/ras24.ras", "ras/ras8.ras", "ras/rle24.ras", "ras/rle8.ras"}) {
    ExpectThoroughSampleComesOutWhole(Kind::Ras, ".RAS", name);
  }
}

TEST(SunRasterThorough, OldTypeIsSizedFromItsSides) {
  // ras/ras24.ras is 20 x 14 at 24 bits: rows of 60 bytes.
  Bytes old = ReadTestData("ras/ras24.ras");
  SetBe32(old, 16, 0);
  SetBe32(old, 20, 0);
  ScanRun run;
  ScanThorough(run, {Kind::Ras}, Join({Filler(7), old, Filler(50)}));
  ASSERT_EQ(run.host.outputs.size(), 1u);
  EXPECT_EQ(run.Output(0), old);
}

TEST(SunRasterThorough, RefusesHeadersNoDecoderOpens) {
  const Bytes ras = ReadTestData("ras/ras24.ras");
  const Bytes mapped = ReadTestData("ras/ras8.ras");
  const struct {
    const char* what;
    Bytes data;
  } cases[] = {
      {"zero width", Patched(ras, 4, {0, 0, 0, 0})},
      {"zero height", Patched(ras, 8, {0, 0, 0, 0})},
      {"a width of 65536", Patched(ras, 4, {0, 1, 0, 0})},
      {"a depth of 4", Patched(ras, 12, {0, 0, 0, 4})},
      {"a depth of 16", Patched(ras, 12, {0, 0, 0, 16})},
      {"the TIFF type", Patched(ras, 20, {0, 0, 0, 4})},
      {"an unknown colour map type", Patched(ras, 24, {0, 0, 0, 3})},
      {"no colour map but a map length", Patched(ras, 28, {0, 0, 0, 3})},
      {"an RGB colour map not of whole colours", Patched(mapped, 28, {0, 0, 0, 0x31})},
      {"an RGB colour map of 257 colours", Patched(mapped, 28, {0, 0, 0x03, 0x03})},
      {"a length short of the rows", Patched(ras, 16, {0, 0, 0x03, 0x47})},
      {"a length beyond the padded rows", Patched(ras, 16, {0, 0, 0x03, 0x49})},
      {"a header cut by the input's end", Slice(ras, 0, 31)},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    ExpectThoroughWritesNothing({Kind::Ras}, Join({Filler(33), c.data, Filler(40)}));
  }
}

TEST(SunRasterThorough, CutRawImageKeepsItsWholeRows) {
  const Bytes ras = ReadTestData("ras/ras24.ras");  // rows of 60 bytes
  const std::pair<std::size_t, std::size_t> cuts[] = {
      {kHeaderBytes + 3 * 60 + 7, kHeaderBytes + 3 * 60},
      {kHeaderBytes + 60, kHeaderBytes + 60},
      {kHeaderBytes + 59, 0},
  };
  for (const auto& [length, kept] : cuts) ExpectThoroughCut(Kind::Ras, ras, length, kept);
  // Behind its colour map of 48 bytes: rows of 20 bytes.
  ExpectThoroughCut(Kind::Ras, ReadTestData("ras/ras8.ras"), kHeaderBytes + 48 + 50,
                    kHeaderBytes + 48 + 40);
}

// A cut run-length image ends behind its last whole code, which is at most 3 bytes long.
TEST(SunRasterThorough, CutRunLengthImageEndsBehindItsLastWholeCode) {
  const Bytes rle = ReadTestData("ras/rle24.ras");
  for (const std::size_t length : {rle.size() - 1, rle.size() / 2}) {
    SCOPED_TRACE(length);
    ScanRun run;
    ScanThorough(run, {Kind::Ras}, Join({Filler(5), Slice(rle, 0, length)}));
    ASSERT_EQ(run.host.outputs.size(), 1u);
    EXPECT_TRUE(run.host.outputs[0].cut);
    const Bytes out = run.Output(0);
    EXPECT_LE(out.size(), length);
    EXPECT_GE(out.size() + 3, length);
    EXPECT_EQ(out, Slice(rle, 0, out.size()));
  }
  // Not even a row of 72 bytes decoded.
  ExpectThoroughCut(Kind::Ras, rle, kHeaderBytes + 10, 0);
}

}  // namespace
}  // namespace sorvend::test
