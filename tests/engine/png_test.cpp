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

TEST(Png, SamplesBackToBackComeOutBitExact) {
  ExpectSamplesComeOutBackToBack(
      Kind::Png, "PNG",
      {"png/gradient.png", "png/plasma.png", "png/alpha.png", "png/gradient.png"});
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
  ScanOnly(run, {Kind::Png}, input);
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
  Bytes sigTail(kSignature.begin() + 1, kSignature.end());
  const Case cases[] = {
      {"signature and IHDR", Join({sigTail, ihdr}), true},
      {"png in lower case", Join({{'p', 'n', 'g', 0x0D, 0x0A, 0x1A, 0x0A}, ihdr}), false},
      {"line ends broken", Join({{'P', 'N', 'G', 0x0D, 0x0A, 0x1A, 0x0D}, ihdr}), false},
      {"IHDR length 14", Join({sigTail, {0, 0, 0, 14, 'I', 'H', 'D', 'R'}}), false},
      {"IHDR length 13 little-endian", Join({sigTail, {13, 0, 0, 0, 'I', 'H', 'D', 'R'}}), false},
      {"IHDr", Join({sigTail, {0, 0, 0, 13, 'I', 'H', 'D', 'r'}}), false},
      {"another first chunk", Join({sigTail, {0, 0, 0, 13, 'g', 'A', 'M', 'A'}}), false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Bytes image = {0x89};
    Append(image, c.head);
    Append(image, Slice(Start(), 16, Start().size() - 16));
    Append(image, Chunk("IEND", {}));
    ScanRun run;
    ScanOnly(run, {Kind::Png}, Join({Filler(10), image, Filler(10, 4)}));
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
    ScanOnly(run, {Kind::Png}, Join({Filler(5), image, next}));
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
  ScanOnly(run, {Kind::Png}, Join({Filler(7), image, rest}));
  ASSERT_EQ(run.host.outputs.size(), 1u);
  EXPECT_EQ(run.Output(0), Join({image, rest}));
  EXPECT_GE(run.ctx.Position, run.ctx.FileSize);
}

TEST(Png, EndChunkWithDataIsCopiedWholeAndTheScanGoesOnBehindIt) {
  const Bytes image = Join({Start(), Chunk("IEND", Filler(5, 7))});
  const Bytes next = ReadTestData("png/gradient.png");
  ScanRun run;
  ScanOnly(run, {Kind::Png}, Join({image, next}));
  ASSERT_EQ(run.host.outputs.size(), 2u);
  EXPECT_EQ(run.Output(0), image);
  EXPECT_EQ(run.Output(1), next);
}

TEST(Png, OnlyTheExactEndChunkTypeEndsTheCopy) {
  for (const char* type : {"iEND", "IENd", "iend", "IEN "}) {
    SCOPED_TRACE(type);
    const Bytes image = Image({Chunk(type, {}), Chunk("IDAT", Filler(9))});
    ScanRun run;
    ScanOnly(run, {Kind::Png}, Join({image, Filler(20, 8)}));
    ASSERT_EQ(run.host.outputs.size(), 1u);
    EXPECT_EQ(run.Output(0), image);
  }
}

// Cut anywhere, the output holds exactly the bytes up to the end of the input, once the check
// has seen the signature and image header; nothing is added.
TEST(Png, TruncatedImageIsWrittenAsFarAsTheInputGoes) {
  const Bytes image = Image({Chunk("tEXt", Filler(20, 3)), Chunk("IDAT", Filler(40, 4))});
  ExpectEveryCutIsWrittenAsFarAsItGoes(Kind::Png, image, 3, 16);
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
  ScanOnly(run, {Kind::Png}, Join({first, Filler(40), rejected, Filler(40, 2), second}));
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
  ExpectCloseDuringTheCopyStopsAtOnce(Kind::Png, image, 5, "PNG", 8 + 8 + 5);
}

// Lying lengths everywhere: the scan ends, and every output is a stretch of the input exactly
// as it stands there.
TEST(Png, RandomChunkSoupNeverLoopsAndWritesOnlyInputBytes) {
  static const std::uint32_t lengths[] = {0,          1,          13,         40,
                                          0x7FFFFFFB, 0x7FFFFFFC, 0xFFFFFFFB, 0xFFFFFFFF};
  ExpectRandomSoupsScanSafely({Kind::Png}, 1234, [](Bytes& input, std::mt19937& rng, int round) {
    switch (rng() % 5) {
      case 0:
        Append(input, Start());
        break;
      case 1:
        AppendBe32(input, lengths[rng() % std::size(lengths)]);
        AppendText(input, rng() % 2 ? "IEND" : "IDAT");
        break;
      case 2:
        Append(input, Filler(rng() % 40, static_cast<std::uint8_t>(round)));
        break;
      case 3:
        input.push_back(0x89);
        break;
      default:
        AppendRandomBytes(input, rng, 30);
    }
  });
}

}  // namespace
}  // namespace sorvend::test
