// The carver entries, one per format unit; the scan loop's dispatch table lists them.
#pragma once

#include "engine/carver.h"

namespace sorvend {

bool ExtractDib(ScanContext& ctx);
bool ExtractRiff(ScanContext& ctx);
bool ExtractJpeg(ScanContext& ctx);
bool ExtractMp3(ScanContext& ctx);
bool ExtractPng(ScanContext& ctx);
bool ExtractGif(ScanContext& ctx);
bool ExtractOgg(ScanContext& ctx);
bool ExtractMov(ScanContext& ctx);

}  // namespace sorvend
