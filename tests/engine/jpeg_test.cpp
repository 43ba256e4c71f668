#include "engine/formats/jpeg.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "engine/carver.h"
#include "tests/support/test_support.h"

namespace sorvend::test {
namespace {

// A marker segment: 0xFF, its code, the big-endian length (counting itself) and the body.
Bytes Segment(std::uint8_t code, const Bytes& body) {
  Bytes b = {0xFF, code};
  AppendBe16(b, static_cast<std::uint16_t>(body.size() + 2));
  Append(b, body);
  return b;
}

// SOI and the 16-byte APP0 "JFIF" segment.
Bytes JfifStart() {
  Bytes app0;
  AppendText(app0, "JFIF");
  Append(app0, {0x00, 0x01, 0x01, 0x00, 0x00, 0x01, 0x00, 0x01, 0x00, 0x00});
  Bytes b = {0xFF, 0xD8};
  Append(b, Segment(0xE0, app0));
  return b;
}

// The start of scan and entropy-coded data with stuffed bytes, a restart marker and a second
// SOI-like pair; none of them ends the image.
Bytes ScanAndEnd() {
  Bytes b = Segment(0xDA, {0x01, 0x01, 0x00, 0x00, 0x3F, 0x00});
  Append(b, Filler(20, 4));
  Append(b, {0xFF, 0x00, 0x12, 0xFF, 0xD0, 0x34, 0xFF, 0xD8, 0xFF, 0xFF, 0xD9});
  return b;
}

// A small image: SOI, APP0, quantisation table, frame header, Huffman table, scan, EOI.
Bytes MinimalJfif() {
  Bytes b = JfifStart();
  Bytes dqt = {0x00};
  Append(dqt, Filler(64, 2));
  Append(b, Segment(0xDB, dqt));
  Append(b, Segment(0xC0, {0x08, 0x00, 0x10, 0x00, 0x10, 0x01, 0x01, 0x11, 0x00}));
  Bytes dht = {0x00};
  Append(dht, Filler(28, 3));
  Append(b, Segment(0xC4, dht));
  Append(b, ScanAndEnd());
  return b;
}

// Calls ExtractJpeg as the dispatch does for the lead byte at `lead`.
struct DirectCall {
  ScratchDir dir;
  RecordingHost host;
  ScanContext ctx;

