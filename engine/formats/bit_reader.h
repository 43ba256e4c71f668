// Fields packed most significant bit first, as MPEG audio, AAC and Flash headers pack them.
#pragma once

#include <cstdint>

namespace sorvend {

// Reads bit fields from bytes the caller holds; it never reads past the bits it is asked for,
// so the caller sizes the bytes for the fields it takes.
class MsbBits {
 public:
  constexpr explicit MsbBits(const std::uint8_t* p) : p_(p) {}

  // The next n bits (at most 32) as an unsigned number.
  constexpr std::uint32_t Take(int n) {
    std::uint32_t value = 0;
    for (int i = 0; i < n; ++i, ++at_) value = value << 1 | (p_[at_ >> 3] >> (7 - (at_ & 7)) & 1);
    return value;
  }
  // The next n bits (0 to 32) as a two's complement number.
  constexpr std::int64_t TakeSigned(int n) {
    const std::int64_t value = Take(n);
    return n > 0 && (value >> (n - 1) & 1) != 0 ? value - (std::int64_t{1} << n) : value;
  }
  constexpr void Skip(int n) { at_ += n; }
  // Bits taken so far.
  constexpr int Position() const { return at_; }

 private:
  const std::uint8_t* p_;
  int at_ = 0;
};

}  // namespace sorvend
