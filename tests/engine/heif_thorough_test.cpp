// The thorough HEIF rule: the file type box's brands, the meta box with its handler, item
// information and item locations, and the end at the furthest box or item extent; files with
// a movie box left to the movie rule, refusals, and pictures cut by the input's end.
#include <gtest/gtest.h>

#include <string>

#include "tests/support/test_support.h"

namespace sorvend::test {
namespace {

// heif/tiny.heic: the file type box (major brand at 8, compatible brands at 16 and 20), the
// meta box at 28 holding hdlr at 40, iloc at 87, iinf at 121; the media data box at 348, whose
// one extent (offset 356, length 187 at 117) runs to the end of the file.
constexpr std::size_t kMajorBrand = 8;
constexpr std::size_t kHandlerType = 40 + 16;
constexpr std::size_t kIloc = 87;
constexpr std::size_t kIinf = 121;
constexpr std::size_t kExtentLength = 117;
constexpr std::size_t kMdat = 348;

std::string Extension(const OutputRecord& record) {
  return record.name.substr(record.name.rfind('.'));
}

TEST(HeifThorough, SamplesComeOutWhole) {
  for (const char* name : {"heif/tiny.heic", "heif/alpha.heic"}) {
    ExpectThoroughSampleComesOutWhole(Kind::Heic, ".HEIC", name);
  }
  for (const char* name : {"heif/tiny.avif", "heif/alpha.avif"}) {
    ExpectThoroughSampleComesOutWhole(Kind::Avif, ".AVIF", name);
  }
}

TEST(HeifThorough, ExtensionAndKindComeFromTheMajorBrand) {
  const struct {
    Bytes picture;
    Kind kind;
    Kind other;
    const char* ext;
  } cases[] = {
      {ReadTestData("heif/tiny.heic"), Kind::Heic, Kind::Avif, ".HEIC"},
      {Patched(ReadTestData("heif/tiny.heic"), kMajorBrand, {'h', 'e', 'i', 'x'}), Kind::Heic,
       Kind::Avif, ".HEIC"},
      {Patched(ReadTestData("heif/tiny.heic"), kMajorBrand, {'m', 'i', 'f', '1'}), Kind::Heic,
       Kind::Avif, ".HEIF"},
      {ReadTestData("heif/tiny.avif"), Kind::Avif, Kind::Heic, ".AVIF"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.ext);
    ScanRun run;
    ScanThorough(run, {c.kind}, Join({Filler(7), c.picture, Filler(20)}));
    ASSERT_EQ(run.host.outputs.size(), 1u);
    EXPECT_EQ(Extension(run.host.outputs[0]), c.ext);
    EXPECT_EQ(run.Output(0), c.picture);
    // The other kind's switch alone takes nothing.
    ExpectThoroughWritesNothing({c.other}, Join({Filler(7), c.picture, Filler(20)}));
  }
}

// A movie box behind the picture's boxes makes the file a movie, written by the movie rule.
TEST(HeifThorough, FileWithAMovieBoxStaysWithTheMovieRule) {
  Bytes movie = ReadTestData("heif/tiny.heic");
  AppendBe32(movie, 16);
  AppendText(movie, "moov");
  AppendBe32(movie, 8);
  AppendText(movie, "mvhd");
  const Bytes input = Join({Filler(7), movie, Filler(20)});
  ExpectThoroughWritesNothing({Kind::Heic}, input);
  ScanRun run;
  ScanThorough(run, {Kind::Heic, Kind::Mov}, input);
  ASSERT_EQ(run.host.outputs.size(), 1u);
  EXPECT_EQ(Extension(run.host.outputs[0]), ".MP4");
  EXPECT_EQ(run.Output(0), movie);
  // Movies have no meta box of a picture.
  ExpectThoroughWritesNothing({Kind::Heic, Kind::Avif}, ReadTestData("mov/faststart.mp4"));
}

TEST(HeifThorough, RefusesFilesNoDecoderOpens) {
  const Bytes heic = ReadTestData("heif/tiny.heic");
  const struct {
    const char* what;
    Bytes data;
  } cases[] = {
      {"no HEIF brand", Patched(heic, 16, {'m', 'i', 'f', '0'})},
      {"a brand that is no text", Patched(heic, 20, {0x01})},
      {"a handler other than pictures", Patched(heic, kHandlerType, {'v', 'i', 'd', 'e'})},
      {"no item information", Patched(heic, kIinf + 4, {'i', 'i', 'n', 'x'})},
      {"no item locations", Patched(heic, kIloc + 4, {'i', 'l', 'o', 'x'})},
      {"item locations of version 3", Patched(heic, kIloc + 8, {3})},
      {"offsets of 2 bytes", Patched(heic, kIloc + 12, {0x24})},
      {"item locations cut short", Patched(heic, kIloc + 3, {20})},
      {"an extent past the input", Patched(heic, kExtentLength, {0, 0, 0x10, 0})},
      {"no media data", Patched(heic, kMdat + 4, {'m', 'd', 'a', 'x'})},
      {"a meta child running past the meta box", Patched(heic, kIinf + 3, {0xF0})},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    ExpectThoroughWritesNothing({Kind::Heic}, Join({Filler(33), c.data, Filler(40)}));
  }
}

TEST(HeifThorough, CutPictureIsKeptOnlyWithAllItsItemBytes) {
  const Bytes heic = ReadTestData("heif/tiny.heic");
  for (const std::size_t length : {heic.size() - 1, kMdat + 20, kMdat, std::size_t{100}}) {
    ExpectThoroughCut(Kind::Heic, heic, length, 0);
  }
  // Media data that claims more than the input holds, though its item is whole.
  const Bytes longMedia = Patched(heic, kMdat, {0, 0, 0x10, 0});
  ExpectThoroughCut(Kind::Heic, longMedia, longMedia.size(), longMedia.size());
}

}  // namespace
}  // namespace sorvend::test
