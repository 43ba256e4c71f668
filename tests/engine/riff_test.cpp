
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "engine/carver.h"
#include "tests/support/test_support.h"

namespace sorvend::test {
namespace {

// "RIFF" (or another identifier), the size field as given, form type, first sub-chunk id.
Bytes RiffHeader(const std::string& form, const std::string& chunk, std::uint32_t size,
                 const std::string& id = "RIFF") {
  Bytes b;
  AppendText(b, id);
  AppendLe32(b, size);
  AppendText(b, form);
  AppendText(b, chunk);
  return b;
}

// A whole chunk: the size counts the form type, the sub-chunk id and `body` more bytes.
Bytes Riff(const std::string& form, const std::string& chunk, std::size_t body,
           std::uint8_t seed = 1) {
  Bytes b = RiffHeader(form, chunk, static_cast<std::uint32_t>(8 + body));
  Append(b, Filler(body, seed));
  return b;
}

// Only the three RIFF forms ticked.
void ScanRiff(ScanRun& run, const Bytes& input) {
  ScanOnly(run, {Kind::Avi, Kind::Wav, Kind::Ani}, input);
}

struct FormCase {
  const char* name;
  std::string id;
  std::string form;
  std::string chunk;
  std::vector<Kind> ticked;
  const char* ext;  // nullptr: not taken
};

TEST(Riff, FormsAreTakenOnlyWithTheirSwitchAndFirstSubChunk) {
  const std::vector<FormCase> cases = {
      {"avi", "RIFF", "AVI ", "LIST", {Kind::Avi}, "AVI"},
      {"wave", "RIFF", "WAVE", "fmt ", {Kind::Wav}, "WAV"},
      {"acon", "RIFF", "ACON", "LIST", {Kind::Ani}, "ANI"},
      {"wave unticked", "RIFF", "WAVE", "fmt ", {Kind::Avi, Kind::Ani, Kind::Bmp}, nullptr},
      {"avi unticked, others ticked", "RIFF", "AVI ", "LIST", {Kind::Wav, Kind::Ani}, nullptr},
      {"acon unticked", "RIFF", "ACON", "LIST", {Kind::Avi, Kind::Wav}, nullptr},
      {"nothing ticked", "RIFF", "WAVE", "fmt ", {}, nullptr},
      {"wave with LIST first", "RIFF", "WAVE", "LIST", {Kind::Avi, Kind::Wav, Kind::Ani}, nullptr},
      {"avi with fmt first", "RIFF", "AVI ", "fmt ", {Kind::Avi, Kind::Wav, Kind::Ani}, nullptr},
      {"acon with anih first", "RIFF", "ACON", "anih", {Kind::Avi, Kind::Wav, Kind::Ani}, nullptr},
      {"other form", "RIFF", "RMID", "data", {Kind::Avi, Kind::Wav, Kind::Ani}, nullptr},
      {"form in lower case", "RIFF", "wave", "fmt ", {Kind::Avi, Kind::Wav, Kind::Ani}, nullptr},
      {"avi without blank", "RIFF", "AVI_", "LIST", {Kind::Avi, Kind::Wav, Kind::Ani}, nullptr},
      {"big-endian RIFX", "RIFX", "WAVE", "fmt ", {Kind::Avi, Kind::Wav, Kind::Ani}, nullptr},
      {"id in lower case", "RIff", "WAVE", "fmt ", {Kind::Avi, Kind::Wav, Kind::Ani}, nullptr},
  };
  for (const FormCase& c : cases) {
    SCOPED_TRACE(c.name);
    Bytes object = RiffHeader(c.form, c.chunk, 8 + 40, c.id);
    Append(object, Filler(40, 3));
    Bytes input = Filler(13);
    Append(input, object);
    Append(input, Filler(11, 2));

    ScanRun run;
    for (bool& t : run.host.ticked) t = false;
    for (Kind k : c.ticked) run.host.ticked[static_cast<int>(k)] = true;
    Scan(run, input);
    if (c.ext == nullptr) {
      EXPECT_TRUE(run.host.outputs.empty());
      EXPECT_EQ(run.ctx.OutputCount, 0);  // no name taken
      continue;
    }
    ASSERT_EQ(run.host.outputs.size(), 1u);
    EXPECT_EQ(run.host.outputs[0].kind, c.ext);
    EXPECT_EQ(run.host.outputs[0].name, run.dir.File(std::string("ANT0000.") + c.ext));
    EXPECT_EQ(run.host.outputs[0].offset, 13);
    EXPECT_EQ(run.Output(0), object);
  }
}

TEST(Riff, SizeFieldBoundsTheCopyAndTheEndOfInputCutsIt) {
  constexpr std::size_t kLead = 21;
  constexpr std::size_t kBehind = 60;  // bytes after the size field in the input
  struct Case {
    const char* name;
    std::uint32_t size;
    std::size_t expected;  // output bytes
  };
  const std::vector<Case> cases = {
      {"zero", 0, 8},
      {"form type only", 4, 12},
      {"odd size, no pad byte", 21, 29},
      {"exactly what follows", kBehind, 8 + kBehind},
      {"one more than follows", kBehind + 1, 8 + kBehind},
      {"largest positive", 0x7FFFFFFF, 8 + kBehind},
      {"top bit set", 0x80000000, 8},
      {"minus one", 0xFFFFFFFF, 8},
      {"negative, small", 0xFFFFFFF0, 8},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Bytes input = Filler(kLead);
    Append(input, RiffHeader("WAVE", "fmt ", c.size));
    Append(input, Filler(kBehind - 8, 5));

    ScanRun run;
    ScanRiff(run, input);
    ASSERT_EQ(run.host.outputs.size(), 1u);
    EXPECT_EQ(run.Output(0), Slice(input, kLead, c.expected));
  }
}

TEST(Riff, ScanResumesRightBehindTheDeclaredChunk) {
  // An outer WAVE whose declared body holds a nested chunk, then a second WAVE right behind
  // the declared end, then one more byte of the outer data that a longer copy would take.
  const Bytes nested = Riff("WAVE", "fmt ", 10, 7);
  Bytes outer = RiffHeader("WAVE", "fmt ", 8 + 10 + static_cast<std::uint32_t>(nested.size()));
  Append(outer, Filler(10, 4));
  Append(outer, nested);
  const Bytes second = Riff("ACON", "LIST", 33, 9);

  Bytes input = Filler(5);
  Append(input, outer);
  Append(input, second);
  Append(input, Riff("AVI ", "LIST", 0));  // back to back with the second

  ScanRun run;
  ScanRiff(run, input);
  ASSERT_EQ(run.host.outputs.size(), 3u);
  EXPECT_EQ(run.Output(0), outer);
  EXPECT_EQ(run.host.outputs[1].name, run.dir.File("ANT0001.ANI"));
  EXPECT_EQ(run.host.outputs[1].offset, static_cast<std::int64_t>(5 + outer.size()));
  EXPECT_EQ(run.Output(1), second);
  EXPECT_EQ(run.host.outputs[2].name, run.dir.File("ANT0002.AVI"));
  EXPECT_EQ(run.ctx.Position, static_cast<std::int64_t>(input.size()));
}

TEST(Riff, HeaderCutByTheEndOfInputIsRejected) {
  const Bytes object = Riff("WAVE", "fmt ", 0);
  for (std::size_t kept = 1; kept < 16; ++kept) {
    SCOPED_TRACE(kept);
    Bytes input = Filler(9);
    Append(input, Slice(object, 0, kept));
    ScanRun run;
    ScanRiff(run, input);
    EXPECT_TRUE(run.host.outputs.empty());
    EXPECT_EQ(run.ctx.OutputCount, 0);
  }
  // All 16 bytes there and nothing behind them: the chunk is cut after its header.
  Bytes input = Filler(9);
  Append(input, RiffHeader("WAVE", "fmt ", 1000));
  ScanRun run;
  ScanRiff(run, input);
  ASSERT_EQ(run.host.outputs.size(), 1u);
  EXPECT_EQ(run.Output(0), Slice(input, 9, 16));
}

TEST(Riff, FailedOutputOpenUsesTheNumberAndWalksOnFromBehindTheHeader) {
  // The folder takes the first output's name. An inner chunk starting right behind the 16
  // header bytes shows where the walk reads on; it must come out from its own offset.
  const Bytes inner = Riff("WAVE", "fmt ", 12, 6);
  Bytes outer = RiffHeader("WAVE", "fmt ", 8 + static_cast<std::uint32_t>(inner.size()) + 20);
  Append(outer, inner);
  Append(outer, Filler(20, 8));
  Bytes input = Filler(30);
  Append(input, outer);
  Append(input, Riff("WAVE", "fmt ", 3, 9));

  ScanRun run;
  std::filesystem::create_directory(run.dir.path() / "ANT0000.WAV");
  ScanRiff(run, input);
  ASSERT_EQ(run.host.failed.size(), 1u);
  EXPECT_EQ(run.host.failed[0], run.dir.File("ANT0000.WAV"));
  ASSERT_EQ(run.host.outputs.size(), 2u);
  EXPECT_EQ(run.host.outputs[0].name, run.dir.File("ANT0001.WAV"));
  EXPECT_EQ(run.host.outputs[0].offset, 30 + 16);
  EXPECT_EQ(run.Output(0), inner);
  EXPECT_EQ(run.host.outputs[1].name, run.dir.File("ANT0002.WAV"));
  EXPECT_EQ(run.Output(1), Slice(input, 30 + outer.size(), 8 + 3 + 8));
}

TEST(Riff, KeepsResponsiveAfterEveryCopiedByteAndStopsWhenClosed) {
  constexpr std::int64_t kLead = 17;
  const Bytes object = Riff("AVI ", "LIST", 50);
  Bytes input = Filler(kLead);
  Append(input, object);
  Append(input, Filler(9));

  {
    ScanRun run;
    run.CountCopyCalls();
    Scan(run, input);
    ASSERT_EQ(run.host.outputs.size(), 1u);
    EXPECT_EQ(run.copyCalls, static_cast<int>(object.size()) - 8);
  }
  for (const int stopAt : {1, 25}) {
    SCOPED_TRACE(stopAt);
    ScanRun run;
    run.CountCopyCalls(stopAt);
    Scan(run, input);
    EXPECT_TRUE(run.host.outputs.empty());
    EXPECT_EQ(run.copyCalls, stopAt);
    EXPECT_EQ(run.ctx.Flags & (Flag::InputOpen | Flag::OutputOpen), 0u);
    EXPECT_EQ(run.ctx.Position, kLead + 8 + stopAt);
    EXPECT_EQ(ReadFile(run.dir.File("ANT0000.AVI")), Slice(object, 0, 8 + stopAt));
  }
}

TEST(Riff, RealFilesComeBackBitExact) {
  const Bytes wav = ReadTestData("riff/tone.wav");
  const Bytes avi = ReadTestData("riff/clip.avi");
  Bytes input = Filler(100);
  Append(input, wav);
  Append(input, avi);
  Append(input, Filler(50, 2));
  Append(input, wav);

  ScanRun run;
  ScanRiff(run, input);
  ASSERT_EQ(run.host.outputs.size(), 3u);
  EXPECT_EQ(run.host.outputs[0].name, run.dir.File("ANT0000.WAV"));
  EXPECT_EQ(run.Output(0), wav);
  EXPECT_EQ(run.host.outputs[1].name, run.dir.File("ANT0001.AVI"));
  EXPECT_EQ(run.Output(1), avi);
  EXPECT_EQ(run.host.outputs[2].offset,
            static_cast<std::int64_t>(100 + wav.size() + avi.size() + 50));
  EXPECT_EQ(run.Output(2), wav);
}

TEST(Riff, LyingHeadersNeverMakeUpBytes) {
  // A real file with its size field and random bytes overwritten, three times in a row and cut
  // anywhere near the end.
  const Bytes wav = ReadTestData("riff/tone.wav");
  const std::vector<std::uint32_t> sizes = {
      0, 1, 7, 8, 4035, 4036, 4037, 0x7FFFFFFF, 0x80000000, 0xFFFFFFF8, 0xFFFFFFFF, 0x00010000};
  Lcg next(12345);
  for (int round = 0; round < 60; ++round) {
    SCOPED_TRACE(round);
    Bytes input = Filler(7, static_cast<std::uint8_t>(round));
    for (int copy = 0; copy < 3; ++copy) {
      Bytes object = wav;
      PutLe32(&object[4], static_cast<std::int32_t>(sizes[next() % sizes.size()]));
      for (int k = 0; k < 4; ++k)
        object[next() % object.size()] = static_cast<std::uint8_t>(next());
      Append(input, object);
    }
    input.resize(input.size() - next() % 200);  // cut anywhere near the end
    ExpectScanEndsWithInputSlices({Kind::Avi, Kind::Wav, Kind::Ani}, input);
  }
}

}  // namespace
}  // namespace sorvend::test
