// Bringing a controller onto a bus: the port opened, the line given time to
// settle, the controller at its address identified. Written once; the
// window's connection, its reconnection watch and the command-line program
// all come through here, each opening the port its own way.
#pragma once

#include "core/controller.h"
#include "link/bus.h"
#include "link/fault.h"
#include "link/transact.h"

#include <functional>

namespace core {

struct ConnectOptions {
    // Opens bus.comPort at bus.baudRate (closing whatever held that number):
    // 0, or a negative error when the port cannot be opened. Required.
    std::function<int()> open;
    // The wait after opening, before the first request (seconds).
    double settle = 0.3;
    // Called once the port is open, before the identification's first byte.
    std::function<void()> opened;
    // On a failed identification, wait for what was asked to arrive (or the
    // line to fall quiet) before the port is closed, so no late answer is
    // left for the next program on the port.
    bool settleBeforeClosing = false;
    // False: the port is only opened and settled (a raw exchange that
    // addresses whatever it names).
    bool identify = true;
    // When given, receives the identification as it came (the answer, the
    // model byte of an answer that was no controller's).
    comlink::Identity* identification = nullptr;
};

// Opens the port, settles, identifies the controller at controller.address.
// On success the port is open (bus.portOpen 1, bus.openStatus the opening's
// result), controller.identity is known, and the fault is None. Otherwise:
//   - the port did not open: PortGone, bus.openStatus the opening's negative
//     result, nothing sent (whoever opened it knows why);
//   - the identification failed: its fault (Silent, Short, BadCrc,
//     WrongAnswer, Refused, or PortGone when the port went away meanwhile),
//     the port closed, bus.portOpen 0 and bus.openStatus -1.
// controller.identity is cleared first: it is known only after a success.
comlink::Fault Connect(comlink::Bus& bus, Controller& controller, const ConnectOptions& options);

// What an identification that was not accepted comes to as a fault: the
// answer's own fault, or WrongAnswer for an intact identity answer with a
// model code no controller of this family has.
comlink::Fault IdentifyFault(const comlink::Identity& id);

} // namespace core
