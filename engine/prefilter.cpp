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

// Vector search tables: each entry goes to one of 16 buckets, and for each of the first bytes
// of a candidate, the bucket bits of its low and of its high nibble, in two sets of 8 (a byte's
// bits each). A position whose bytes all share a bucket bit may start an object; the exact test
// then decides. The nibble tables describe a superset, never less, so the vector search misses
// nothing.
constexpr int kBucketsPerSet = 8;
constexpr int kSets = 2;
constexpr int kBuckets = kSets * kBucketsPerSet;

// The sets a table's search uses: one while each entry can have a bucket of its own in it.
template <const auto& kTable>
constexpr int SetsFor() {
  return kTable.size() <= static_cast<std::size_t>(kBucketsPerSet) ? 1 : kSets;
}
constexpr int kMaxVectorBytes = static_cast<int>(kCandidateLookahead) + 1;

// How many of a candidate's first bytes the vector search tests: up to the last position some
// entry's signature restricts.
template <const auto& kTable>
constexpr int VectorBytesFor() {
  int used = 2;
  for (const auto& e : kTable) {
    for (int b = 0; b < 256; ++b) {
      const auto byte = static_cast<std::uint8_t>(b);
      if (!e.signature.third.Has(byte)) used = std::max(used, 3);
      if (!e.signature.fourth.Has(byte)) used = std::max(used, 4);
    }
  }
  return used;
}

// The words of a bit set with one bit per entry of the table.
template <const auto& kTable>
constexpr std::size_t RowWordsFor() {
  return (kTable.size() + 63) / 64;
}

template <const auto& kTable>
struct SearchTables {
  static constexpr std::size_t kRowWords = RowWordsFor<kTable>();
  using RowSet = std::array<std::uint64_t, kRowWords>;

  std::array<bool, 256> leads{};
  // For each of a candidate's first four bytes, the entries whose signature takes that byte
  // there. An entry fits exactly where its bit is set in all four, which the test after the
  // vector search finds without a branch per entry.
  std::array<std::array<RowSet, 256>, kMaxVectorBytes> rowsTaking{};
  alignas(16) std::uint8_t nibbles[kSets][kMaxVectorBytes][2][16] = {};

  RowSet Fitting(const std::uint8_t* p) const {
    RowSet fit;
    for (std::size_t w = 0; w < kRowWords; ++w) {
      fit[w] = rowsTaking[0][p[0]][w] & rowsTaking[1][p[1]][w] & rowsTaking[2][p[2]][w] &
               rowsTaking[3][p[3]][w];
    }
    return fit;
  }
  static bool Any(const RowSet& rows) {
    std::uint64_t any = 0;
    for (const std::uint64_t word : rows) any |= word;
    return any != 0;
  }
};
static_assert(kMaxVectorBytes == 4, "the row sets cover a signature's four bytes");

// Calls visit(row) for each entry of `fit`, in table order, until one returns true.
template <class RowSet, class Visit>
bool AnyRow(const RowSet& fit, Visit visit) {
  for (std::size_t w = 0; w < fit.size(); ++w) {
    for (std::uint64_t bits = fit[w]; bits != 0; bits &= bits - 1) {
      if (visit(64 * w + static_cast<std::size_t>(std::countr_zero(bits)))) return true;
    }
  }
  return false;
}

template <const auto& kTable>
constexpr bool RowsFitTheTables() {
  std::array<int, 256> perLead{};
  for (const auto& e : kTable) {
    if (++perLead[e.signature.lead] > kMaxRowsPerLead) return false;
  }
  return kTable.size() <= 256;
}
static_assert(RowsFitTheTables<kDispatchTable>() && RowsFitTheTables<kMeasureTable>());

template <const auto& kTable>
bool ExactAt(const SearchTables<kTable>& t, const std::uint8_t* p) {
  return t.Any(t.Fitting(p));
}

// Which bytes may stand at each of the first positions for one entry.
struct RowBytes {
  std::bitset<256> at[kMaxVectorBytes];
};

// How often a byte stands in ordinary data (machine code, tables, padding) compared with the
// average byte: zeros and 0xFF fill much of it.
constexpr std::uint64_t ByteWeight(int byte) {
  return byte == 0x00 ? 64 : byte == 0xFF ? 16 : 1;
}

using BucketNibbles = std::array<std::uint16_t, 2 * kMaxVectorBytes>;

