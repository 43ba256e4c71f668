// What the tracker module measures (XM, IT, S3M, MOD) share.
#pragma once

#include <cstdint>

#include "engine/measure.h"

namespace sorvend {

// The most sample frames a module's sample may hold; a length field beyond it is no sample.
inline constexpr std::uint32_t kMaxModuleSampleLength = std::uint32_t{1} << 28;

// Takes the module [start, end), whose patterns all lie whole within the input. Where the input
// ends first, what there is is written and marked cut: players load a module whose last samples
// are truncated.
inline bool TakeModule(ByteView& in, std::int64_t start, std::int64_t end, const char* ext,
                       Extent& out) {
  out.start = start;
  out.ext = ext;
  out.cut = end > in.Size();
  out.end = out.cut ? in.Size() : end;
  return true;
}

}  // namespace sorvend
