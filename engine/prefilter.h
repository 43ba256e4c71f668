// Finds the next place where a carver could possibly take the input: a lead byte of the
// profile's dispatch table followed by bytes its carver accepts there. Everything before it
// can be walked over in bulk, since every carver would reject it at once.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "engine/scan_context.h"

namespace sorvend {

// Bytes the search reads beyond the last position it tests.
inline constexpr std::size_t kCandidateLookahead = 3;

// Index of the first candidate among data[0..n), or n when there is none. Reads
// data[n..n + kCandidateLookahead) too.
std::size_t FindCandidate(const std::uint8_t* data, std::size_t n,
                          Profile profile = Profile::Classic);

// The same answer, one position at a time; the reference for FindCandidate and its portable
// path.
std::size_t FindCandidateScalar(const std::uint8_t* data, std::size_t n,
                                Profile profile = Profile::Classic);

// The most entries of a dispatch table one lead byte starts; a table holds at most 256.
inline constexpr int kMaxRowsPerLead = 16;

// The thorough table's entries whose signature p[0..4) fits, by index in table order.
struct FittingRows {
  std::array<std::uint8_t, kMaxRowsPerLead> rows{};
  int count = 0;
};
FittingRows MeasureRowsFitting(const std::uint8_t* p);

// For a thorough candidate at p, with `avail` > kCandidateLookahead bytes readable from it and
// the input's end `left` >= avail bytes on: true when it fits an entry whose screen, if it has
// one, does not refuse it.
bool PassesScreen(const std::uint8_t* p, std::size_t avail, std::int64_t left);

// FindCandidate for the thorough profile that also passes over candidates whose screen refuses
// them; data[0..readable) is there to be read, readable >= n + kCandidateLookahead, and the
// input ends `left` bytes from data (screens look no further).
std::size_t FindScreenedCandidate(const std::uint8_t* data, std::size_t n, std::size_t readable,
                                  std::int64_t left);

// True when `byte` starts some entry of the profile's dispatch table.
bool IsLeadByte(int byte, Profile profile = Profile::Classic);

}  // namespace sorvend
