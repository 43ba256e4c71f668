#include "engine/prefilter.h"

#include <array>
#include <bit>
#include <bitset>
#include <tuple>
#include <utility>

#include "engine/dispatch_table.h"

#if defined(__SSE2__) || defined(_M_X64)
#include <emmintrin.h>
#define SORVEND_HAVE_SSE2 1
#endif

namespace sorvend {
namespace {

constexpr bool Matches(const DispatchEntry& e, std::uint8_t lead, std::uint8_t next) {
  if (e.lead != lead) return false;
  for (const FollowByte& f : e.follow) {
    if ((next & f.mask) == f.value) return true;
  }
  return false;
}

// Every (lead, next) pair that can begin an object, as one bit per pair.
const std::bitset<65536>& PairTable() {
  static const std::bitset<65536> table = [] {
    std::bitset<65536> t;
    for (const DispatchEntry& e : kDispatchTable) {
      for (int next = 0; next < 256; ++next) {
        if (Matches(e, e.lead, static_cast<std::uint8_t>(next))) t.set(e.lead << 8 | next);
      }
    }
    return t;
  }();
  return table;
}

const std::array<bool, 256>& LeadTable() {
  static const std::array<bool, 256> table = [] {
    std::array<bool, 256> t{};
    for (const DispatchEntry& e : kDispatchTable) t[e.lead] = true;
    return t;
  }();
  return table;
}

#if SORVEND_HAVE_SSE2
// Bytes of v1 that pattern F of entry I accepts. Everything is decided at compile time, so
// that the search is the same few instructions at any optimisation level.
template <std::size_t I, std::size_t F>
inline __m128i MatchFollow(__m128i v1) {
  constexpr FollowByte f = kDispatchTable[I].follow[F];
  const __m128i value = _mm_set1_epi8(static_cast<char>(f.value));
  if constexpr (f.mask == kNoFollow.mask && f.value == kNoFollow.value) {
    return _mm_setzero_si128();
  } else if constexpr (f.mask == 0xFF) {
    return _mm_cmpeq_epi8(v1, value);
  } else {
    return _mm_cmpeq_epi8(_mm_and_si128(v1, _mm_set1_epi8(static_cast<char>(f.mask))), value);
  }
}

// Bytes of v0 that are entry I's lead byte and whose successor (in v1) it accepts.
template <std::size_t I>
inline __m128i MatchEntry(__m128i v0, __m128i v1) {
  static_assert(std::tuple_size_v<decltype(DispatchEntry::follow)> == 2);
  const __m128i lead = _mm_cmpeq_epi8(v0, _mm_set1_epi8(static_cast<char>(kDispatchTable[I].lead)));
  return _mm_and_si128(lead, _mm_or_si128(MatchFollow<I, 0>(v1), MatchFollow<I, 1>(v1)));
}

template <std::size_t... I>
inline int MatchMask(__m128i v0, __m128i v1, std::index_sequence<I...>) {
  __m128i any = _mm_setzero_si128();
  ((any = _mm_or_si128(any, MatchEntry<I>(v0, v1))), ...);
  return _mm_movemask_epi8(any);
}
#endif

}  // namespace

bool IsLeadByte(int byte) {
  return byte >= 0 && byte < 256 && LeadTable()[byte];
}

std::size_t FindCandidateScalar(const std::uint8_t* data, std::size_t n) {
  const std::bitset<65536>& pairs = PairTable();
  for (std::size_t i = 0; i < n; ++i) {
    if (pairs[data[i] << 8 | data[i + 1]]) return i;
  }
  return n;
}

std::size_t FindCandidate(const std::uint8_t* data, std::size_t n) {
  std::size_t i = 0;
#if SORVEND_HAVE_SSE2
  constexpr auto kEntries = std::make_index_sequence<kDispatchTable.size()>();
  // 16 positions at a time; the second load supplies each position's successor, which for the
  // last position is data[i + 16], still within the n + 1 readable bytes.
  for (; i + 16 <= n; i += 16) {
    const __m128i v0 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(data + i));
    const __m128i v1 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(data + i + 1));
    const int mask = MatchMask(v0, v1, kEntries);
    if (mask != 0)
      return i + static_cast<std::size_t>(std::countr_zero(static_cast<unsigned>(mask)));
  }
#endif
  return i + FindCandidateScalar(data + i, n - i);
}

}  // namespace sorvend
