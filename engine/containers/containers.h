// The containers the thorough scan opens: one entry per format, called at its signature from
// the thorough table (see UnpackEntry in engine/unpack.h), and the screens of the weak ones.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

#include "engine/unpack.h"

namespace sorvend {

// ZIP and the formats built on it (pk3, jar, apk, epub, OOXML, ODF): the local file headers,
// walked one behind the other.
std::int64_t UnpackZip(ScanContext& ctx, std::int64_t lead);
// Compressed streams, each by its magic: one gzip member, one xz stream, one bzip2 stream, one
// zstd frame, one LZ4 frame, and a bare zlib stream.
std::int64_t UnpackGzip(ScanContext& ctx, std::int64_t lead);
std::int64_t UnpackXz(ScanContext& ctx, std::int64_t lead);
std::int64_t UnpackBzip2(ScanContext& ctx, std::int64_t lead);
std::int64_t UnpackZstd(ScanContext& ctx, std::int64_t lead);
std::int64_t UnpackLz4(ScanContext& ctx, std::int64_t lead);
std::int64_t UnpackZlib(ScanContext& ctx, std::int64_t lead);
// Archives read through libarchive: 7z, Microsoft cabinets and LZH (whose method name stands 2
// bytes into the archive: its lead is there).
std::int64_t Unpack7z(ScanContext& ctx, std::int64_t lead);
std::int64_t UnpackCab(ScanContext& ctx, std::int64_t lead);
std::int64_t UnpackLzh(ScanContext& ctx, std::int64_t lead);

// The two header bytes of a bare zlib stream are common in machine code (78 01, 78 5E, 78 9C
// and 78 DA), so the first deflate block header is checked in the bytes in view before any
// decoder is asked: not the reserved block type, a stored block's length and its complement,
// a dynamic block's code counts within their ranges.
bool ScreenZlib(const std::uint8_t* p, std::size_t avail, std::int64_t left);
// The same for a gzip member, behind its header's fields where they are in view: an extra
// field that fits, a name and a comment that end within a file name's length.
bool ScreenGzip(const std::uint8_t* p, std::size_t avail, std::int64_t left);

// Inflates the start of a zlib stream or of bare deflate data with a decoder kept from
// candidate to candidate, so that a candidate costs no decoder of its own.
class BareZlibTrial {
 public:
  BareZlibTrial();
  ~BareZlibTrial();
  BareZlibTrial(const BareZlibTrial&) = delete;
  BareZlibTrial& operator=(const BareZlibTrial&) = delete;
  // True when p[0..n) (the stream's first bytes; `whole` when the input ends behind them)
  // decodes without error into at least a few bytes, or is a whole stream. `raw`: deflate data
  // without the zlib header and checksum, as in a gzip member.
  bool Decodes(const std::uint8_t* p, std::size_t n, bool whole, bool raw = false);

 private:
  struct State;
  std::unique_ptr<State> state_;
};

}  // namespace sorvend
