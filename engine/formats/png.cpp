#include "engine/formats/formats.h"

namespace sorvend {

// Not yet carved: every candidate is rejected.
bool ExtractPng(ScanContext& ctx) { return Reject(ctx); }

}  // namespace sorvend
