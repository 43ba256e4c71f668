// Shared helpers for the tests: scratch folders, byte builders and a recording front end.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "engine/scan_context.h"

namespace sorvend::test {

using Bytes = std::vector<std::uint8_t>;

// A fresh folder under the system's temporary folder, removed with the object.
class ScratchDir {
 public:
  ScratchDir();
  ~ScratchDir();
  ScratchDir(const ScratchDir&) = delete;
  ScratchDir& operator=(const ScratchDir&) = delete;
  const std::filesystem::path& path() const { return path_; }
  // path() + "/" as text, the form SourceDir takes.
  std::string dir() const { return path_.string() + "/"; }
  std::string File(const std::string& name) const { return (path_ / name).string(); }

 private:
  std::filesystem::path path_;
};

Bytes ReadFile(const std::string& path);
void WriteFile(const std::string& path, const Bytes& data);
Bytes ReadTestData(const std::string& name);

// Builders for little- and big-endian fields and text.
void AppendLe16(Bytes& b, std::uint16_t v);
void AppendLe32(Bytes& b, std::uint32_t v);
void AppendBe16(Bytes& b, std::uint16_t v);
void AppendBe32(Bytes& b, std::uint32_t v);
void AppendText(Bytes& b, const std::string& s);
void Append(Bytes& b, const Bytes& more);
// Deterministic bytes that hold no lead byte of any carver.
Bytes Filler(std::size_t n, std::uint8_t seed = 1);
Bytes Slice(const Bytes& b, std::size_t offset, std::size_t n);

// A front end that records everything the engine tells it. Kinds are all ticked by default;
// `onKeepResponsive` runs inside each real KeepResponsive call (to untick a switch, close the
// streams, and so on).
class RecordingHost : public ScanHost {
 public:
  bool IsTicked(Kind kind) override { return ticked[static_cast<int>(kind)]; }
  void AppendLog(const std::string& line) override { log.push_back(line); }
  void EnableProgressTimer(bool enabled) override { timerEvents.push_back(enabled); }
  void SetProgress(int value) override { progress.push_back(value); }
  void KeepResponsive() override {
    ++keepResponsiveCalls;
    if (onKeepResponsive) onKeepResponsive();
  }
  std::int64_t ResponsiveInterval() const override { return interval; }
  void OutputWritten(const OutputRecord& record) override { outputs.push_back(record); }
  void OutputFailed(const std::string& name) override { failed.push_back(name); }

  bool ticked[kKindCount] = {true, true, true, true, true, true, true, true, true, true};
  std::int64_t interval = std::int64_t{1} << 16;
  std::function<void()> onKeepResponsive;
  std::vector<std::string> log;
  std::vector<bool> timerEvents;
  std::vector<int> progress;
  std::vector<OutputRecord> outputs;
  std::vector<std::string> failed;
  int keepResponsiveCalls = 0;
};

// Scans `data` written to a file in a scratch folder, with its outputs beside it.
struct ScanRun {
  ScratchDir dir;
  RecordingHost host;
  ScanContext ctx;
  std::string input;
  // Output n's bytes, by the name the engine recorded.
  Bytes Output(std::size_t n) const { return ReadFile(host.outputs.at(n).name); }
};

// Writes data as "input.bin", scans it once (OutputCount starts at 0) and returns the run.
void Scan(ScanRun& run, const Bytes& data);
// Only the given kinds ticked.
void TickOnly(RecordingHost& host, std::initializer_list<Kind> kinds);

}  // namespace sorvend::test
