// PNG images: the signature, then chunks copied by their length fields up to the end chunk.
#pragma once

#include "engine/carver.h"

namespace sorvend {

// Reads the signature behind the lead byte and the header of the first chunk, which must be
// the 13-byte image header. Does not move Position; on true InFile stands 15 bytes past it.
bool IsPng(ScanContext& ctx);

bool ExtractPng(ScanContext& ctx);

}  // namespace sorvend
