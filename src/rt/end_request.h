// The request to end the program, as the run-time layer names it; the flag
// itself lives with the clock, below every layer that waits.
#pragma once

#include "io/end_request.h"

namespace rt {
using io::ClearEndRequest;
using io::EndRequested;
using io::RequestEnd;
} // namespace rt
