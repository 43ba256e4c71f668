#include "engine/formats/jpeg.h"

#include <algorithm>
#include <cstring>

namespace sorvend {
namespace {

constexpr int kSoi = 0xD8;
constexpr int kEoi = 0xD9;
constexpr int kSos = 0xDA;
constexpr std::uint8_t kApp0[2] = {0xFF, 0xE0};

enum class State { Marker, Code, Length, Scan, Finish };

}  // namespace

bool IsJfif(ScanContext& ctx) {
  std::uint8_t* h = ctx.Header.data();
  ReadHeader(ctx, 0, 1);
  if (h[0] != kSoi) return false;
  ReadHeader(ctx, 1, 2);
  if (std::memcmp(h + 1, kApp0, 2) != 0) return false;
  ReadHeader(ctx, 3, 2);  // the APP0 length is not tested
  ReadHeader(ctx, 5, 4);
  return std::memcmp(h + 5, "JFIF", 4) == 0;
}

bool ExtractJpeg(ScanContext& ctx) {
  const std::int64_t lead = ctx.Position - 1;
  if (!IsJfif(ctx)) return Reject(ctx);
  if (!BeginOutput(ctx, ".JPG", lead)) return true;

  static constexpr std::uint8_t kSoiBytes[2] = {0xFF, kSoi};
  WriteBytes(ctx, kSoiBytes, 2);
  // The walk starts at the APP0 marker and copies it again.
  SeekTo(ctx, lead + 2);

  // Every byte read is written before it is looked at; the end of the input finishes the image.
  int byte = 0;
  State state = State::Marker;
  while (state != State::Finish) {
    switch (state) {
      case State::Marker:
        if (!CopyByte(ctx, byte)) {
          state = State::Finish;
        } else if (byte == 0xFF) {
          state = State::Code;
        } else {
          // Not a marker: the image ends with this byte, and the walk examines it again.
          SeekTo(ctx, ctx.Position - 1);
          state = State::Finish;
        }
        break;
      case State::Code:
        if (!CopyByte(ctx, byte) || byte == kEoi) {
          state = State::Finish;
        } else {
          state = byte == kSos ? State::Scan : State::Length;
        }
        break;
      case State::Length: {
        int hi = 0;
        int lo = 0;
        if (!CopyByte(ctx, hi) || !CopyByte(ctx, lo)) {
          state = State::Finish;
          break;
        }
        // The length counts its own two bytes. Bounded by what is left, the 2 are taken off
        // afterwards, so a segment cut off by the end stops 2 bytes short of it and the walk
        // reads those as a marker.
        const std::int64_t length = hi * 256 + lo;
        const std::int64_t body = std::min(length, Remaining(ctx)) - 2;
        const CopyEnd end = CopyBytes(ctx, body);
        if (end == CopyEnd::Stopped) return true;
        state = end == CopyEnd::EndOfInput ? State::Finish : State::Marker;
        break;
      }
      case State::Scan: {
        // No marker is interpreted here: tables, further scans and restart markers are copied
        // up to the first 0xFF 0xD9.
        int prev = 0;
        state = State::Finish;
        while (CopyByte(ctx, byte)) {
          if (KeepResponsive(ctx, 1)) return true;
          if (prev == 0xFF && byte == kEoi) break;
          prev = byte;
        }
        break;
      }
      case State::Finish:
        break;
    }
  }
  EndOutput(ctx);
  return true;
}

}  // namespace sorvend
