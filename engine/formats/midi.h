// Standard MIDI files: a header chunk and its tracks, each track's event stream checked.
#pragma once

#include "engine/measure.h"

namespace sorvend {

// The MIDI file whose header chunk starts at `start`, its chunks within [start, limit): true
// with out.start/end/cut set when it has at least one whole track. A RIFF MIDI form holds one
// in its data chunk.
bool MeasureMidiAt(ByteView& in, std::int64_t start, std::int64_t limit, Extent& out);

}  // namespace sorvend
