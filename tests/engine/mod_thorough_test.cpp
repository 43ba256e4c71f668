// The thorough MOD rule: every tag, the module starting 1,080 bytes before it, patterns counted
// over the whole order table; refusals, tags in text, cuts and a start that would reach back
// into the previous output.
#include <gtest/gtest.h>

#include <string>

#include "tests/support/test_support.h"

namespace sorvend::test {
namespace {

// Where the parts of modules/mk.mod lie (see make_modules.py): title and sample headers, song
// length at 950, orders at 952, the tag at 1080, three 4-channel patterns from 1084 on, then
// 112 bytes of sample data.
constexpr std::size_t kFirstSample = 20;
constexpr std::size_t kSongLength = 950;
constexpr std::size_t kOrders = 952;
constexpr std::size_t kTag = 1080;
constexpr std::size_t kPatterns = 1084;
constexpr std::size_t kPatternCount = 3;
constexpr std::size_t kSampleBytes = 112;

Bytes MkMod() {
  return ReadTestData("modules/mk.mod");
}

// mk.mod with another tag, its patterns widened or narrowed to the tag's channel count by
// repeating its own pattern bytes.
Bytes WithTag(const std::string& tag, std::size_t channels) {
  const Bytes mk = MkMod();
  Bytes mod = Slice(mk, 0, kPatterns);
  std::copy(tag.begin(), tag.end(), mod.begin() + kTag);
  const std::size_t patternBytes = kPatternCount * 64 * channels * 4;
  for (std::size_t i = 0; i < patternBytes; ++i) {
    mod.push_back(mk[kPatterns + i % (kPatternCount * 1024)]);
  }
  Append(mod, Slice(mk, mk.size() - kSampleBytes, kSampleBytes));
  return mod;
}

TEST(ModThorough, SamplesComeOutWhole) {
  for (const char* name : {"modules/mk.mod", "modules/six.mod", "modules/ten.mod"}) {
    ExpectThoroughSampleComesOutWhole(Kind::Mod, ".MOD", name);
  }
}

TEST(ModThorough, EveryTagNamesItsChannelCount) {
  const std::pair<const char*, std::size_t> tags[] = {
      {"M!K!", 4}, {"M&K!", 4}, {"FLT4", 4}, {"FLT8", 8},  {"CD81", 8},  {"OKTA", 8},
      {"2CHN", 2}, {"9CHN", 9}, {"01CH", 1}, {"12CN", 12}, {"32CH", 32},
  };
  for (const auto& [tag, channels] : tags) {
    SCOPED_TRACE(tag);
    const Bytes mod = WithTag(tag, channels);
    ScanRun run;
    ScanThorough(run, {Kind::Mod}, Join({Filler(11), mod, Filler(11)}));
    ASSERT_EQ(run.host.outputs.size(), 1u);
    EXPECT_FALSE(run.host.outputs[0].cut);
    EXPECT_EQ(run.host.outputs[0].offset, 11);
    EXPECT_EQ(run.Output(0), mod);
  }
}

TEST(ModThorough, RefusesImpossibleTablesAndTags) {
  const Bytes mk = MkMod();
  const struct {
    const char* what;
    Bytes data;
  } cases[] = {
      {"an unknown tag", Patched(mk, kTag, {'M', '.', 'K', '!'})},
      {"one channel by the single-digit tag", Patched(mk, kTag, {'1', 'C', 'H', 'N'})},
      {"no channels", Patched(mk, kTag, {'0', '0', 'C', 'H'})},
      {"a letter for a digit", Patched(mk, kTag, {'1', 'O', 'C', 'H'})},
      {"an empty song", Patched(mk, kSongLength, {0})},
      {"a song of 129 positions", Patched(mk, kSongLength, {129})},
      {"pattern 128 in the order table", Patched(mk, kOrders + 127, {128})},
      {"a finetune of 16", Patched(mk, kFirstSample + 30 * 5 + 24, {16})},
      {"a volume of 65", Patched(mk, kFirstSample + 30 * 30 + 25, {65})},
      {"sample 32 in the first cell", Patched(mk, kPatterns, {0x21})},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    ExpectThoroughWritesNothing({Kind::Mod}, Join({Filler(33), c.data, Filler(40)}));
  }
  // A module whose start would lie before the input's.
  ExpectThoroughWritesNothing({Kind::Mod}, Slice(mk, 1, mk.size() - 1));
}

// Long enough that the patterns the letters in the "order table" name would fit.
TEST(ModThorough, TagsInTextAreNoModules) {
  std::string text;
  while (text.size() < 400000) {
    text += "The tracker saves 10CH modules with ten channels; 8CHN and 32CN are others. ";
    text += "CHANNELS: 10CH\n";
  }
  Bytes data;
  AppendText(data, text);
  ExpectThoroughWritesNothing({Kind::Mod}, data);
}

TEST(ModThorough, ModuleCutByTheEndOfTheInputKeepsWhatThereIs) {
  const Bytes mk = MkMod();
  const std::size_t patternsEnd = kPatterns + kPatternCount * 1024;
  const std::pair<std::size_t, std::size_t> cuts[] = {
      {kPatterns + 1, 0},
      {patternsEnd - 1, 0},  // the third pattern, named only beyond the song length
      {patternsEnd, patternsEnd},
      {mk.size() - 1, mk.size() - 1},
  };
  for (const auto& [length, kept] : cuts) ExpectThoroughCut(Kind::Mod, mk, length, kept);
}

TEST(ModThorough, StartNeverReachesBackIntoThePreviousOutput) {
  ExpectThoroughStartStaysBehindThePreviousOutput(Kind::It, ReadTestData("modules/tiny.it"),
                                                  Kind::Mod, MkMod());
}

TEST(ModThorough, BrokenModuleIsRefusedAndTheNextOneFound) {
  const Bytes mk = MkMod();
  ExpectThoroughRefusedThenFound(Kind::Mod, Patched(mk, kFirstSample + 25, {99}), mk);
}

}  // namespace
}  // namespace sorvend::test
