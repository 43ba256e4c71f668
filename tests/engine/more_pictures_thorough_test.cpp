// The picture kinds of run-length pixels, row tables, sections, boxes and elements together:
// damaged samples never hang the scan or make it write anything but input bytes.
#include <gtest/gtest.h>

#include <random>

#include "tests/support/test_support.h"

namespace sorvend::test {
namespace {

TEST(MorePicturesThorough, DamagedSamplesScanSafely) {
  std::mt19937 rng(2126);
  std::size_t carved = 0;
  const char* const names[] = {
      "qoi/rgba.qoi",  "ras/rle24.ras",  "ras/ras8.ras",    "sgi/rle8.sgi",   "sgi/raw16a.sgi",
      "pcx/rgb.pcx",   "pcx/pal.pcx",    "psd/rle.psd",     "psd/raw.psb",    "jp2/tiles.jp2",
      "jp2/tiles.j2k", "heif/tiny.heic", "heif/alpha.avif", "icns/small.icns"};
  for (const char* name : names) {
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
      ScanThorough(run,
                   {Kind::Qoi, Kind::Ras, Kind::Sgi, Kind::Pcx, Kind::Psd, Kind::Jp2, Kind::Heic,
                    Kind::Avif, Kind::Icns},
                   input);
      ASSERT_LE(calls, 1000) << "the scan did not end";
      ExpectOutputsAreInputSlices(run, input);
      carved += run.host.outputs.size();
    }
  }
  // The whole sample behind each damaged one comes out at least.
  EXPECT_GE(carved, std::size(names) * 20u);
}

}  // namespace
}  // namespace sorvend::test
