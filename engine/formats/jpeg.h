// JPEG images in JFIF form: SOI followed at once by an APP0 "JFIF" segment. Segments are walked
// by their lengths up to the start of scan; from there the bytes are copied up to the first
// end-of-image marker.
#pragma once

#include "engine/carver.h"

namespace sorvend {

// Reads up to 9 bytes from the input behind the lead byte into Header and tests SOI, the APP0
// marker and the "JFIF" identifier. Does not move Position.
bool IsJfif(ScanContext& ctx);

// Answers not taken only when IsJfif rejects, so that the MP3 carver may try the same byte.
bool ExtractJpeg(ScanContext& ctx);

}  // namespace sorvend
