#include "engine/prefilter.h"

#include <algorithm>
#include <array>
#include <bit>
#include <bitset>
#include <vector>

#include "engine/dispatch_table.h"

#if (defined(__GNUC__) || defined(__clang__)) && defined(__x86_64__)
#include <immintrin.h>
#define SORVEND_HAVE_AVX2_SEARCH 1
#endif

namespace sorvend {
namespace {

constexpr bool Fits(FollowByte f, std::uint8_t byte) {
  return (byte & f.mask) == f.value;
}

constexpr bool FitsNext(const Signature& s, std::uint8_t next) {
  return Fits(s.follow[0], next) || Fits(s.follow[1], next);
}

// Vector search tables: each lead byte goes to one of 8 buckets, and for the first three bytes
// of a candidate, the bucket bits of its low and of its high nibble. A position whose three
// bytes share a bucket bit may start an object; the exact test then decides. The nibble tables
// describe a superset, never less, so the vector search misses nothing.
constexpr int kBuckets = 8;
constexpr int kVectorBytes = 3;

struct SearchTables {
  std::bitset<65536> pairs;  // (lead, next) pairs some entry accepts
  std::array<bool, 256> leads{};
  bool anyDeepEntry = false;  // some entry tests the third or fourth byte
  alignas(16) std::uint8_t nibbles[kVectorBytes][2][16] = {};
};

template <const auto& kTable>
bool ExactAt(const SearchTables& t, const std::uint8_t* p) {
  if (!t.pairs[p[0] << 8 | p[1]]) return false;
  if (!t.anyDeepEntry) return true;
  for (const auto& e : kTable) {
    const Signature& s = e.signature;
    if (s.lead == p[0] && FitsNext(s, p[1]) && Fits(s.third, p[2]) && Fits(s.fourth, p[3])) {
      return true;
    }
  }
  return false;
}

// Which bytes may stand at each of the first three positions for one lead byte.
struct LeadGroup {
  std::uint8_t lead;
  std::bitset<256> at[kVectorBytes];
};

// How often a byte stands in ordinary data (machine code, tables, padding) compared with the
// average byte: zeros and 0xFF fill much of it.
constexpr std::uint64_t ByteWeight(int byte) {
  return byte == 0x00 ? 64 : byte == 0xFF ? 16 : 1;
}

// How many three-byte strings a bucket's nibble tables let through, each counted by how often
// it stands in ordinary data, so that no bucket lets runs of zeros through for want of room.
std::uint64_t BucketVolume(const std::array<std::uint16_t, 2 * kVectorBytes>& nib) {
  std::uint64_t v = 1;
  for (int pos = 0; pos < kVectorBytes; ++pos) {
    std::uint64_t weight = 0;
    for (int b = 0; b < 256; ++b) {
      if ((nib[2 * pos] >> (b & 15) & 1) != 0 && (nib[2 * pos + 1] >> (b >> 4) & 1) != 0) {
        weight += ByteWeight(b);
      }
    }
    v *= weight;
  }
  return v;
}

template <const auto& kTable>
SearchTables BuildTables() {
  SearchTables t;
  std::vector<LeadGroup> groups;
  for (const auto& e : kTable) {
    const Signature& s = e.signature;
    t.leads[s.lead] = true;
    if (s.third.mask != 0 || s.fourth.mask != 0) t.anyDeepEntry = true;
    auto g = std::find_if(groups.begin(), groups.end(),
                          [&](const LeadGroup& x) { return x.lead == s.lead; });
    if (g == groups.end()) g = groups.insert(groups.end(), LeadGroup{s.lead, {}});
    g->at[0].set(s.lead);
    for (int b = 0; b < 256; ++b) {
      const auto byte = static_cast<std::uint8_t>(b);
      if (FitsNext(s, byte)) {
        t.pairs.set(s.lead << 8 | b);
        g->at[1].set(b);
      }
      if (Fits(s.third, byte)) g->at[2].set(b);
    }
  }
  // The most permissive groups first, each into the bucket it widens least.
  std::sort(groups.begin(), groups.end(), [](const LeadGroup& a, const LeadGroup& b) {
    return a.at[1].count() * a.at[2].count() > b.at[1].count() * b.at[2].count();
  });
  std::array<std::array<std::uint16_t, 2 * kVectorBytes>, kBuckets> buckets{};
  for (const LeadGroup& g : groups) {
    std::array<std::uint16_t, 2 * kVectorBytes> own{};
    for (int pos = 0; pos < kVectorBytes; ++pos) {
      for (int b = 0; b < 256; ++b) {
        if (!g.at[pos][b]) continue;
        own[2 * pos] |= static_cast<std::uint16_t>(1u << (b & 15));
        own[2 * pos + 1] |= static_cast<std::uint16_t>(1u << (b >> 4));
      }
    }
    int best = 0;
    std::uint64_t bestGrowth = UINT64_MAX;
    for (int k = 0; k < kBuckets; ++k) {
      auto merged = buckets[k];
      for (std::size_t i = 0; i < merged.size(); ++i) merged[i] |= own[i];
      const std::uint64_t growth = BucketVolume(merged) - BucketVolume(buckets[k]);
      if (growth < bestGrowth) {
        bestGrowth = growth;
        best = k;
      }
    }
    for (std::size_t i = 0; i < own.size(); ++i) buckets[best][i] |= own[i];
  }
  for (int k = 0; k < kBuckets; ++k) {
    for (int pos = 0; pos < kVectorBytes; ++pos) {
      for (int half = 0; half < 2; ++half) {
        for (int nib = 0; nib < 16; ++nib) {
          if (buckets[k][2 * pos + half] >> nib & 1) t.nibbles[pos][half][nib] |= 1u << k;
        }
      }
    }
  }
  return t;
}

template <const auto& kTable>
const SearchTables& TablesFor() {
  static const SearchTables tables = BuildTables<kTable>();
  return tables;
}

template <const auto& kTable>
std::size_t ScalarSearch(const std::uint8_t* data, std::size_t n) {
  const SearchTables& t = TablesFor<kTable>();
  for (std::size_t i = 0; i < n; ++i) {
    if (ExactAt<kTable>(t, data + i)) return i;
  }
  return n;
}

#if SORVEND_HAVE_AVX2_SEARCH
__attribute__((target("avx2"))) inline __m256i BucketsOf(__m256i v, const std::uint8_t (*nib)[16]) {
  const __m256i low =
      _mm256_broadcastsi128_si256(_mm_load_si128(reinterpret_cast<const __m128i*>(nib[0])));
  const __m256i high =
      _mm256_broadcastsi128_si256(_mm_load_si128(reinterpret_cast<const __m128i*>(nib[1])));
  const __m256i mask = _mm256_set1_epi8(0x0F);
  const __m256i lo = _mm256_and_si256(v, mask);
  const __m256i hi = _mm256_and_si256(_mm256_srli_epi16(v, 4), mask);
  return _mm256_and_si256(_mm256_shuffle_epi8(low, lo), _mm256_shuffle_epi8(high, hi));
}

// 32 positions at a time; positions i + 1 and i + 2 come from shifted loads, which read at most
// data[i + 33], within the readable n + 3 bytes.
template <const auto& kTable>
__attribute__((target("avx2"))) std::size_t VectorSearch(const std::uint8_t* data, std::size_t n) {
  const SearchTables& t = TablesFor<kTable>();
  const __m256i zero = _mm256_setzero_si256();
  std::size_t i = 0;
  for (; i + 32 <= n; i += 32) {
    const auto* p = data + i;
    const __m256i v0 = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p));
    const __m256i v1 = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + 1));
    const __m256i v2 = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + 2));
    const __m256i hit = _mm256_and_si256(
        BucketsOf(v0, t.nibbles[0]),
        _mm256_and_si256(BucketsOf(v1, t.nibbles[1]), BucketsOf(v2, t.nibbles[2])));
    auto mask = ~static_cast<std::uint32_t>(_mm256_movemask_epi8(_mm256_cmpeq_epi8(hit, zero)));
    while (mask != 0) {
      const std::size_t at = i + static_cast<std::size_t>(std::countr_zero(mask));
      if (ExactAt<kTable>(t, data + at)) return at;
      mask &= mask - 1;
    }
  }
  return i + ScalarSearch<kTable>(data + i, n - i);
}

bool HaveAvx2() {
  static const bool have = __builtin_cpu_supports("avx2");
  return have;
}
#endif

template <const auto& kTable>
std::size_t Search(const std::uint8_t* data, std::size_t n) {
#if SORVEND_HAVE_AVX2_SEARCH
  if (HaveAvx2()) return VectorSearch<kTable>(data, n);
#endif
  return ScalarSearch<kTable>(data, n);
}

}  // namespace

bool IsLeadByte(int byte, Profile profile) {
  if (byte < 0 || byte > 255) return false;
  return profile == Profile::Classic ? TablesFor<kDispatchTable>().leads[byte]
                                     : TablesFor<kMeasureTable>().leads[byte];
}

std::size_t FindCandidateScalar(const std::uint8_t* data, std::size_t n, Profile profile) {
  return profile == Profile::Classic ? ScalarSearch<kDispatchTable>(data, n)
                                     : ScalarSearch<kMeasureTable>(data, n);
}

std::size_t FindCandidate(const std::uint8_t* data, std::size_t n, Profile profile) {
  return profile == Profile::Classic ? Search<kDispatchTable>(data, n)
                                     : Search<kMeasureTable>(data, n);
}

}  // namespace sorvend
