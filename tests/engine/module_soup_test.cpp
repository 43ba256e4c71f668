// Tracker modules of every kind with lying bytes, scanned thorough: the scan ends and writes
// only slices of its input.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/support/test_support.h"

namespace sorvend::test {
namespace {

// A sample with a few bytes changed, most within the first 1,100 bytes, where the headers,
// tables and MOD sample headers stand; then some random bytes, or the sample cut short.
TEST(ModuleThorough, LyingSamplesScanSafely) {
  std::vector<Bytes> samples;
  for (const char* name :
       {"tiny.xm", "tiny.it", "tiny_compressed.it", "tiny.s3m", "mk.mod", "six.mod", "ten.mod"}) {
    samples.push_back(ReadTestData(std::string("modules/") + name));
  }
  ExpectRandomSoupsScanSafely(
      {Kind::Xm, Kind::It, Kind::S3m, Kind::Mod}, 20261208,
      [&](Bytes& input, std::mt19937& rng, int) {
        AppendDamagedSample(input, rng, samples, 1100);
        AppendRandomBytes(input, rng, 40);
      },
      Profile::Thorough);
}

}  // namespace
}  // namespace sorvend::test
