#include "engine/formats/mov.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <random>

#include "tests/support/test_support.h"

namespace sorvend::test {
namespace {

Bytes Atom(std::uint32_t size, const char* type, const Bytes& payload = {}) {
  Bytes b;
  AppendBe32(b, size);
  AppendText(b, type);
  Append(b, payload);
  return b;
}

// A media-data atom directly followed by a movie atom, with honest sizes.
Bytes Movie(std::size_t mdatPayload, std::size_t moovPayload, std::uint8_t seed = 1) {
  return Join({Atom(static_cast<std::uint32_t>(8 + mdatPayload), "mdat", Filler(mdatPayload, seed)),
               Atom(static_cast<std::uint32_t>(8 + moovPayload), "moov",
                    Filler(moovPayload, static_cast<std::uint8_t>(seed + 1)))});
}

// Where the media-data atom starts in a file written with ftyp and wide atoms first.
constexpr std::size_t kMdatInSample = 28;

TEST(Mov, MediaDataAndMovieAtomsOfSamplesBackToBackComeOutBitExact) {
  ExpectSamplesComeOutBackToBack(
      Kind::Mov, "MOV", {"mov/testsrc.mov", "mov/mandel.mov"},
      [](const Bytes& mov) { return Slice(mov, kMdatInSample, mov.size() - kMdatInSample); });
}

// A second movie directly behind the first one's movie atom.
TEST(Mov, MovieDirectlyBehindAMovieAtom) {
  const Bytes c = Movie(50, 20), d = Movie(9, 70, 5);
  ScanRun run;
  ScanOnly(run, {Kind::Mov}, Join({Filler(4), c, d}));
  ASSERT_EQ(run.host.outputs.size(), 2u);
  EXPECT_EQ(run.Output(0), c);
  EXPECT_EQ(run.Output(1), d);
}

TEST(Mov, NoRoomForTheSizeBeforeTheTypeIsRejected) {
  const Bytes movie = Movie(20, 10);
  for (std::size_t at = 0; at <= 4; ++at) {
    SCOPED_TRACE(at);
    // The "m" at offset `at`, with only the last `at` bytes of the size field before it.
    const Bytes input = Slice(movie, 4 - at, movie.size() - (4 - at));
    ScanRun run;
    ScanOnly(run, {Kind::Mov}, input);
    ASSERT_EQ(run.host.outputs.size(), at == 4 ? 1u : 0u);
    if (at == 4) {
      EXPECT_EQ(run.Output(0), movie);
    }
  }
}

// The movie atom is looked for at A + S1 only; a size that points into the media-data atom's
// own header or anywhere but a "moov" rejects.
TEST(Mov, MovieAtomMustStandRightBehindTheMediaData) {
  struct Case {
    const char* name;
    Bytes input;
    bool taken;
  };
  const Bytes moov = Atom(20, "moov", Filler(12));
  const Case cases[] = {
      {"size 8, moov behind", Join({Atom(8, "mdat"), moov}), true},
      {"size 0", Join({Atom(0, "mdat"), moov}), false},
      {"size 1", Join({Atom(1, "mdat"), moov}), false},
      {"size 4", Join({Atom(4, "mdat"), moov}), false},
      {"size 7", Join({Atom(7, "mdat"), moov}), false},
      {"size 9", Join({Atom(9, "mdat"), moov}), false},
      {"another atom behind", Join({Atom(8, "mdat"), Atom(8, "free"), moov}), false},
      {"moov in other case", Join({Atom(8, "mdat"), Atom(20, "mooV", Filler(12))}), false},
      {"movie atom before the media data", Join({moov, Atom(8, "mdat")}), false},
      {"size 2^31, place before the input", Join({Atom(0x80000000, "mdat"), moov}), false},
      {"size 2^32 - 16, place before the input", Join({Atom(0xFFFFFFF0, "mdat"), moov}), false},
      {"moov header cut short", Join({Atom(8, "mdat"), Slice(moov, 0, 7)}), false},
      {"size past the end", Join({Atom(200, "mdat"), moov}), false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ScanRun run;
    ScanOnly(run, {Kind::Mov}, Join({Filler(6), c.input, Filler(6, 2)}));
    ASSERT_EQ(run.host.outputs.size(), c.taken ? 1u : 0u);
    if (c.taken) {
      EXPECT_EQ(run.Output(0), c.input);
    }
  }
}

// A media-data size of 2^31 or more counts as negative and the movie atom is looked for before
// the media data. A "moov" found there with a small size copies little or nothing and leaves
// Position at or before the "m"; the scan must still go on behind the "m" and end.
TEST(Mov, MovieAtomFoundBeforeTheMediaDataCannotHoldTheScan) {
  const std::uint32_t moovSizes[] = {0, 1, 4, 5, 8, 0x80000000, 0xFFFFFFFF, 0x7FFFFFFF};
  for (const std::uint32_t moovSize : moovSizes) {
    SCOPED_TRACE(moovSize);
    const Bytes later = Movie(12, 12, 7);
    const Bytes input = Join({Filler(8), Atom(moovSize, "moov"), Filler(8, 2),
                              Atom(0xFFFFFFF0, "mdat"), Filler(16, 3), later});
    const std::size_t start = 24;  // A; A - 16 is the "moov" atom's start
    ScanRun run;
    ASSERT_TRUE(ScanUntilEndOrGuard(run, {Kind::Mov}, input)) << "the scan did not end";
    const auto signedSize = static_cast<std::int32_t>(moovSize);
    const std::size_t copied =
        std::min<std::size_t>(std::max<std::int32_t>(signedSize, 0), input.size() - start);
    const bool swallowsLater = start + copied > input.size() - later.size() + 4;
    ASSERT_EQ(run.host.outputs.size(), swallowsLater ? 1u : 2u);
    EXPECT_EQ(run.Output(0), Slice(input, start, copied));
    if (!swallowsLater) {
      EXPECT_EQ(run.Output(1), later);
    }
  }
}

TEST(Mov, NegativeMovieAtomSizeCopiesOnlyTheMediaData) {
  const Bytes mdat = Atom(24, "mdat", Filler(16));
  const Bytes next = Movie(10, 10, 4);
  ScanRun run;
  ScanOnly(run, {Kind::Mov}, Join({mdat, Atom(0x90000000, "moov"), next}));
  ASSERT_EQ(run.host.outputs.size(), 2u);
  EXPECT_EQ(run.Output(0), mdat);
  EXPECT_EQ(run.Output(1), next);
}

// Once the movie atom's header is in the input, a cut anywhere (a movie atom running past the
// end) gives the atoms up to the end of the input.
TEST(Mov, TruncatedMovieIsWrittenAsFarAsTheInputGoes) {
  const Bytes movie = Movie(30, 20);
  const std::size_t moovHeaderEnd = 38 + 8;
  ExpectEveryCutIsWrittenAsFarAsItGoes(Kind::Mov, movie, 5, moovHeaderEnd);
}

// The output name taken by a folder: the number stays used and nothing is written. The walk
// reads on from behind the movie atom's type until a rejection brings the input back to
// Position; the next movie then comes out whole.
TEST(Mov, OutputThatCannotBeCreatedKeepsItsNumber) {
  const Bytes first = Movie(40, 30);
  const Bytes rejected = Join({Atom(16, "mdat", Filler(8)), Atom(8, "free")});
  const Bytes second = Movie(25, 15, 3);
  ScanRun run;
  std::filesystem::create_directory(run.dir.File("ANT0000.MOV"));
  ScanOnly(run, {Kind::Mov}, Join({Filler(3), first, rejected, Filler(10), second}));
  ASSERT_EQ(run.host.failed.size(), 1u);
  EXPECT_EQ(std::filesystem::path(run.host.failed[0]).filename(), "ANT0000.MOV");
  ASSERT_EQ(run.host.outputs.size(), 1u);
  EXPECT_EQ(std::filesystem::path(run.host.outputs[0].name).filename(), "ANT0001.MOV");
  EXPECT_EQ(run.Output(0), second);
}

// KeepResponsive runs once per copied byte, the size field before the "m" included.
TEST(Mov, CloseDuringTheCopyStopsAtOnce) {
  const Bytes movie = Movie(40, 30);
  ExpectCloseDuringTheCopyStopsAtOnce(Kind::Mov, movie, 10, "MOV", 10);
}

TEST(Mov, RandomAtomSoupNeverLoopsAndWritesOnlyInputBytes) {
  static const std::uint32_t sizes[] = {0,  1,  4,          5,          8,          16,
                                        24, 40, 0x7FFFFFFF, 0x80000000, 0xFFFFFFF0, 0xFFFFFFFC};
  ExpectRandomSoupsScanSafely({Kind::Mov}, 2024, [](Bytes& input, std::mt19937& rng, int round) {
    switch (rng() % 5) {
      case 0:
        Append(input, Atom(sizes[rng() % std::size(sizes)], "mdat"));
        break;
      case 1:
        Append(input, Atom(sizes[rng() % std::size(sizes)], "moov"));
        break;
      case 2:
        Append(input, Movie(rng() % 20, rng() % 20));
        break;
      case 3:
        Append(input, Filler(rng() % 24, static_cast<std::uint8_t>(round)));
        break;
      default:
        AppendRandomBytes(input, rng, 30);
    }
  });
}

}  // namespace
}  // namespace sorvend::test
