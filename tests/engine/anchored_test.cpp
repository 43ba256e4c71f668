// Rules for kinds without a signature are tried only where an object must begin.
#include <gtest/gtest.h>

#include <array>

#include "engine/measure.h"
#include "engine/scan.h"
#include "tests/support/test_support.h"

namespace sorvend {
namespace {

using namespace test;

// A rule for a kind without a signature, for the test only: "HDR" and a length byte, where 0
// means "to the end of the input".
bool MeasureHeaderOnly(ByteView& in, std::int64_t lead, Extent& out) {
  std::uint8_t h[4];
  if (!in.Read(lead, h, sizeof h) || h[0] != 'H' || h[1] != 'D' || h[2] != 'R') return false;
  out.start = lead;
  out.end = h[3] == 0 ? in.Size() : lead + h[3];
  out.ext = ".BMP";
  return true;
}
constexpr std::array kTestRules = {AnchoredRule{Kind::Bmp, MeasureHeaderOnly}};

struct Case {
  const char* name;
  Bytes input;
  Profile profile;
  bool ticked;
  // The outputs' offsets and sizes.
  std::vector<std::pair<std::int64_t, std::int64_t>> expected;
};

TEST(AnchoredRules, AreTriedOnlyAtTheStartOfAnInput) {
  const Bytes png = ReadTestData("png/gradient.png");
  const Bytes whole = Join({Bytes{'H', 'D', 'R', 0}, Filler(60)});
  const Bytes sized = Join({Bytes{'H', 'D', 'R', 40}, Filler(36), png, Filler(9)});
  const auto pngSize = static_cast<std::int64_t>(png.size());
  const std::vector<Case> cases = {
      {"whole input", whole, Profile::Thorough, true, {{0, 64}}},
      {"not at the start", Join({Filler(5), whole}), Profile::Thorough, true, {}},
      {"kind not ticked", whole, Profile::Thorough, false, {}},
      {"classic profile", whole, Profile::Classic, true, {}},
      {"walk goes on behind it", sized, Profile::Thorough, true, {{0, 40}, {40, pngSize}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ScanRun run;
    run.ctx.profile = c.profile;
    run.ctx.anchoredRules = kTestRules;
    TickOnly(run.host, {Kind::Png});
    run.host.ticked[static_cast<int>(Kind::Bmp)] = c.ticked;
    Scan(run, c.input);
    ASSERT_EQ(run.host.outputs.size(), c.expected.size());
    for (std::size_t i = 0; i < c.expected.size(); ++i) {
      EXPECT_EQ(run.host.outputs[i].offset, c.expected[i].first);
      EXPECT_EQ(run.host.outputs[i].size, c.expected[i].second);
    }
    ExpectOutputsAreInputSlices(run, c.input);
    // The walk ends at the input's end, also behind an object that takes all of it.
    EXPECT_EQ(run.ctx.Position, static_cast<std::int64_t>(c.input.size()));
  }
}

// A rule whose extent reaches past the input is refused.
TEST(AnchoredRules, AnExtentPastTheInputIsRefused) {
  ScanRun run;
  run.ctx.profile = Profile::Thorough;
  run.ctx.anchoredRules = kTestRules;
  Scan(run, Join({Bytes{'H', 'D', 'R', 200}, Filler(30)}));
  EXPECT_TRUE(run.host.outputs.empty());
}

}  // namespace
}  // namespace sorvend
