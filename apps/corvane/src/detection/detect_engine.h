// One reading of the screen by the fast pass: the regions the classifier
// needs, read and recognised the way it needs them, classified and handed to
// the event engine; and the engine as the detector thread drives it.
#pragma once

#include <memory>

#include "detection/detect.h"
#include "detection/events.h"

namespace corvane {

// Reads the top-centre region and the bottom band (binarised) every call, the
// centre band, the top strip and the right column only when the classifier
// asks for them, and hands what they show to `state` in its fixed order; then
// takes over the slow pass's readings from the game context, counts the
// reading and records whether a menu was seen in the last 10 seconds.
// The error is the first failed read or recognition of the top-centre region
// or the bottom band; nothing else happens then. Failures of the other
// regions only skip their part.
DetectorReadResult detector_read_frame(DetectorContext& context, EventEngineState& state);

// The classifier and the event engine over `state`: a reading per pass, the
// engine's tick after every pass, and at quit the open scene written to the
// history without a clip.
std::unique_ptr<DetectorEngine> detector_engine_make(EventEngineState state);

}  // namespace corvane
