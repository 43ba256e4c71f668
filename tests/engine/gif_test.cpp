#include "engine/formats/gif.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <random>

#include "tests/support/test_support.h"

namespace sorvend::test {
namespace {

// Data sub-blocks of the given sizes and the zero-length terminator.
Bytes SubBlocks(std::initializer_list<std::uint8_t> sizes) {
  Bytes b;
  for (std::uint8_t n : sizes) {
    b.push_back(n);
    Append(b, Filler(n, n));
  }
  b.push_back(0);
  return b;
}

std::size_t TableSize(std::uint8_t packed) {
  return (packed & 0x80) ? std::size_t{3} << ((packed & 7) + 1) : 0;
}

// Header, screen descriptor with the packed byte P and the global table it announces.
Bytes Head(std::uint8_t packed, const char* version = "89a") {
  Bytes b;
  AppendText(b, std::string("GIF") + version);
  AppendLe16(b, 20);
  AppendLe16(b, 10);
  b.push_back(packed);
  b.push_back(3);
  b.push_back(0);
  Append(b, Filler(TableSize(packed), 11));
  return b;
}

Bytes Extension(std::uint8_t label, const Bytes& subBlocks) {
  Bytes b = {0x21, label};
  Append(b, subBlocks);
  return b;
}

// Image descriptor with packed byte Q, its local table, LZW code size and data.
Bytes ImageBlock(std::uint8_t packed, const Bytes& subBlocks) {
  Bytes b = {0x2C};
  Append(b, Filler(8, 12));
  b.push_back(packed);
  Append(b, Filler(TableSize(packed), 13));
  b.push_back(2);
  Append(b, subBlocks);
  return b;
}

Bytes SimpleGif(std::uint8_t packed = 0x81) {
  return Join(
      {Head(packed), Extension(0xF9, SubBlocks({4})), ImageBlock(0, SubBlocks({10, 3})), {0x3B}});
}

TEST(Gif, SamplesBackToBackComeOutBitExact) {
  ExpectSamplesComeOutBackToBack(Kind::Gif, "GIF",
                                 {"gif/plain87a.gif", "gif/animated.gif", "gif/plain89a.gif"});
}

TEST(Gif, OnlyTheTwoDefinedVersionsAreTaken) {
  for (const char* version : {"87a", "89a", "88a", "89b", "87A", "90a"}) {
    SCOPED_TRACE(version);
    const bool known = std::string(version) == "87a" || std::string(version) == "89a";
    const Bytes gif = Join({Head(0x80, version), ImageBlock(0, SubBlocks({5})), {0x3B}});
    ScanRun run;
    ScanOnly(run, {Kind::Gif}, Join({Filler(8), gif, Filler(8, 2)}));
    ASSERT_EQ(run.host.outputs.size(), known ? 1u : 0u);
    if (known) {
      EXPECT_EQ(run.Output(0), gif);
    }
  }
}

// The table size follows N only when the flag is set: a wrong size would shift every block
// behind it and the output would no longer end at the trailer.
TEST(Gif, ColourTablesFollowTheirFlagAndSize) {
  for (int n = 0; n < 8; ++n) {
    for (const std::uint8_t flag : {0x00, 0x80}) {
      const auto packed = static_cast<std::uint8_t>(flag | n | 0x70);
      SCOPED_TRACE(static_cast<int>(packed));
      const Bytes gif = Join({Head(packed),
                              ImageBlock(packed, SubBlocks({7})),
                              ImageBlock(0, SubBlocks({1})),
                              {0x3B}});
      ScanRun run;
      ScanOnly(run, {Kind::Gif}, Join({gif, Filler(800, 3)}));
      ASSERT_EQ(run.host.outputs.size(), 1u);
      EXPECT_EQ(run.Output(0), gif);
    }
  }
}

TEST(Gif, KnownExtensionsAreWalkedOverTheirSubBlocks) {
  const Bytes gif = Join({Head(0x80),
                          Extension(0xFF, SubBlocks({11, 3})),
                          Extension(0xFE, SubBlocks({})),
                          Extension(0x01, SubBlocks({12, 255, 1})),
                          Extension(0xF9, SubBlocks({4})),
                          ImageBlock(0x82, SubBlocks({255, 255, 17})),
                          {0x3B}});
  ScanRun run;
  ScanOnly(run, {Kind::Gif}, Join({gif, Filler(30)}));
  ASSERT_EQ(run.host.outputs.size(), 1u);
  EXPECT_EQ(run.Output(0), gif);
}

// A byte that starts no block ends the output with that byte (and an unknown extension with
// its label); the scan resumes right behind it.
TEST(Gif, UnexpectedBytesEndTheCopyAfterWritingThem) {
  const Bytes next = SimpleGif();
  struct Case {
    const char* name;
    Bytes ending;
  };
  const Case cases[] = {
      {"unknown extension label", {0x21, 0x02}},
      {"stray byte", {0x00}},
      {"trailer", {0x3B}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const Bytes gif = Join({Head(0x80), ImageBlock(0, SubBlocks({9})), c.ending});
    ScanRun run;
    ScanOnly(run, {Kind::Gif}, Join({gif, next}));
    ASSERT_EQ(run.host.outputs.size(), 2u);
    EXPECT_EQ(run.Output(0), gif);
    EXPECT_EQ(run.Output(1), next);
  }
}

TEST(Gif, ByteThatEndsTheLoopIsNeverExaminedAsALeadByte) {
  // The "G" that ends the first image is its last byte, so the GIF that would start there is
  // not seen.
  const Bytes first = Join({Head(0x80), ImageBlock(0, SubBlocks({9}))});
  const Bytes second = SimpleGif();
  ScanRun run;
  ScanOnly(run, {Kind::Gif}, Join({first, second}));
  ASSERT_EQ(run.host.outputs.size(), 1u);
  EXPECT_EQ(run.Output(0), Join({first, {'G'}}));
}

TEST(Gif, TruncatedImageIsWrittenAsFarAsTheInputGoes) {
  const Bytes gif = Join(
      {Head(0x81), Extension(0xFE, SubBlocks({6})), ImageBlock(0x80, SubBlocks({8, 2})), {0x3B}});
  ExpectEveryCutIsWrittenAsFarAsItGoes(Kind::Gif, gif, 2, 6);
}

// KeepResponsive comes once per non-empty sub-block; terminators alone, headers and tables
// do not count. With an interval of 1 every call reaches the host; the walk adds one call for
// the lead byte.
TEST(Gif, KeepResponsiveRunsOncePerNonEmptySubBlock) {
  const Bytes gif = Join({Head(0x87),
                          Extension(0xFE, SubBlocks({})),
                          Extension(0xF9, SubBlocks({4})),
                          ImageBlock(0x87, SubBlocks({200, 255, 1})),
                          {0x3B}});
  ScanRun run;
  run.host.interval = 1;
  ScanOnly(run, {Kind::Gif}, gif);
  ASSERT_EQ(run.host.outputs.size(), 1u);
  EXPECT_EQ(run.host.keepResponsiveCalls, 4 + 1);
}

TEST(Gif, CloseDuringTheCopyStopsAtOnce) {
  const Bytes head = Join({Head(0x80), ImageBlock(0, {})});
  const Bytes gif = Join({head, SubBlocks({30, 40}), {0x3B}});
  // Closed at the first call: up to the end of the first sub-block's data.
  ExpectCloseDuringTheCopyStopsAtOnce(Kind::Gif, gif, 1, "GIF", head.size() + 1 + 30);
}

// The output name taken by a folder: the number stays used and nothing is written. The walk
// reads on from behind the header, 5 bytes ahead of Position; since the carver copies from
// where the input stands, the next image still comes out whole.
TEST(Gif, OutputThatCannotBeCreatedKeepsItsNumber) {
  const Bytes first = SimpleGif(0x80);
  const Bytes second = SimpleGif(0x82);
  ScanRun run;
  std::filesystem::create_directory(run.dir.File("ANT0000.GIF"));
  ScanOnly(run, {Kind::Gif}, Join({first, Filler(20), second}));
  ASSERT_EQ(run.host.failed.size(), 1u);
  EXPECT_EQ(std::filesystem::path(run.host.failed[0]).filename(), "ANT0000.GIF");
  ASSERT_EQ(run.host.outputs.size(), 1u);
  EXPECT_EQ(std::filesystem::path(run.host.outputs[0].name).filename(), "ANT0001.GIF");
  EXPECT_EQ(run.Output(0), second);
}

TEST(Gif, RandomBlockSoupNeverLoopsAndWritesOnlyInputBytes) {
  ExpectRandomSoupsScanSafely({Kind::Gif}, 99, [](Bytes& input, std::mt19937& rng, int round) {
    switch (rng() % 6) {
      case 0:
        Append(input, Head(static_cast<std::uint8_t>(rng())));
        break;
      case 1:
        Append(input, {0x21, static_cast<std::uint8_t>(rng() % 2 ? 0xF9 : rng())});
        break;
      case 2:
        Append(input, ImageBlock(static_cast<std::uint8_t>(rng()), {}));
        break;
      case 3:
        input.push_back(static_cast<std::uint8_t>(rng() % 3 ? rng() % 256 : 0));
        break;
      case 4:
        Append(input, Filler(rng() % 40, static_cast<std::uint8_t>(round)));
        break;
      default:
        AppendRandomBytes(input, rng, 30);
    }
  });
}

}  // namespace
}  // namespace sorvend::test
