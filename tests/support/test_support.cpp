#include "tests/support/test_support.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <stdexcept>

#include "engine/scan.h"

namespace sorvend::test {

ScratchDir::ScratchDir() {
  static std::atomic<int> counter{0};
  const auto base = std::filesystem::temp_directory_path();
  for (;;) {
    path_ = base / ("sorvend-test-" + std::to_string(::getpid()) + "-" + std::to_string(counter++));
    if (std::filesystem::create_directory(path_)) break;
  }
}

ScratchDir::~ScratchDir() {
  std::error_code ec;
  std::filesystem::remove_all(path_, ec);
}

Bytes ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw std::runtime_error("cannot read " + path);
  return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void WriteFile(const std::string& path, const Bytes& data) {
  std::ofstream out(path, std::ios::binary);
  out.write(reinterpret_cast<const char*>(data.data()), static_cast<std::streamsize>(data.size()));
  if (!out) throw std::runtime_error("cannot write " + path);
}

Bytes ReadTestData(const std::string& name) {
  return ReadFile(std::string(SORVEND_TEST_DATA) + "/" + name);
}

std::string ReadText(const std::string& path) {
  const Bytes bytes = ReadFile(path);
  return std::string(bytes.begin(), bytes.end());
}

void WriteText(const std::string& path, const std::string& text) {
  WriteFile(path, Bytes(text.begin(), text.end()));
}

void WriteSparseFile(const std::string& path,
                     std::initializer_list<std::pair<std::int64_t, Bytes>> pieces) {
  std::ofstream out(path, std::ios::binary);
  for (const auto& [at, bytes] : pieces) {
    out.seekp(at);
    out.write(reinterpret_cast<const char*>(bytes.data()),
              static_cast<std::streamsize>(bytes.size()));
  }
  if (!out) throw std::runtime_error("cannot write " + path);
}

std::map<std::string, std::string> TreeSnapshot(const std::filesystem::path& root) {
  std::map<std::string, std::string> tree;
  for (const auto& entry : std::filesystem::recursive_directory_iterator(root)) {
    std::string& what = tree[entry.path().lexically_relative(root).string()];
    if (entry.is_symlink()) {
      what = "link to " + std::filesystem::read_symlink(entry.path()).string();
    } else if (entry.is_directory()) {
      what = "folder";
    } else if (entry.is_regular_file()) {
      what = "file " + ReadText(entry.path().string());
    } else {
      what = "other";
    }
  }
  return tree;
}

void ExpectFileOfItsOwn(const std::string& path, const Bytes& data) {
  ASSERT_TRUE(std::filesystem::is_regular_file(std::filesystem::symlink_status(path))) << path;
  EXPECT_EQ(std::filesystem::hard_link_count(path), 1u) << path;
  EXPECT_EQ(ReadFile(path), data) << path;
}

void AppendLe16(Bytes& b, std::uint16_t v) {
  b.push_back(static_cast<std::uint8_t>(v));
  b.push_back(static_cast<std::uint8_t>(v >> 8));
}
void AppendLe32(Bytes& b, std::uint32_t v) {
  AppendLe16(b, static_cast<std::uint16_t>(v));
  AppendLe16(b, static_cast<std::uint16_t>(v >> 16));
}
void AppendBe16(Bytes& b, std::uint16_t v) {
  b.push_back(static_cast<std::uint8_t>(v >> 8));
  b.push_back(static_cast<std::uint8_t>(v));
}
void AppendBe32(Bytes& b, std::uint32_t v) {
  AppendBe16(b, static_cast<std::uint16_t>(v >> 16));
  AppendBe16(b, static_cast<std::uint16_t>(v));
}
void AppendText(Bytes& b, const std::string& s) {
  b.insert(b.end(), s.begin(), s.end());
}
void Append(Bytes& b, const Bytes& more) {
  b.insert(b.end(), more.begin(), more.end());
}

Bytes Filler(std::size_t n, std::uint8_t seed) {
  // Lower-case letters other than 'm' and digits: none of them is a lead byte.
  static const char kAlphabet[] = "abcdefghijklnopqrstuvwxyz0123456789";
  Bytes b(n);
  std::uint32_t x = seed * 2654435761u + 12345u;
  for (auto& byte : b) {
    x = x * 1103515245u + 12345u;
    byte = static_cast<std::uint8_t>(kAlphabet[(x >> 16) % (sizeof kAlphabet - 1)]);
  }
  return b;
}

void SetLe32(Bytes& b, std::size_t at, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) b.at(at + i) = static_cast<std::uint8_t>(v >> (8 * i));
}

