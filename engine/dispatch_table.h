// Which carver the scan loop calls at which lead byte.
#pragma once

#include <array>
#include <cstdint>
#include <optional>

#include "engine/formats/formats.h"

namespace sorvend {

// A byte after the lead byte that a carver can accept: (next & mask) == value.
struct FollowByte {
  std::uint8_t mask;
  std::uint8_t value;
};
inline constexpr FollowByte kNoFollow{0x00, 0x01};  // matches no byte

struct DispatchEntry {
  std::uint8_t lead;
  // The switch the scan loop tests; none means the carver is called at every lead byte and
  // tests its switches itself.
  std::optional<Kind> kind;
  CarverEntry extract;
  // Every object the carver can take has one of these bytes right after the lead byte. The
  // scan loop skips lead bytes followed by anything else without calling the carver, which
  // would reject them; so these must never exclude a byte the carver accepts.
  std::array<FollowByte, 2> follow;
};

// Entries for the same lead byte are tried in table order until one takes the byte.
inline constexpr std::array kDispatchTable = {
    DispatchEntry{0x28, Kind::Bmp, ExtractDib, {{{0xFF, 0x00}, kNoFollow}}},    // 40, LE
    DispatchEntry{'G', Kind::Gif, ExtractGif, {{{0xFF, 'I'}, kNoFollow}}},      // "GIF8"
    DispatchEntry{'O', Kind::Ogg, ExtractOgg, {{{0xFF, 'g'}, kNoFollow}}},      // "OggS"
    DispatchEntry{'R', std::nullopt, ExtractRiff, {{{0xFF, 'I'}, kNoFollow}}},  // "RIFF"
    DispatchEntry{'m', Kind::Mov, ExtractMov, {{{0xFF, 'd'}, kNoFollow}}},      // "mdat"
    DispatchEntry{0x89, Kind::Png, ExtractPng, {{{0xFF, 'P'}, kNoFollow}}},     // 0x89 "PNG"
    DispatchEntry{0xFF, Kind::Jpg, ExtractJpeg, {{{0xFF, 0xD8}, kNoFollow}}},   // SOI
    // MPEG audio sync: the rest of the 12 sync bits, then Layer III (01) or Layer II (10).
    DispatchEntry{0xFF, Kind::Mp3, ExtractMp3, {{{0xF6, 0xF2}, {0xF6, 0xF4}}}},
};

}  // namespace sorvend
