// The thorough PSD rule: the three sections passed by their lengths (the layer section's taking
// 8 bytes in PSB), the merged image sized from the header or from its row table; refused
// headers and sections, and cut images.
#include <gtest/gtest.h>

#include "tests/support/test_support.h"

namespace sorvend::test {
namespace {

// Where the parts of the samples lie: the image resources at 30, the layer section at 62, the
// compression code, then the image (20 x 14, three channels of 20-byte rows).
constexpr std::size_t kResources = 30;
constexpr std::size_t kLayers = 62;
constexpr std::size_t kRawCode = 986;   // psd/raw.psd
constexpr std::size_t kRleCode = 1196;  // psd/rle.psd
constexpr std::size_t kRleRows = 1196 + 2 + 42 * 2;

TEST(PsdThorough, SamplesComeOutWhole) {
  for (const char* name : {"psd/raw.psd", "psd/rle.psd", "psd/raw.psb", "psd/rle16a.psd"}) {
    ExpectThoroughSampleComesOutWhole(Kind::Psd, ".PSD", name);
  }
}

TEST(PsdThorough, RefusesHeadersAndSectionsNoReaderOpens) {
  const Bytes raw = ReadTestData("psd/raw.psd");
  const Bytes rle = ReadTestData("psd/rle.psd");
  const struct {
    const char* what;
    Bytes data;
  } cases[] = {
      {"version 3", Patched(raw, 4, {0, 3})},
      {"a reserved byte that is not 0", Patched(raw, 9, {1})},
      {"no channels", Patched(raw, 12, {0, 0})},
      {"57 channels", Patched(raw, 12, {0, 57})},
      {"zero height", Patched(raw, 14, {0, 0, 0, 0})},
      {"a width of 30001", Patched(raw, 18, {0, 0, 0x75, 0x31})},
      {"a depth of 7", Patched(raw, 22, {0, 7})},
      {"colour mode 5", Patched(raw, 24, {0, 5})},
      {"resources that are no blocks", Patched(raw, kResources + 4, {'X'})},
      {"a layer section past the input", Patched(raw, kLayers, {0, 1, 0, 0})},
      {"zip compressed image data", Patched(raw, kRawCode, {0, 2})},
      {"a coded row of no bytes", Patched(rle, kRleCode + 2, {0, 0})},
      {"a coded row longer than any coding makes", Patched(rle, kRleCode + 2, {0, 41})},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    ExpectThoroughWritesNothing({Kind::Psd}, Join({Filler(33), c.data, Filler(40)}));
  }
}

TEST(PsdThorough, CutImagesKeepTheirWholeRows) {
  const Bytes raw = ReadTestData("psd/raw.psd");
  const std::size_t pixels = kRawCode + 2;
  const Bytes rle = ReadTestData("psd/rle.psd");  // every row coded in 23 bytes
  const struct {
    const Bytes& psd;
    std::size_t length;
    std::size_t kept;
  } cuts[] = {
      {raw, pixels + 3 * 20 + 7, pixels + 3 * 20},
      {raw, pixels + 19, 0},
      {raw, kLayers + 100, 0},
      {rle, kRleRows + 2 * 23 + 5, kRleRows + 2 * 23},
      {rle, kRleRows + 22, 0},
      {rle, kRleRows - 1, 0},  // the row table cut
  };
  for (const auto& c : cuts) ExpectThoroughCut(Kind::Psd, c.psd, c.length, c.kept);
}

}  // namespace
}  // namespace sorvend::test
