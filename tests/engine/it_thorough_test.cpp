// The thorough IT rule: the module's end as the furthest part its offset tables point to,
// compressed sample data followed block by block; refusals and modules cut by the input's end.
#include <gtest/gtest.h>

#include "tests/support/test_support.h"

namespace sorvend::test {
namespace {

// Where the parts of modules/tiny.it and tiny_compressed.it lie (see make_modules.py): the
// header, 3 orders, the instrument, sample header and pattern offset tables up to 215, the
// message, the instrument at 236, sample headers at 790 and 870, patterns at 950 and 1002, and
// the sample data from 1050 on.
constexpr std::size_t kInstrumentTable = 195;
constexpr std::size_t kSampleTable = 199;
constexpr std::size_t kPatternTable = 207;
constexpr std::size_t kInstrument = 236;
constexpr std::size_t kFirstSample = 790;
constexpr std::size_t kSecondSample = 870;
constexpr std::size_t kFirstPattern = 950;
constexpr std::size_t kSampleData = 1050;
// Sample header fields.
constexpr std::size_t kFlags = 0x12;
constexpr std::size_t kFrames = 0x30;
constexpr std::size_t kDataPointer = 0x48;

std::uint8_t Byte(std::uint32_t v, int n) {
  return static_cast<std::uint8_t>(v >> (8 * n));
}

Bytes WithLe32(const Bytes& b, std::size_t at, std::uint32_t v) {
  return Patched(b, at, {Byte(v, 0), Byte(v, 1), Byte(v, 2), Byte(v, 3)});
}

TEST(ItThorough, SamplesComeOutWhole) {
  for (const char* name : {"modules/tiny.it", "modules/tiny_compressed.it"}) {
    ExpectThoroughSampleComesOutWhole(Kind::It, ".IT", name);
  }
}

TEST(ItThorough, RefusesImpossibleCountsPointersAndHeaders) {
  const Bytes it = ReadTestData("modules/tiny.it");
  const struct {
    const char* what;
    Bytes data;
  } cases[] = {
      {"the tag as a program constant", Join({Slice(it, 0, 4), Filler(400)})},
      {"1025 orders", Patched(it, 0x20, {0x01, 0x04})},
      {"256 instruments", Patched(it, 0x22, {0x00, 0x01})},
      {"4001 samples", Patched(it, 0x24, {0xA1, 0x0F})},
      {"4001 patterns", Patched(it, 0x26, {0xA1, 0x0F})},
      {"tables running past the input", Patched(it, 0x26, {0x00, 0x0F})},
      {"an instrument inside the tables", WithLe32(it, kInstrumentTable, 200)},
      {"an instrument without its id", Patched(it, kInstrument, {'X'})},
      {"an instrument past the input", WithLe32(it, kInstrumentTable, 0x10000)},
      {"a sample header at offset 0", WithLe32(it, kSampleTable, 0)},
      {"a sample header without its id", Patched(it, kFirstSample + 3, {'I'})},
      {"a sample header cut by the input's end", WithLe32(it, kSampleTable + 4, 1250)},
      {"sample data inside the header", WithLe32(it, kFirstSample + kDataPointer, 100)},
      {"a sample longer than any", WithLe32(it, kFirstSample + kFrames, 0x10000001)},
      {"a pattern inside the tables", WithLe32(it, kPatternTable, 214)},
      {"a pattern of no rows", Patched(it, kFirstPattern + 2, {0, 0})},
      {"a pattern of 1025 rows", Patched(it, kFirstPattern + 2, {0x01, 0x04})},
      {"a pattern running past the input", Patched(it, kFirstPattern, {0xFF, 0xFF})},
      {"a song message inside the header", WithLe32(it, 0x38, 0x40)},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    ExpectThoroughWritesNothing({Kind::It}, Join({Filler(33), c.data, Filler(40)}));
  }
}

TEST(ItThorough, EmptyPatternAndSampleWithoutDataPointNowhere) {
  const Bytes it = ReadTestData("modules/tiny.it");
  const Bytes variants[] = {
      WithLe32(it, kPatternTable + 4, 0),  // offset 0: an empty pattern of 64 rows
      Patched(it, kFirstSample + kFlags, {0x10}),
  };
  for (const Bytes& variant : variants) {
    ScanRun run;
    ScanThorough(run, {Kind::It}, Join({Filler(7), variant, Filler(9)}));
    ASSERT_EQ(run.host.outputs.size(), 1u);
    EXPECT_EQ(run.Output(0), variant);
  }
}

TEST(ItThorough, ModuleCutByTheEndOfTheInputKeepsWhatThereIs) {
  const Bytes it = ReadTestData("modules/tiny.it");
  const std::pair<std::size_t, std::size_t> cuts[] = {
      {kSecondSample + 40, 0},  // in a sample header
      {kSampleData - 1, 0},     // in the last pattern
      {kSampleData, kSampleData},     {kSampleData + 99, kSampleData + 99},
      {it.size() - 1, it.size() - 1},
  };
  for (const auto& [length, kept] : cuts) ExpectThoroughCut(Kind::It, it, length, kept);

  const Bytes compressed = ReadTestData("modules/tiny_compressed.it");
  for (const std::size_t length : {kSampleData + 1, kSampleData + 500, compressed.size() - 12,
                                   compressed.size() - 11, compressed.size() - 1}) {
    ExpectThoroughCut(Kind::It, compressed, length, length);
  }
}

// The 16-bit sample of tiny_compressed.it is the last part: 16,444 frames in two blocks.
TEST(ItThorough, CompressedDataTakesOneBlockPerWholeOrStartedBlockOfFrames) {
  const Bytes it = ReadTestData("modules/tiny_compressed.it");
  const std::size_t data =
      it[kSecondSample + kDataPointer] | std::size_t{it[kSecondSample + kDataPointer + 1]} << 8;
  const std::size_t firstBlockEnd = data + 2 + (it[data] | std::size_t{it[data + 1]} << 8);
  // The 8-bit sample pointed at the same data, with the 16-bit one marked as having none.
  const Bytes eightBit = WithLe32(Patched(it, kSecondSample + kFlags, {0x0A}),
                                  kFirstSample + kDataPointer, static_cast<std::uint32_t>(data));
  const struct {
    Bytes module;
    std::uint32_t frames;
    std::size_t sampleAt;
    std::size_t kept;  // what is written, cut when shorter than the module
    bool cut;
  } cases[] = {
      {it, 0x4000, kSecondSample, firstBlockEnd, false},
      {it, 0x4001, kSecondSample, it.size(), false},
      {it, 0x8000, kSecondSample, it.size(), false},
      {it, 0x8001, kSecondSample, it.size(), true},
      {eightBit, 0x8000, kFirstSample, firstBlockEnd, false},
      {eightBit, 0x8001, kFirstSample, it.size(), false},
      {eightBit, 0x10001, kFirstSample, it.size(), true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.frames);
    const Bytes module = WithLe32(c.module, c.sampleAt + kFrames, c.frames);
    ScanRun run;
    ScanThorough(run, {Kind::It}, Join({Filler(3), module}));
    ASSERT_EQ(run.host.outputs.size(), 1u);
    EXPECT_EQ(run.host.outputs[0].cut, c.cut);
    EXPECT_EQ(run.Output(0), Slice(module, 0, c.kept));
  }
}

TEST(ItThorough, CompressedStereoDataHoldsTheBlocksOfBothChannels) {
  const Bytes it = ReadTestData("modules/tiny_compressed.it");
  const std::size_t data = kSampleData + 2 + it[kSampleData];  // behind the 8-bit sample's block
  const Bytes stereo =
      Join({Patched(it, kSecondSample + kFlags, {0x0F}), Slice(it, data, it.size() - data)});
  ScanRun run;
  ScanThorough(run, {Kind::It}, Join({Filler(3), stereo, Filler(3)}));
  ASSERT_EQ(run.host.outputs.size(), 1u);
  EXPECT_FALSE(run.host.outputs[0].cut);
  EXPECT_EQ(run.Output(0), stereo);
}

TEST(ItThorough, BrokenModuleIsRefusedAndTheNextOneFound) {
  const Bytes it = ReadTestData("modules/tiny.it");
  ExpectThoroughRefusedThenFound(Kind::It, Patched(it, kSecondSample, {'X'}), it);
}

}  // namespace
}  // namespace sorvend::test
