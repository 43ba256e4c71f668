#include "tests/support/test_support.h"

#include <unistd.h>

#include <atomic>
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

Bytes Slice(const Bytes& b, std::size_t offset, std::size_t n) {
  return Bytes(b.begin() + static_cast<std::ptrdiff_t>(offset),
               b.begin() + static_cast<std::ptrdiff_t>(offset + n));
}

void Scan(ScanRun& run, const Bytes& data) {
  run.input = run.dir.File("input.bin");
  WriteFile(run.input, data);
  run.ctx.Host = &run.host;
  run.ctx.SourceDir = run.dir.dir();
  run.ctx.OutputCount = 0;
  ScanFile(run.ctx, run.input);
}

void TickOnly(RecordingHost& host, std::initializer_list<Kind> kinds) {
  for (bool& t : host.ticked) t = false;
  for (Kind k : kinds) host.ticked[static_cast<int>(k)] = true;
}

}  // namespace sorvend::test