void SetBe16(Bytes& b, std::size_t at, std::uint16_t v) {
  b.at(at) = static_cast<std::uint8_t>(v >> 8);
  b.at(at + 1) = static_cast<std::uint8_t>(v);
}

void SetBe32(Bytes& b, std::size_t at, std::uint32_t v) {
  SetBe16(b, at, static_cast<std::uint16_t>(v >> 16));
  SetBe16(b, at + 2, static_cast<std::uint16_t>(v));
}

std::size_t FindText(const Bytes& b, const std::string& text, std::size_t from) {
  const auto it =
      std::search(b.begin() + static_cast<std::ptrdiff_t>(from), b.end(), text.begin(), text.end());
  EXPECT_NE(it, b.end()) << text;
  return static_cast<std::size_t>(it - b.begin());
}

Bytes Slice(const Bytes& b, std::size_t offset, std::size_t n) {
  return Bytes(b.begin() + static_cast<std::ptrdiff_t>(offset),
               b.begin() + static_cast<std::ptrdiff_t>(offset + n));
}

Bytes Join(std::initializer_list<Bytes> parts) {
  Bytes b;
  for (const Bytes& p : parts) Append(b, p);
  return b;
}

Bytes Patched(Bytes b, std::size_t offset, std::initializer_list<std::uint8_t> bytes) {
  std::copy(bytes.begin(), bytes.end(), b.begin() + static_cast<std::ptrdiff_t>(offset));
  return b;
}

std::size_t DibPixelBytes(std::int32_t width, std::int32_t height) {
  return (3 * static_cast<std::size_t>(width) + 3) / 4 * 4 * static_cast<std::size_t>(height);
}

Bytes BareDib(std::int32_t width, std::int32_t height, std::uint8_t seed) {
  Bytes b;
  AppendLe32(b, 40);
  AppendLe32(b, static_cast<std::uint32_t>(width));
  AppendLe32(b, static_cast<std::uint32_t>(height));
  AppendLe16(b, 1);
  AppendLe16(b, 24);
  for (int i = 0; i < 6; ++i) AppendLe32(b, 0);
  Append(b, Filler(DibPixelBytes(width, height), seed));
  return b;
}

Bytes BareDib(std::uint8_t seed) {
  return BareDib(5, 3, seed);
}

void ScanThorough(ScanRun& run, std::initializer_list<Kind> kinds, const Bytes& data) {
  run.ctx.profile = Profile::Thorough;
  ScanOnly(run, kinds, data);
}

void ExpectThoroughSampleComesOutWhole(Kind kind, const std::string& ext, const std::string& name) {
  SCOPED_TRACE(name);
  const Bytes sample = ReadTestData(name);
  const Bytes before = Filler(1001, 7);
  ScanRun run;
  ScanThorough(run, {kind}, Join({before, sample, Filler(777, 9)}));
  ASSERT_EQ(run.host.outputs.size(), 1u);
  const OutputRecord& out = run.host.outputs[0];
  EXPECT_EQ(out.name, run.dir.File("ANT0000" + ext));
  EXPECT_EQ(out.offset, static_cast<std::int64_t>(before.size()));
  EXPECT_FALSE(out.cut);
  EXPECT_EQ(run.Output(0), sample);
}

