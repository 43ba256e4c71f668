#include "engine/formats/formats.h"

namespace sorvend {

// Not yet carved: every candidate is rejected.
bool ExtractOgg(ScanContext& ctx) { return Reject(ctx); }

}  // namespace sorvend
