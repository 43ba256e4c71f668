// The thorough QOI rule: the chunks counted to the image's pixels and the end marker behind
// them; refused headers, and streams that are cut, overrun the image or lose their marker.
#include <gtest/gtest.h>

#include "tests/support/test_support.h"

namespace sorvend::test {
namespace {

// qoi/rgb.qoi ends with an index chunk (0x26), a run of two pixels (0xC1) and the 8-byte end
// marker.
constexpr std::size_t kMarkerBytes = 8;

TEST(QoiThorough, SamplesComeOutWhole) {
  for (const char* name : {"qoi/rgb.qoi", "qoi/rgba.qoi"}) {
    ExpectThoroughSampleComesOutWhole(Kind::Qoi, ".QOI", name);
  }
}

TEST(QoiThorough, RefusesHeadersNoDecoderOpens) {
  const Bytes qoi = ReadTestData("qoi/rgb.qoi");
  const struct {
    const char* what;
    Bytes data;
  } cases[] = {
      {"the tag in text", Join({Slice(qoi, 0, 4), Filler(400)})},
      {"zero width", Patched(qoi, 4, {0, 0, 0, 0})},
      {"zero height", Patched(qoi, 8, {0, 0, 0, 0})},
      {"more pixels than decoders take", Patched(qoi, 4, {0, 1, 0, 0, 0, 0, 0x10, 0})},
      {"two channels", Patched(qoi, 12, {2})},
      {"five channels", Patched(qoi, 12, {5})},
      {"colour space 2", Patched(qoi, 13, {2})},
      {"a header cut by the input's end", Slice(qoi, 0, 13)},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    ExpectThoroughWritesNothing({Kind::Qoi}, Join({Filler(33), c.data, Filler(40)}));
  }
}

TEST(QoiThorough, CutStreamKeepsItsWholeChunksOnceARowIsThere) {
  const Bytes qoi = ReadTestData("qoi/rgb.qoi");
  const std::size_t chunksEnd = qoi.size() - kMarkerBytes;
  const std::pair<std::size_t, std::size_t> cuts[] = {
      {qoi.size() - 1, chunksEnd},  // the marker cut
      {chunksEnd, chunksEnd},       // no marker at all
      {chunksEnd - 1, chunksEnd - 1},
      {14 + 2, 0},  // a run of 3 pixels and a difference: not a row of 24
      {14, 0},
  };
  for (const auto& [length, kept] : cuts) ExpectThoroughCut(Kind::Qoi, qoi, length, kept);
}

TEST(QoiThorough, BrokenStreamIsCutAndTheImageBehindFound) {
  const Bytes qoi = ReadTestData("qoi/rgb.qoi");
  const std::size_t lastRun = qoi.size() - kMarkerBytes - 1;
  ASSERT_EQ(qoi[lastRun], 0xC1);
  const struct {
    const char* what;
    Bytes broken;
    std::size_t kept;
  } cases[] = {
      {"a run past the last pixel", Patched(qoi, lastRun, {0xFD}), lastRun},
      {"a damaged end marker", Patched(qoi, qoi.size() - 1, {0x02}), qoi.size() - kMarkerBytes},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    ExpectThoroughCutThenWhole(Kind::Qoi, c.broken, Slice(c.broken, 0, c.kept),
                               ReadTestData("qoi/rgba.qoi"));
  }
}

}  // namespace
}  // namespace sorvend::test