void ExpectThoroughCutTo(Kind kind, const Bytes& data, const Bytes& kept, std::size_t before) {
  ScanRun run;
  ScanThorough(run, {kind}, Join({Filler(before), data}));
  ASSERT_EQ(run.host.outputs.size(), 1u);
  EXPECT_TRUE(run.host.outputs[0].cut);
  EXPECT_EQ(run.host.outputs[0].offset, static_cast<std::int64_t>(before));
  EXPECT_EQ(run.Output(0), kept);
}

void ExpectThoroughCutThenWhole(Kind kind, const Bytes& broken, const Bytes& kept,
                                const Bytes& good) {
  const Bytes before = Filler(41);
  ScanRun run;
  ScanThorough(run, {kind}, Join({before, broken, good, Filler(6)}));
  ASSERT_EQ(run.host.outputs.size(), 2u);
  EXPECT_TRUE(run.host.outputs[0].cut);
  EXPECT_EQ(run.Output(0), kept);
  EXPECT_FALSE(run.host.outputs[1].cut);
  EXPECT_EQ(run.host.outputs[1].offset, static_cast<std::int64_t>(before.size() + broken.size()));
  EXPECT_EQ(run.Output(1), good);
}

void ExpectThoroughWritesNothing(std::initializer_list<Kind> kinds, const Bytes& data) {
  ScanRun run;
  ScanThorough(run, kinds, data);
  EXPECT_TRUE(run.host.outputs.empty()) << run.host.outputs[0].name;
  EXPECT_TRUE(run.host.failed.empty());
}

void ExpectThoroughCut(Kind kind, const Bytes& object, std::size_t length, std::size_t kept) {
  SCOPED_TRACE("cut to " + std::to_string(length) + " bytes");
  const Bytes before = Filler(333, 5);
  if (kept == 0) {
    ExpectThoroughWritesNothing({kind}, Join({before, Slice(object, 0, length)}));
    return;
  }
  ScanRun run;
  ScanThorough(run, {kind}, Join({before, Slice(object, 0, length)}));
  ASSERT_EQ(run.host.outputs.size(), 1u);
  EXPECT_EQ(run.host.outputs[0].offset, static_cast<std::int64_t>(before.size()));
  EXPECT_TRUE(run.host.outputs[0].cut);
  EXPECT_EQ(run.Output(0), Slice(object, 0, kept));
}

void ExpectThoroughRefusedThenFound(Kind kind, const Bytes& broken, const Bytes& good) {
  const Bytes before = Filler(101);
  ScanRun run;
  ScanThorough(run, {kind}, Join({before, broken, good}));
  ASSERT_EQ(run.host.outputs.size(), 1u);
  EXPECT_EQ(run.host.outputs[0].offset, static_cast<std::int64_t>(before.size() + broken.size()));
  EXPECT_EQ(run.Output(0), good);
}

void ExpectThoroughStartStaysBehindThePreviousOutput(Kind previousKind, const Bytes& previous,
                                                     Kind kind, const Bytes& object) {
  const Bytes input =
      Join({Filler(3), Slice(previous, 0, previous.size() - 10), object, Filler(3)});
  ScanRun overlapping;
  ScanThorough(overlapping, {previousKind, kind}, input);
  ASSERT_EQ(overlapping.host.outputs.size(), 1u);
  EXPECT_EQ(overlapping.Output(0), Slice(input, 3, previous.size()));
  ScanRun alone;
  ScanThorough(alone, {kind}, input);
  ASSERT_EQ(alone.host.outputs.size(), 1u);
  EXPECT_EQ(alone.Output(0), object);
  ScanRun behind;
  ScanThorough(behind, {previousKind, kind}, Join({Filler(3), previous, object}));
  ASSERT_EQ(behind.host.outputs.size(), 2u);
  EXPECT_EQ(behind.Output(1), object);
}

