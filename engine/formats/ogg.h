// Ogg streams: pages copied one after the other while the next one follows directly, up to
// the end-of-stream page. The thorough rule (MeasureOgg) checks every page and takes one link
// of multiplexed logical streams, each up to its own end-of-stream page.
#pragma once

#include "engine/carver.h"

namespace sorvend {

// Reads the capture pattern "OggS" behind the lead byte and holds it, with the first page's
// version and header type, in Header[0..6). Does not move Position. `held` receives how many of
// the version and header type bytes the input still had (2 unless it ends there); on true InFile
// stands just after them.
bool IsOgg(ScanContext& ctx, int& held);

bool ExtractOgg(ScanContext& ctx);

}  // namespace sorvend
