// Shared helpers for the tests: scratch folders, byte builders and a recording front end.
#pragma once

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <initializer_list>
#include <iterator>
#include <map>
#include <random>
#include <string>
#include <utility>
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
// A whole file as text, and text written as a whole file.
std::string ReadText(const std::string& path);
void WriteText(const std::string& path, const std::string& text);
// A file that holds each piece's bytes at its offset and holes elsewhere: inputs of many
// gigabytes that take no room.
void WriteSparseFile(const std::string& path,
                     std::initializer_list<std::pair<std::int64_t, Bytes>> pieces);
// Every entry under `root` by its relative path, with what it is: a regular file's bytes, a
// link's target, or a folder. Two snapshots compare equal when nothing there was changed.
std::map<std::string, std::string> TreeSnapshot(const std::filesystem::path& root);

// `path` is a regular file of its own (no link, no other name) that holds exactly `data`.
void ExpectFileOfItsOwn(const std::string& path, const Bytes& data);

// Builders for little- and big-endian fields and text.
void AppendLe16(Bytes& b, std::uint16_t v);
void AppendLe32(Bytes& b, std::uint32_t v);
void AppendBe16(Bytes& b, std::uint16_t v);
void AppendBe32(Bytes& b, std::uint32_t v);
void AppendText(Bytes& b, const std::string& s);
void Append(Bytes& b, const Bytes& more);
// Overwrite a field in place.
void SetLe32(Bytes& b, std::size_t at, std::uint32_t v);
void SetBe16(Bytes& b, std::size_t at, std::uint16_t v);
void SetBe32(Bytes& b, std::size_t at, std::uint32_t v);
// Offset of the first `text` in b at or after `from`; the test fails when there is none.
std::size_t FindText(const Bytes& b, const std::string& text, std::size_t from = 0);
// Deterministic bytes that hold no lead byte of any carver.
Bytes Filler(std::size_t n, std::uint8_t seed = 1);
Bytes Slice(const Bytes& b, std::size_t offset, std::size_t n);
// The parts one after the other.
Bytes Join(std::initializer_list<Bytes> parts);
// `b` with the bytes from `offset` on replaced by `bytes`.
Bytes Patched(Bytes b, std::size_t offset, std::initializer_list<std::uint8_t> bytes);

// A small deterministic generator for test inputs: the same numbers on every platform.
class Lcg {
 public:
  explicit Lcg(std::uint32_t seed) : x_(seed) {}
  std::uint32_t operator()() {
    x_ = x_ * 1103515245u + 12345u;
    return x_ >> 8;
  }

 private:
  std::uint32_t x_;
};

// Pixel bytes of a 24-bit bitmap: rows of 3 bytes a pixel, padded to 4 bytes.
std::size_t DibPixelBytes(std::int32_t width, std::int32_t height);
// A 24-bit bitmap as a program resource stores it: the 40-byte information header and the
// pixels (filler), no file header. Written out it gets a rebuilt 54-byte header in front.
Bytes BareDib(std::int32_t width, std::int32_t height, std::uint8_t seed = 1);
// The 5 x 3 one: 88 bytes stored, 102 bytes once written.
Bytes BareDib(std::uint8_t seed = 1);

// A front end that records everything the engine tells it. Kinds are all ticked by default;
// `onKeepResponsive` runs inside each real KeepResponsive call (to untick a switch, close the
// streams, and so on).
class RecordingHost : public ScanHost {
 public:
  RecordingHost() { std::fill(std::begin(ticked), std::end(ticked), true); }
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

  bool ticked[kKindCount];
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
  // From the next scan on, KeepResponsive reaches the host after every byte, and the calls made
  // while an output is open are counted in `copyCalls`. At the `closeAt`-th of them (0: never)
  // the streams are closed, as when the window is closed during a copy.
  void CountCopyCalls(int closeAt = 0);
  int copyCalls = 0;
};

// Writes data as "input.bin", scans it once (OutputCount starts at 0) and returns the run.
void Scan(ScanRun& run, const Bytes& data);
// Only the given kinds ticked.
void TickOnly(RecordingHost& host, std::initializer_list<Kind> kinds);
// Scan with only the given kinds ticked.
void ScanOnly(ScanRun& run, std::initializer_list<Kind> kinds, const Bytes& data);
// ScanOnly with a KeepResponsive call after every byte; past `maxCalls` calls the streams are
// closed, so that a carver caught in a loop ends the scan instead of hanging the test. Returns
// whether the scan ended before that.
bool ScanUntilEndOrGuard(ScanRun& run, std::initializer_list<Kind> kinds, const Bytes& data,
                         int maxCalls = 100000);

