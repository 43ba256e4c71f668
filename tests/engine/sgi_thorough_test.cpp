// The thorough SGI rule: raw images sized from the header, run-length ones ended by their row
// tables; refused headers and tables, and cut images.
#include <gtest/gtest.h>

#include "tests/support/test_support.h"

namespace sorvend::test {
namespace {

constexpr std::size_t kHeaderBytes = 512;
// sgi/rle8.sgi is 20 x 14 with 3 channels: 42 row starts, then 42 row lengths.
constexpr std::size_t kRows = 42;
constexpr std::size_t kLengths = kHeaderBytes + 4 * kRows;
constexpr std::size_t kRowsStart = kHeaderBytes + 8 * kRows;

TEST(SgiThorough, SamplesComeOutWhole) {
  for (const char* name : {"sgi/raw8.sgi", "sgi/rle8.sgi", "sgi/raw16a.sgi", "sgi/gray.sgi"}) {
    ExpectThoroughSampleComesOutWhole(Kind::Sgi, ".SGI", name);
  }
}

TEST(SgiThorough, RefusesHeadersAndTablesNoDecoderOpens) {
  const Bytes raw = ReadTestData("sgi/raw8.sgi");
  const Bytes rle = ReadTestData("sgi/rle8.sgi");
  const struct {
    const char* what;
    Bytes data;
  } cases[] = {
      {"dimension 0", Patched(raw, 4, {0, 0})},
      {"dimension 4", Patched(raw, 4, {0, 4})},
      {"zero width", Patched(raw, 6, {0, 0})},
      {"zero height", Patched(raw, 8, {0, 0})},
      {"no channels", Patched(raw, 10, {0, 0})},
      {"17 channels", Patched(raw, 10, {0, 17})},
      {"a largest value beyond a byte", Patched(raw, 16, {0, 0, 1, 0})},
      {"a smallest value above the largest", Patched(raw, 12, {0, 0, 1, 0})},
      {"an unknown colour map kind", Patched(raw, 104, {0, 0, 0, 4})},
      {"a row inside the tables", Patched(rle, kHeaderBytes, {0, 0, 0x02, 0})},
      {"a row of no bytes", Patched(rle, kLengths, {0, 0, 0, 0})},
      {"a row longer than any coding makes", Patched(rle, kLengths, {0, 0, 0, 43})},
      {"tables cut by the input's end", Slice(rle, 0, kRowsStart - 1)},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    ExpectThoroughWritesNothing({Kind::Sgi}, Join({Filler(33), c.data, Filler(40)}));
  }
}

TEST(SgiThorough, CutImagesKeepTheirWholeRows) {
  const Bytes raw = ReadTestData("sgi/raw8.sgi");  // rows of 20 bytes
  const std::pair<std::size_t, std::size_t> cuts[] = {
      {kHeaderBytes + 5 * 20 + 3, kHeaderBytes + 5 * 20},
      {kHeaderBytes + 20, kHeaderBytes + 20},
      {kHeaderBytes + 19, 0},
  };
  for (const auto& [length, kept] : cuts) ExpectThoroughCut(Kind::Sgi, raw, length, kept);
  // Run-length rows of 24 bytes each: without the last byte the furthest whole row is the one
  // before the last; without every row's bytes there is nothing.
  const Bytes rle = ReadTestData("sgi/rle8.sgi");
  ExpectThoroughCut(Kind::Sgi, rle, rle.size() - 1, rle.size() - 24);
  ExpectThoroughCut(Kind::Sgi, rle, kRowsStart + 23, 0);
}

}  // namespace
}  // namespace sorvend::test
