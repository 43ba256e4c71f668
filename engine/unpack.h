// Unpacking in the thorough profile: compressed streams and archives met by the scan are
// decoded, and their decoded bytes are scanned as inputs of their own by the same engine, at
// any depth up to a limit. What is found inside is written as ordinary outputs; a container
// itself is never an output.
//
// Decoded bytes are kept in memory while they are few and spill to an unlinked temporary file
// in $TMPDIR (/tmp when unset) beyond that, since the measures read far ahead and behind. Such
// a file has no name from the start, so none outlives the run, even a killed one.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "engine/scan_context.h"

namespace sorvend {

struct UnpackLimits {
  // Decoded bytes of one stream or archive entry.
  std::int64_t streamBytes = std::int64_t{1} << 30;
  // Decoded bytes of one input file, all streams at every depth together.
  std::int64_t inputBytes = std::int64_t{4} << 30;
  // A stream stops once it has decoded this many times the compressed bytes it used so far
  // (counted as at least kRatioFloor, so that a short stream is never cut for its header).
  std::int64_t ratio = 1000;
  // Containers inside containers, the outermost counting 1.
  int depth = 8;
  // A stream that needs a larger dictionary (window) is refused.
  std::uint64_t dictionaryBytes = std::uint64_t{256} << 20;
  // Decoded bytes kept in memory before they spill to a temporary file.
  std::int64_t memoryBytes = std::int64_t{1} << 20;

  static constexpr std::int64_t kRatioFloor = 4096;
};

// The limits of --unpack-limit SIZE: each stream may decode SIZE bytes, an input four times as
// many, and the ratio grows with SIZE in the same proportion (never below the defaults).
UnpackLimits LimitsForStreamSize(std::int64_t streamBytes);

struct UnpackScratch;

// Unpacking's state for a batch; the front end keeps one and points ScanContext::unpacker at it.
class Unpacker {
 public:
  explicit Unpacker(const UnpackLimits& limits = {});
  ~Unpacker();
  Unpacker(const Unpacker&) = delete;
  Unpacker& operator=(const Unpacker&) = delete;

  const UnpackLimits& Limits() const { return limits_; }
  // The scan calls it when an input file begins: its decoded bytes are counted from zero.
  void BeginInput();

  // Bytes decoded for the current input so far.
  std::int64_t decodedThisInput = 0;
  // The input's limit has been named in the log already.
  bool inputLimitLogged = false;
  // Buffers and decoder state reused from stream to stream.
  UnpackScratch& Scratch() { return *scratch_; }

 private:
  UnpackLimits limits_;
  std::unique_ptr<UnpackScratch> scratch_;
};

// A container's entry in the thorough table: `lead` is the offset of its signature's first
// byte. Decodes the container and scans what it holds; returns where the container ends (the
// walk resumes there), or -1 when it is refused (the walk goes on behind `lead`).
using UnpackEntry = std::int64_t (*)(ScanContext& ctx, std::int64_t lead);

// The text for a container in the log: "zip@0x1f00 \"a/b.wav\"".
std::string DescribeContainer(const ContainerRef& ref);

}  // namespace sorvend
