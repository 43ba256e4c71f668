// The thorough JPEG rule: marker segments walked by their lengths, a frame and a scan required,
// entropy-coded data followed to the end-of-image marker, broken images cut before the marker
// that broke them.
#include <gtest/gtest.h>

#include "tests/support/test_support.h"

namespace sorvend::test {
namespace {

TEST(JpegThorough, SamplesComeOutWhole) {
  for (const char* name : {"jpeg/plasma.jpg", "jpeg/progressive.jpg", "jpeg/exif_first.jpg",
                           "jpeg/thumb_in_exif.jpg", "jpeg/restart.jpg", "jpeg/grey.jpg"}) {
    ExpectThoroughSampleComesOutWhole(Kind::Jpg, ".JPG", name);
  }
}

// Where the segment with marker `code` starts, walking the header segments by their lengths
// (the entropy data of the first scan is not walked).
std::size_t SegmentAt(const Bytes& jpg, std::uint8_t code) {
  std::size_t at = 2;
  while (jpg.at(at + 1) != code) at += 2 + (jpg.at(at + 2) << 8 | jpg.at(at + 3));
  return at;
}

// Where the first scan's entropy-coded data starts.
std::size_t ScanDataStart(const Bytes& jpg) {
  const std::size_t sos = SegmentAt(jpg, 0xDA);
  return sos + 2 + (jpg[sos + 2] << 8 | jpg[sos + 3]);
}

// The offset of the first 0xFF `code` pair at or after `from`.
std::size_t MarkerAt(const Bytes& jpg, std::size_t from, std::uint8_t code) {
  for (std::size_t i = from; i + 1 < jpg.size(); ++i) {
    if (jpg[i] == 0xFF && jpg[i + 1] == code) return i;
  }
  ADD_FAILURE() << "no marker " << int{code};
  return jpg.size();
}

TEST(JpegThorough, RefusesWhatNoDecoderOpens) {
  const Bytes jpg = ReadTestData("jpeg/plasma.jpg");
  const std::size_t sof = SegmentAt(jpg, 0xC0);
  const std::size_t sos = SegmentAt(jpg, 0xDA);
  Bytes noFrame = jpg;
  noFrame[sof + 1] = 0xFE;  // the frame header becomes a comment
  Bytes zeroWidth = jpg;
  zeroWidth[sof + 7] = zeroWidth[sof + 8] = 0;
  Bytes strangeComponent = jpg;
  strangeComponent[sos + 5] = 0x77;  // the scan names a component the frame lacks
  Bytes badTableLength = jpg;
  ++badTableLength[SegmentAt(jpg, 0xDB) + 3];  // one byte more than its tables hold
  Bytes reservedMarker = jpg;
  reservedMarker[3] = 0xF0;  // APP0 becomes an extension code no decoder knows
  Bytes noScanData = Slice(jpg, 0, ScanDataStart(jpg));
  Append(noScanData, {0xFF, 0xD9});
  const struct {
    const char* what;
    Bytes data;
  } cases[] = {
      {"the SOI and APP0 template of a library", Join({Slice(jpg, 0, 20), Filler(64)})},
      {"a header with no scan", Join({Slice(jpg, 0, sos), Bytes{0xFF, 0xD9}})},
      {"a scan without a frame header", noFrame},
      {"an image of width 0", zeroWidth},
      {"a scan of a component the frame lacks", strangeComponent},
      {"quantisation tables that do not fill their segment", badTableLength},
      {"a reserved marker after SOI", reservedMarker},
      {"a scan with no data", noScanData},
      {"a header cut by the end", Slice(jpg, 0, sos + 6)},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    ExpectThoroughWritesNothing({Kind::Jpg}, Join({Filler(33), c.data}));
  }
}

TEST(JpegThorough, FillBytesBeforeMarkersBelongToTheImage) {
  const Bytes jpg = ReadTestData("jpeg/progressive.jpg");
  const std::size_t dht = MarkerAt(jpg, ScanDataStart(jpg), 0xC4);  // between two scans
  Bytes filled = Slice(jpg, 0, dht);
  Append(filled, {0xFF, 0xFF, 0xFF});
  Append(filled, Slice(jpg, dht, jpg.size() - 2 - dht));
  Append(filled, {0xFF, 0xFF, 0xD9});
  ScanRun run;
  ScanThorough(run, {Kind::Jpg}, Join({Filler(5), filled, Filler(9)}));
  ASSERT_EQ(run.host.outputs.size(), 1u);
  EXPECT_FALSE(run.host.outputs[0].cut);
  EXPECT_EQ(run.Output(0), filled);
}

TEST(JpegThorough, BrokenImageEndsBeforeTheMarkerThatBrokeIt) {
  const Bytes plasma = ReadTestData("jpeg/plasma.jpg");
  const Bytes progressive = ReadTestData("jpeg/progressive.jpg");
  const Bytes restart = ReadTestData("jpeg/restart.jpg");
  const std::size_t cutAt = ScanDataStart(plasma) + 300;
  ASSERT_NE(plasma[cutAt - 1], 0xFF);
  const std::size_t rst1 = MarkerAt(restart, ScanDataStart(restart), 0xD1);
  Bytes skippedRestart = restart;
  skippedRestart[rst1 + 1] = 0xD2;
  const std::size_t secondScan = MarkerAt(progressive, ScanDataStart(progressive), 0xDA);
  Bytes badSecondScan = progressive;
  badSecondScan[secondScan + 5] = 0x77;
  const struct {
    const char* what;
    Bytes broken;
    std::size_t kept;
  } cases[] = {
      {"entropy data that runs into the next SOI", Slice(plasma, 0, cutAt), cutAt},
      {"a restart marker out of its cycle", skippedRestart, rst1},
      {"a broken scan header between scans", badSecondScan, secondScan},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    ExpectThoroughCutThenWhole(Kind::Jpg, c.broken, Slice(c.broken, 0, c.kept), plasma);
  }
}

TEST(JpegThorough, ImageCutByTheEndOfTheInput) {
  const Bytes jpg = ReadTestData("jpeg/progressive.jpg");
  const std::size_t data = ScanDataStart(jpg);
  const std::size_t dht = MarkerAt(jpg, data, 0xC4);  // the first segment behind the first scan
  const std::size_t stuffed = MarkerAt(jpg, data, 0x00);
  const std::pair<std::size_t, std::size_t> cuts[] = {
      {data + 1, data + 1},              // one byte of scan data
      {stuffed + 1, stuffed},            // a lone 0xFF at the end is no data
      {dht + 3, dht},                    // inside the segment behind the scan
      {jpg.size() - 1, jpg.size() - 2},  // EOI's first byte
  };
  for (const auto& [length, kept] : cuts) ExpectThoroughCut(Kind::Jpg, jpg, length, kept);
  ExpectThoroughCut(Kind::Jpg, jpg, data, 0);
}

}  // namespace
}  // namespace sorvend::test