  bool Run(const Bytes& data, std::int64_t lead) {
    const std::string path = dir.File("input.bin");
    WriteFile(path, data);
    ctx.Host = &host;
    ctx.SourceDir = dir.dir();
    ctx.InputPath = path;
    EXPECT_TRUE(ctx.InFile.Open(path));
    ctx.Flags |= Flag::InputOpen;
    ctx.FileSize = static_cast<std::int64_t>(data.size());
    ctx.ResponsiveBudget = host.interval;
    ctx.Position = lead + 1;
    ctx.InFile.Seek(lead + 1);
    return ExtractJpeg(ctx);
  }
};

TEST(Jpeg, MinimalImageIsCopiedThroughItsEndMarkerAndTheScanResumesBehindIt) {
  const Bytes image = MinimalJfif();
  Bytes input = Filler(31);
  Append(input, image);
  Append(input, image);  // back to back
  Append(input, Filler(12, 5));

  ScanRun run;
  ScanOnly(run, {Kind::Jpg}, input);
  ASSERT_EQ(run.host.outputs.size(), 2u);
  EXPECT_EQ(run.host.outputs[0].name, run.dir.File("ANT0000.JPG"));
  EXPECT_EQ(run.host.outputs[0].offset, 31);
  EXPECT_EQ(run.Output(0), image);
  EXPECT_EQ(run.host.outputs[1].offset, static_cast<std::int64_t>(31 + image.size()));
  EXPECT_EQ(run.Output(1), image);
}

TEST(Jpeg, OnlyTheJfifSignatureIsTaken) {
  struct Case {
    const char* name;
    std::size_t at;  // offset from the lead byte
    std::uint8_t value;
    bool taken;
  };
  const std::vector<Case> cases = {
      {"SOI code", 1, 0xD9, false},
      {"APP0 marker byte", 2, 0xFE, false},
      {"APP1 instead of APP0", 3, 0xE1, false},
      {"'J'", 6, 'j', false},
      {"'F'", 7, 'f', false},
      {"'I'", 8, 'i', false},
      {"last 'F'", 9, 'X', false},
      {"terminating zero", 10, 'Y', true},
      {"APP0 length high", 4, 0x7F, true},
      {"APP0 length low", 5, 0x03, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Bytes image = MinimalJfif();
    image[c.at] = c.value;
    Bytes input = Filler(8);
    Append(input, image);
    ScanRun run;
    ScanOnly(run, {Kind::Jpg, Kind::Mp3}, input);
    EXPECT_EQ(run.host.outputs.size(), c.taken ? 1u : 0u);
    EXPECT_EQ(run.ctx.OutputCount, c.taken ? 1 : 0);
  }
}

TEST(Jpeg, AnswersTakenUnlessTheSignatureFails) {
  constexpr std::int64_t kLead = 6;
  const Bytes image = MinimalJfif();
  Bytes good = Filler(kLead);
  Append(good, image);
  Append(good, Filler(10));
  Bytes bad = good;
  bad[kLead + 3] = 0xE1;

  {
    DirectCall call;
    EXPECT_FALSE(call.Run(bad, kLead));
    EXPECT_EQ(call.ctx.Position, kLead + 1);
    EXPECT_EQ(call.ctx.InFile.Tell(), kLead + 1);
  }
  {
    DirectCall call;
    EXPECT_TRUE(call.Run(good, kLead));
    EXPECT_EQ(call.ctx.Position, kLead + static_cast<std::int64_t>(image.size()));
    EXPECT_EQ(call.ctx.InFile.Tell(), call.ctx.Position);
  }
  {
    // No output file: still taken, so no other carver tries the byte. The walk reads on behind
    // the signature, with Position beside the input.
    DirectCall call;
    std::filesystem::create_directory(call.dir.path() / "ANT0000.JPG");
    EXPECT_TRUE(call.Run(good, kLead));
    EXPECT_EQ(call.host.failed.size(), 1u);
    EXPECT_EQ(call.ctx.OutputCount, 1);
    EXPECT_EQ(call.ctx.Position, kLead + 10);
    EXPECT_EQ(call.ctx.InFile.Tell(), kLead + 10);
  }
}

TEST(Jpeg, FailedOutputOpenUsesTheNumberAndWalksOnFromBehindTheSignature) {
  // An APP0 segment long enough to hold a whole image that starts right behind "JFIF".
  const Bytes inner = MinimalJfif();
  Bytes outer = {0xFF, 0xD8, 0xFF, 0xE0};
  AppendBe16(outer, static_cast<std::uint16_t>(2 + 4 + inner.size() + 3));
  AppendText(outer, "JFIF");
  Append(outer, inner);
  Append(outer, Filler(3));
  Append(outer, ScanAndEnd());
  Bytes input = Filler(40);
  Append(input, outer);
  Append(input, MinimalJfif());

  ScanRun run;
  std::filesystem::create_directory(run.dir.path() / "ANT0000.JPG");
  ScanOnly(run, {Kind::Jpg, Kind::Mp3}, input);
  ASSERT_EQ(run.host.failed.size(), 1u);
  ASSERT_EQ(run.host.outputs.size(), 2u);
  EXPECT_EQ(run.host.outputs[0].name, run.dir.File("ANT0001.JPG"));
  EXPECT_EQ(run.host.outputs[0].offset, 40 + 10);
  EXPECT_EQ(run.Output(0), inner);
  EXPECT_EQ(run.host.outputs[1].offset, static_cast<std::int64_t>(40 + outer.size()));
  EXPECT_EQ(run.Output(1), MinimalJfif());
}

TEST(Jpeg, MarkerWalk) {
  struct Case {
    const char* name;
    Bytes afterApp0;       // what follows the APP0 segment
    std::size_t expected;  // bytes of afterApp0 in the output
  };
  const Bytes scan = ScanAndEnd();
  const std::vector<Case> cases = {
      {"EOI right away", {0xFF, 0xD9, 'a', 'b'}, 2},
      {"no marker: ends with the stray byte", {0x00, 0xFF, 0xD9}, 1},
      {"length 0 copies no body", {0xFF, 0xDB, 0x00, 0x00, 0xFF, 0xD9}, 6},
      {"length 1 copies no body", {0xFF, 0xDB, 0x00, 0x01, 0xFF, 0xD9}, 6},
      {"length 2 copies no body", {0xFF, 0xDB, 0x00, 0x02, 'q', 0xFF, 0xD9}, 5},
      // A second 0xFF is a marker code with a length, not fill: 0xFF 0xD9 is its body.
      {"fill byte read as a code", {0xFF, 0xFF, 0x00, 0x04, 0xFF, 0xD9, 0xFF, 0xD9, 'z'}, 8},
      // Standalone markers before the scan are read with a length too.
      {"restart marker with a length", {0xFF, 0xD0, 0x00, 0x03, 0xFF, 0xFF, 0xD9, 'z'}, 7},
      {"EOI inside a segment body",
       Join({Segment(0xE1, {'E', 'x', 'i', 'f', 0, 0, 0xFF, 0xD8, 0xFF, 0xD9}), scan}),
       14 + scan.size()},
      // Like a progressive image: tables and a second scan before the first 0xFF 0xD9.
      {"second scan", Join({Slice(scan, 0, scan.size() - 3), {0xFF, 0xC4, 0x00, 0x02}, scan}),
       scan.size() - 3 + 4 + scan.size()},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Bytes image = JfifStart();
    Append(image, c.afterApp0);
    Bytes input = Filler(3);
    Append(input, image);
    Append(input, Filler(5));
    ScanRun run;
    ScanOnly(run, {Kind::Jpg}, input);
    ASSERT_EQ(run.host.outputs.size(), 1u);
    EXPECT_EQ(run.Output(0), Slice(input, 3, JfifStart().size() + c.expected));
  }
}

TEST(Jpeg, StrayByteEndsTheImageAndIsWalkedAgain) {
  // The byte where a marker should be is the 'R' of a RIFF chunk: it ends the image and then
  // starts the chunk.
  Bytes riff;
  AppendText(riff, "RIFF");
  AppendLe32(riff, 4 + 4 + 6);
  AppendText(riff, "WAVEfmt ");
  Append(riff, Filler(6));
  Bytes input = Filler(4);
  Append(input, JfifStart());
  Append(input, riff);

  ScanRun run;
  ScanOnly(run, {Kind::Jpg, Kind::Wav}, input);
  ASSERT_EQ(run.host.outputs.size(), 2u);
  Bytes jpeg = JfifStart();
  jpeg.push_back('R');
  EXPECT_EQ(run.Output(0), jpeg);
  EXPECT_EQ(run.host.outputs[1].kind, "WAV");
  EXPECT_EQ(run.Output(1), riff);
}

TEST(Jpeg, EndOfInput) {
  const Bytes image = MinimalJfif();
  const std::size_t dqtAt = JfifStart().size();  // 0xFF 0xDB, length 67, 65 body bytes
  const std::size_t scanAt = image.size() - ScanAndEnd().size();
  struct Case {
    const char* name;
    Bytes input;           // from the lead byte on
    std::size_t expected;  // output bytes
  };
  auto cut = [&](std::size_t n) { return Slice(image, 0, n); };
  auto cutThen = [&](std::size_t n, Bytes tail) {
    Bytes b = cut(n);
    Append(b, tail);
    return b;
  };
  const std::vector<Case> cases = {
      // Only the signature: APP0 declares 16 bytes but 4 remain behind its length; the body
      // copy stops 2 short of the end and the walk reads "I" as a marker.
      {"signature only", cut(10), 9},
      // One byte behind the APP0 segment: its body copy already stops 2 bytes before the end,
      // one short of the segment's own end, and that byte (not 0xFF) ends the image.
      {"one byte behind a segment", cut(dqtAt + 1), dqtAt},
      {"after a marker code", cut(dqtAt + 2), dqtAt + 2},
      {"between length bytes", cut(dqtAt + 3), dqtAt + 3},
      // Cut inside a body: the copy stops 2 bytes before the end; the second-to-last byte is
      // not 0xFF, so the image ends with it.
      {"inside a segment body", cut(dqtAt + 30), dqtAt + 29},
      // The second-to-last byte is 0xFF: it and the last byte are read as a marker.
      {"inside a body ending in 0xFF", cutThen(dqtAt + 28, {0xFF, 'k'}), dqtAt + 30},
      {"inside the entropy data", cut(scanAt + 12), scanAt + 12},
      {"right after 0xFF in the scan", cut(image.size() - 1), image.size() - 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Bytes input = Filler(16);
    Append(input, c.input);
    ScanRun run;
    ScanOnly(run, {Kind::Jpg}, input);
    ASSERT_EQ(run.host.outputs.size(), 1u);
    EXPECT_EQ(run.Output(0), Slice(input, 16, c.expected));
    EXPECT_GE(run.ctx.Position, static_cast<std::int64_t>(input.size()));
  }
}

TEST(Jpeg, SignatureCutByTheEndOfInputIsRejected) {
  for (std::size_t kept = 1; kept < 10; ++kept) {
    SCOPED_TRACE(kept);
    Bytes input = Filler(16);
    Append(input, Slice(MinimalJfif(), 0, kept));
    ScanRun run;
    ScanOnly(run, {Kind::Jpg}, input);
    EXPECT_TRUE(run.host.outputs.empty());
    EXPECT_EQ(run.ctx.OutputCount, 0);
  }
}

TEST(Jpeg, KeepsResponsiveAfterBodyAndScanBytesOnlyAndStopsWhenClosed) {
  const Bytes image = MinimalJfif();
  Bytes input = Filler(9);
  Append(input, image);
  // Body bytes: APP0 14, DQT 65, SOF0 9, DHT 29; then every byte behind the SOS marker code.
  const int bodies = 14 + 65 + 9 + 29;
  const int scanBytes = static_cast<int>(ScanAndEnd().size()) - 2;

  {
    ScanRun run;
    run.CountCopyCalls();
    Scan(run, input);
    ASSERT_EQ(run.host.outputs.size(), 1u);
    EXPECT_EQ(run.copyCalls, bodies + scanBytes);
  }
  for (const int stopAt : {3, bodies + 5}) {
    SCOPED_TRACE(stopAt);
    ScanRun run;
    run.CountCopyCalls(stopAt);
    Scan(run, input);
    EXPECT_TRUE(run.host.outputs.empty());
    EXPECT_EQ(run.copyCalls, stopAt);
    const Bytes partial = ReadFile(run.dir.File("ANT0000.JPG"));
    EXPECT_EQ(partial, Slice(image, 0, partial.size()));
    EXPECT_EQ(run.ctx.Position, static_cast<std::int64_t>(9 + partial.size()));
  }
}

TEST(Jpeg, RealFilesComeBackBitExactAndExifFirstIsNotTaken) {
  const std::vector<std::string> names = {"jpeg/plasma.jpg", "jpeg/progressive.jpg",
                                          "jpeg/thumb_in_exif.jpg"};
  Bytes input = Filler(77);
  std::vector<std::size_t> offsets;
  for (const std::string& name : names) {
    offsets.push_back(input.size());
    Append(input, ReadTestData(name));
  }
  Append(input, Filler(20, 3));
  Append(input, ReadTestData("jpeg/exif_first.jpg"));
  Append(input, Filler(20, 4));

  ScanRun run;
  ScanOnly(run, {Kind::Jpg, Kind::Mp3}, input);
  ASSERT_EQ(run.host.outputs.size(), names.size());
  for (std::size_t i = 0; i < names.size(); ++i) {
    SCOPED_TRACE(names[i]);
    EXPECT_EQ(run.host.outputs[i].offset, static_cast<std::int64_t>(offsets[i]));
    EXPECT_EQ(run.Output(i), ReadTestData(names[i]));
  }
}

TEST(Jpeg, LyingLengthsNeverMakeUpBytes) {
  const Bytes image = MinimalJfif();
  const std::vector<std::uint16_t> lengths = {0, 1, 2, 3, 0x00FF, 0x7FFF, 0xFFFF};
  // Offsets of the length fields: APP0, DQT, SOF0, DHT, SOS.
  std::vector<std::size_t> fields;
  for (std::size_t i = 2; i + 3 < image.size() && fields.size() < 5; ++i) {
    if (image[i] == 0xFF && image[i + 1] != 0x00) {
      fields.push_back(i + 2);
      i += 3 + (image[i + 2] << 8 | image[i + 3]) - 2;
    }
  }
  ASSERT_EQ(fields.size(), 5u);
  Lcg next(99);
  for (int round = 0; round < 80; ++round) {
    SCOPED_TRACE(round);
    Bytes input = Filler(5, static_cast<std::uint8_t>(round));
    for (int copy = 0; copy < 3; ++copy) {
      Bytes object = image;
      const std::size_t at = fields[next() % fields.size()];
      const std::uint16_t length = lengths[next() % lengths.size()];
      object[at] = static_cast<std::uint8_t>(length >> 8);
      object[at + 1] = static_cast<std::uint8_t>(length);
      if (round % 2 == 1) object[next() % object.size()] = static_cast<std::uint8_t>(next());
      Append(input, object);
    }
    input.resize(input.size() - next() % 150);
    ExpectScanEndsWithInputSlices({Kind::Jpg}, input);
  }
}

}  // namespace
}  // namespace sorvend::test
