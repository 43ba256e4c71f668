// libFuzzer target: the whole engine in both profiles, every kind ticked, over the fuzzer's
// bytes as an input file, with the engine's promises checked after every run. The thorough
// profile runs twice: as it is, and unpacking containers with small limits.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "engine/scan.h"
#include "engine/unpack.h"

namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<std::uint8_t>;

class Host final : public sorvend::ScanHost {
 public:
  bool IsTicked(sorvend::Kind) override { return true; }
  void AppendLog(const std::string& line) override { log.push_back(line); }
  void EnableProgressTimer(bool) override {}
  void SetProgress(int) override {}
  void KeepResponsive() override {}
  std::int64_t ResponsiveInterval() const override { return 4096; }
  void OutputWritten(const sorvend::OutputRecord& r) override { outputs.push_back(r); }
  void OutputFailed(const std::string& name) override { failed.push_back(name); }
  void UnpackLimitReached(const std::string& message) override { limits.push_back(message); }

  std::vector<std::string> log, failed, limits;
  std::vector<sorvend::OutputRecord> outputs;
};

[[noreturn]] void Broken(const char* what, const std::string& detail = {}) {
  std::fprintf(stderr, "invariant broken: %s %s\n", what, detail.c_str());
  std::abort();
}

Bytes Read(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// A scratch folder on a memory file system where there is one, made once per process.
const fs::path& Scratch() {
  static const fs::path dir = [] {
    fs::path base = fs::exists("/dev/shm") ? fs::path("/dev/shm") : fs::temp_directory_path();
    fs::path d = base / ("sorvend-fuzz-" + std::to_string(::getpid()));
    fs::create_directories(d);
    return d;
  }();
  return dir;
}

bool IsRangeOfInput(const Bytes& input, const Bytes& out, std::size_t at, std::size_t skip) {
  return out.size() >= skip && at <= input.size() && out.size() - skip <= input.size() - at &&
         std::memcmp(out.data() + skip, input.data() + at, out.size() - skip) == 0;
}

// A thorough output is one range of the input, starting at its recorded offset; a bitmap
// stored without its file header has a rebuilt 14-byte one in front. Outputs never overlap.
void CheckThoroughOutput(const Bytes& input, const sorvend::OutputRecord& r, std::int64_t& floor) {
  const Bytes out = Read(r.name);
  if (static_cast<std::int64_t>(out.size()) != r.size) Broken("size", r.name);
  if (r.offset < floor || static_cast<std::size_t>(r.offset) >= input.size()) {
    Broken("offset", r.name);
  }
  const auto at = static_cast<std::size_t>(r.offset);
  const bool whole = IsRangeOfInput(input, out, at, 0);
  const bool rebuiltHeader = r.kind == "BMP" && out.size() >= 14 && out[0] == 'B' &&
                             out[1] == 'M' && IsRangeOfInput(input, out, at, 14);
  if (!whole && !rebuiltHeader) Broken("output is not one range of the input", r.name);
  floor = r.offset + static_cast<std::int64_t>(out.size()) - (whole ? 0 : 14);
}

void CheckOutput(const Bytes& input, const sorvend::OutputRecord& r, std::size_t index,
                 sorvend::Profile profile, std::int64_t& floor) {
  char want[32];
  std::snprintf(want, sizeof want, "ANT%04zu.", index);
  if (fs::path(r.name).filename().string().rfind(want, 0) != 0) Broken("numbering", r.name);
  if (profile == sorvend::Profile::Thorough) {
    if (r.size <= 0) Broken("empty thorough output", r.name);
    if (r.within.empty()) {
      CheckThoroughOutput(input, r, floor);
      return;
    }
    // Found in decoded bytes: only its size can be checked against the input, and its first
    // container lies in the input at or behind the previous output.
    if (static_cast<std::int64_t>(Read(r.name).size()) != r.size) Broken("size", r.name);
    if (r.within.front().offset < floor ||
        static_cast<std::size_t>(r.within.front().offset) >= input.size()) {
      Broken("container offset", r.name);
    }
    return;
  }
  if (r.cut) Broken("classic output marked cut", r.name);
  const Bytes out = Read(r.name);
  if (static_cast<std::int64_t>(out.size()) != r.size) Broken("size", r.name);
  if (r.offset < 0 || static_cast<std::size_t>(r.offset) > input.size()) Broken("offset", r.name);
  const auto at = static_cast<std::size_t>(r.offset);
  if (r.kind == "BMP") {
    // A rebuilt 54-byte header, then bytes from behind the 40-byte information header.
    if (out.size() < 54 || out[0] != 'B' || out[1] != 'M') Broken("bitmap header", r.name);
    const std::size_t body = at + 40;
    if (out.size() > 54 && (body > input.size() || out.size() - 54 > input.size() - body ||
                            std::memcmp(out.data() + 54, input.data() + body, out.size() - 54))) {
      Broken("bitmap body not from the input", r.name);
    }
    return;
  }
  if (out.size() > input.size() - at || std::memcmp(out.data(), input.data() + at, out.size())) {
    Broken("output bytes not from the input", r.name);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const Bytes input(data, data + size);
  const fs::path dir = Scratch();
  const std::string path = (dir / "input").string();
  {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
  }

  // Small limits, so that a few fuzzed bytes reach each of them quickly.
  sorvend::UnpackLimits limits;
  limits.streamBytes = 1 << 20;
  limits.inputBytes = 4 << 20;
  limits.memoryBytes = 64 << 10;
  limits.depth = 3;
  limits.dictionaryBytes = 16 << 20;
  sorvend::Unpacker unpacker(limits);
  for (int run = 0; run < 3; ++run) {
    const sorvend::Profile profile =
        run == 0 ? sorvend::Profile::Classic : sorvend::Profile::Thorough;
    Host host;
    sorvend::ScanContext ctx;
    ctx.Host = &host;
    ctx.SourceDir = dir.string() + "/";
    ctx.OutputCount = 0;
    ctx.profile = profile;
    if (run == 2) ctx.unpacker = &unpacker;
    sorvend::ScanFile(ctx, path);

    if (!host.log.empty()) Broken("input could not be opened");
    if (!host.failed.empty()) Broken("output failed", host.failed.front());
    if (ctx.Flags != 0 || ctx.InFile.IsOpen() || ctx.OutFile.IsOpen()) Broken("stream left open");
    const std::int64_t end = size == 0 ? 1 : static_cast<std::int64_t>(size);
    // A classic bitmap header cut by the end of the input still moves Position past its 40
    // bytes; a thorough walk ends exactly at the end.
    const std::int64_t slack = profile == sorvend::Profile::Classic ? 40 : 0;
    if (ctx.Position < end || ctx.Position > end + slack) {
      Broken("walk did not end at the end of the input",
             std::to_string(ctx.Position) + " of " + std::to_string(end));
    }
    if (ctx.OutputCount != static_cast<std::int32_t>(host.outputs.size())) Broken("number gap");
    std::int64_t floor = 0;
    for (std::size_t i = 0; i < host.outputs.size(); ++i) {
      CheckOutput(input, host.outputs[i], i, profile, floor);
    }
    if (Read(path) != input) Broken("input modified");
    for (const auto& r : host.outputs) fs::remove(r.name);
  }
  return 0;
}
