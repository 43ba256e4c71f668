// The thorough XM rule: the module's end from its header, pattern and instrument lengths;
// refusals; modules cut by the input's end or broken within their instruments.
#include <gtest/gtest.h>

#include "tests/support/test_support.h"

namespace sorvend::test {
namespace {

// Where the parts of modules/tiny.xm lie (see make_modules.py): the header and order table,
// a pattern of 16 rows and an empty one, an instrument with two samples, one with one sample
// and one with none.
constexpr std::size_t kFirstPattern = 336;
constexpr std::size_t kPatternsEnd = 426;
constexpr std::size_t kSecondInstrument = 881;
constexpr std::size_t kThirdInstrument = 1224;

Bytes TinyXm() {
  return ReadTestData("modules/tiny.xm");
}

TEST(XmThorough, SamplesComeOutWhole) {
  ExpectThoroughSampleComesOutWhole(Kind::Xm, ".XM", "modules/tiny.xm");
}

TEST(XmThorough, LowerCaseModuleInTheIdIsTaken) {
  ScanRun run;
  const Bytes xm = Patched(TinyXm(), 9, {'m'});
  ScanThorough(run, {Kind::Xm}, Join({Filler(5), xm}));
  ASSERT_EQ(run.host.outputs.size(), 1u);
  EXPECT_EQ(run.Output(0), xm);
}

TEST(XmThorough, RefusesWhatNoPlayerLoads) {
  const Bytes xm = TinyXm();
  const struct {
    const char* what;
    Bytes data;
  } cases[] = {
      {"the id as a program constant", Join({Slice(xm, 0, 17), Filler(400)})},
      {"no 0x1A behind the name", Patched(xm, 37, {' '})},
      {"an older version", Patched(xm, 58, {0x02, 0x01})},
      {"a header size short of the fixed fields", Patched(xm, 60, {19, 0, 0, 0})},
      {"no channels", Patched(xm, 68, {0, 0})},
      {"33 channels", Patched(xm, 68, {33, 0})},
      {"257 patterns", Patched(xm, 70, {1, 1})},
      {"129 instruments", Patched(xm, 72, {129, 0})},
      {"a pattern header of 8 bytes", Patched(xm, kFirstPattern, {8})},
      {"an unknown packing", Patched(xm, kFirstPattern + 4, {1})},
      {"a pattern of no rows", Patched(xm, kFirstPattern + 5, {0, 0})},
      {"a pattern of 257 rows", Patched(xm, kFirstPattern + 5, {1, 1})},
      {"a pattern size running past the input", Patched(xm, kFirstPattern + 7, {0xFF, 0xFF})},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    ExpectThoroughWritesNothing({Kind::Xm}, Join({Filler(33), c.data}));
  }
}

// ModPlug stores 8-bit samples as 4-bit ADPCM, marked in the sample header's reserved byte: a
// 16-byte table and half as many bytes as samples.
TEST(XmThorough, AdpcmSampleIsCountedByItsPackedSize) {
  constexpr std::size_t kSawHeader = kSecondInstrument + 263;
  constexpr std::size_t kSawData = kSawHeader + 40;
  const Bytes xm = TinyXm();
  const Bytes packed =
      Join({Patched(Slice(xm, 0, kSawData), kSawHeader + 17, {0xAD}), Filler(16 + 40 / 2, 0x5A),
            Slice(xm, kThirdInstrument, xm.size() - kThirdInstrument)});
  ScanRun run;
  ScanThorough(run, {Kind::Xm}, Join({Filler(5), packed, Filler(64)}));
  ASSERT_EQ(run.host.outputs.size(), 1u);
  EXPECT_EQ(run.Output(0), packed);
  EXPECT_FALSE(run.host.outputs[0].cut);
}

TEST(XmThorough, ModuleCutByTheEndOfTheInputKeepsWhatThereIs) {
  const Bytes xm = TinyXm();
  // Within the patterns nothing is taken; from their end on everything there is.
  const std::pair<std::size_t, std::size_t> cuts[] = {
      {kPatternsEnd - 1, 0},
      {kPatternsEnd, kPatternsEnd},
      {kPatternsEnd + 20, kPatternsEnd + 20},          // in the first instrument's header
      {kSecondInstrument - 1, kSecondInstrument - 1},  // in its last sample's data
      {kThirdInstrument + 3, kThirdInstrument + 3},    // in the empty instrument
      {xm.size() - 1, xm.size() - 1},
  };
  for (const auto& [length, kept] : cuts) ExpectThoroughCut(Kind::Xm, xm, length, kept);
}

TEST(XmThorough, BrokenInstrumentEndsTheModuleAndTheNextOneIsFound) {
  const Bytes xm = TinyXm();
  const struct {
    const char* what;
    Bytes broken;
  } cases[] = {
      {"17 samples", Patched(xm, kSecondInstrument + 27, {17, 0})},
      {"an instrument header of 28 bytes", Patched(xm, kSecondInstrument, {28, 0})},
      {"a sample header of 39 bytes", Patched(xm, kSecondInstrument + 29, {39, 0})},
      {"a sample longer than any", Patched(xm, kSecondInstrument + 263 + 3, {0x20})},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    const Bytes before = Filler(101);
    ScanRun run;
    ScanThorough(run, {Kind::Xm}, Join({before, c.broken, xm}));
    ASSERT_EQ(run.host.outputs.size(), 2u);
    EXPECT_TRUE(run.host.outputs[0].cut);
    EXPECT_EQ(run.Output(0), Slice(xm, 0, kSecondInstrument));
    EXPECT_FALSE(run.host.outputs[1].cut);
    EXPECT_EQ(run.host.outputs[1].offset, static_cast<std::int64_t>(before.size() + xm.size()));
    EXPECT_EQ(run.Output(1), xm);
  }
}

}  // namespace
}  // namespace sorvend::test
