// The thorough icon and cursor rule: the directory and every image it points at must check out.
#include <gtest/gtest.h>

#include "engine/carver.h"
#include "tests/support/test_support.h"

namespace sorvend::test {
namespace {

// Offsets in a directory entry, counted from the file's first byte.
constexpr std::size_t Entry(int i) {
  return 6 + 16 * static_cast<std::size_t>(i);
}
std::size_t ImageAt(const Bytes& ico, int i) {
  return ico[Entry(i) + 12] | ico[Entry(i) + 13] << 8 | ico[Entry(i) + 14] << 16;
}
std::size_t ImageSize(const Bytes& ico, int i) {
  return ico[Entry(i) + 8] | ico[Entry(i) + 9] << 8 | ico[Entry(i) + 10] << 16;
}

void SetLe16(Bytes& b, std::size_t at, std::uint16_t v) {
  b[at] = static_cast<std::uint8_t>(v);
  b[at + 1] = static_cast<std::uint8_t>(v >> 8);
}
void SetLe32(Bytes& b, std::size_t at, std::uint32_t v) {
  PutLe32(&b[at], static_cast<std::int32_t>(v));
}

TEST(IcoThorough, SamplesComeOutWhole) {
  // Bitmaps of 1, 4, 8 and 32 bits; a bitmap and PNG images, one of 256 x 256.
  ExpectThoroughSampleComesOutWhole(Kind::Ico, ".ICO", "ico/depths.ico");
  ExpectThoroughSampleComesOutWhole(Kind::Ico, ".ICO", "ico/vista.ico");
  ExpectThoroughSampleComesOutWhole(Kind::Ico, ".CUR", "ico/arrow.cur");
}

TEST(IcoThorough, RefusesDirectoriesAndImagesNoDecoderOpens) {
  const Bytes depths = ReadTestData("ico/depths.ico");
  const Bytes vista = ReadTestData("ico/vista.ico");
  const Bytes cursor = ReadTestData("ico/arrow.cur");
  const std::size_t lastBitmap = ImageAt(depths, 3);
  const std::size_t png = ImageAt(vista, 1);
  const struct {
    const char* what;
    const Bytes& sample;
    std::size_t at;
    std::uint32_t value;
    int width;
  } changes[] = {
      {"no images", depths, 4, 0, 2},
      {"257 images", depths, 4, 257, 2},
      {"type 3", depths, 2, 3, 2},
      {"a reserved byte set", depths, Entry(0) + 3, 0xFF, 1},
      {"two planes", depths, Entry(0) + 4, 2, 2},
      {"a depth of 3 bits", depths, Entry(0) + 6, 3, 2},
      {"a broken entry behind good ones", depths, Entry(3) + 6, 3, 2},
      {"a hotspot beside the cursor", cursor, Entry(0) + 4, 24, 2},
      {"an image inside the directory", depths, Entry(1) + 12, Entry(2), 4},
      {"an image past the input's end", depths, Entry(3) + 8, 100000, 4},
      {"a bitmap larger than its entry", depths, Entry(3) + 8,
       static_cast<std::uint32_t>(ImageSize(depths, 3) - 1), 4},
      {"a bitmap of the icon's height", depths, lastBitmap + 8, 32, 4},
      {"a bitmap of another width", depths, lastBitmap + 4, 31, 4},
      {"a bitmap with a 108-byte header", depths, lastBitmap, 108, 4},
      {"a run-length coded bitmap", depths, ImageAt(depths, 2) + 16, 1, 4},
      {"a bitmap size that fits nothing", depths, lastBitmap + 20, 4, 4},
      {"a PNG image of another width", vista, Entry(1), 33, 1},
      {"a PNG image longer than its entry", vista, Entry(1) + 8,
       static_cast<std::uint32_t>(ImageSize(vista, 1) - 1), 4},
      {"a damaged PNG image", vista, png + 40, 0x55, 1},
  };
  for (const auto& c : changes) {
    SCOPED_TRACE(c.what);
    Bytes ico = c.sample;
    if (c.width == 4) {
      SetLe32(ico, c.at, c.value);
    } else if (c.width == 2) {
      SetLe16(ico, c.at, static_cast<std::uint16_t>(c.value));
    } else {
      ico[c.at] = static_cast<std::uint8_t>(c.value);
    }
    ExpectThoroughWritesNothing({Kind::Ico}, Join({Filler(33), ico, Filler(40)}));
  }
}

TEST(IcoThorough, IconCutByTheEndOfTheInputWritesNothing) {
  const Bytes ico = ReadTestData("ico/vista.ico");
  for (std::size_t keep : {std::size_t{20}, ImageAt(ico, 1) + 10, ico.size() - 1}) {
    ExpectThoroughWritesNothing({Kind::Ico}, Join({Filler(5), Slice(ico, 0, keep)}));
  }
}

TEST(IcoThorough, BrokenIconIsSkippedAndTheNextOneFound) {
  const Bytes ico = ReadTestData("ico/depths.ico");
  Bytes broken = ico;
  SetLe16(broken, ImageAt(ico, 3) + 12, 2);  // the last bitmap's planes
  const Bytes before = Join({Filler(17), broken, Filler(8)});
  ScanRun run;
  ScanThorough(run, {Kind::Ico}, Join({before, ico, Filler(8)}));
  ASSERT_EQ(run.host.outputs.size(), 1u);
  EXPECT_EQ(run.host.outputs[0].offset, static_cast<std::int64_t>(before.size()));
  EXPECT_EQ(run.Output(0), ico);
}

// Machine code holds the header's four bytes everywhere; here each is followed by a count and
// a first entry that pass, pointing at junk within the input.
TEST(IcoThorough, HeaderLookalikesInMachineCodeWriteNothing) {
  Lcg next(5);
  Bytes data;
  for (int i = 0; i < 3000; ++i) {
    Append(data, {0x00, 0x00, static_cast<std::uint8_t>(1 + next() % 2), 0x00});
    if (next() % 2) {
      Append(data, {static_cast<std::uint8_t>(1 + next() % 3), 0x00});
      Append(data, {0x20, 0x20, 0x00, 0x00, 0x01, 0x00, 0x20, 0x00});
      AppendLe32(data, 40 + next() % 4000);
      AppendLe32(data, 22 + next() % 64);
    }
    for (std::uint32_t n = next() % 40; n > 0; --n)
      data.push_back(static_cast<std::uint8_t>(next()));
  }
  ExpectThoroughWritesNothing({Kind::Ico}, data);
}

}  // namespace
}  // namespace sorvend::test