void Scan(ScanRun& run, const Bytes& data) {
  run.input = run.dir.File("input.bin");
  WriteFile(run.input, data);
  run.ctx.Host = &run.host;
  run.ctx.SourceDir = run.dir.dir();
  run.ctx.OutputCount = 0;
  ScanFile(run.ctx, run.input);
}

void ScanRun::CountCopyCalls(int closeAt) {
  host.interval = 1;
  host.onKeepResponsive = [this, closeAt] {
    if ((ctx.Flags & Flag::OutputOpen) && ++copyCalls == closeAt) CloseStreams(ctx);
  };
}

void TickOnly(RecordingHost& host, std::initializer_list<Kind> kinds) {
  for (bool& t : host.ticked) t = false;
  for (Kind k : kinds) host.ticked[static_cast<int>(k)] = true;
}

void ScanOnly(ScanRun& run, std::initializer_list<Kind> kinds, const Bytes& data) {
  TickOnly(run.host, kinds);
  Scan(run, data);
}

bool ScanUntilEndOrGuard(ScanRun& run, std::initializer_list<Kind> kinds, const Bytes& data,
                         int maxCalls) {
  int calls = 0;
  run.host.interval = 1;
  run.host.onKeepResponsive = [&] {
    if (++calls > maxCalls) CloseStreams(run.ctx);
  };
  ScanOnly(run, kinds, data);
  run.host.onKeepResponsive = nullptr;
  return calls <= maxCalls;
}

void ExpectOutputsAreInputSlices(const ScanRun& run, const Bytes& input) {
  for (std::size_t i = 0; i < run.host.outputs.size(); ++i) {
    SCOPED_TRACE(::testing::Message() << "output " << i);
    const OutputRecord& out = run.host.outputs[i];
    const Bytes got = run.Output(i);
    ASSERT_EQ(out.size, static_cast<std::int64_t>(got.size()));
    ASSERT_GE(out.offset, 0);
    ASSERT_LE(out.offset + out.size, static_cast<std::int64_t>(input.size()));
    EXPECT_EQ(got, Slice(input, static_cast<std::size_t>(out.offset), got.size()));
  }
}

void ExpectScanEndsWithInputSlices(std::initializer_list<Kind> kinds, const Bytes& input) {
  ScanRun run;
  ScanOnly(run, kinds, input);
  ExpectOutputsAreInputSlices(run, input);
  EXPECT_GE(run.ctx.Position, static_cast<std::int64_t>(input.size()));
}

void ExpectSamplesComeOutBackToBack(Kind kind, const std::string& ext,
                                    const std::vector<std::string>& names,
                                    const std::function<Bytes(const Bytes&)>& carve) {
  Bytes input = Filler(123);
  std::vector<Bytes> wants;
  std::vector<std::int64_t> offsets;
  for (const std::string& name : names) {
    const Bytes file = ReadTestData(name);
    wants.push_back(carve ? carve(file) : file);
    offsets.push_back(static_cast<std::int64_t>(input.size() + file.size() - wants.back().size()));
    Append(input, file);
  }
  Append(input, Filler(45, 2));
  ScanRun run;
  ScanOnly(run, {kind}, input);
  ASSERT_EQ(run.host.outputs.size(), names.size());
  for (std::size_t n = 0; n < names.size(); ++n) {
    SCOPED_TRACE(names[n]);
    EXPECT_EQ(run.Output(n), wants[n]);
    EXPECT_EQ(run.host.outputs[n].offset, offsets[n]);
    EXPECT_EQ(run.host.outputs[n].kind, ext);
    EXPECT_EQ(std::filesystem::path(run.host.outputs[n].name).filename(),
              "ANT000" + std::to_string(n) + "." + ext);
  }
}

