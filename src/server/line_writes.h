// A client's write carried out on a bus the caller owns, exactly as `tecctl`
// carries out the same command: the same checks before anything is sent and
// the same frames after. The caller runs it between two transactions (at the
// next transaction boundary of its own queue), never inside an exchange.
#pragma once

#include "link/bus.h"
#include "server/hub.h"

namespace server {

// Runs the write on the controller at request.address. Returns Done with
// the document of what the controller now holds; BadInput (nothing written)
// for a name or value tecctl's set would refuse; Refused or NoAnswer as the
// controller answered.
WriteResult RunWrite(comlink::Bus& bus, const WriteRequest& request);

} // namespace server