// How many strings of `positions` bytes a bucket's nibble tables let through, each counted by
// how often it stands in ordinary data, so that no bucket lets runs of zeros through for want
// of room.
std::uint64_t BucketVolume(const BucketNibbles& nib, int positions) {
  std::uint64_t v = 1;
  for (int pos = 0; pos < positions; ++pos) {
    const std::uint16_t low = nib[2 * pos];
    const std::uint16_t high = nib[2 * pos + 1];
    // Every byte the nibbles let through counts 1, and zeros and 0xFF their extra weight.
    std::uint64_t weight = static_cast<std::uint64_t>(std::popcount(low)) *
                           static_cast<std::uint64_t>(std::popcount(high));
    for (const int byte : {0x00, 0xFF}) {
      if ((low >> (byte & 15) & 1) != 0 && (high >> (byte >> 4) & 1) != 0) {
        weight += ByteWeight(byte) - 1;
      }
    }
    v *= weight;
  }
  return v;
}

template <const auto& kTable>
SearchTables<kTable> BuildTables() {
  SearchTables<kTable> t;
  std::vector<RowBytes> groups;
  for (std::size_t row = 0; row < kTable.size(); ++row) {
    const Signature& s = kTable[row].signature;
    t.leads[s.lead] = true;
    const std::uint64_t bit = std::uint64_t{1} << (row % 64);
    for (int b = 0; b < 256; ++b) {
      const auto byte = static_cast<std::uint8_t>(b);
      const bool takes[] = {byte == s.lead, s.next.Has(byte), s.third.Has(byte),
                            s.fourth.Has(byte)};
      for (int pos = 0; pos < kMaxVectorBytes; ++pos) {
        if (takes[pos]) t.rowsTaking[pos][b][row / 64] |= bit;
      }
    }
    // Each entry on its own: entries of one lead byte merged would let through the mix of
    // their patterns (0xFF 0xFF 0xFF 0xFF from a JPEG's and an MPEG frame's).
    RowBytes& g = groups.emplace_back();
    g.at[0].set(s.lead);
    for (int b = 0; b < 256; ++b) {
      const auto byte = static_cast<std::uint8_t>(b);
      if (s.next.Has(byte)) g.at[1].set(b);
      if (s.third.Has(byte)) g.at[2].set(b);
      if (s.fourth.Has(byte)) g.at[3].set(b);
    }
  }
  constexpr int kPositions = VectorBytesFor<kTable>();
  // The most permissive groups first, each into the bucket it widens least.
  const auto permissiveness = [](const RowBytes& g) {
    std::uint64_t strings = 1;
    for (int pos = 1; pos < kPositions; ++pos) strings *= g.at[pos].count();
    return strings;
  };
  std::sort(groups.begin(), groups.end(), [&](const RowBytes& a, const RowBytes& b) {
    return permissiveness(a) > permissiveness(b);
  });
  // Each entry's own nibbles, then its bucket: first the one it widens least, in the order
  // above; then each entry moves to the bucket where the buckets together let the least
  // through, until none moves, since the first placements were made without the later entries.
  std::vector<BucketNibbles> owns;
  for (const RowBytes& g : groups) {
    BucketNibbles& own = owns.emplace_back();
    for (int pos = 0; pos < kPositions; ++pos) {
      for (int b = 0; b < 256; ++b) {
        if (!g.at[pos][b]) continue;
        own[2 * pos] |= static_cast<std::uint16_t>(1u << (b & 15));
        own[2 * pos + 1] |= static_cast<std::uint16_t>(1u << (b >> 4));
      }
    }
  }
  const auto merged = [](BucketNibbles a, const BucketNibbles& b) {
    for (std::size_t i = 0; i < a.size(); ++i) a[i] |= b[i];
    return a;
  };
  constexpr int kUsed = SetsFor<kTable>() * kBucketsPerSet;
  std::vector<int> home(owns.size());
  std::array<BucketNibbles, kBuckets> buckets{};
  for (std::size_t g = 0; g < owns.size(); ++g) {
    std::uint64_t bestGrowth = UINT64_MAX;
    for (int k = 0; k < kUsed; ++k) {
      const std::uint64_t growth = BucketVolume(merged(buckets[k], owns[g]), kPositions) -
                                   BucketVolume(buckets[k], kPositions);
      if (growth < bestGrowth) {
        bestGrowth = growth;
        home[g] = k;
      }
    }
    buckets[home[g]] = merged(buckets[home[g]], owns[g]);
  }
  // The bucket k holds without entry `skip`.
  const auto bucketWithout = [&](int k, std::size_t skip) {
    BucketNibbles u{};
    for (std::size_t g = 0; g < owns.size(); ++g) {
      if (g != skip && home[g] == k) u = merged(u, owns[g]);
    }
    return u;
  };
  constexpr int kMaxPasses = 16;
  for (int pass = 0; pass < kMaxPasses; ++pass) {
    bool moved = false;
    for (std::size_t g = 0; g < owns.size(); ++g) {
      // What each bucket lets through without the entry and with it.
      std::array<std::uint64_t, kBuckets> without{};
      std::array<std::uint64_t, kBuckets> with{};
      for (int k = 0; k < kUsed; ++k) {
        const BucketNibbles u = bucketWithout(k, g);
        without[k] = BucketVolume(u, kPositions);
        with[k] = BucketVolume(merged(u, owns[g]), kPositions);
      }
      int best = home[g];
      for (int k = 0; k < kUsed; ++k) {
        if (with[k] - without[k] < with[best] - without[best]) best = k;
      }
      moved = moved || best != home[g];
      home[g] = best;
    }
    if (!moved) break;
  }
  for (int k = 0; k < kBuckets; ++k) {
    buckets[k] = bucketWithout(k, owns.size());
    for (int pos = 0; pos < kPositions; ++pos) {
      for (int half = 0; half < 2; ++half) {
        for (int nib = 0; nib < 16; ++nib) {
          if ((buckets[k][2 * pos + half] >> nib & 1) != 0) {
            t.nibbles[k / kBucketsPerSet][pos][half][nib] |= 1u << (k % kBucketsPerSet);
          }
        }
      }
    }
  }
  return t;
}

