// What the container readers share: decoding a compressed stream that lies in the input being
// scanned, keeping its decoded bytes within the limits, and scanning them.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "engine/containers/containers.h"
#include "engine/measure.h"
#include "engine/unpack.h"

namespace sorvend {

// Buffers reused from stream to stream, so that a container costs no allocation of its own.
struct UnpackScratch {
  std::vector<std::uint8_t> out = std::vector<std::uint8_t>(std::size_t{1} << 18);
  BareZlibTrial zlibTrial;
};

// The decoded bytes of one stream or entry, in memory while they are few, then in an unlinked
// temporary file. Put refuses bytes beyond a limit; the bytes before it stay.
class DecodedSink {
 public:
  enum class Limit { None, Stream, Ratio, Input, Disk };

  explicit DecodedSink(Unpacker& unpacker);
  ~DecodedSink();
  DecodedSink(const DecodedSink&) = delete;
  DecodedSink& operator=(const DecodedSink&) = delete;

  // Takes n decoded bytes, `compressedUsed` being the compressed bytes consumed so far (0 for
  // stored data, which has no ratio). False once a limit is reached: the bytes up to it are kept.
  bool Put(const std::uint8_t* data, std::size_t n, std::int64_t compressedUsed);
  std::int64_t Size() const { return size_; }
  Limit Reached() const { return reached_; }
  // A stream over the bytes for the scan, or nullptr; valid while the sink lives.
  std::FILE* OpenForReading();
  // Empties the sink for the next entry.
  void Reset();

 private:
  bool Spill();

  Unpacker& unpacker_;
  std::vector<std::uint8_t> memory_;
  int fd_ = -1;
  std::int64_t size_ = 0;
  Limit reached_ = Limit::None;
};

enum class Codec { Stored, Deflate, Zlib, Gzip, Bzip2, LzmaAlone, Xz, Zstd, Lz4Frame };

enum class DecodeEnd {
  StreamEnd,   // the stream's own end (its checksum checked where it has one)
  Damaged,     // the decoder met bytes it cannot decode
  InputEnd,    // the compressed bytes ran out first: the stream is cut
  Limit,       // the sink took no more
  Refused,     // the decoder would not start (an unknown option)
  Dictionary,  // the stream asks for a dictionary above the limit
  Stopped,     // the front end stopped the scan
};

struct DecodeResult {
  DecodeEnd end = DecodeEnd::Refused;
  std::int64_t consumed = 0;  // compressed bytes used
};

// Decodes the stream of `codec` at `offset` of ctx's input, reading at most `length` bytes (-1:
// up to the input's end), into `sink`. `prefix` is fed to the decoder before the input's
// bytes (the header the LZMA entries of a ZIP leave out). Keeps the front end responsive.
DecodeResult DecodeStream(ScanContext& ctx, Codec codec, std::int64_t offset, std::int64_t length,
                          DecodedSink& sink, const std::vector<std::uint8_t>& prefix = {});

// Whether one more level of containers may be opened below ctx; logs the depth limit once per
// container when not.
bool MayOpenContainer(ScanContext& ctx, const ContainerRef& ref);

// Scans the sink's bytes as an input of its own below ctx (ContainerRef `ref`), with the
// batch's numbering, and names any limit the sink reached in the log. Returns false when the
// front end stopped the scan.
bool ScanDecoded(ScanContext& ctx, DecodedSink& sink, const ContainerRef& ref);

// Names a limit reached in `ref` (below ctx) to the front end, in one line.
void ReportLimit(ScanContext& ctx, const std::string& what, const ContainerRef& ref);
// What the line says for a stream or archive that asks for too large a dictionary.
inline constexpr const char* kDictionaryLimitText = "dictionary limit reached";

}  // namespace sorvend