void ExpectEveryCutIsWrittenAsFarAsItGoes(Kind kind, const Bytes& object, std::size_t before,
                                          std::size_t shortestTaken) {
  for (std::size_t cut = 0; cut < object.size(); ++cut) {
    SCOPED_TRACE(::testing::Message() << "cut at " << cut);
    ScanRun run;
    ScanOnly(run, {kind}, Join({Filler(before), Slice(object, 0, cut)}));
    if (cut < shortestTaken) {
      EXPECT_TRUE(run.host.outputs.empty());
      continue;
    }
    ASSERT_EQ(run.host.outputs.size(), 1u);
    EXPECT_EQ(run.Output(0), Slice(object, 0, cut));
  }
}

void ExpectCloseDuringTheCopyStopsAtOnce(Kind kind, const Bytes& object, int closeAt,
                                         const std::string& ext, std::size_t written) {
  ScanRun run;
  run.CountCopyCalls(closeAt);
  ScanOnly(run, {kind}, object);
  EXPECT_TRUE(run.host.outputs.empty());
  EXPECT_EQ(run.ctx.Flags & (Flag::InputOpen | Flag::OutputOpen), 0u);
  EXPECT_EQ(ReadFile(run.dir.File("ANT0000." + ext)), Slice(object, 0, written));
}

void ExpectRandomSoupsScanSafely(std::initializer_list<Kind> kinds, std::uint32_t seed,
                                 const PieceMaker& addPiece, Profile profile) {
  std::mt19937 rng(seed);
  std::size_t carved = 0;
  for (int round = 0; round < 150; ++round) {
    SCOPED_TRACE(::testing::Message() << "round " << round);
    Bytes input;
    for (int piece = 0; piece < 12; ++piece) addPiece(input, rng, round);
    ScanRun run;
    run.ctx.profile = profile;
    ASSERT_TRUE(ScanUntilEndOrGuard(run, kinds, input)) << "the scan did not end";
    carved += run.host.outputs.size();
    ExpectOutputsAreInputSlices(run, input);
    if (::testing::Test::HasFatalFailure()) return;
  }
  EXPECT_GT(carved, 50u);
}

void AppendRandomBytes(Bytes& input, std::mt19937& rng, int most) {
  for (int i = static_cast<int>(rng() % static_cast<unsigned>(most)); i > 0; --i) {
    input.push_back(static_cast<std::uint8_t>(rng()));
  }
}

void AppendDamagedSample(Bytes& input, std::mt19937& rng, const std::vector<Bytes>& samples,
                         std::size_t reach) {
  Bytes object = samples[rng() % samples.size()];
  for (int k = static_cast<int>(rng() % 4); k > 0; --k) {
    const std::size_t within = rng() % 4 != 0 ? std::min(reach, object.size()) : object.size();
    object[rng() % within] = static_cast<std::uint8_t>(rng());
  }
  if (rng() % 8 == 0) object.resize(rng() % object.size());
  Append(input, object);
}

void ExpectDamagedSamplesScanSafely(std::initializer_list<const char*> names,
                                    std::initializer_list<Kind> kinds, std::uint32_t seed) {
  std::mt19937 rng(seed);
  std::size_t carved = 0;
  for (const char* name : names) {
    const Bytes sample = ReadTestData(name);
    for (int round = 0; round < 20; ++round) {
      SCOPED_TRACE(::testing::Message() << name << " round " << round);
      Bytes damaged = sample;
      for (int n = 1 + static_cast<int>(rng() % 4); n > 0; --n) {
        damaged[rng() % damaged.size()] = static_cast<std::uint8_t>(rng());
      }
      if (round % 3 == 0) damaged.resize(rng() % damaged.size());
      const Bytes input = Join({Filler(5), damaged, sample});
      ScanRun run;
      run.ctx.profile = Profile::Thorough;
      ASSERT_TRUE(ScanUntilEndOrGuard(run, kinds, input)) << "the scan did not end";
      ExpectOutputsAreInputSlices(run, input);
      carved += run.host.outputs.size();
    }
  }
  EXPECT_GE(carved, names.size() * 20u);
}

}  // namespace sorvend::test