template <const auto& kTable>
const SearchTables<kTable>& TablesFor() {
  static const SearchTables<kTable> tables = BuildTables<kTable>();
  return tables;
}

// What decides a position the vector search lets through: the signatures alone, or the
// thorough signatures with their screens over the bytes up to `end`.
template <const auto& kTable>
struct SignatureTest {
  static constexpr int kBatch = 1;
  const SearchTables<kTable>& tables = TablesFor<kTable>();
  bool operator()(const std::uint8_t* p) const { return ExactAt<kTable>(tables, p); }
};

struct ScreenTest {
  // The thorough signatures fit ordinary data often (the 0xFF 0xFF of machine code is an MPEG
  // frame's start), so the vector search decides its hits in batches of blocks.
  static constexpr int kBatch = 8;
  const SearchTables<kMeasureTable>& tables = TablesFor<kMeasureTable>();
  // The bytes in view from `base` on, and those to the input's end.
  const std::uint8_t* base;
  std::size_t readable;
  std::int64_t left;
  bool operator()(const std::uint8_t* p) const {
    const auto fit = tables.Fitting(p);
    if (!tables.Any(fit)) return false;
    const std::int64_t offset = p - base;
    const std::int64_t toEnd = left - offset;
    // Every thorough object is longer than its signature.
    if (toEnd <= static_cast<std::int64_t>(kCandidateLookahead)) return false;
    const auto inView =
        static_cast<std::size_t>(std::min(static_cast<std::int64_t>(readable) - offset, toEnd));
    return AnyRow(fit, [&](std::size_t row) {
      const MeasureDispatchEntry& e = kMeasureTable[row];
      return e.screen == nullptr || e.screen(p, inView, toEnd);
    });
  }
};

template <class Test>
std::size_t ScalarSearch(const std::uint8_t* data, std::size_t n, const Test& test) {
  for (std::size_t i = 0; i < n; ++i) {
    if (test(data + i)) return i;
  }
  return n;
}

#if SORVEND_HAVE_AVX2_SEARCH
// The bucket bits of 32 bytes from one position's pair of nibble tables.
struct NibbleTables {
  __m256i low;
  __m256i high;
};

// A 16-byte table in both lanes.
__attribute__((target("avx2"))) inline __m256i Broadcast(const std::uint8_t* table) {
  return _mm256_broadcastsi128_si256(_mm_load_si128(reinterpret_cast<const __m128i*>(table)));
}

__attribute__((target("avx2"))) inline __m256i BucketsOf(__m256i v, const NibbleTables& nib) {
  const __m256i mask = _mm256_set1_epi8(0x0F);
  const __m256i lo = _mm256_and_si256(v, mask);
  const __m256i hi = _mm256_and_si256(_mm256_srli_epi16(v, 4), mask);
  return _mm256_and_si256(_mm256_shuffle_epi8(nib.low, lo), _mm256_shuffle_epi8(nib.high, hi));
}

