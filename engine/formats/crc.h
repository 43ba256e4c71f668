// CRC tables for checksums computed most significant bit first, without reflection, as FLAC
// frames and Ogg pages use them.
#pragma once

#include <array>
#include <cstdint>

namespace sorvend {

// The table of a T-wide CRC with generator polynomial kPoly (its top bit left out): entry b is
// the remainder of b followed by zero bits.
template <typename T, T kPoly>
constexpr std::array<T, 256> MsbFirstCrcTable() {
  constexpr int kWidth = 8 * sizeof(T);
  std::array<T, 256> table{};
  for (unsigned byte = 0; byte < 256; ++byte) {
    auto crc = static_cast<T>(byte << (kWidth - 8));
    for (int bit = 0; bit < 8; ++bit) {
      const bool top = (crc >> (kWidth - 1)) != 0;
      crc = static_cast<T>(crc << 1);
      if (top) crc = static_cast<T>(crc ^ kPoly);
    }
    table[byte] = crc;
  }
  return table;
}

}  // namespace sorvend
