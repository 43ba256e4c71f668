// QuickTime and MP4 movies. The classic carver takes a media-data atom directly followed by the
// movie atom; its lead byte is the "m" of "mdat", 4 bytes into the atom, so the check looks back
// for its size. The thorough one (MeasureMov) walks every top-level box from the file type on.
#pragma once

#include "engine/carver.h"

namespace sorvend {

// Reads "mdat" behind the lead byte, the atom's size S1 before it and the atom header at
// A + S1 (A being the atom's start), which must be a "moov". Moves InFile freely but not
// Position. On true Header[4..8) holds S1 and Header[8..12) the movie atom's size S2.
bool IsMov(ScanContext& ctx);

bool ExtractMov(ScanContext& ctx);

}  // namespace sorvend
