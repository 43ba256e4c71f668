#include "engine/formats/dib.h"

#include <gtest/gtest.h>

#include "tests/support/test_support.h"

namespace sorvend::test {
namespace {

struct InfoHeader {
  std::int32_t width = 32, height = 32;
  std::uint16_t planes = 1, bits = 4;
  std::int32_t compression = 0, sizeImage = 0, clrUsed = 0;
};

// The 40-byte information header as it is stored (little-endian). By default pixels-per-metre
// and important colours hold non-zero values that the output must not carry.
Bytes Info(const InfoHeader& h, std::uint32_t pixelsPerMetre = 2835, std::uint32_t important = 7) {
  Bytes b;
  AppendLe32(b, 40);
  AppendLe32(b, static_cast<std::uint32_t>(h.width));
  AppendLe32(b, static_cast<std::uint32_t>(h.height));
  AppendLe16(b, h.planes);
  AppendLe16(b, h.bits);
  AppendLe32(b, static_cast<std::uint32_t>(h.compression));
  AppendLe32(b, static_cast<std::uint32_t>(h.sizeImage));
  AppendLe32(b, pixelsPerMetre);
  AppendLe32(b, pixelsPerMetre);
  AppendLe32(b, static_cast<std::uint32_t>(h.clrUsed));
  AppendLe32(b, important);
  return b;
}

// A bitmap file header: "BM" (or any other two bytes), size, reserved, offset.
Bytes FileHeader(std::uint32_t size, std::uint32_t offBits, const char* type = "BM",
                 std::uint32_t reserved = 0x11223344) {
  Bytes b;
  AppendText(b, type);
  AppendLe32(b, size);
  AppendLe32(b, reserved);
  AppendLe32(b, offBits);
  return b;
}

// The rebuilt 54-byte header the carver must write: reserved and spare fields cleared.
Bytes ExpectedHeader(std::int32_t bfSize, std::int32_t offBits, const InfoHeader& h) {
  return Join(
      {FileHeader(static_cast<std::uint32_t>(bfSize), static_cast<std::uint32_t>(offBits), "BM", 0),
       Info(h, 0, 0)});
}

DibFields Fields(const InfoHeader& h, std::uint16_t type = 0, std::int32_t bfSize = 0,
                 std::int32_t offBits = 0) {
  DibFields d;
  d.bfType = type;
  d.bfSize = bfSize;
  d.bfOffBits = offBits;
  d.biSize = 40;
  d.biWidth = h.width;
  d.biHeight = h.height;
  d.biPlanes = h.planes;
  d.biBitCount = h.bits;
  d.biCompression = h.compression;
  d.biSizeImage = h.sizeImage;
  d.biClrUsed = h.clrUsed;
  return d;
}

constexpr std::uint16_t kBM = 0x4D42;

struct LadderCase {
  const char* name;
  InfoHeader info;
  std::uint16_t type;
  std::int32_t bfSize, offBits;  // the 14 bytes before, as read
  bool accepted;
  std::int32_t wantSize, wantOffBits;
  std::uint16_t wantBits;
};

TEST(InferDibLayout, Ladder) {
  const LadderCase cases[] = {
      {"32x32 4-bit", {32, 32, 1, 4, 0, 0, 0}, 0, 0, 0, true, 630, 118, 4},
      {"100x50 8-bit", {100, 50, 1, 8, 0, 0, 0}, 0, 0, 0, true, 6078, 1078, 8},
      {"640x480 24-bit", {640, 480, 1, 24, 0, 0, 0}, 0, 0, 0, true, 921654, 54, 24},
      {"1-bit full palette", {9, 3, 1, 1, 0, 0, 0}, 0, 0, 0, true, 62 + 12, 62, 1},
      {"4-bit 3 colours", {8, 2, 1, 4, 0, 0, 3}, 0, 0, 0, true, 66 + 8, 66, 4},
      {"16-bit", {3, 2, 1, 16, 0, 0, 0}, 0, 0, 0, true, 54 + 16, 54, 16},
      {"16x32 icon", {16, 32, 1, 4, 0, 0, 0}, 0, 0, 0, false, 0, 0, 0},
      {"32x64 icon", {32, 64, 1, 8, 0, 0, 0}, 0, 0, 0, false, 0, 0, 0},
      {"48x96 is no icon", {48, 96, 1, 4, 0, 0, 0}, 0, 0, 0, true, 118 + 24 * 96, 118, 4},
      {"16x32 behind BM", {16, 32, 1, 4, 0, 0, 0}, kBM, 1234, 99, true, 1234, 99, 4},
      {"BM trusts odd sizes", {5, 5, 1, 24, 0, -3, 9999}, kBM, 10, 20, true, 10, 20, 24},
      {"bit count 32", {4, 4, 1, 32, 0, 0, 0}, kBM, 100, 54, false, 0, 0, 0},
      {"bit count 2", {4, 4, 1, 2, 0, 0, 0}, 0, 0, 0, false, 0, 0, 0},
      {"compression 3", {4, 4, 1, 16, 3, 0, 0}, kBM, 100, 54, false, 0, 0, 0},
      {"compression -1", {4, 4, 1, 8, -1, 0, 0}, 0, 0, 0, false, 0, 0, 0},
      {"width 0", {0, 4, 1, 8, 0, 0, 0}, 0, 0, 0, false, 0, 0, 0},
      {"width 65536", {65536, 4, 1, 8, 0, 0, 0}, 0, 0, 0, false, 0, 0, 0},
      {"top-down", {4, -4, 1, 8, 0, 0, 0}, kBM, 100, 54, false, 0, 0, 0},
      {"height 65536", {4, 65536, 1, 8, 0, 0, 0}, 0, 0, 0, false, 0, 0, 0},
      // Step 7: sizes before the header fit depth 8 although the header says 4.
      {"sizes fit depth 8", {10, 10, 1, 4, 0, 0, 0}, 0, 120 + 1078, 1078, true, 1198, 1078, 8},
      // Width 1: every stride is 4, so the first depth tried wins.
      {"width 1 by size image", {1, 7, 1, 24, 0, 28, 0}, 0, 0, 0, true, 62 + 28, 62, 1},
      {"size image fits no depth", {10, 10, 1, 8, 0, 123, 0}, 0, 0, 0, false, 0, 0, 0},
      {"size image, palette too big", {10, 10, 1, 8, 0, 120, 257}, 0, 0, 0, false, 0, 0, 0},
      {"RLE8", {10, 10, 1, 8, 1, 300, 0}, 0, 0, 0, true, 1378, 1078, 8},
      {"RLE4 few colours", {10, 10, 1, 4, 2, 300, 5}, 0, 0, 0, true, 374, 74, 4},
      {"RLE24 needs no palette", {10, 10, 1, 24, 1, 300, 0}, 0, 0, 0, true, 354, 54, 24},
      {"RLE without size", {10, 10, 1, 8, 1, 0, 0}, 0, 0, 0, false, 0, 0, 0},
      {"RLE negative size", {10, 10, 1, 8, 1, -5, 0}, 0, 0, 0, false, 0, 0, 0},
      {"8-bit 257 colours", {4, 4, 1, 8, 0, 0, 257}, 0, 0, 0, false, 0, 0, 0},
      {"1-bit 3 colours", {4, 4, 1, 1, 0, 0, 3}, 0, 0, 0, false, 0, 0, 0},
      {"24-bit with palette", {4, 4, 1, 24, 0, 0, 1}, 0, 0, 0, false, 0, 0, 0},
      {"negative colours", {4, 4, 1, 8, 0, 0, -1}, 0, 0, 0, false, 0, 0, 0},
      // stride 196608 * 65535 wraps: the size comes out negative.
      {"65535 square wraps",
       {65535, 65535, 1, 24, 0, 0, 0},
       0,
       0,
       0,
       true,
       static_cast<std::int32_t>(196608u * 65535u + 54u),
       54,
       24},
  };
  for (const LadderCase& c : cases) {
    SCOPED_TRACE(c.name);
    DibFields d = Fields(c.info, c.type, c.bfSize, c.offBits);
    ASSERT_EQ(InferDibLayout(d), c.accepted);
    if (!c.accepted) continue;
    EXPECT_EQ(d.bfSize, c.wantSize);
    EXPECT_EQ(d.bfOffBits, c.wantOffBits);
    EXPECT_EQ(d.biBitCount, c.wantBits);
  }
}

TEST(ExtractDib, BareBitmapGetsRebuiltHeaderAndItsPaletteAndPixels) {
  const InfoHeader h{32, 32, 1, 4, 0, 0, 0};
  const Bytes body = Filler(576 + 100, 3);  // palette and pixels, then more filler
  ScanRun run;
  Scan(run, Join({Filler(300), Info(h), body}));
  ASSERT_EQ(run.host.outputs.size(), 1u);
  EXPECT_EQ(run.Output(0), Join({ExpectedHeader(630, 118, h), Slice(body, 0, 576)}));
  EXPECT_EQ(run.host.outputs[0].offset, 300);
  EXPECT_EQ(run.host.outputs[0].size, 630);
  EXPECT_EQ(run.host.outputs[0].kind, "BMP");
}

TEST(ExtractDib, RejectedHeadersGiveNoOutput) {
  // The plane count is checked before the layout; the layout's own rejections are all
  // covered by the ladder above, one of them stands for the rest here.
  const InfoHeader rejected[] = {
      {32, 32, 2, 4, 0, 0, 0},  // two planes
      {16, 32, 1, 4, 0, 0, 0},  // icon image
  };
  for (const InfoHeader& h : rejected) {
    SCOPED_TRACE(::testing::Message() << h.width << "x" << h.height << " planes " << h.planes
                                      << " bits " << h.bits << " compression " << h.compression);
    Bytes data = Filler(50);
    Append(data, Info(h));
    Append(data, Filler(2000, 2));
    ScanRun run;
    Scan(run, data);
    EXPECT_TRUE(run.host.outputs.empty());
    EXPECT_EQ(run.ctx.Position, static_cast<std::int64_t>(data.size()));
  }
}

TEST(ExtractDib, WholeBitmapFileIsTrustedAndItsSpareFieldsCleared) {
  const InfoHeader h{5, 3, 1, 24, 0, 48, 0};
  const Bytes pixels = Filler(48, 9);
  ScanRun run;
  Scan(run, Join({FileHeader(54 + 48, 54), Info(h), pixels}));
  ASSERT_EQ(run.host.outputs.size(), 1u);
  EXPECT_EQ(run.Output(0), Join({ExpectedHeader(102, 54, h), pixels}));
  EXPECT_EQ(run.host.outputs[0].offset, 14);
}

TEST(ExtractDib, SizesAreBoundedByTheInput) {
  struct Case {
    const char* name;
    std::uint32_t bfSize;
    std::size_t following;  // bytes behind the information header
    std::size_t wantCopied;
  };
  const Case cases[] = {
      {"size beyond the end", 54 + 500, 100, 100},
      {"size 54", 54, 100, 0},
      {"size below 54", 20, 100, 0},
      {"negative size", 0x80000000u, 100, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const InfoHeader h{5, 3, 1, 24, 0, 0, 0};
    Bytes data = FileHeader(c.bfSize, 54);
    Append(data, Info(h));
    const Bytes tail = Filler(c.following, 4);
    Append(data, tail);
    ScanRun run;
    Scan(run, data);
    ASSERT_EQ(run.host.outputs.size(), 1u);
    Bytes want = ExpectedHeader(static_cast<std::int32_t>(c.bfSize), 54, h);
    Append(want, Slice(tail, 0, c.wantCopied));
    EXPECT_EQ(run.Output(0), want);
    EXPECT_EQ(run.ctx.Position, static_cast<std::int64_t>(data.size()));
  }
}

TEST(ExtractDib, HugeBareBitmapWrapsToAHeaderOnlyOutput) {
  const InfoHeader h{65535, 65535, 1, 24, 0, 0, 0};
  Bytes data = Filler(20);
  Append(data, Info(h));
  Append(data, Filler(100));
  ScanRun run;
  Scan(run, data);
  ASSERT_EQ(run.host.outputs.size(), 1u);
  EXPECT_EQ(run.Output(0).size(), 54u);
}

TEST(ExtractDib, HeaderCutByTheEndReadsAsFF) {
  // Behind "BM" the cut header is still taken; its missing fields are written as 0xFF.
  const InfoHeader h{5, 3, 1, 24, 0, 0, 0};
  Bytes data = FileHeader(200, 54);
  Append(data, Slice(Info(h), 0, 20));  // ends after biCompression
  ScanRun run;
  Scan(run, data);
  ASSERT_EQ(run.host.outputs.size(), 1u);
  const Bytes out = run.Output(0);
  ASSERT_EQ(out.size(), 54u);
  EXPECT_EQ(Slice(out, 34, 4), Bytes(4, 0xFF));  // biSizeImage
  EXPECT_EQ(Slice(out, 46, 4), Bytes(4, 0xFF));  // biClrUsed
  EXPECT_EQ(Slice(out, 50, 4), Bytes(4, 0x00));  // important colours
  // The walk resumes behind the 40 header bytes, past the end of this input, and stops there.
  EXPECT_EQ(run.ctx.Position, 14 + 40);
  EXPECT_EQ(run.ctx.Flags, 0u);
}

TEST(ExtractDib, NoFileHeaderIsSeenBeforeOffset14) {
  // "BM" at offset 0 with the header at 10: the bytes before offset 0 count as 0, so the
  // signature is not where the carver looks, and a 16x32 icon stays rejected.
  const InfoHeader h{16, 32, 1, 4, 0, 0, 0};
  Bytes data;
  AppendText(data, "BM");
  Append(data, Filler(8));
  Append(data, Info(h));
  Append(data, Filler(1000));
  ScanRun run;
  Scan(run, data);
  EXPECT_TRUE(run.host.outputs.empty());
}

TEST(ExtractDib, RealBitmapsComeBackOut) {
  for (const char* name : {"rgb1.bmp", "rgb4.bmp", "rgb8.bmp", "rgb8rle.bmp", "rgb24.bmp"}) {
    SCOPED_TRACE(name);
    const Bytes file = ReadTestData(std::string("bmp/") + name);
    // The rebuilt header always writes 0 for the important colours.
    Bytes want = file;
    std::fill(want.begin() + 50, want.begin() + 54, 0);

    for (bool bare : {false, true}) {
      SCOPED_TRACE(bare ? "without its file header" : "with its file header");
      Bytes data = Filler(333);
      Append(data, bare ? Slice(file, 14, file.size() - 14) : file);
      const Bytes after = Filler(200, 5);
      Append(data, after);
      Append(data, bare ? Slice(file, 14, file.size() - 14) : file);
      ScanRun run;
      Scan(run, data);
      ASSERT_EQ(run.host.outputs.size(), 2u);
      EXPECT_EQ(run.Output(0), want);
      EXPECT_EQ(run.Output(1), want);
      EXPECT_EQ(run.host.outputs[0].offset, bare ? 333 : 347);
    }
  }
}

TEST(ExtractDib, OutputThatCannotBeCreatedKeepsItsNumber) {
  const InfoHeader h{5, 3, 1, 24, 0, 0, 0};
  for (std::size_t before : {std::size_t{0}, std::size_t{100}}) {
    SCOPED_TRACE(::testing::Message() << "header at " << before);
    Bytes data = Filler(before);
    Append(data, Info(h));
    Append(data, Filler(48, 6));
    Append(data, Filler(100, 7));
    const std::size_t second = data.size();
    Append(data, Info(h));
    Append(data, Filler(48, 8));
    ScanRun run;
    // A folder where the output file should be: the open fails even for root.
    std::filesystem::create_directory(run.dir.File("ANT0000.BMP"));
    Scan(run, data);
    EXPECT_EQ(run.host.failed, std::vector<std::string>{run.dir.File("ANT0000.BMP")});
    // The failed header is not offered again; the next bitmap takes the next number.
    ASSERT_EQ(run.host.outputs.size(), 1u);
    EXPECT_EQ(run.host.outputs[0].name, run.dir.File("ANT0001.BMP"));
    EXPECT_EQ(run.host.outputs[0].offset, static_cast<std::int64_t>(second));
    EXPECT_EQ(Slice(run.Output(0), 54, 48), Filler(48, 8));
    EXPECT_EQ(ReadFile(run.input), data);
  }
}

}  // namespace
}  // namespace sorvend::test
