// The picture kinds of run-length pixels, row tables, sections, boxes and elements together:
// damaged samples never hang the scan or make it write anything but input bytes.
#include <gtest/gtest.h>

#include "tests/support/test_support.h"

namespace sorvend::test {
namespace {

TEST(MorePicturesThorough, DamagedSamplesScanSafely) {
  ExpectDamagedSamplesScanSafely(
      {"qoi/rgba.qoi", "ras/rle24.ras", "ras/ras8.ras", "sgi/rle8.sgi", "sgi/raw16a.sgi",
       "pcx/rgb.pcx", "pcx/pal.pcx", "psd/rle.psd", "psd/raw.psb", "jp2/tiles.jp2", "jp2/tiles.j2k",
       "heif/tiny.heic", "heif/alpha.avif", "icns/small.icns"},
      {Kind::Qoi, Kind::Ras, Kind::Sgi, Kind::Pcx, Kind::Psd, Kind::Jp2, Kind::Heic, Kind::Avif,
       Kind::Icns},
      2126);
}

}  // namespace
}  // namespace sorvend::test
