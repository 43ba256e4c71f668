// The thorough DDS rule: the size computed from the header (levels, faces, slices, array and
// format), refusals of what no decoder opens, and surfaces cut by the end of the input.
#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "engine/carver.h"
#include "tests/support/test_support.h"

namespace sorvend::test {
namespace {

TEST(DdsThorough, SamplesComeOutWhole) {
  for (const char* name :
       {"dds/dxt1.dds", "dds/dxt5mips.dds", "dds/rgb24.dds", "dds/rgba32mips.dds", "dds/cube6.dds",
        "dds/cube3.dds", "dds/volume.dds", "dds/array.dds", "dds/cube_bc3.dds"}) {
    ExpectThoroughSampleComesOutWhole(Kind::Dds, ".DDS", name);
  }
}

TEST(DdsThorough, RefusesHeadersNoDecoderOpens) {
  const struct {
    const char* what;
    const char* sample;
    std::vector<std::pair<std::size_t, std::uint32_t>> fields;  // offset, new value
  } changes[] = {
      {"a header of 123 bytes", "dds/dxt1.dds", {{4, 123}}},
      {"a pixel format of 24 bytes", "dds/dxt1.dds", {{76, 24}}},
      {"zero width", "dds/dxt1.dds", {{16, 0}}},
      {"zero height", "dds/dxt1.dds", {{12, 0}}},
      {"a width of 40000", "dds/dxt1.dds", {{16, 40000}}},
      {"an unknown four-character code", "dds/dxt1.dds", {{84, 0x39545844}}},  // "DXT9"
      {"a pixel format of no kind", "dds/rgb24.dds", {{80, 0}}},
      {"12-bit pixels", "dds/rgb24.dds", {{88, 12}}},
      {"a mask outside the pixel", "dds/rgb24.dds", {{92, 0x1000000}}},
      {"overlapping masks", "dds/rgb24.dds", {{96, 0xFFFF00}}},
      {"no masks", "dds/rgb24.dds", {{92, 0}, {96, 0}, {100, 0}}},
      {"more levels than the sides allow", "dds/dxt5mips.dds", {{28, 7}}},
      {"a cube map without faces", "dds/cube6.dds", {{112, 0x200}}},
      {"a cube map that is a volume too", "dds/cube6.dds", {{112, 0x20FE00}, {24, 1}}},
      {"a volume 4096 deep", "dds/volume.dds", {{24, 4096}}},
      {"a planar video format", "dds/array.dds", {{128, 103}}},
      {"an unknown extension format", "dds/array.dds", {{128, 0}}},
      {"an unknown dimension", "dds/array.dds", {{132, 5}}},
      {"an array of no surfaces", "dds/array.dds", {{140, 0}}},
      {"an array of volumes", "dds/array.dds", {{132, 4}, {24, 1}}},
      {"a one-dimensional texture 8 high", "dds/array.dds", {{132, 2}}},
      {"a one-dimensional cube map", "dds/cube_bc3.dds", {{132, 2}, {12, 1}}},
  };
  for (const auto& c : changes) {
    SCOPED_TRACE(c.what);
    Bytes dds = ReadTestData(c.sample);
    for (const auto& [at, value] : c.fields) PutLe32(&dds[at], static_cast<std::int32_t>(value));
    ExpectThoroughWritesNothing({Kind::Dds}, Join({Filler(33), dds, Filler(40)}));
  }
}

// Where the input ends early, whole surfaces and then the next one's whole levels are written,
// as long as the first surface's largest level is there.
TEST(DdsThorough, SurfaceCutByTheEndOfTheInputKeepsItsWholeLevels) {
  const struct {
    const char* sample;
    std::size_t length;  // of the input's copy
    std::size_t kept;    // 0: nothing written
  } cuts[] = {
      // 32 x 32 in blocks of 16 bytes: levels of 1024, 256, 64 and 16 bytes.
      {"dds/dxt5mips.dds", 128 + 1024 + 255, 128 + 1024},
      {"dds/dxt5mips.dds", 128 + 1024 + 256 + 70, 128 + 1024 + 256 + 64},
      {"dds/dxt5mips.dds", 128 + 1024, 128 + 1024},
      {"dds/dxt5mips.dds", 128 + 1023, 0},
      {"dds/dxt5mips.dds", 100, 0},
      // Six faces of 8 x 8 in blocks of 8 bytes: levels of 32, 8, 8 and 8 bytes, 56 a face.
      {"dds/cube6.dds", 128 + 2 * 56 + 41, 128 + 2 * 56 + 40},
      {"dds/cube6.dds", 128 + 31, 0},
      // Behind the 20-byte extension: two surfaces of 256, 64, 16 and 4 bytes.
      {"dds/array.dds", 148 + 340 + 300, 148 + 340 + 256},
      {"dds/array.dds", 148 + 255, 0},
  };
  for (const auto& c : cuts) {
    SCOPED_TRACE(std::string(c.sample) + " cut at " + std::to_string(c.length));
    const Bytes dds = Slice(ReadTestData(c.sample), 0, c.length);
    ScanRun run;
    ScanThorough(run, {Kind::Dds}, Join({Filler(7), dds}));
    if (c.kept == 0) {
      EXPECT_TRUE(run.host.outputs.empty());
      continue;
    }
    ASSERT_EQ(run.host.outputs.size(), 1u);
    EXPECT_TRUE(run.host.outputs[0].cut);
    EXPECT_EQ(run.Output(0), Slice(dds, 0, c.kept));
  }
}

TEST(DdsThorough, RefusedHeaderIsSkippedAndTheSurfacesBehindFound) {
  Bytes broken = ReadTestData("dds/volume.dds");
  PutLe32(&broken[88], 12);  // 12-bit pixels
  const Bytes first = ReadTestData("dds/cube3.dds");
  const Bytes second = ReadTestData("dds/dxt1.dds");
  const Bytes before = Join({Filler(17), broken});
  ScanRun run;
  ScanThorough(run, {Kind::Dds}, Join({before, first, second, Filler(8)}));
  ASSERT_EQ(run.host.outputs.size(), 2u);
  EXPECT_EQ(run.host.outputs[0].offset, static_cast<std::int64_t>(before.size()));
  EXPECT_EQ(run.Output(0), first);
  EXPECT_EQ(run.host.outputs[1].offset, static_cast<std::int64_t>(before.size() + first.size()));
  EXPECT_EQ(run.Output(1), second);
}

}  // namespace
}  // namespace sorvend::test
