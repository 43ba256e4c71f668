// The thorough bitmap rule: bitmap files by their declared size, header-less bitmaps behind a
// rebuilt file header, and the header checks that keep junk from being written.
#include <gtest/gtest.h>

#include "engine/carver.h"
#include "tests/support/test_support.h"

namespace sorvend::test {
namespace {

// Every depth, compression and header size among the samples.
const char* const kSamples[] = {"bmp/rgb1.bmp",
                                "bmp/rgb4.bmp",
                                "bmp/rgb8.bmp",
                                "bmp/rgb8rle.bmp",
                                "bmp/rgb24.bmp",
                                "bmp/rgb32.bmp",
                                "bmp/rle4.bmp",
                                "bmp/masks565.bmp",
                                "bmp/masks8888.bmp",
                                "bmp/topdown8.bmp",
                                "bmp/v4rgb24.bmp",
                                "bmp/v5argb32.bmp",
                                "bmp/v5rgb565.bmp",
                                "bmp/v5argb4444.bmp",
                                "bmp/wine-wordpad100.bmp",
                                "bmp/wine-comctl32-130.bmp",
                                "bmp/gimp16.bmp",
                                "bmp/gimp32.bmp",
                                "bmp/gimp8.bmp"};

// The bitmap without its 14-byte file header, as a program's resources store it.
Bytes Bare(const Bytes& file) {
  return Slice(file, 14, file.size() - 14);
}

void SetLe32(Bytes& b, std::size_t at, std::uint32_t v) {
  PutLe32(&b[at], static_cast<std::int32_t>(v));
}

TEST(DibThorough, BitmapFilesComeOutWhole) {
  for (const char* name : kSamples) ExpectThoroughSampleComesOutWhole(Kind::Bmp, ".BMP", name);
}

// Each sample's file header holds exactly what the rebuilt one must: its size, zeros, and the
// offset behind the header, masks and colour table.
TEST(DibThorough, HeaderlessBitmapsGetTheirFileHeaderBack) {
  for (const char* name : kSamples) {
    SCOPED_TRACE(name);
    const Bytes file = ReadTestData(name);
    const Bytes before = Filler(333);
    ScanRun run;
    ScanThorough(run, {Kind::Bmp}, Join({before, Bare(file), Filler(50, 3)}));
    ASSERT_EQ(run.host.outputs.size(), 1u);
    EXPECT_EQ(run.host.outputs[0].offset, static_cast<std::int64_t>(before.size()));
    EXPECT_FALSE(run.host.outputs[0].cut);
    EXPECT_EQ(run.Output(0), file);
  }
}

struct Change {
  const char* what;
  const char* sample;
  std::size_t at;  // in the bitmap without its file header
  std::uint32_t value;
  int width;  // bytes written: 2 or 4
};

TEST(DibThorough, RefusesHeadersNoDecoderOpens) {
  const Change changes[] = {
      {"zero width", "bmp/rgb24.bmp", 4, 0, 4},
      {"zero height", "bmp/rgb24.bmp", 8, 0, 4},
      {"a width beyond 65535", "bmp/rgb1.bmp", 4, 70000, 4},
      {"the most negative height", "bmp/rgb1.bmp", 8, 0x80000000, 4},
      {"two planes", "bmp/rgb24.bmp", 12, 2, 2},
      {"2-bit pixels", "bmp/rgb4.bmp", 14, 2, 2},
      {"4-bit run-length codes for 8-bit pixels", "bmp/rgb8rle.bmp", 16, 2, 4},
      {"run-length coded rows stored top-down", "bmp/rgb8rle.bmp", 8, 0xFFFFFFE9, 4},
      {"masks for 24-bit pixels", "bmp/rgb24.bmp", 16, 3, 4},
      {"JPEG-compressed pixels", "bmp/rgb24.bmp", 16, 4, 4},
      {"17 colours for 4-bit pixels", "bmp/rgb4.bmp", 32, 17, 4},
      {"17 important colours for 4-bit pixels", "bmp/rgb4.bmp", 36, 17, 4},
      {"a table of 257 colours for 24-bit pixels", "bmp/rgb24.bmp", 32, 257, 4},
      {"negative pixels per metre", "bmp/rgb24.bmp", 28, 0xFFFFF000, 4},
      {"overlapping masks", "bmp/masks565.bmp", 44, 0x0FE0, 4},
      {"a mask with a gap", "bmp/masks565.bmp", 40, 0xD800, 4},
      {"no blue mask", "bmp/masks565.bmp", 48, 0, 4},
      {"a mask wider than the pixel", "bmp/masks565.bmp", 40, 0x1F800, 4},
      {"a header mask wider than the pixel", "bmp/v5rgb565.bmp", 52, 0x10000, 4},
      // The first code becomes a run of 255 pixels in a row of 37.
      {"a run past the row's end", "bmp/rgb8rle.bmp", 40 + 1024, 0xFF, 2},
      {"run-length codes larger than any image needs", "bmp/rgb8rle.bmp", 20, 100000, 4},
  };
  for (const Change& c : changes) {
    SCOPED_TRACE(c.what);
    Bytes dib = Bare(ReadTestData(c.sample));
    if (c.width == 4) {
      SetLe32(dib, c.at, c.value);
    } else {
      dib[c.at] = static_cast<std::uint8_t>(c.value);
      dib[c.at + 1] = static_cast<std::uint8_t>(c.value >> 8);
    }
    ExpectThoroughWritesNothing({Kind::Bmp}, Join({Filler(33), dib, Filler(40)}));
  }
}

// Fields that decoders ignore refuse nothing: the bitmap comes out whole behind its rebuilt
// file header.
TEST(DibThorough, FieldsDecodersIgnoreRefuseNothing) {
  const Change changes[] = {
      {"a version 4 colour space of 1 (Wine)", "bmp/v4rgb24.bmp", 56, 1, 4},
      {"an unknown version 4 colour space", "bmp/v4rgb24.bmp", 56, 0x12345678, 4},
      {"a profile's tag in a version 4 header", "bmp/v4rgb24.bmp", 56, 0x4D424544, 4},
      {"an unknown version 5 colour space", "bmp/v5argb32.bmp", 56, 0x12345678, 4},
      {"an unknown rendering intent", "bmp/v5argb32.bmp", 108, 3, 4},
      {"a pixel size 2 bytes large (GIMP)", "bmp/rgb24.bmp", 20, 2576 + 2, 4},
      {"a pixel size far too large", "bmp/gimp32.bmp", 20, 0x7FFFFFFF, 4},
  };
  for (const Change& c : changes) {
    SCOPED_TRACE(c.what);
    const Bytes file = ReadTestData(c.sample);
    Bytes dib = Bare(file);
    SetLe32(dib, c.at, c.value);
    ScanRun run;
    ScanThorough(run, {Kind::Bmp}, Join({Filler(33), dib, Filler(40)}));
    ASSERT_EQ(run.host.outputs.size(), 1u);
    EXPECT_EQ(run.host.outputs[0].offset, 33);
    EXPECT_FALSE(run.host.outputs[0].cut);
    EXPECT_EQ(run.Output(0), Join({Slice(file, 0, 14), dib}));
  }
}

// Older GIMP files: a stored pixel size 2 bytes larger than the rows, the pixels 6 bytes past
// the palette and a file size 2 less than that offset plus the stored size. The whole file
// comes out as its file size has it.
TEST(DibThorough, OlderGimpBitmapComesOutWhole) {
  const Bytes file = ReadTestData("bmp/gimp8.bmp");
  const std::size_t palette = 14 + 40 + 4 * 200;
  const std::size_t rows = file.size() - palette;
  Bytes gimp = Join({Slice(file, 0, palette), Bytes(6, 0), Slice(file, palette, rows)});
  SetLe32(gimp, 14 + 20, static_cast<std::uint32_t>(rows + 2));
  SetLe32(gimp, 10, static_cast<std::uint32_t>(palette + 6));
  SetLe32(gimp, 2, static_cast<std::uint32_t>(palette + 6 + rows + 2 - 2));
  ASSERT_EQ(gimp.size(), palette + 6 + rows);
  const Bytes before = Filler(21);
  ScanRun run;
  ScanThorough(run, {Kind::Bmp}, Join({before, gimp, Filler(30)}));
  ASSERT_EQ(run.host.outputs.size(), 1u);
  EXPECT_EQ(run.host.outputs[0].offset, 21);
  EXPECT_FALSE(run.host.outputs[0].cut);
  EXPECT_EQ(run.Output(0), gimp);
}

TEST(DibThorough, RunLengthCodesMustReachTheirEndCode) {
  const Bytes file = ReadTestData("bmp/rgb8rle.bmp");
  // A 24th line end in a bitmap of 23 rows, before the end code.
  Bytes lineEndTooMany = Bare(file);
  lineEndTooMany.insert(lineEndTooMany.end() - 2, {0, 0});
  SetLe32(lineEndTooMany, 20, 1540 + 2);
  Bytes sizeCutsTheCodes = Bare(file);
  SetLe32(sizeCutsTheCodes, 20, 1540 - 2);
  Bytes noSizeNoEnd = Bare(file);
  noSizeNoEnd.back() = 0;
  SetLe32(noSizeNoEnd, 20, 0);
  for (const Bytes& dib : {lineEndTooMany, sizeCutsTheCodes, noSizeNoEnd}) {
    ExpectThoroughWritesNothing({Kind::Bmp}, Join({Filler(33), dib, Filler(40)}));
  }
}

// Without a size the codes' own end decides where the bitmap ends.
TEST(DibThorough, RunLengthCodesWithoutSizeEndAtTheirEndCode) {
  const Bytes file = ReadTestData("bmp/rle4.bmp");
  Bytes dib = Bare(file);
  SetLe32(dib, 20, 0);
  ScanRun run;
  ScanThorough(run, {Kind::Bmp}, Join({Filler(21), dib, Filler(40)}));
  ASSERT_EQ(run.host.outputs.size(), 1u);
  Bytes want = file;
  SetLe32(want, 34, 0);
  EXPECT_EQ(run.Output(0), want);
}

// A version 5 header may point at a colour profile behind the pixels; the object ends behind it.
TEST(DibThorough, EmbeddedProfileBehindThePixelsBelongsToTheBitmap) {
  const Bytes file = ReadTestData("bmp/v5argb32.bmp");
  Bytes withProfile = file;
  SetLe32(withProfile, 14 + 56, 0x4D424544);       // "MBED"
  SetLe32(withProfile, 14 + 112, 124 + 1092 + 6);  // behind the pixels and a gap of 6
  SetLe32(withProfile, 14 + 116, 30);
  Append(withProfile, Filler(36, 4));
  SetLe32(withProfile, 2, static_cast<std::uint32_t>(withProfile.size()));
  ExpectThoroughWritesNothing({Kind::Bmp},
                              Join({Filler(9), Slice(withProfile, 0, file.size() + 35)}));

  for (bool bare : {false, true}) {
    SCOPED_TRACE(bare ? "without its file header" : "with its file header");
    ScanRun run;
    ScanThorough(run, {Kind::Bmp},
                 Join({Filler(9), bare ? Bare(withProfile) : withProfile, Filler(20)}));
    ASSERT_EQ(run.host.outputs.size(), 1u);
    EXPECT_EQ(run.Output(0), withProfile);
  }
  // A profile that overlaps the pixels is no profile.
  Bytes overlapping = withProfile;
  SetLe32(overlapping, 14 + 112, 124 + 1000);
  ExpectThoroughWritesNothing({Kind::Bmp}, Join({Filler(9), Bare(overlapping), Filler(20)}));
}

// A bitmap file's declared size is kept when it agrees with its contents, padding included; a
// gap before the pixels is followed by the pixel offset. A size that disagrees leaves the
// bitmap behind it to be written with a rebuilt file header.
TEST(DibThorough, BitmapFileSizeDecidesWhenItCoversTheRows) {
  const Bytes file = ReadTestData("bmp/rgb8.bmp");
  Bytes padded = file;
  SetLe32(padded, 2, static_cast<std::uint32_t>(file.size() + 2));
  Append(padded, {0, 0});
  Bytes gap = Slice(file, 0, 1078);
  Append(gap, Filler(6));
  Append(gap, Slice(file, 1078, file.size() - 1078));
  SetLe32(gap, 2, static_cast<std::uint32_t>(gap.size()));
  SetLe32(gap, 10, 1078 + 6);
  Bytes tooLarge = file;
  SetLe32(tooLarge, 2, static_cast<std::uint32_t>(file.size() + 100));
  Append(tooLarge, Filler(100, 2));
  Bytes zero = file;
  SetLe32(zero, 2, 0);
  // Bytes behind the rows that the file size counts, as a real file does with 3,144 of them.
  Bytes trailer = file;
  SetLe32(trailer, 2, static_cast<std::uint32_t>(file.size() + 3144));
  Append(trailer, Filler(3144, 4));
  Bytes farTooLarge = file;
  SetLe32(farTooLarge, 2, static_cast<std::uint32_t>(file.size() + 65537));
  Bytes offsetInsideTheTable = file;
  SetLe32(offsetInsideTheTable, 10, 1078 - 4);
  const struct {
    const char* what;
    Bytes data;
    std::size_t start;  // where the output starts
    Bytes want;
  } cases[] = {
      {"two bytes of padding", padded, 0, padded},
      {"a gap before the pixels", gap, 0, gap},
      {"a size counting 100 bytes behind the rows", tooLarge, 0, tooLarge},
      {"a size counting 3,144 bytes behind the rows", trailer, 0, trailer},
      {"a size more than 64 KiB past the rows", farTooLarge, 0, farTooLarge},
      {"a size of zero", zero, 0, zero},
      {"a pixel offset inside the colour table", offsetInsideTheTable, 14, file},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    const Bytes before = Filler(101);
    ScanRun run;
    ScanThorough(run, {Kind::Bmp}, Join({before, c.data, Filler(30)}));
    ASSERT_EQ(run.host.outputs.size(), 1u);
    EXPECT_EQ(run.host.outputs[0].offset, static_cast<std::int64_t>(before.size() + c.start));
    EXPECT_EQ(run.Output(0), c.want);
  }
}

// The input ends inside bytes the file size counts behind whole rows: the file comes out as
// far as it goes, marked cut.
TEST(DibThorough, BitmapFileCutBehindItsRowsIsWrittenAsFarAsItGoes) {
  const Bytes file = ReadTestData("bmp/rgb24.bmp");
  Bytes trailer = file;
  SetLe32(trailer, 2, static_cast<std::uint32_t>(file.size() + 3000));
  Append(trailer, Filler(1000, 4));
  ScanRun run;
  ScanThorough(run, {Kind::Bmp}, Join({Filler(7), trailer}));
  ASSERT_EQ(run.host.outputs.size(), 1u);
  EXPECT_EQ(run.host.outputs[0].offset, 7);
  EXPECT_TRUE(run.host.outputs[0].cut);
  EXPECT_EQ(run.Output(0), trailer);
}

// Pixel data cut by the end of the input makes no bitmap, with or without its file header.
TEST(DibThorough, BitmapCutByTheEndOfTheInputWritesNothing) {
  for (const char* name : {"bmp/rgb24.bmp", "bmp/rgb8rle.bmp", "bmp/v5argb32.bmp"}) {
    SCOPED_TRACE(name);
    const Bytes file = ReadTestData(name);
    for (std::size_t keep : {std::size_t{20}, std::size_t{60}, file.size() / 2, file.size() - 1}) {
      ExpectThoroughWritesNothing({Kind::Bmp}, Join({Filler(5), Slice(file, 0, keep)}));
    }
  }
}

// Programs keep icon images as bitmaps twice as high as wide, colour pixels then mask; they
// are no bitmaps of their own unless a bitmap file header says so.
TEST(DibThorough, IconImagesAreNoBitmaps) {
  const Bytes ico = ReadTestData("ico/depths.ico");
  const std::size_t at = 6 + 16 * 2;  // the third entry: 32 x 32 pixels of 8 bits
  const std::size_t size = ico[at + 8] | ico[at + 9] << 8;
  const std::size_t offset = ico[at + 12] | ico[at + 13] << 8;
  ExpectThoroughWritesNothing({Kind::Bmp},
                              Join({Filler(3), Slice(ico, offset, size), Filler(4000)}));

  const Bytes dib = BareDib(16, 32);
  Bytes file = {'B', 'M'};
  AppendLe32(file, static_cast<std::uint32_t>(14 + dib.size()));
  AppendLe32(file, 0);
  AppendLe32(file, 54);
  Append(file, dib);
  ExpectThoroughWritesNothing({Kind::Bmp}, Join({Filler(3), dib, Filler(10)}));
  ScanRun run;
  ScanThorough(run, {Kind::Bmp}, Join({Filler(3), file, Filler(10)}));
  ASSERT_EQ(run.host.outputs.size(), 1u);
  EXPECT_EQ(run.Output(0), file);
}

TEST(DibThorough, BrokenBitmapIsSkippedAndTheNextOneFound) {
  const Bytes file = ReadTestData("bmp/rle4.bmp");
  Bytes broken = Bare(file);
  // Its end code becomes a line end, and the filler behind reads as runs past the last row.
  broken.back() = 0;
  const Bytes before = Join({Filler(17), broken, Filler(8)});
  ScanRun run;
  ScanThorough(run, {Kind::Bmp}, Join({before, file, Filler(8)}));
  ASSERT_EQ(run.host.outputs.size(), 1u);
  EXPECT_EQ(run.host.outputs[0].offset, static_cast<std::int64_t>(before.size()));
  EXPECT_EQ(run.Output(0), file);
}

// Tables of small numbers, as programs' data holds them, start with 40, 108 or 124 often.
TEST(DibThorough, TablesOfSmallNumbersWriteNothing) {
  Lcg next(11);
  Bytes data;
  for (int i = 0; i < 20000; ++i) {
    const std::uint32_t pick = next() % 8;
    const std::uint32_t value = pick == 0 ? 40 : pick == 1 ? 108 : pick == 2 ? 124 : next() % 300;
    if (next() % 2) {
      AppendLe32(data, value);
    } else {
      AppendLe16(data, static_cast<std::uint16_t>(value));
    }
  }
  ExpectThoroughWritesNothing({Kind::Bmp}, data);
}

}  // namespace
}  // namespace sorvend::test
