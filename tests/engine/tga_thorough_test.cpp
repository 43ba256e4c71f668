// The thorough TGA rule, tried only at the start of an input: the header's consistency, the
// run-length packets counted to the image's pixels, a TGA 2.0 footer and its areas behind them,
// and an end that must be the input's.
#include <gtest/gtest.h>

#include <string>

#include "tests/support/test_support.h"

namespace sorvend::test {
namespace {

constexpr std::size_t kFooterBytes = 26;

// ff.tga's pixels end right before its footer; an extension area of 495 bytes (its size first)
// put between them, with the footer pointing to it.
Bytes WithExtensionArea(std::uint32_t pointsTo) {
  const Bytes ff = ReadTestData("tga/ff.tga");
  const std::size_t footer = ff.size() - kFooterBytes;
  Bytes area(495);
  area[0] = 0xEF;  // 495, little-endian
  area[1] = 0x01;
  Bytes out = Join({Slice(ff, 0, footer), area, Slice(ff, footer, kFooterBytes)});
  SetLe32(out, out.size() - kFooterBytes, pointsTo);
  return out;
}

TEST(TgaThorough, ImageThatIsTheWholeInputComesOut) {
  const std::size_t ffData = ReadTestData("tga/ff.tga").size() - kFooterBytes;
  const struct {
    const char* what;
    Bytes tga;
  } cases[] = {
      {"raw", ReadTestData("tga/raw.tga")},
      {"run-length", ReadTestData("tga/rle.tga")},
      {"colour-mapped run-length", ReadTestData("tga/rlepal.tga")},
      {"greyscale", ReadTestData("tga/gray.tga")},
      {"with a footer", ReadTestData("tga/ff.tga")},
      {"with an extension area", WithExtensionArea(static_cast<std::uint32_t>(ffData))},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    ScanRun run;
    ScanThorough(run, {Kind::Tga}, c.tga);
    ASSERT_EQ(run.host.outputs.size(), 1u);
    EXPECT_EQ(run.host.outputs[0].offset, 0);
    EXPECT_FALSE(run.host.outputs[0].cut);
    EXPECT_EQ(run.host.outputs[0].name.substr(run.host.outputs[0].name.size() - 4), ".TGA");
    EXPECT_EQ(run.Output(0), c.tga);
  }
}

// Raw pixels are any bytes, so an image that does not end where its input does is no image.
TEST(TgaThorough, ImageThatIsNotTheWholeInputIsLeft) {
  for (const char* name : {"tga/raw.tga", "tga/rle.tga", "tga/ff.tga"}) {
    SCOPED_TRACE(name);
    const Bytes tga = ReadTestData(name);
    ExpectThoroughWritesNothing({Kind::Tga}, Join({tga, Filler(1)}));
    ExpectThoroughWritesNothing({Kind::Tga}, Join({Filler(3), tga}));
    ExpectThoroughWritesNothing({Kind::Tga}, Slice(tga, 0, tga.size() - 1));
  }
  ExpectThoroughWritesNothing({Kind::Tga}, Filler(858));
}

TEST(TgaThorough, RefusesHeadersFootersAndPacketsThatDoNotFit) {
  const Bytes raw = ReadTestData("tga/raw.tga");  // 20 x 14, 24-bit
  const Bytes rle = ReadTestData("tga/rle.tga");
  const Bytes mapped = ReadTestData("tga/rlepal.tga");
  const Bytes gray = ReadTestData("tga/gray.tga");  // 8-bit
  const Bytes ff = ReadTestData("tga/ff.tga");
  const std::size_t ffData = ff.size() - kFooterBytes;
  const struct {
    const char* what;
    Bytes data;
  } cases[] = {
      {"image type 4", Patched(raw, 2, {4})},
      {"image type 0, no image", Patched(raw, 2, {0})},
      {"colour map type 2", Patched(raw, 1, {2})},
      {"a colour map length without a map", Patched(raw, 5, {1, 0})},
      {"a colour-mapped image without a map", Patched(mapped, 1, {0})},
      // Each of these leaves the image's size as it was.
      {"a colour map of 20-bit entries", Patched(mapped, 7, {20})},
      {"7-bit colour indexes", Patched(mapped, 16, {7})},
      {"12-bit pixels, 30 wide", Patched(Patched(raw, 12, {30}), 16, {12})},
      {"reserved descriptor bits", Patched(raw, 17, {0xC0})},
      {"more alpha bits than the pixel has", Patched(gray, 17, {0x09})},
      {"run-length packets past the last pixel", Patched(rle, 18, {0xFF})},
      {"a footer without its signature", Patched(ff, ff.size() - 3, {'X'})},
      {"an extension area inside the pixels", WithExtensionArea(100)},
      {"an extension area past the footer",
       WithExtensionArea(static_cast<std::uint32_t>(ff.size()))},
      {"an extension area of the wrong size",
       Patched(WithExtensionArea(static_cast<std::uint32_t>(ffData)), ffData, {0xEE})},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    ExpectThoroughWritesNothing({Kind::Tga}, c.data);
  }
}

}  // namespace
}  // namespace sorvend::test
