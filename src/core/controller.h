// One controller at an address on a bus: what is known of it and how its
// link is faring. A plain record owned by whoever drives it (the window, a
// command, the server); the poller and the operations fill it.
#pragma once

#include "link/fault.h"
#include "protocol/parameter_set.h"

#include <cstdint>
#include <string>

namespace core {

// Modbus addresses 1..247; 0 is the broadcast and never polled.
using Address = std::uint8_t;
constexpr Address kFirstAddress = 1;
constexpr Address kLastAddress = 247;

// online: the last round answered; suspect: it missed one or two rounds in a
// row; offline: it missed kOfflineAfterMisses rounds in a row and is only
// probed once per back-off until it answers again.
enum class LinkState : std::uint8_t { Online, Suspect, Offline };
constexpr int kOfflineAfterMisses = 3;
const char* StateName(LinkState state);  // "online", "suspect", "offline"

struct Identity {
    bool known = false;
    std::uint8_t model = 0;    // 0xF0 or 0xF1
    std::uint8_t identLo = 0;  // the identity register's low byte
};

// The last poll of SV and PV. valid only when both came from this
// controller's own answers in the same round; otherwise fault says why.
struct Sample {
    double time = 0;          // the bus clock's seconds when the round read it
    std::int64_t wallMillis = 0;
    float sv = 0;
    float pv = 0;
    bool valid = false;
    comlink::Fault fault;
    // Which of the two came this round: the SV can come while the PV does not.
    bool haveSv = false;
    bool havePv = false;
    // The wall time the SV's answer came, a moment before the PV's (0: not
    // read this round). A set value written between the two is newer.
    std::int64_t svWallMillis = 0;
};

// When the set value a sample carries was read: the SV's own answer, or
// the sample's time when that is not known.
inline std::int64_t SvReadMillis(const Sample& s)
{
    return s.svWallMillis > 0 ? s.svWallMillis : s.wallMillis;
}

struct Counters {
    std::uint64_t rounds = 0;      // rounds that asked this controller
    std::uint64_t answered = 0;    // rounds with a valid sample
    std::uint64_t misses[comlink::kLinkFaultKinds] = {};  // by link fault kind, Silent first
    std::uint64_t refusals = 0;
    std::uint64_t reconnections = 0;  // offline -> online, and port reopened with the controller identified again
    int missedInRow = 0;
};

struct Controller {
    std::string name;          // the operator's name for it; empty: none given
    Address address = 1;
    int port = 0;              // the bus (port number) it is on
    Identity identity;
    ParameterSet params;       // the last read-all (fromController() once one came whole)
    Sample last;
    LinkState state = LinkState::Online;
    Counters counters;
    // The name to show: the given name, else "address N".
    std::string label() const { return name.empty() ? "address " + std::to_string(address) : name; }
};

} // namespace core
