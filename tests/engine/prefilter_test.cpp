#include "engine/prefilter.h"

#include <gtest/gtest.h>

#include <algorithm>
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

// The bytes on either side of each edge of a set: what a search must tell apart.
void AddEdges(const ByteSet& set, std::vector<std::uint8_t>& bytes) {
  for (int b = 1; b < 256; ++b) {
    const auto byte = static_cast<std::uint8_t>(b);
    if (set.Has(byte) != set.Has(static_cast<std::uint8_t>(b - 1))) {
      bytes.push_back(byte);
      bytes.push_back(static_cast<std::uint8_t>(b - 1));
    }
  }
}

// The bytes the thorough table's signatures tell apart at their third and fourth positions, so
// that its four-byte signatures are met whole as well as broken.
std::vector<std::uint8_t> DeepBytes() {
  std::vector<std::uint8_t> bytes = {0x01, 0x00, 0xFF};
  for (const auto& e : kMeasureTable) {
    AddEdges(e.signature.third, bytes);
    AddEdges(e.signature.fourth, bytes);
  }
  std::sort(bytes.begin(), bytes.end());
  bytes.erase(std::unique(bytes.begin(), bytes.end()), bytes.end());
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
      AddEdges(e.signature.next, alphabet);
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

// The first candidate at or after `from` that fits a signature and passes its screen, one
// position at a time.
std::size_t ScreenedReference(const Bytes& data, std::size_t from, std::size_t n) {
  for (std::size_t i = from; i < n; ++i) {
    if (FindCandidateScalar(data.data() + i, 1, Profile::Thorough) == 0 &&
        PassesScreen(data.data() + i, data.size() - i,
                     static_cast<std::int64_t>(data.size() - i))) {
      return i;
    }
  }
  return n;
}

TEST(FindScreenedCandidate, AgreesWithTheReferenceOnSamplesCutAndMixed) {
  const std::vector<Bytes> samples = {ReadTestData("mp3/cbr128_44k_id3v1.mp3"),
                                      ReadTestData("mp3/layer2_24k.mp2"),
                                      ReadTestData("aac/lc_44k.aac"),
                                      ReadTestData("ico/depths.ico"),
                                      ReadTestData("bmp/rgb8.bmp"),
                                      ReadTestData("jpeg/exif_first.jpg")};
  std::mt19937 rng(7);
  for (int round = 0; round < 400; ++round) {
    // Pieces of real objects, whose frames chain for a while and then break, between bytes of
    // ordinary data.
    Bytes data;
    while (data.size() < 6000) {
      const Bytes& sample = samples[rng() % samples.size()];
      const std::size_t from = rng() % sample.size();
      const std::size_t length = std::min<std::size_t>(sample.size() - from, rng() % 3000);
      Append(data, Slice(sample, from, length));
      Append(data, Filler(rng() % 64, static_cast<std::uint8_t>(rng())));
    }
    const std::size_t n = data.size() - kCandidateLookahead - rng() % 2000;
    std::size_t at = 0;
    while (at < n) {
      const std::size_t fast =
          at + FindScreenedCandidate(data.data() + at, n - at, data.size() - at,
                                     static_cast<std::int64_t>(data.size() - at));
      ASSERT_EQ(fast, ScreenedReference(data, at, n)) << "round " << round;
      at = fast + 1;
    }
  }
}

// The screens refuse only what the bytes in view rule out: a whole object, cut anywhere, is
// never refused, and one broken where the screen looks is.
TEST(PassesScreen, KeepsEveryCutOfARealObjectAndRefusesABrokenOne) {
  const struct {
    const char* sample;
    std::size_t start;   // the candidate: a stream's first frame, a bitmap's information header
    std::size_t broken;  // a byte the screen reads, from the candidate on
    std::uint8_t value = 0x00;
  } cases[] = {
      {"mp3/cbr128_44k_id3v1.mp3", 55, 417},  // the second frame's sync, behind the tag
      // The first granule's first Huffman table in the first (mono) frame's side information,
      // made 4, a table that does not exist.
      {"mp3/cbr128_44k_id3v1.mp3", 55, 4 + 6, 0x02},
      {"mp3/layer2_48k.mp2", 0, 576},
      {"aac/lc_44k.aac", 0, 140},
      {"ico/depths.ico", 0, 4},   // the image count
      {"bmp/rgb24.bmp", 14, 12},  // the planes
      {"tiff/strips.tif", 0, 4},  // the first directory's offset, made odd
      {"pcx/rgb.pcx", 0, 65},     // the planes
      {"sgi/raw8.sgi", 0, 5},     // the dimension
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.sample);
    const Bytes object = ReadTestData(c.sample);
    const Bytes candidate = Slice(object, c.start, object.size() - c.start);
    const auto size = static_cast<std::int64_t>(candidate.size());
    // The view cut anywhere, the input going on to the object's end.
    for (std::size_t n = kCandidateLookahead + 1; n <= candidate.size(); ++n) {
      ASSERT_TRUE(PassesScreen(candidate.data(), n, size)) << "view cut to " << n;
    }
    const std::uint8_t changed = c.sample[0] == 't' ? candidate[c.broken] | 1 : c.value;
    EXPECT_FALSE(
        PassesScreen(Patched(candidate, c.broken, {changed}).data(), candidate.size(), size));
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
