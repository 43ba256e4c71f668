// RIFF files of three form types (AVI video, WAVE audio, animated cursors), copied out whole as
// far as their size field declares them.
#pragma once

#include "engine/carver.h"

namespace sorvend {

// Tests the 16 header bytes in Header[0..16) against the forms whose switches are ticked, in
// the order AVI, WAVE, ACON. Reads no input. On yes `ext` is the matching form's extension.
bool IsRiff(ScanContext& ctx, const char*& ext);

bool ExtractRiff(ScanContext& ctx);

}  // namespace sorvend
