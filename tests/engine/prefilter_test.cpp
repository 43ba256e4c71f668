#include "engine/prefilter.h"

#include <gtest/gtest.h>

#include <random>

#include "engine/dispatch_table.h"
#include "tests/support/test_support.h"

namespace sorvend::test {
namespace {

// The byte pairs that may start an object: every carver's lead byte with each byte its
// check can accept right after it.
bool MayStartObject(int lead, int next) {
  switch (lead) {
    case 0x28:
      return next == 0x00;
    case 'G':
      return next == 'I';
    case 'O':
      return next == 'g';
    case 'R':
      return next == 'I';
    case 'm':
      return next == 'd';
    case 0x89:
      return next == 'P';
    case 0xFF:
      return next == 0xD8 || next == 0xF2 || next == 0xF3 || next == 0xF4 || next == 0xF5 ||
             next == 0xFA || next == 0xFB || next == 0xFC || next == 0xFD;
    default:
      return false;
  }
}

TEST(FindCandidate, StopsAtExactlyThePairsThatMayStartAnObject) {
  // Every pair at every position of a 40-byte window, so that each vector lane and the
  // scalar tail are exercised.
  Bytes data(41, 0x01);
  for (int lead = 0; lead < 256; ++lead) {
    for (int next = 0; next < 256; ++next) {
      const bool want = MayStartObject(lead, next);
      for (std::size_t at : {0u, 5u, 15u, 16u, 31u, 38u}) {
        std::fill(data.begin(), data.end(), 0x01);
        data[at] = static_cast<std::uint8_t>(lead);
        data[at + 1] = static_cast<std::uint8_t>(next);
        const std::size_t found = FindCandidate(data.data(), 40);
        const bool leadIsCandidate = found == at;
        if (leadIsCandidate != want) {
          FAIL() << "pair " << lead << "," << next << " at " << at << " found " << found;
        }
      }
    }
  }
}

TEST(FindCandidate, AgreesWithTheByteByByteSearchOnRandomData) {
  std::mt19937 rng(42);
  // Bytes drawn mostly from the lead and follow bytes, so that candidates are dense.
  const std::uint8_t alphabet[] = {0x28, 0x00, 'G',  'I',  'O',  'g',  'R',  'm', 'd',
                                   0x89, 'P',  0xFF, 0xD8, 0xF3, 0xFB, 0xFF, 0x41};
  for (int round = 0; round < 2000; ++round) {
    Bytes data(1 + rng() % 300);
    for (auto& b : data) b = rng() % 4 ? alphabet[rng() % sizeof alphabet] : rng() % 256;
    const std::size_t n = data.size() - 1;
    std::size_t at = 0;
    while (at < n) {
      const std::size_t fast = at + FindCandidate(data.data() + at, n - at);
      const std::size_t slow = at + FindCandidateScalar(data.data() + at, n - at);
      ASSERT_EQ(fast, slow) << "round " << round;
      at = fast + 1;
    }
  }
}

TEST(IsLeadByte, EveryTableLeadAndNothingElse) {
  int leads = 0;
  for (int b = -1; b < 256; ++b) leads += IsLeadByte(b);
  EXPECT_EQ(leads, 7);
  for (int b : {0x28, int{'G'}, int{'O'}, int{'R'}, int{'m'}, 0x89, 0xFF})
    EXPECT_TRUE(IsLeadByte(b)) << b;
}

}  // namespace
}  // namespace sorvend::test
