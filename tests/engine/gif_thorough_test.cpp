// The thorough GIF rule: screen, colour tables, images and extensions with their sub-block
// chains up to the trailer; broken images written up to their last whole image.
#include <gtest/gtest.h>

#include <vector>

#include "tests/support/test_support.h"

namespace sorvend::test {
namespace {

TEST(GifThorough, SamplesComeOutWhole) {
  for (const char* name : {"gif/plain87a.gif", "gif/plain89a.gif", "gif/animated.gif"}) {
    ExpectThoroughSampleComesOutWhole(Kind::Gif, ".GIF", name);
  }
}

std::size_t TableSize(std::uint8_t packed) {
  return (packed & 0x80) ? std::size_t{3} << ((packed & 7) + 1) : 0;
}

std::size_t SkipSubBlocks(const Bytes& gif, std::size_t at) {
  while (gif.at(at) != 0) at += 1 + gif[at];
  return at + 1;
}

// Where each image descriptor of a well-formed sample starts and where its data ends.
struct ImagePlace {
  std::size_t start;
  std::size_t end;
};
std::vector<ImagePlace> Images(const Bytes& gif) {
  std::vector<ImagePlace> images;
  std::size_t at = 13 + TableSize(gif[10]);
  while (gif.at(at) != 0x3B) {
    if (gif[at] == 0x21) {
      at = SkipSubBlocks(gif, at + 2);
    } else {
      const std::size_t start = at;
      at = SkipSubBlocks(gif, at + 11 + TableSize(gif[at + 9]));
      images.push_back({start, at});
    }
  }
  return images;
}

TEST(GifThorough, RefusesWhatNoDecoderOpens) {
  const Bytes gif = ReadTestData("gif/plain89a.gif");
  const ImagePlace image = Images(gif).at(0);
  const std::size_t codeSizeAt = image.start + 10 + TableSize(gif[image.start + 9]);
  const auto changed = [&](std::size_t at, std::uint8_t value) {
    Bytes b = gif;
    b.at(at) = value;
    return b;
  };
  Bytes noImageData = Slice(gif, 0, codeSizeAt + 1);
  Append(noImageData, {0x00, 0x3B});
  Bytes signatures;
  AppendText(signatures, "GIF87a");
  signatures.push_back(0);
  AppendText(signatures, "GIF89a");
  signatures.push_back(0);
  const struct {
    const char* what;
    Bytes data;
  } cases[] = {
      {"the two signatures in a library's table", signatures},
      {"a screen of width 0", changed(6, 0)},
      {"an image of height 0", changed(image.start + 7, 0)},
      {"an unknown block introducer", changed(13 + TableSize(gif[10]), 0x2D)},
      {"an unknown extension", changed(13 + TableSize(gif[10]) + 1, 0x02)},
      {"a graphic control block of the wrong size", changed(13 + TableSize(gif[10]) + 2, 5)},
      {"an LZW code size of 0", changed(codeSizeAt, 0)},
      {"an LZW code size beyond 8", changed(codeSizeAt, 9)},
      {"an image without data", noImageData},
      {"a trailer and no image", Join({Slice(gif, 0, image.start), {0x3B}})},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    ExpectThoroughWritesNothing({Kind::Gif}, Join({Filler(33), c.data, Filler(20)}));
  }
}

TEST(GifThorough, BrokenImageIsCutAtItsLastWholeImageAndTheNextOneFound) {
  const Bytes animated = ReadTestData("gif/animated.gif");
  const Bytes plain = ReadTestData("gif/plain87a.gif");
  const std::vector<ImagePlace> frames = Images(animated);
  ASSERT_EQ(frames.size(), 3u);
  Bytes zeroWidth = animated;
  zeroWidth[frames[2].start + 5] = zeroWidth[frames[2].start + 6] = 0;
  Bytes badIntroducer = animated;
  badIntroducer[frames[1].end] = 0x00;  // the extension behind the second frame
  const struct {
    const char* what;
    Bytes broken;
    std::size_t kept;
  } cases[] = {
      {"an empty third frame", zeroWidth, frames[1].end},
      {"a block that is no block", badIntroducer, frames[1].end},
      {"a trailer replaced by junk", Join({Slice(animated, 0, animated.size() - 1), Filler(9)}),
       frames[2].end},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    ExpectThoroughCutThenWhole(Kind::Gif, c.broken, Slice(c.broken, 0, c.kept), plain);
  }
}

TEST(GifThorough, ImageCutByTheEndOfTheInput) {
  const Bytes gif = ReadTestData("gif/animated.gif");
  const std::vector<ImagePlace> frames = Images(gif);
  const std::pair<std::size_t, std::size_t> cuts[] = {
      {frames[0].end - 1, 0},  // no whole image
      {frames[0].end, frames[0].end},
      {frames[2].start + 20, frames[1].end},
      {gif.size() - 1, frames[2].end},
  };
  for (const auto& [length, kept] : cuts) ExpectThoroughCut(Kind::Gif, gif, length, kept);
}

}  // namespace
}  // namespace sorvend::test
