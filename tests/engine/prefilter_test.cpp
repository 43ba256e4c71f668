#include "engine/prefilter.h"

#include <gtest/gtest.h>

#include <random>
#include <vector>

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
  Bytes data(40 + kCandidateLookahead, 0x01);
  for (int lead = 0; lead < 256; ++lead) {
    for (int next = 0; next < 256; ++next) {
      const bool want = MayStartObject(lead, next);
      for (std::size_t at : {0u, 5u, 15u, 16u, 31u, 32u, 38u}) {
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

// The bytes the thorough table's signatures name at their third and fourth positions, so that
// its four-byte signatures are met whole as well as broken.
std::vector<std::uint8_t> DeepBytes() {
  std::vector<std::uint8_t> bytes = {0x01, 0x00, 0xFF};
  for (const auto& e : kMeasureTable) {
    bytes.push_back(e.signature.third.value);
    bytes.push_back(e.signature.fourth.value);
  }
  return bytes;
}

TEST(FindCandidate, ThoroughSearchAgreesWithTheReferenceForEveryPairAndLane) {
  const std::vector<std::uint8_t> deep = DeepBytes();
  Bytes data(40 + kCandidateLookahead, 0x01);
  for (int lead = 0; lead < 256; ++lead) {
    if (!IsLeadByte(lead, Profile::Thorough)) continue;
    for (int next = 0; next < 256; ++next) {
      for (std::size_t at : {0u, 15u, 31u, 32u, 38u}) {
        for (std::size_t k = 0; k < deep.size(); ++k) {
          std::fill(data.begin(), data.end(), 0x01);
          data[at] = static_cast<std::uint8_t>(lead);
          data[at + 1] = static_cast<std::uint8_t>(next);
          data[at + 2] = deep[k];
          data[at + 3] = deep[(k + at) % deep.size()];
          const std::size_t fast = FindCandidate(data.data(), 40, Profile::Thorough);
          const std::size_t slow = FindCandidateScalar(data.data(), 40, Profile::Thorough);
          if (fast != slow) FAIL() << lead << "," << next << " at " << at << ": " << fast;
        }
      }
    }
  }
}

TEST(FindCandidate, AgreesWithTheByteByByteSearchOnRandomData) {
  std::mt19937 rng(42);
  for (const Profile profile : {Profile::Classic, Profile::Thorough}) {
    // Bytes drawn mostly from the lead and follow bytes, so that candidates are dense.
    std::vector<std::uint8_t> alphabet = DeepBytes();
    for (const auto& e : kDispatchTable) alphabet.push_back(e.signature.lead);
    for (const auto& e : kMeasureTable) {
      alphabet.push_back(e.signature.lead);
      alphabet.push_back(e.signature.follow[0].value);
    }
    alphabet.insert(alphabet.end(), {'I', 'g', 'd', 'P', 0xD8, 0xF3, 0xFB, 0x41});
    for (int round = 0; round < 2000; ++round) {
      Bytes data(kCandidateLookahead + rng() % 300);
      for (auto& b : data) b = rng() % 4 ? alphabet[rng() % alphabet.size()] : rng() % 256;
      const std::size_t n = data.size() - kCandidateLookahead;
      std::size_t at = 0;
      while (at < n) {
        const std::size_t fast = at + FindCandidate(data.data() + at, n - at, profile);
        const std::size_t slow = at + FindCandidateScalar(data.data() + at, n - at, profile);
        ASSERT_EQ(fast, slow) << "round " << round;
        at = fast + 1;
      }
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
