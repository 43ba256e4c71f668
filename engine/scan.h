// The scan of one input file: walks it from its first byte to its last and hands every lead
// byte of a ticked kind to its carver.
#pragma once

#include <string>

#include "engine/scan_context.h"

namespace sorvend {

// The log line for an input that cannot be opened.
inline constexpr const char* kOpenFailedLine = "       オープンに失敗しました｡";

// Scans one file. ctx.Host, ctx.SourceDir and ctx.OutputCount are the caller's to set; the
// walk ends at the end of the file or when the front end's close handler has closed the input.
void ScanFile(ScanContext& ctx, const std::string& path);

// The walk of an input that ctx.InFile holds open, from its first byte to its end: ScanFile's
// part after the open, and the scan of a container's decoded bytes, which are an input of their
// own. Closes the input at its end and returns true; false when the front end stopped the scan.
bool ScanOpenInput(ScanContext& ctx);

}  // namespace sorvend
