// The thorough PNG rule: CRC-checked chunk walk, refusals, and broken images written up to
// their last good chunk.
#include <gtest/gtest.h>

#include "tests/support/test_support.h"

namespace sorvend::test {
namespace {

TEST(PngThorough, SamplesComeOutWhole) {
  for (const char* name : {"png/gradient.png", "png/plasma.png", "png/alpha.png"}) {
    ExpectThoroughSampleComesOutWhole(Kind::Png, ".PNG", name);
  }
}

// Offset of the byte just after the chunk of `type`, found by walking the sample's chunks.
std::size_t EndOfChunk(const Bytes& png, const std::string& type) {
  std::size_t at = 8;
  for (;;) {
    const std::size_t length =
        std::size_t{png[at]} << 24 | png[at + 1] << 16 | png[at + 2] << 8 | png[at + 3];
    const std::string t(png.begin() + at + 4, png.begin() + at + 8);
    at += 12 + length;
    if (t == type) return at;
  }
}

TEST(PngThorough, RefusesWhatNoDecoderOpens) {
  const Bytes png = ReadTestData("png/gradient.png");
  Bytes badHeaderCrc = png;
  badHeaderCrc[29] ^= 1;
  Bytes zeroWidth = png;
  zeroWidth[16] = zeroWidth[17] = zeroWidth[18] = zeroWidth[19] = 0;
  Bytes noImageData = Slice(png, 0, EndOfChunk(png, "IHDR"));
  AppendText(noImageData, "library tables follow here");
  const struct {
    const char* what;
    Bytes data;
  } cases[] = {
      {"the signature as a program constant", Join({Slice(png, 0, 8), Filler(64)})},
      {"a damaged image header", badHeaderCrc},
      {"an empty image", zeroWidth},
      {"a header with no image data", noImageData},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    ExpectThoroughWritesNothing({Kind::Png}, Join({Filler(33), c.data, Filler(40)}));
  }
}

TEST(PngThorough, BrokenImageIsCutAtItsLastGoodChunkAndTheNextOneFound) {
  const Bytes png = ReadTestData("png/gradient.png");
  const std::size_t idatEnd = EndOfChunk(png, "IDAT");
  Bytes broken = png;
  broken[idatEnd + 6] ^= 0x20;  // the chunk after IDAT: a letter changes case, its CRC fails
  ExpectThoroughCutThenWhole(Kind::Png, broken, Slice(png, 0, idatEnd), png);
}

TEST(PngThorough, ImageCutByTheEndOfTheInput) {
  const Bytes png = ReadTestData("png/plasma.png");
  const std::size_t idatEnd = EndOfChunk(png, "IDAT");
  const std::size_t iendStart = png.size() - 12;
  const std::pair<std::size_t, std::size_t> cuts[] = {
      {idatEnd, idatEnd}, {idatEnd + 5, idatEnd}, {png.size() - 1, iendStart}};
  for (const auto& [length, kept] : cuts) {
    ScanRun run;
    ScanThorough(run, {Kind::Png}, Join({Filler(3), Slice(png, 0, length)}));
    ASSERT_EQ(run.host.outputs.size(), 1u) << length;
    EXPECT_TRUE(run.host.outputs[0].cut);
    EXPECT_EQ(run.Output(0), Slice(png, 0, kept)) << length;
  }
  // Cut inside its only image data chunk, nothing decodable is left.
  ExpectThoroughWritesNothing({Kind::Png}, Slice(png, 0, idatEnd - 1));
}

}  // namespace
}  // namespace sorvend::test
