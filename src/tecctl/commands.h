// tecctl's commands on the identified controller at one address of a Bus. Each sends exactly what the
// matching panel operation sends, through the same core operations.
#pragma once

#include "core/controller.h"
#include "link/bus.h"
#include "protocol/parameter_set.h"
#include "protocol/step_program.h"
#include "tecctl/json.h"
#include "tecctl/options.h"

#include <atomic>
#include <string>
#include <vector>

namespace tecctl {

struct Session {
    Session(comlink::Bus& b, core::Address a, const Options& opts) : bus(b), address(a), o(opts) {}
    comlink::Bus& bus;
    core::Address address;   // the controller every request goes to
    const Options& o;
    JsonWriter json;         // the document's body (inside the top object)
    std::string text;        // readable output
    std::string error;       // one line, without "tecctl <command>: "
    bool portLost = false;   // set by the bus's hook
    // Set from the SIGINT handler: watch ends after the tick in progress.
    std::atomic<bool>* interrupted = nullptr;
    // What identification found (filled by the caller).
    int model = 0;
    int identLo = 0;

    // Prepared arguments.
    std::vector<Assignment> assignments;
    ParameterSet fileParams;
    StepProgram fileProgram;
    std::uint8_t rawFrame[6] = {};
    int function = 0;
    double level = 0;
};

// Reads and checks what the command needs before the port is opened: files
// (a malformed one sends nothing), values (one that does not fit its register
// is refused before anything is sent). Returns EXIT_OK, EXIT_USAGE or
// EXIT_FILE with error set.
int Prepare(Session& s);
// Runs the command on the identified controller. Returns the exit status; on
// failure s.error says why.
int RunCommand(Session& s);

} // namespace tecctl
