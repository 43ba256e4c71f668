// The thorough S3M rule: the module starts 44 bytes before its tag and ends at the furthest
// part its paragraph pointers reach; patterns followed row by row; refusals, cuts and a start
// that would reach back into the previous output.
#include <gtest/gtest.h>

#include "tests/support/test_support.h"

namespace sorvend::test {
namespace {

// Where the parts of modules/tiny.s3m lie (see make_modules.py): the header with its orders,
// pointers and panning table up to 140, instruments at 144 and 224, patterns at 304 and 384
// (each padded to 80 bytes), the 8-bit sample's data at 464 and the 16-bit stereo one's at 528.
constexpr std::size_t kTag = 44;
constexpr std::size_t kInstrumentPointers = 100;
constexpr std::size_t kPatternPointers = 104;
constexpr std::size_t kFirstInstrument = 144;
constexpr std::size_t kSecondInstrument = 224;
constexpr std::size_t kFirstPattern = 304;
constexpr std::size_t kSecondPattern = 384;
constexpr std::size_t kSampleData = 464;

Bytes TinyS3m() {
  return ReadTestData("modules/tiny.s3m");
}

TEST(S3mThorough, SampleComesOutWhole) {
  ExpectThoroughSampleComesOutWhole(Kind::S3m, ".S3M", "modules/tiny.s3m");
}

TEST(S3mThorough, RefusesImpossibleHeadersAndPointers) {
  const Bytes s3m = TinyS3m();
  Bytes endlessRows = Patched(Slice(s3m, 0, kSampleData), kPatternPointers + 2, {29, 0});
  Append(endlessRows, Bytes(160, 0x21));  // channel 1 with note and instrument, row after row
  const struct {
    const char* what;
    Bytes data;
  } cases[] = {
      {"the tag as a program constant", Join({Filler(50), Slice(s3m, kTag, 4), Filler(400)})},
      {"no 0x1A behind the name", Patched(s3m, 28, {' '})},
      {"a song, not a module", Patched(s3m, 29, {17})},
      {"257 orders", Patched(s3m, 32, {0x01, 0x01})},
      {"257 instruments", Patched(s3m, 34, {0x01, 0x01})},
      {"257 patterns", Patched(s3m, 36, {0x01, 0x01})},
      {"an instrument inside the header", Patched(s3m, kInstrumentPointers, {8, 0})},
      {"an instrument past the input", Patched(s3m, kInstrumentPointers, {0, 1})},
      {"a sample without its id", Patched(s3m, kFirstInstrument + 79, {'I'})},
      {"an AdLib instrument with a sample's id", Patched(s3m, kFirstInstrument, {2})},
      {"an unknown instrument type", Patched(s3m, kFirstInstrument, {8})},
      {"packed sample data", Patched(s3m, kFirstInstrument + 30, {1})},
      {"sample data inside the header", Patched(s3m, kFirstInstrument + 13, {0, 8, 0})},
      {"a sample longer than any", Patched(s3m, kFirstInstrument + 19, {0x10})},
      {"a pattern inside the header", Patched(s3m, kPatternPointers, {8, 0})},
      {"a pattern past the input", Patched(s3m, kPatternPointers + 2, {0, 1})},
      {"a pattern whose rows never end", endlessRows},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    ExpectThoroughWritesNothing({Kind::S3m}, Join({Filler(33), c.data, Filler(40)}));
  }
  // A module whose start would lie before the input's.
  ExpectThoroughWritesNothing({Kind::S3m}, Slice(s3m, 1, s3m.size() - 1));
}

TEST(S3mThorough, EmptyPatternsAndInstrumentsPointNowhere) {
  const Bytes s3m = TinyS3m();
  const Bytes variants[] = {
      Patched(s3m, kPatternPointers + 2, {0, 0}),
      Patched(s3m, kFirstInstrument, {0}),
      Patched(Patched(s3m, kFirstInstrument, {3}), kFirstInstrument + 76, {'S', 'C', 'R', 'I'}),
  };
  for (const Bytes& variant : variants) {
    ScanRun run;
    ScanThorough(run, {Kind::S3m}, Join({Filler(45), variant, Filler(9)}));
    ASSERT_EQ(run.host.outputs.size(), 1u);
    EXPECT_EQ(run.Output(0), variant);
  }
}

// With no sample data the second pattern is the last part: it ends where its rows end or where
// its length word says, whichever is further, whether or not the word counts itself.
TEST(S3mThorough, LastPatternEndsAtItsRowsOrItsLengthWord) {
  const Bytes s3m = Patched(Patched(TinyS3m(), kFirstInstrument, {0}), kSecondInstrument, {0});
  const std::size_t rowsEnd = kSecondPattern + 2 + 70;
  const std::pair<std::uint8_t, std::size_t> cases[] = {
      {72, rowsEnd}, {70, rowsEnd}, {0, rowsEnd}, {80, kSampleData}};
  for (const auto& [word, end] : cases) {
    SCOPED_TRACE(int{word});
    ScanRun run;
    ScanThorough(run, {Kind::S3m}, Join({Patched(s3m, kSecondPattern, {word, 0}), Filler(3)}));
    ASSERT_EQ(run.host.outputs.size(), 1u);
    EXPECT_EQ(run.Output(0), Slice(Patched(s3m, kSecondPattern, {word, 0}), 0, end));
  }
}

TEST(S3mThorough, ModuleCutByTheEndOfTheInputKeepsWhatThereIs) {
  const Bytes s3m = TinyS3m();
  const std::pair<std::size_t, std::size_t> cuts[] = {
      {kSecondInstrument + 40, 0},
      {kFirstPattern + 50, 0},
      {kSampleData - 9, 0},                // one byte short of the second pattern's rows
      {kSampleData - 8, kSampleData - 8},  // its rows whole, its padding missing
      {kSampleData, kSampleData},
      {kSampleData + 70, kSampleData + 70},
      {s3m.size() - 1, s3m.size() - 1},
  };
  for (const auto& [length, kept] : cuts) ExpectThoroughCut(Kind::S3m, s3m, length, kept);
}

TEST(S3mThorough, StartNeverReachesBackIntoThePreviousOutput) {
  ExpectThoroughStartStaysBehindThePreviousOutput(Kind::It, ReadTestData("modules/tiny.it"),
                                                  Kind::S3m, TinyS3m());
}

TEST(S3mThorough, BrokenModuleIsRefusedAndTheNextOneFound) {
  const Bytes s3m = TinyS3m();
  ExpectThoroughRefusedThenFound(Kind::S3m, Patched(s3m, kFirstInstrument, {9}), s3m);
}

}  // namespace
}  // namespace sorvend::test
