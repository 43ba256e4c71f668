// GIF images: header, screen descriptor and colour table, then extension and image blocks
// walked up to the byte that ends the block loop (normally the trailer).
#pragma once

#include "engine/carver.h"

namespace sorvend {

// Reads the header behind the lead byte: "GIF87a" or "GIF89a". Does not move Position; on
// true InFile stands just after the 6 header bytes, which Header[0..6) holds.
bool IsGif(ScanContext& ctx);

// Copies one sequence of data sub-blocks up to and including its zero-length terminator,
// calling KeepResponsive once per non-empty sub-block.
CopyEnd CopySubBlocks(ScanContext& ctx);

bool ExtractGif(ScanContext& ctx);

}  // namespace sorvend
