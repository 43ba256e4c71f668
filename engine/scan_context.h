// The one record of scanner state, shared by the scan loop, every carver and the front end.
#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "engine/byte_stream.h"
#include "engine/kinds.h"

namespace sorvend {

// How objects are recognised. Classic takes the ten kinds by their historical rules, output
// for output as it always has. Thorough validates every object by its format's structure
// before writing a byte, ends it at its last valid unit and knows every kind.
enum class Profile : std::uint8_t { Classic, Thorough };

// The number of kinds a profile knows; they are the first ones of Kind.
constexpr int KindCount(Profile profile) {
  return profile == Profile::Classic ? kClassicKindCount : kKindCount;
}

// One container an object was found in: an archive entry or a compressed stream whose decoded
// bytes were scanned as an input of their own.
struct ContainerRef {
  std::string kind;  // "zip", "gzip", "zlib", "xz", "bzip2", "zstd", "lz4", "7z", "cab", "lzh"
  std::int64_t offset = 0;  // where the container starts in the bytes it was found in
  std::string entry;        // the entry's name where the container names its entries, else ""
  bool operator==(const ContainerRef&) const = default;
};

// One output the engine has written (or, in a dry run, would have written).
struct OutputRecord {
  std::string name;     // full path as NextOutputName made it
  std::string kind;     // the extension without its dot, as written ("BMP", "ogg", ...)
  std::int64_t offset;  // where the object starts in the input (in the innermost decoded bytes)
  std::int64_t size;    // bytes written
  // The object's structure broke or the input ended before its proper end; what was written
  // is its valid beginning.
  bool cut = false;
  // The containers the object lies in, outermost first: the first one's offset lies in the
  // input, each further one's in the decoded bytes of the one before, and `offset` in the
  // decoded bytes of the last. Empty for an object found in the input itself.
  std::vector<ContainerRef> within = {};
};

// What the engine needs of its front end (the window, the command line, a test).
class ScanHost {
 public:
  virtual ~ScanHost() = default;
  // Asked at the moment a lead byte of that kind is met.
  virtual bool IsTicked(Kind kind) = 0;
  virtual void AppendLog(const std::string& line) = 0;
  virtual void EnableProgressTimer(bool enabled) = 0;
  virtual void SetProgress(int value) = 0;
  // Lets the front end handle whatever is pending. The engine calls it once per
  // ResponsiveInterval() units of work (bytes walked or copied), not once per byte.
  virtual void KeepResponsive() = 0;
  virtual std::int64_t ResponsiveInterval() const { return std::int64_t{1} << 16; }
  virtual void OutputWritten(const OutputRecord& record) = 0;
  // The output could not be created, or a write to it failed (a full disk, a folder that went).
  virtual void OutputFailed(const std::string& name) = 0;
  // Unpacking met a limit or a container it had to leave closed; `message` says which and
  // where ("decoded-size limit reached at zip@0x1f00"). The scan goes on behind it.
  virtual void UnpackLimitReached(const std::string& message) { AppendLog("       " + message); }
};

class ByteView;
struct Extent;

// A rule for a kind without a signature: tried only where an object must begin, with the
// candidate's lead at that place (see MeasureEntry).
struct AnchoredRule {
  Kind kind;
  bool (*measure)(ByteView& in, std::int64_t lead, Extent& out);
};

// The engine's own rules of that sort, in the order they are tried.
std::span<const AnchoredRule> EngineAnchoredRules();

namespace Flag {
inline constexpr std::uint32_t InputOpen = 0x01;
inline constexpr std::uint32_t OutputOpen = 0x02;
inline constexpr std::uint32_t Busy = 0x10;
}  // namespace Flag

class Unpacker;

struct ScanContext {
  InputStream InFile;
  OutputStream OutFile;
  // 64-bit so that inputs of 2 GiB and more are walked to their end; the carvers' header
  // arithmetic stays 32-bit.
  std::int64_t FileSize = 0;
  std::int64_t Position = 0;
  std::int32_t OutputCount = 0;
  std::string SourceDir;
  std::string OutName;
  std::string OutExt;
  std::array<std::uint8_t, 44> Header{};
  std::uint32_t Flags = 0;

  ScanHost* Host = nullptr;
  // Carve as usual but write no file.
  bool DryRun = false;
  // The path being scanned, so that an output never replaces it.
  std::string InputPath;
  // Units of work left before the next real KeepResponsive call.
  std::int64_t ResponsiveBudget = 0;
  // Offset in the input where the object being written starts.
  std::int64_t OutputStart = 0;
  // Chosen per batch; the front end sets it before the first ScanFile of a batch.
  Profile profile = Profile::Classic;
  // End of the last object written from this input: an object that starts before its lead
  // byte never reaches back over it.
  std::int64_t ObjectFloor = 0;
  // The rules tried where an object must begin (thorough profile only).
  std::span<const AnchoredRule> anchoredRules = EngineAnchoredRules();
  // Decodes compressed containers and scans what they hold (thorough profile only); none turns
  // unpacking off. The front end owns it and sets it with the profile.
  Unpacker* unpacker = nullptr;
  // The containers the bytes being scanned lie in, outermost first; empty for an input file.
  std::vector<ContainerRef> Within;
};

// The close handler's part: closes whatever stream is still open and clears its flag. The
// engine's loops notice the cleared InputOpen on their next stop test and touch neither again.
void CloseStreams(ScanContext& ctx);

}  // namespace sorvend
