#include "core/controller.h"

namespace core {

const char* StateName(LinkState state)
{
    switch (state) {
    case LinkState::Online: return "online";
    case LinkState::Suspect: return "suspect";
    case LinkState::Offline: return "offline";
    }
    return "offline";
}

} // namespace core