// 32 positions at a time; the bytes behind each come from shifted loads, which read at most
// data[i + 34], within the readable n + 3 bytes. Blocks are tested in batches that note where
// the hits are without a branch; the hits are decided after each batch, so that the tables
// stay in registers and the blocks without a hit cost no mispredicted jump.
template <const auto& kTable, class Test>
__attribute__((target("avx2"))) std::size_t VectorSearch(const std::uint8_t* data, std::size_t n,
                                                         const Test& test) {
  constexpr int kPositions = VectorBytesFor<kTable>();
  constexpr int kBatch = Test::kBatch;
  constexpr int kUsedSets = SetsFor<kTable>();
  NibbleTables nib[kSets][kPositions];
  for (int set = 0; set < kUsedSets; ++set) {
    for (int pos = 0; pos < kPositions; ++pos) {
      nib[set][pos] = {Broadcast(test.tables.nibbles[set][pos][0]),
                       Broadcast(test.tables.nibbles[set][pos][1])};
    }
  }
  const __m256i zero = _mm256_setzero_si256();
  std::size_t i = 0;
  // The first batch is one block and each next one twice as long, so that a candidate right
  // ahead, as where candidates are dense, costs no more than its own block.
  int batch = 1;
  while (i + 32 <= n) {
    std::uint32_t masks[kBatch];
    std::size_t bases[kBatch];
    int hits = 0;
    for (int block = 0; block < batch && i + 32 <= n; ++block, i += 32) {
      const auto* p = data + i;
      const __m256i first = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p));
      __m256i hit = BucketsOf(first, nib[0][0]);
      __m256i high = zero;
      if constexpr (kUsedSets > 1) high = BucketsOf(first, nib[1][0]);
      for (int pos = 1; pos < kPositions; ++pos) {
        const __m256i v = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + pos));
        hit = _mm256_and_si256(hit, BucketsOf(v, nib[0][pos]));
        if constexpr (kUsedSets > 1) high = _mm256_and_si256(high, BucketsOf(v, nib[1][pos]));
      }
      if constexpr (kUsedSets > 1) hit = _mm256_or_si256(hit, high);
      masks[hits] = ~static_cast<std::uint32_t>(_mm256_movemask_epi8(_mm256_cmpeq_epi8(hit, zero)));
      bases[hits] = i;
      hits += masks[hits] != 0 ? 1 : 0;
    }
    for (int h = 0; h < hits; ++h) {
      for (std::uint32_t mask = masks[h]; mask != 0; mask &= mask - 1) {
        const std::size_t at = bases[h] + static_cast<std::size_t>(std::countr_zero(mask));
        if (test(data + at)) return at;
      }
    }
    batch = std::min(2 * batch, kBatch);
  }
  return i + ScalarSearch(data + i, n - i, test);
}

bool HaveAvx2() {
  static const bool have = __builtin_cpu_supports("avx2");
  return have;
}
#endif

template <const auto& kTable, class Test>
std::size_t Search(const std::uint8_t* data, std::size_t n, const Test& test) {
#if SORVEND_HAVE_AVX2_SEARCH
  if (HaveAvx2()) {
    // Where candidates are dense (runs of one signature), the next one is a few bytes ahead:
    // those bytes are tested one by one before the vector tables are set up.
    constexpr std::size_t kNear = 8;
    const std::size_t near = ScalarSearch(data, std::min(n, kNear), test);
    if (near < std::min(n, kNear) || n <= kNear) return near;
    return kNear + VectorSearch<kTable>(data + kNear, n - kNear, test);
  }
#endif
  return ScalarSearch(data, n, test);
}

}  // namespace

bool IsLeadByte(int byte, Profile profile) {
  if (byte < 0 || byte > 255) return false;
  return profile == Profile::Classic ? TablesFor<kDispatchTable>().leads[byte]
                                     : TablesFor<kMeasureTable>().leads[byte];
}

FittingRows MeasureRowsFitting(const std::uint8_t* p) {
  FittingRows fitting;
  AnyRow(TablesFor<kMeasureTable>().Fitting(p), [&](std::size_t row) {
    fitting.rows[fitting.count++] = static_cast<std::uint8_t>(row);
    return false;
  });
  return fitting;
}

bool PassesScreen(const std::uint8_t* p, std::size_t avail, std::int64_t left) {
  return ScreenTest{.base = p, .readable = avail, .left = left}(p);
}

std::size_t FindCandidateScalar(const std::uint8_t* data, std::size_t n, Profile profile) {
  return profile == Profile::Classic ? ScalarSearch(data, n, SignatureTest<kDispatchTable>{})
                                     : ScalarSearch(data, n, SignatureTest<kMeasureTable>{});
}

std::size_t FindCandidate(const std::uint8_t* data, std::size_t n, Profile profile) {
  return profile == Profile::Classic
             ? Search<kDispatchTable>(data, n, SignatureTest<kDispatchTable>{})
             : Search<kMeasureTable>(data, n, SignatureTest<kMeasureTable>{});
}

std::size_t FindScreenedCandidate(const std::uint8_t* data, std::size_t n, std::size_t readable,
                                  std::int64_t left) {
  return Search<kMeasureTable>(data, n,
                               ScreenTest{.base = data, .readable = readable, .left = left});
}

}  // namespace sorvend
