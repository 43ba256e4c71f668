// The thorough PCX rule: the header's consistency, the coded lines decoded to the image's bytes
// and the palette behind them; refused headers, text full of line feeds, and cut images.
#include <gtest/gtest.h>

#include <string>

#include "tests/support/test_support.h"

namespace sorvend::test {
namespace {

constexpr std::size_t kHeaderBytes = 128;
constexpr std::size_t kPaletteBytes = 769;  // 0x0C and 256 colours

TEST(PcxThorough, SamplesComeOutWhole) {
  for (const char* name : {"pcx/rgb.pcx", "pcx/pal.pcx", "pcx/mono.pcx"}) {
    ExpectThoroughSampleComesOutWhole(Kind::Pcx, ".PCX", name);
  }
}

TEST(PcxThorough, RefusesHeadersNoDecoderOpens) {
  const Bytes pcx = ReadTestData("pcx/rgb.pcx");  // 21 x 13, three planes of 21-byte lines
  std::string lines;
  for (int i = 0; i < 200; ++i) lines += "\n\n" + std::to_string(i) + " lines\r\n\n\t\n";
  const struct {
    const char* what;
    Bytes data;
  } cases[] = {
      {"text full of line feeds", Bytes(lines.begin(), lines.end())},
      {"version 1", Patched(pcx, 1, {1})},
      {"no run-length coding", Patched(pcx, 2, {0})},
      {"3 bits a pixel", Patched(pcx, 3, {3})},
      {"a reserved byte that is not 0", Patched(pcx, 64, {1})},
      {"no planes", Patched(pcx, 65, {0})},
      {"five planes", Patched(pcx, 65, {5})},
      {"a window right of its end", Patched(pcx, 4, {30, 0})},
      {"a window below its end", Patched(pcx, 6, {30, 0})},
      {"lines short of the width", Patched(pcx, 66, {20, 0})},
      {"lines far longer than the width", Patched(pcx, 66, {30, 0})},
      {"a header cut by the input's end", Slice(pcx, 0, 100)},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    ExpectThoroughWritesNothing({Kind::Pcx}, Join({Filler(33), c.data, Filler(40)}));
  }
}

TEST(PcxThorough, CutImageEndsBehindItsLastWholeCode) {
  const Bytes pcx = ReadTestData("pcx/rgb.pcx");
  ScanRun run;
  ScanThorough(run, {Kind::Pcx}, Join({Filler(5), Slice(pcx, 0, pcx.size() - 1)}));
  ASSERT_EQ(run.host.outputs.size(), 1u);
  EXPECT_TRUE(run.host.outputs[0].cut);
  const Bytes out = run.Output(0);
  // A code is one byte or two.
  EXPECT_GE(out.size(), pcx.size() - 3);
  EXPECT_EQ(out, Slice(pcx, 0, out.size()));
  // Not a whole line of three 21-byte planes.
  ExpectThoroughCut(Kind::Pcx, pcx, kHeaderBytes + 40, 0);
  // The image is whole but its palette is cut.
  const Bytes pal = ReadTestData("pcx/pal.pcx");
  ExpectThoroughCut(Kind::Pcx, pal, pal.size() - 5, pal.size() - kPaletteBytes);
}

TEST(PcxThorough, ImageWithoutItsPaletteIsCutAndTheNextFound) {
  const Bytes pal = ReadTestData("pcx/pal.pcx");
  const std::size_t mark = pal.size() - kPaletteBytes;
  ExpectThoroughCutThenWhole(Kind::Pcx, Patched(pal, mark, {0x0B}), Slice(pal, 0, mark),
                             ReadTestData("pcx/mono.pcx"));
}

}  // namespace
}  // namespace sorvend::test
