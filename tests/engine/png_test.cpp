#include "engine/formats/png.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <random>

#include "tests/support/test_support.h"

namespace sorvend::test {
namespace {

const Bytes kSignature = {0x89, 'P', 'N', 'G', 0x0D, 0x0A, 0x1A, 0x0A};

// A chunk with the given length field (the real data size unless overridden) and a CRC that
// is never checked.
Bytes Chunk(const std::string& type, const Bytes& data, std::int64_t lengthField = -1) {
  Bytes b;
  AppendBe32(b, static_cast<std::uint32_t>(lengthField < 0 ? data.size() : lengthField));
  AppendText(b, type);
  Append(b, data);
  Append(b, Filler(4, 9));
  return b;
}

// Signature and image header: what every accepted image starts with.
Bytes Start() {
  Bytes b = kSignature;
  Append(b, Chunk("IHDR", Filler(13, 2)));
  return b;
}

Bytes Image(std::initializer_list<Bytes> chunks) {
  Bytes b = Start();
  for (const Bytes& c : chunks) Append(b, c);
  Append(b, Chunk("IEND", {}));
  return b;
}

Bytes Join(std::initializer_list<Bytes> parts) {
  Bytes b;
  for (const Bytes& p : parts) Append(b, p);
  return b;
}

void ScanPng(ScanRun& run, const Bytes& input) {
  TickOnly(run.host, {Kind::Png});
  Scan(run, input);
}

class RealPng : public testing::TestWithParam<const char*> {};

TEST_P(RealPng, ComesOutBitExactFromFiller) {
  const Bytes png = ReadTestData(std::string("png/") + GetParam());
  ScanRun run;
  ScanPng(run, Join({Filler(300), png, Filler(77, 3)}));
  ASSERT_EQ(run.host.outputs.size(), 1u);
  EXPECT_EQ(run.Output(0), png);
  EXPECT_EQ(run.host.outputs[0].offset, 300);
  EXPECT_EQ(run.host.outputs[0].kind, "PNG");
  EXPECT_EQ(std::filesystem::path(run.host.outputs[0].name).filename(), "ANT0000.PNG");
}

INSTANTIATE_TEST_SUITE_P(Samples, RealPng,
                         testing::Values("gradient.png", "plasma.png", "alpha.png"));

TEST(Png, ImagesBackToBackGiveOneOutputEach) {
  const Bytes a = ReadTestData("png/gradient.png");
  const Bytes b = ReadTestData("png/plasma.png");
  const Bytes c = ReadTestData("png/alpha.png");
  ScanRun run;
  ScanPng(run, Join({a, b, c, a}));
  ASSERT_EQ(run.host.outputs.size(), 4u);
  EXPECT_EQ(run.Output(0), a);
  EXPECT_EQ(run.Output(1), b);
  EXPECT_EQ(run.Output(2), c);
  EXPECT_EQ(run.Output(3), a);
  EXPECT_EQ(run.host.outputs[3].offset, static_cast<std::int64_t>(a.size() + b.size() + c.size()));
}

// Programs that read or write PNG hold the signature as a constant, followed by unrelated
// data. Taken for an image, its first "length" would swallow everything behind it.
TEST(Png, SignatureConstantInAProgramIsNotAnImage) {
  const Bytes png = ReadTestData("png/gradient.png");
  Bytes input = Filler(64);
  Append(input, kSignature);
  AppendText(input, "libpng version 1.6.39 - copyright notice, error texts, tables");
  Append(input, Filler(200, 5));
  Append(input, png);
  ScanRun run;
  ScanPng(run, input);
  ASSERT_EQ(run.host.outputs.size(), 1u);
  EXPECT_EQ(run.Output(0), png);
}

TEST(Png, CheckNeedsSignatureAndImageHeader) {
  struct Case {
    const char* name;
    Bytes head;  // what follows the lead byte 0x89
    bool taken;
  };
  const Bytes ihdr = Slice(Start(), 8, 8);
  auto after = [](Bytes b, const Bytes& more) {
    Append(b, more);
    return b;
  };
  Bytes sigTail(kSignature.begin() + 1, kSignature.end());
  const Case cases[] = {
      {"signature and IHDR", after(sigTail, ihdr), true},
      {"png in lower case", after({'p', 'n', 'g', 0x0D, 0x0A, 0x1A, 0x0A}, ihdr), false},
      {"line ends broken", after({'P', 'N', 'G', 0x0D, 0x0A, 0x1A, 0x0D}, ihdr), false},
      {"IHDR length 14", after(sigTail, {0, 0, 0, 14, 'I', 'H', 'D', 'R'}), false},
      {"IHDR length 13 little-endian", after(sigTail, {13, 0, 0, 0, 'I', 'H', 'D', 'R'}), false},
      {"IHDr", after(sigTail, {0, 0, 0, 13, 'I', 'H', 'D', 'r'}), false},
      {"another first chunk", after(sigTail, {0, 0, 0, 13, 'g', 'A', 'M', 'A'}), false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Bytes image = {0x89};
    Append(image, c.head);
    Append(image, Slice(Start(), 16, Start().size() - 16));
    Append(image, Chunk("IEND", {}));
    ScanRun run;
    ScanPng(run, Join({Filler(10), image, Filler(10, 4)}));
    ASSERT_EQ(run.host.outputs.size(), c.taken ? 1u : 0u);
    if (c.taken) {
      EXPECT_EQ(run.Output(0), image);
    }
  }
}

// A chunk whose length field L gives the count L + 4 wrapped to a signed 32-bit number: counts
// of zero or less copy only the chunk's 8 header bytes, the next header follows directly.
TEST(Png, LengthFieldsWrapToSignedCounts) {
  struct Case {
    std::uint32_t length;
    std::size_t copied;  // data and CRC bytes the count takes
  };
  const Case cases[] = {
      {0x7FFFFFFC, 0},                   // 2^31 - 4: count -2^31
      {0x80000000, 0}, {0xFFFFFFFB, 0},  // 2^32 - 5: count -1
      {0xFFFFFFFC, 0},                   // 2^32 - 4: count 0
      {0xFFFFFFFD, 1}, {0xFFFFFFFE, 2}, {0xFFFFFFFF, 3},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.length);
    Bytes odd;
    AppendBe32(odd, c.length);
    AppendText(odd, "abCD");
    Append(odd, Filler(c.copied, 6));
    const Bytes image = Image({odd});
    const Bytes next = ReadTestData("png/gradient.png");
    ScanRun run;
    ScanPng(run, Join({Filler(5), image, next}));
    ASSERT_EQ(run.host.outputs.size(), 2u);
    EXPECT_EQ(run.Output(0), image);
    EXPECT_EQ(run.Output(1), next);
  }
}

TEST(Png, LengthJustBelowTheWrapCopiesToTheEndOfInput) {
  Bytes big;
  AppendBe32(big, 0x7FFFFFFB);  // count 2^31 - 1
  AppendText(big, "IDAT");
  const Bytes image = Join({Start(), big});
  const Bytes rest = Join({Filler(100), ReadTestData("png/gradient.png"), Filler(3)});
  ScanRun run;
  ScanPng(run, Join({Filler(7), image, rest}));
  ASSERT_EQ(run.host.outputs.size(), 1u);
  EXPECT_EQ(run.Output(0), Join({image, rest}));
  EXPECT_GE(run.ctx.Position, run.ctx.FileSize);
}

TEST(Png, EndChunkWithDataIsCopiedWholeAndTheScanGoesOnBehindIt) {
  const Bytes image = Join({Start(), Chunk("IEND", Filler(5, 7))});
  const Bytes next = ReadTestData("png/gradient.png");
  ScanRun run;
  ScanPng(run, Join({image, next}));
  ASSERT_EQ(run.host.outputs.size(), 2u);
  EXPECT_EQ(run.Output(0), image);
  EXPECT_EQ(run.Output(1), next);
}

TEST(Png, OnlyTheExactEndChunkTypeEndsTheCopy) {
  for (const char* type : {"iEND", "IENd", "iend", "IEN "}) {
    SCOPED_TRACE(type);
    const Bytes image = Image({Chunk(type, {}), Chunk("IDAT", Filler(9))});
    ScanRun run;
    ScanPng(run, Join({image, Filler(20, 8)}));
    ASSERT_EQ(run.host.outputs.size(), 1u);
    EXPECT_EQ(run.Output(0), image);
  }
}

// Cut anywhere, the output holds exactly the bytes up to the end of the input, once the check
// has seen the signature and image header; nothing is added.
TEST(Png, TruncatedImageIsWrittenAsFarAsTheInputGoes) {
  const Bytes image = Image({Chunk("tEXt", Filler(20, 3)), Chunk("IDAT", Filler(40, 4))});
  for (std::size_t cut = 0; cut < image.size(); ++cut) {
    SCOPED_TRACE(cut);
    ScanRun run;
    ScanPng(run, Join({Filler(3), Slice(image, 0, cut)}));
    if (cut < 16) {
      EXPECT_TRUE(run.host.outputs.empty());
      continue;
    }
    ASSERT_EQ(run.host.outputs.size(), 1u);
    EXPECT_EQ(run.Output(0), Slice(image, 0, cut));
  }
}

// The output name taken by a folder: the number stays used, nothing is written, and the walk
// reads on from where the check left the input (15 bytes past the lead byte's successor) until
// a rejection brings input and Position together again.
TEST(Png, OutputThatCannotBeCreatedKeepsItsNumber) {
  const Bytes first = Image({Chunk("IDAT", Filler(30, 3))});
  const Bytes rejected = {0x89, 'P', 'N', 'X'};
  const Bytes second = Image({Chunk("IDAT", Filler(25, 4))});
  ScanRun run;
  std::filesystem::create_directory(run.dir.File("ANT0000.PNG"));
  ScanPng(run, Join({first, Filler(40), rejected, Filler(40, 2), second}));
  ASSERT_EQ(run.host.failed.size(), 1u);
  EXPECT_EQ(std::filesystem::path(run.host.failed[0]).filename(), "ANT0000.PNG");
  ASSERT_EQ(run.host.outputs.size(), 1u);
  EXPECT_EQ(std::filesystem::path(run.host.outputs[0].name).filename(), "ANT0001.PNG");
  EXPECT_EQ(run.Output(0), second);
}

// KeepResponsive runs once per data or CRC byte and not for chunk headers; a close there ends
// the carve at once, leaving what was written and reporting no output.
TEST(Png, CloseDuringTheCopyStopsAtOnce) {
  const Bytes image = Image({Chunk("IDAT", Filler(50, 3))});
  ScanRun run;
  run.host.interval = 1;
  int copyCalls = 0;
  run.host.onKeepResponsive = [&] {
    if ((run.ctx.Flags & Flag::OutputOpen) && ++copyCalls == 5) CloseStreams(run.ctx);
  };
  ScanPng(run, image);
  EXPECT_TRUE(run.host.outputs.empty());
  EXPECT_EQ(run.ctx.Flags & (Flag::InputOpen | Flag::OutputOpen), 0u);
  EXPECT_EQ(ReadFile(run.dir.File("ANT0000.PNG")), Slice(image, 0, 8 + 8 + 5));
}

// Lying lengths everywhere: the scan ends, and every output is a stretch of the input exactly
// as it stands there.
TEST(Png, RandomChunkSoupNeverLoopsAndWritesOnlyInputBytes) {
  std::mt19937 rng(1234);
  const std::uint32_t lengths[] = {0, 1, 13, 40, 0x7FFFFFFB, 0x7FFFFFFC, 0xFFFFFFFB, 0xFFFFFFFF};
  std::size_t carved = 0;
  for (int round = 0; round < 150; ++round) {
    SCOPED_TRACE(round);
    Bytes input;
    for (int piece = 0; piece < 12; ++piece) {
      switch (rng() % 5) {
        case 0:
          Append(input, Start());
          break;
        case 1: {
          AppendBe32(input, lengths[rng() % std::size(lengths)]);
          AppendText(input, rng() % 2 ? "IEND" : "IDAT");
          break;
        }
        case 2:
          Append(input, Filler(rng() % 40, static_cast<std::uint8_t>(round)));
          break;
        case 3:
          input.push_back(0x89);
          break;
        default:
          for (int i = rng() % 30; i > 0; --i) input.push_back(static_cast<std::uint8_t>(rng()));
      }
    }
    ScanRun run;
    run.host.interval = 1;
    int calls = 0;
    run.host.onKeepResponsive = [&] {
      if (++calls > 100000) CloseStreams(run.ctx);
    };
    ScanPng(run, input);
    ASSERT_LE(calls, 100000) << "the scan did not end";
    carved += run.host.outputs.size();
    for (std::size_t i = 0; i < run.host.outputs.size(); ++i) {
      const OutputRecord& out = run.host.outputs[i];
      ASSERT_LE(out.offset + out.size, static_cast<std::int64_t>(input.size()));
      EXPECT_EQ(run.Output(i), Slice(input, static_cast<std::size_t>(out.offset),
                                     static_cast<std::size_t>(out.size)));
    }
  }
  EXPECT_GT(carved, 50u);  // the soup did reach the chunk loop
}

}  // namespace
}  // namespace sorvend::test
