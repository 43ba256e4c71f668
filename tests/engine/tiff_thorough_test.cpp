// The thorough TIFF rule: the directory chain with its sub-directories walked with checked
// types and extents, a first directory that describes a whole image, the end at the furthest
// byte reached; later parts that are broken or cut leave the object cut behind the whole ones.
#include <gtest/gtest.h>

#include "tests/support/test_support.h"

namespace sorvend::test {
namespace {

TEST(TiffThorough, SamplesComeOutWhole) {
  for (const char* name : {"tiff/le.tif", "tiff/be.tif", "tiff/strips.tif", "tiff/tiles.tif",
                           "tiff/lzw.tif", "tiff/zip.tif", "tiff/pages.tif", "tiff/exif.tif"}) {
    ExpectThoroughSampleComesOutWhole(Kind::Tif, ".TIF", name);
  }
}

// Field access in the little-endian samples.
std::uint32_t Le(const Bytes& b, std::size_t at, int size) {
  std::uint32_t v = 0;
  for (int i = size - 1; i >= 0; --i) v = v << 8 | b.at(at + i);
  return v;
}
void PutLe(Bytes& b, std::size_t at, int size, std::uint32_t v) {
  for (int i = 0; i < size; ++i) b.at(at + i) = static_cast<std::uint8_t>(v >> 8 * i);
}
std::size_t FirstDirectory(const Bytes& tif) {
  return Le(tif, 4, 4);
}
std::size_t NextPointerAt(const Bytes& tif, std::size_t ifd) {
  return ifd + 2 + 12 * Le(tif, ifd, 2);
}
// The entry for `tag` in the directory at `ifd`.
std::size_t EntryAt(const Bytes& tif, std::size_t ifd, std::uint16_t tag) {
  for (std::size_t i = 0; i < Le(tif, ifd, 2); ++i) {
    if (Le(tif, ifd + 2 + 12 * i, 2) == tag) return ifd + 2 + 12 * i;
  }
  ADD_FAILURE() << "no tag " << tag;
  return 0;
}

constexpr std::uint16_t kWidth = 256;
constexpr std::uint16_t kBitsPerSample = 258;
constexpr std::uint16_t kPhotometric = 262;
constexpr std::uint16_t kStripByteCounts = 279;
constexpr std::uint16_t kStripOffsets = 273;

// The TIFF structure inside a JPEG's Exif segment, behind "Exif\0\0".
Bytes ExifTiff(const Bytes& jpg) {
  std::size_t at = 2;
  while (jpg.at(at + 1) != 0xE1) at += 2 + (jpg.at(at + 2) << 8 | jpg.at(at + 3));
  const std::size_t end = at + 2 + (jpg[at + 2] << 8 | jpg[at + 3]);
  return Slice(jpg, at + 10, end - (at + 10));
}

TEST(TiffThorough, ExifBlocksWithoutAnImageAreLeftAlone) {
  for (const char* name : {"jpeg/exif_first.jpg", "jpeg/thumb_in_exif.jpg"}) {
    SCOPED_TRACE(name);
    const Bytes jpg = ReadTestData(name);
    const Bytes exif = ExifTiff(jpg);
    ASSERT_EQ(Slice(exif, 0, 4), (Bytes{'M', 'M', 0, '*'}));
    ExpectThoroughWritesNothing({Kind::Tif}, Join({Filler(33), exif, Filler(20)}));
    ScanRun run;
    ScanThorough(run, {Kind::Tif, Kind::Jpg}, Join({Filler(33), jpg}));
    ASSERT_EQ(run.host.outputs.size(), 1u);
    EXPECT_EQ(run.Output(0), jpg);
  }
}

TEST(TiffThorough, RefusesWhatNoDecoderOpens) {
  const Bytes tif = ReadTestData("tiff/le.tif");
  const std::size_t ifd = FirstDirectory(tif);
  const auto changed = [&](std::size_t at, int size, std::uint32_t value) {
    Bytes b = tif;
    PutLe(b, at, size, value);
    return b;
  };
  const std::size_t counts = EntryAt(tif, ifd, kStripByteCounts);
  const struct {
    const char* what;
    Bytes data;
  } cases[] = {
      {"the signature alone", Join({Slice(tif, 0, 4), Filler(64)})},
      {"a first directory inside the header", changed(4, 4, 4)},
      {"a first directory past the input", changed(4, 4, 1u << 20)},
      {"a directory with no entries", changed(ifd, 2, 0)},
      {"a field type of 0", changed(EntryAt(tif, ifd, kPhotometric) + 2, 2, 0)},
      {"a field type beyond the known ones", changed(EntryAt(tif, ifd, kPhotometric) + 2, 2, 14)},
      {"values inside the header", changed(EntryAt(tif, ifd, kBitsPerSample) + 8, 4, 2)},
      {"values past the input", changed(EntryAt(tif, ifd, kBitsPerSample) + 4, 4, 1u << 30)},
      {"an image of width 0", changed(EntryAt(tif, ifd, kWidth) + 8, 2, 0)},
      {"strips without byte counts", changed(counts, 2, 0x9999)},
      {"more byte counts than strips", changed(counts + 4, 4, 2)},
      {"a strip past the input", changed(counts + 8, 4, 1u << 20)},
      {"a directory that is its own successor", changed(NextPointerAt(tif, ifd), 4, ifd)},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    ExpectThoroughWritesNothing({Kind::Tif}, Join({Filler(33), c.data, Filler(20)}));
  }
}

struct Entry {
  std::uint16_t tag;
  std::uint16_t type;
  std::uint32_t count;
  std::uint32_t value;
};
void AppendDirectory(Bytes& b, std::initializer_list<Entry> entries) {
  AppendLe16(b, static_cast<std::uint16_t>(entries.size()));
  for (const Entry& e : entries) {
    AppendLe16(b, e.tag);
    AppendLe16(b, e.type);
    AppendLe32(b, e.count);
    AppendLe32(b, e.value);
  }
  AppendLe32(b, 0);
}

TEST(TiffThorough, DirectoriesItPointsToCountTowardsItsEnd) {
  constexpr std::uint16_t kShort = 3;
  constexpr std::uint16_t kLong = 4;
  constexpr std::uint16_t kUndefined = 7;
  constexpr std::uint16_t kIfd = 13;
  // Header, a 4 x 4 grey strip, the image's directory with one pointer at 24, and behind it at
  // 90 the directory pointed to, whose 20-byte value at 108 ends the file.
  const Entry pointers[] = {
      {34665, kLong, 1, 90}, {34853, kLong, 1, 90}, {330, kLong, 1, 90}, {330, kIfd, 1, 90}};
  for (const Entry& pointer : pointers) {
    SCOPED_TRACE(pointer.tag);
    Bytes tif = {'I', 'I', '*', 0};
    AppendLe32(tif, 24);
    Append(tif, Filler(16));
    AppendDirectory(tif, {{256, kShort, 1, 4},
                          {257, kShort, 1, 4},
                          {273, kLong, 1, 8},
                          {279, kLong, 1, 16},
                          pointer});
    AppendDirectory(tif, {{37510, kUndefined, 20, 108}});
    Append(tif, Filler(20, 2));
    ASSERT_EQ(tif.size(), 128u);
    ScanRun run;
    ScanThorough(run, {Kind::Tif}, Join({Filler(7), tif, Filler(30, 3)}));
    ASSERT_EQ(run.host.outputs.size(), 1u);
    EXPECT_FALSE(run.host.outputs[0].cut);
    EXPECT_EQ(run.Output(0), tif);
  }
}

// pages.tif holds page 1's strip, its directory and values, then page 2's strip, directory and
// values: page 1's parts end where page 2's strip begins.
struct Pages {
  Bytes tif = ReadTestData("tiff/pages.tif");
  std::size_t second = Le(tif, NextPointerAt(tif, FirstDirectory(tif)), 4);
  std::size_t firstEnd = Le(tif, EntryAt(tif, second, kStripOffsets) + 8, 4);
};

TEST(TiffThorough, BrokenLaterPageIsLeftOutAndTheNextImageFound) {
  const Pages p;
  const Bytes next = ReadTestData("tiff/be.tif");
  Bytes badType = p.tif;
  PutLe(badType, EntryAt(p.tif, p.second, kPhotometric) + 2, 2, 99);
  Bytes loop = p.tif;
  PutLe(loop, NextPointerAt(p.tif, p.second), 4, FirstDirectory(p.tif));
  ExpectThoroughCutThenWhole(Kind::Tif, badType, Slice(badType, 0, p.firstEnd), next);
  // A directory loop is no cut: no decoder reaches the end of such a file.
  ExpectThoroughWritesNothing({Kind::Tif}, Join({Filler(33), loop}));
}

TEST(TiffThorough, ImageCutByTheEndOfTheInput) {
  const Pages p;
  const std::pair<std::size_t, std::size_t> cuts[] = {
      {p.firstEnd - 1, 0},             // page 1's values cut
      {p.firstEnd + 10, p.firstEnd},   // inside page 2's strip
      {p.tif.size() - 1, p.firstEnd},  // page 2's values cut
      {FirstDirectory(p.tif) - 1, 0},  // page 1's strip cut
  };
  for (const auto& [length, kept] : cuts) ExpectThoroughCut(Kind::Tif, p.tif, length, kept);
}

}  // namespace
}  // namespace sorvend::test