// Every output is the input's bytes at its recorded offset, as long as its recorded size:
// nothing was made up.
void ExpectOutputsAreInputSlices(const ScanRun& run, const Bytes& input);
// Scanning `input` with only `kinds` ticked walks to its end, and every output is a slice of it.
void ExpectScanEndsWithInputSlices(std::initializer_list<Kind> kinds, const Bytes& input);
// The test data files `names`, back to back between filler bytes, scanned with only `kind`
// ticked: output n is what `carve` keeps of file n (the whole file by default; always a tail of
// it), found where that tail starts, of the kind `ext` and named ANT000n.<ext>.
void ExpectSamplesComeOutBackToBack(Kind kind, const std::string& ext,
                                    const std::vector<std::string>& names,
                                    const std::function<Bytes(const Bytes&)>& carve = {});
// `object` cut at every length behind `before` filler bytes, scanned with only `kind` ticked:
// cuts shorter than `shortestTaken` give no output, the others give exactly the cut object.
void ExpectEveryCutIsWrittenAsFarAsItGoes(Kind kind, const Bytes& object, std::size_t before,
                                          std::size_t shortestTaken);
// Scanning `object` with only `kind` ticked while the streams are closed at the `closeAt`-th
// KeepResponsive call made during the copy: no output is reported, both streams are closed, and
// ANT0000.<ext> keeps the object's first `written` bytes.
void ExpectCloseDuringTheCopyStopsAtOnce(Kind kind, const Bytes& object, int closeAt,
                                         const std::string& ext, std::size_t written);
// The thorough profile: `data` scanned with only `kinds` ticked.
void ScanThorough(ScanRun& run, std::initializer_list<Kind> kinds, const Bytes& data);
// The sample `name` (under tests/data) between filler at an odd offset, scanned thorough with
// only `kind` ticked, comes out once, whole and bit-exact, as ANT0000<ext>, not marked cut.
void ExpectThoroughSampleComesOutWhole(Kind kind, const std::string& ext, const std::string& name);
// `data` behind `before` filler bytes, scanned thorough with only `kind` ticked, gives one output
// marked cut: exactly `kept`, found at its start.
void ExpectThoroughCutTo(Kind kind, const Bytes& data, const Bytes& kept, std::size_t before = 5);
// `broken` then `good` behind filler, scanned thorough with only `kind` ticked: `kept` (the
// broken object's valid beginning) marked cut, then `good` whole where it starts.
void ExpectThoroughCutThenWhole(Kind kind, const Bytes& broken, const Bytes& kept,
                                const Bytes& good);
// Scanned thorough with only `kinds` ticked, `data` gives no output at all.
void ExpectThoroughWritesNothing(std::initializer_list<Kind> kinds, const Bytes& data);
// The first `length` bytes of `object` at the end of the input, behind filler at an odd offset,
// scanned thorough with only `kind` ticked: one output marked cut holding the object's first
// `kept` bytes, or none when `kept` is 0.
void ExpectThoroughCut(Kind kind, const Bytes& object, std::size_t length, std::size_t kept);
// `broken` followed by `good`, scanned thorough with only `kind` ticked: `broken` writes nothing
// and `good` comes out whole where it starts.
void ExpectThoroughRefusedThenFound(Kind kind, const Bytes& broken, const Bytes& good);
// `object` of a kind that starts before its lead byte, with its first 10 bytes doubling as the
// last ones of `previous` (whose bytes there do not matter): scanned thorough with both kinds
// ticked, only `previous` is written, though `object` alone is found; right behind `previous`,
// both are.
void ExpectThoroughStartStaysBehindThePreviousOutput(Kind previousKind, const Bytes& previous,
                                                     Kind kind, const Bytes& object);

// Lying inputs: 150 inputs of 12 pieces each, a piece being what `addPiece` appends (drawn from
// the generator seeded with `seed`; `round` counts the inputs). Each scan with only `kinds`
// ticked, in `profile`, must end, every output must be a slice of its input, and all rounds
// together must carve more than 50 outputs, so that the lies did reach the carver's copy loop.
using PieceMaker = std::function<void(Bytes& input, std::mt19937& rng, int round)>;
void ExpectRandomSoupsScanSafely(std::initializer_list<Kind> kinds, std::uint32_t seed,
                                 const PieceMaker& addPiece, Profile profile = Profile::Classic);
// Appends up to `most` - 1 random bytes (the catch-all piece of a random soup).
void AppendRandomBytes(Bytes& input, std::mt19937& rng, int most);
// Appends one of `samples` with up to three bytes changed, three times in four within its first
// `reach` bytes (where headers and tables lie), and one time in eight cut (a soup's piece).
void AppendDamagedSample(Bytes& input, std::mt19937& rng, const std::vector<Bytes>& samples,
                         std::size_t reach);

// Damaged samples: each of `names` (under tests/data), 20 times with one to four bytes changed
// and every third time cut, then the sample whole. Each scan with only `kinds` ticked, in the
// thorough profile, must end and write only slices of its input, and the whole sample behind
// each damaged one must come out at least.
void ExpectDamagedSamplesScanSafely(std::initializer_list<const char*> names,
                                    std::initializer_list<Kind> kinds, std::uint32_t seed);

}  // namespace sorvend::test
