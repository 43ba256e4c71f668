// Finds the next place where a carver could possibly take the input: a lead byte of the
// dispatch table followed by one of the bytes its carver accepts there. Everything before it
// can be walked over in bulk, since every carver would reject it at once.
#pragma once

#include <cstddef>
#include <cstdint>

namespace sorvend {

// Index of the first candidate among data[0..n), or n when there is none. Reads data[n] too,
// the byte after the last one tested.
std::size_t FindCandidate(const std::uint8_t* data, std::size_t n);

// The same answer, one byte at a time; the reference for FindCandidate and its portable path.
std::size_t FindCandidateScalar(const std::uint8_t* data, std::size_t n);

// True when `byte` starts some entry of the dispatch table.
bool IsLeadByte(int byte);

}  // namespace sorvend
