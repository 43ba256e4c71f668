// Runs of MPEG audio frames (MPEG-1 and MPEG-2 low sampling frequencies, Layers II and III),
// confirmed by five consecutive frame headers and copied frame by frame, with an ID3v1 tag that
// follows the last frame. The thorough rule (MeasureMpegAudio, MeasureTaggedAudio) takes every
// version and layer, with the tags in front of and behind the frames.
#pragma once

#include <cstdint>

#include "engine/carver.h"

namespace sorvend {

// Length in bytes of the frame that the 32-bit header (first byte most significant) starts, or
// 0 when the header is not one this carver takes: no full 12-bit sync (MPEG-2.5 included),
// Layer I or reserved layer, free-format or bad bitrate, reserved sampling frequency.
int FrameLengthOfHeader(std::uint32_t header);

// Reads the four header bytes at the input position (a byte at the end counts as 0xFF) and
// answers their frame length or 0. Leaves the input behind them.
int MpegFrameLength(ScanContext& ctx);

// Five valid headers, each where the previous frame ends, starting at the lead byte. Does not
// move Position.
bool IsMp3Run(ScanContext& ctx);

bool ExtractMp3(ScanContext& ctx);

}  // namespace sorvend
