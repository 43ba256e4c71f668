#include "engine/formats/ogg.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <numeric>
#include <random>
#include <vector>

#include "tests/support/test_support.h"

namespace sorvend::test {
namespace {

// One page: capture pattern, version, header type, granule position, serial number, sequence
// number, CRC (never checked), the segment table and a body as long as its lacing values say.
Bytes Page(std::uint8_t version, std::uint8_t type, const std::vector<std::uint8_t>& lacing,
           std::uint32_t serial = 1) {
  Bytes b;
  AppendText(b, "OggS");
  b.push_back(version);
  b.push_back(type);
  Append(b, Filler(8, static_cast<std::uint8_t>(serial)));
  AppendLe32(b, serial);
  Append(b, Filler(8, 21));
  b.push_back(static_cast<std::uint8_t>(lacing.size()));
  b.insert(b.end(), lacing.begin(), lacing.end());
  Append(b, Filler(std::accumulate(lacing.begin(), lacing.end(), std::size_t{0}), type));
  return b;
}

TEST(Ogg, ChainedStreamsComeOutBitExactOneEach) {
  ExpectSamplesComeOutBackToBack(Kind::Ogg, "ogg",
                                 {"ogg/tone.ogg", "ogg/chirp.ogg", "ogg/tone.ogg"});
}

// Only version 0 with header type exactly 0x04 ends a stream, and the scan then looks at the
// very next byte. Behind any other page a page directly behind is copied into the same output;
// otherwise the carver has consumed four bytes looking for the next capture pattern.
TEST(Ogg, PageEndsOrContinuesTheStream) {
  struct Case {
    const char* name;
    std::uint8_t version, type;
    std::size_t between;  // filler bytes between the first page and the second
    std::size_t outputs;
  };
  const Case cases[] = {
      {"end of stream", 0, 0x04, 0, 2},
      {"type 0x05", 0, 0x05, 0, 1},
      {"type 0x06", 0, 0x06, 0, 1},
      {"type 0x07", 0, 0x07, 0, 1},
      {"version 1", 1, 0x04, 0, 1},
      {"version 0xFF", 0xFF, 0x04, 0, 1},
      {"middle page", 0, 0x00, 0, 1},
      {"first page", 0, 0x02, 0, 1},
      {"version 4, middle page", 4, 0x00, 0, 1},
      {"end of stream, then 3 bytes", 0, 0x04, 3, 2},
      {"end of stream, then 4 bytes", 0, 0x04, 4, 2},
      {"first and last page, then 3 bytes", 0, 0x06, 3, 1},  // the next "O" is lost
      {"last page with another flag, then 4 bytes", 0, 0x05, 4, 2},
      {"middle page, then 4 bytes", 0, 0x00, 4, 2},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const Bytes first = Page(c.version, c.type, {5});
    const Bytes second = Page(0, 0x04, {3});
    ScanRun run;
    ScanOnly(run, {Kind::Ogg}, Join({first, Filler(c.between), second, Filler(9)}));
    ASSERT_EQ(run.host.outputs.size(), c.outputs);
    if (c.outputs == 2) {
      EXPECT_EQ(run.Output(0), first);
      EXPECT_EQ(run.Output(1), second);
    } else {
      EXPECT_EQ(run.Output(0), c.between == 0 ? Join({first, second}) : first);
    }
  }
}

TEST(Ogg, InterleavedStreamsEndAtEachExactEndOfStreamPage) {
  const Bytes a1 = Page(0, 0x02, {7}, 1), b1 = Page(0, 0x02, {9}, 2);
  const Bytes a2 = Page(0, 0x00, {255, 20}, 1), a3 = Page(0, 0x04, {4}, 1);
  const Bytes b2 = Page(0, 0x00, {33}, 2), b3 = Page(0, 0x04, {}, 2);
  ScanRun run;
  ScanOnly(run, {Kind::Ogg}, Join({a1, b1, a2, a3, b2, b3}));
  ASSERT_EQ(run.host.outputs.size(), 2u);
  EXPECT_EQ(run.Output(0), Join({a1, b1, a2, a3}));
  EXPECT_EQ(run.Output(1), Join({b2, b3}));
}

// A page with 0 segments is its 27 header bytes; KeepResponsive comes once per body byte and
// never for headers or segment tables (plus one call of the walk for the lead byte).
TEST(Ogg, KeepResponsiveRunsOncePerBodyByte) {
  const Bytes stream = Join({Page(0, 0x02, {}), Page(0, 0x00, {7, 0, 255}), Page(0, 0x04, {})});
  ScanRun run;
  run.host.interval = 1;
  ScanOnly(run, {Kind::Ogg}, stream);
  ASSERT_EQ(run.host.outputs.size(), 1u);
  EXPECT_EQ(run.Output(0), stream);
  EXPECT_EQ(run.host.keepResponsiveCalls, 262 + 1);
}

// Cut anywhere: the output holds the bytes up to the end of the input, except the start of a
// next capture pattern, which is read and not written until it is complete.
TEST(Ogg, TruncatedStreamIsWrittenAsFarAsTheInputGoes) {
  const Bytes first = Page(0, 0x02, {20, 3});
  const Bytes stream = Join({first, Page(0, 0x04, {10, 5})});
  for (std::size_t cut = 0; cut < stream.size(); ++cut) {
    SCOPED_TRACE(cut);
    ScanRun run;
    ScanOnly(run, {Kind::Ogg}, Join({Filler(5), Slice(stream, 0, cut)}));
    if (cut < 4) {
      EXPECT_TRUE(run.host.outputs.empty());
      continue;
    }
    const bool insidePattern = cut > first.size() && cut < first.size() + 4;
    ASSERT_EQ(run.host.outputs.size(), 1u);
    EXPECT_EQ(run.Output(0), insidePattern ? first : Slice(stream, 0, cut));
  }
}

// The output name taken by a folder: the number stays used and nothing is written. The walk
// reads on from behind the first header type byte, 5 bytes ahead of Position, so the stream's
// second page is the next candidate; the carver copies from where the input stands.
TEST(Ogg, OutputThatCannotBeCreatedKeepsItsNumber) {
  const Bytes first = Page(0, 0x02, {40}, 1);
  const Bytes rest = Join({Page(0, 0x00, {30}, 1), Page(0, 0x04, {2}, 1)});
  const Bytes next = Join({Page(0, 0x02, {8}, 2), Page(0, 0x04, {9}, 2)});
  ScanRun run;
  std::filesystem::create_directory(run.dir.File("ANT0000.ogg"));
  ScanOnly(run, {Kind::Ogg}, Join({first, rest, next}));
  ASSERT_EQ(run.host.failed.size(), 1u);
  EXPECT_EQ(std::filesystem::path(run.host.failed[0]).filename(), "ANT0000.ogg");
  ASSERT_EQ(run.host.outputs.size(), 2u);
  EXPECT_EQ(std::filesystem::path(run.host.outputs[0].name).filename(), "ANT0001.ogg");
  EXPECT_EQ(run.Output(0), rest);
  EXPECT_EQ(run.Output(1), next);
}

TEST(Ogg, CloseDuringTheCopyStopsAtOnce) {
  const Bytes stream = Join({Page(0, 0x02, {50, 10}), Page(0, 0x04, {4})});
  ExpectCloseDuringTheCopyStopsAtOnce(Kind::Ogg, stream, 3, "ogg", 27 + 2 + 3);
}

TEST(Ogg, RandomPageSoupNeverLoopsAndWritesOnlyInputBytes) {
  static const std::uint8_t types[] = {0, 2, 4, 4, 5, 6};
  ExpectRandomSoupsScanSafely({Kind::Ogg}, 4711, [](Bytes& input, std::mt19937& rng, int round) {
    switch (rng() % 5) {
      case 0: {
        std::vector<std::uint8_t> lacing(rng() % 4);
        for (auto& l : lacing) l = static_cast<std::uint8_t>(rng() % 40);
        Append(input, Page(rng() % 4 ? 0 : 1, types[rng() % std::size(types)], lacing));
        break;
      }
      case 1: {
        // A page header whose segment table and body lie.
        Bytes page = Page(0, types[rng() % std::size(types)], {});
        page.back() = static_cast<std::uint8_t>(rng());
        Append(input, page);
        break;
      }
      case 2:
        AppendText(input, rng() % 2 ? "OggS" : "Ogg");
        break;
      case 3:
        Append(input, Filler(rng() % 40, static_cast<std::uint8_t>(round)));
        break;
      default:
        AppendRandomBytes(input, rng, 30);
    }
  });
}

}  // namespace
}  // namespace sorvend::test
