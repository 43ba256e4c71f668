// JPEG, GIF and TIFF in the thorough profile together: damaged samples never hang the scan or
// make it write anything but input bytes.
#include <gtest/gtest.h>

#include <random>

#include "tests/support/test_support.h"

namespace sorvend::test {
namespace {

TEST(StillImagesThorough, DamagedSamplesScanSafely) {
  std::mt19937 rng(2026);
  std::size_t carved = 0;
  for (const char* name :
       {"jpeg/plasma.jpg", "jpeg/progressive.jpg", "jpeg/restart.jpg", "jpeg/thumb_in_exif.jpg",
        "gif/animated.gif", "tiff/pages.tif", "tiff/tiles.tif", "tiff/be.tif", "tiff/exif.tif"}) {
    const Bytes sample = ReadTestData(name);
    for (int round = 0; round < 20; ++round) {
      SCOPED_TRACE(::testing::Message() << name << " round " << round);
      Bytes damaged = sample;
      for (int n = 1 + static_cast<int>(rng() % 4); n > 0; --n) {
        damaged[rng() % damaged.size()] = static_cast<std::uint8_t>(rng());
      }
      if (round % 3 == 0) damaged.resize(rng() % damaged.size());
      const Bytes input = Join({Filler(5), damaged, sample});
      // A scan caught in a loop has its streams closed after far more work than the input is.
      ScanRun run;
      int calls = 0;
      run.host.interval = 1024;
      run.host.onKeepResponsive = [&] {
        if (++calls > 1000) CloseStreams(run.ctx);
      };
      ScanThorough(run, {Kind::Jpg, Kind::Gif, Kind::Tif}, input);
      ASSERT_LE(calls, 1000) << "the scan did not end";
      ExpectOutputsAreInputSlices(run, input);
      carved += run.host.outputs.size();
    }
  }
  // The whole sample behind each damaged one comes out at least.
  EXPECT_GE(carved, 9u * 20u);
}

}  // namespace
}  // namespace sorvend::test
