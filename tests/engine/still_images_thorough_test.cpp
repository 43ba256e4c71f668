// JPEG, GIF and TIFF in the thorough profile together: damaged samples never hang the scan or
// make it write anything but input bytes.
#include <gtest/gtest.h>

#include "tests/support/test_support.h"

namespace sorvend::test {
namespace {

TEST(StillImagesThorough, DamagedSamplesScanSafely) {
  ExpectDamagedSamplesScanSafely(
      {"jpeg/plasma.jpg", "jpeg/progressive.jpg", "jpeg/restart.jpg", "jpeg/thumb_in_exif.jpg",
       "gif/animated.gif", "tiff/pages.tif", "tiff/tiles.tif", "tiff/be.tif", "tiff/exif.tif"},
      {Kind::Jpg, Kind::Gif, Kind::Tif}, 2026);
}

}  // namespace
}  // namespace sorvend::test
