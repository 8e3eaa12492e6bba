// tecctl's commands on the identified controller at one address of a Bus. Each sends exactly what the
// matching panel operation sends, through the same core operations.
#pragma once

#include "core/controller.h"
#include "link/bus.h"
#include "link/transact.h"
#include "protocol/parameter_set.h"
#include "protocol/step_program.h"
#include "tecctl/json.h"
#include "tecctl/options.h"

#include <atomic>
#include <string>
#include <utility>
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
    // What the controller took, in the order written: set's names with the
    // values as sent, function's "function". Also after a refusal or a
    // silence part-way (what came before, and with set what it went on to).
    std::vector<std::pair<std::string, double>> written;
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
// A value's decimals as tecctl prints it: temperatures at the decimal
// point (tempScale), tenths for tenths, else whole.
int ValueDecimals(tecreg::EncClass cls, float tempScale);
// One value for both outputs, as every command puts it out: a line of the
// text and an object of the document named after the parameter.
void EmitValue(Session& s, const tecreg::NamedParameter& p, double value, int decimals, const std::string& unit,
               const char* word);

// Runs the command on the identified controller. Returns the exit status; on
// failure s.error says why.
int RunCommand(Session& s);

// Why identification of the controller at `address` failed, naming the model
// code only from an intact identity answer and any other answer for what it was.
std::string IdentificationFailure(const comlink::Identity& id, int address, const std::string& device);

// identify, read, get or watch on every address of s.o.addresses in turn,
// each identified first (the line's address set for each). A controller that
// does not answer is said on standard error and the others go on; the output
// goes to standard output as it comes. Returns EXIT_SILENT only when no
// controller answered, else the first other failure's status or EXIT_OK;
// s.error holds what to say last (empty when each failure was said already).
int RunSeveral(Session& s, const std::string& device, int port);
// watch over several addresses: one round per tick (see RunSeveral).
int WatchSeveral(Session& s, const std::string& device);

} // namespace tecctl
