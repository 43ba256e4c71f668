// The thorough ICNS rule: elements that tile the file's stated length exactly; refused
// headers, text that happens to hold the tag, and files that are cut or break.
#include <gtest/gtest.h>

#include "tests/support/test_support.h"

namespace sorvend::test {
namespace {

// icns/small.icns: elements at 8, 790, 1054 and 4157, 5189 bytes in all.
constexpr std::size_t kSecondElement = 790;
constexpr std::size_t kThirdElement = 1054;

TEST(IcnsThorough, SamplesComeOutWhole) {
  for (const char* name : {"icns/one.icns", "icns/small.icns"}) {
    ExpectThoroughSampleComesOutWhole(Kind::Icns, ".ICNS", name);
  }
}

TEST(IcnsThorough, RefusesFilesWithoutOneWholeElement) {
  const Bytes icns = ReadTestData("icns/small.icns");
  Bytes text;
  AppendText(text, "The icns files of the theme are listed in icons.txt, one name a line.");
  const struct {
    const char* what;
    Bytes data;
  } cases[] = {
      {"the tag in text", text},
      {"a length of 15", Patched(icns, 4, {0, 0, 0, 15})},
      {"a first element type that is no text", Patched(icns, 8, {0x01})},
      {"a first element of 7 bytes", Patched(icns, 12, {0, 0, 0, 7})},
      {"a first element longer than the file", Patched(icns, 12, {0, 0, 0x20, 0})},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    ExpectThoroughWritesNothing({Kind::Icns}, Join({Filler(33), c.data, Filler(40)}));
  }
}

TEST(IcnsThorough, CutFileKeepsItsWholeElements) {
  const Bytes icns = ReadTestData("icns/small.icns");
  const std::pair<std::size_t, std::size_t> cuts[] = {
      {icns.size() - 1, 4157},
      {kThirdElement + 8, kThirdElement},
      {kSecondElement, kSecondElement},
      {kSecondElement - 1, 0},
  };
  for (const auto& [length, kept] : cuts) ExpectThoroughCut(Kind::Icns, icns, length, kept);
}

TEST(IcnsThorough, ElementsThatMissTheLengthEndTheFileAndTheNextIsFound) {
  const Bytes icns = ReadTestData("icns/small.icns");
  const Bytes good = ReadTestData("icns/one.icns");
  const struct {
    const char* what;
    Bytes broken;
    std::size_t kept;
  } cases[] = {
      {"an element past the stated length", Patched(icns, kSecondElement + 4, {0, 0, 0x20, 0}),
       kSecondElement},
      {"a stated length past the elements", Patched(icns, 4, {0, 0, 0x14, 0x4D}), icns.size()},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    ExpectThoroughCutThenWhole(Kind::Icns, c.broken, Slice(c.broken, 0, c.kept), good);
  }
}

}  // namespace
}  // namespace sorvend::test
