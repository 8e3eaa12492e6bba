#include "core/connect.h"

#include <cstdio>

namespace core {

comlink::Fault IdentifyFault(const comlink::Identity& id)
{
    if (id.status == comlink::IdentifyStatus::Accepted)
        return {};
    comlink::Fault fault = comlink::FaultOf(id.answer, tecreg::kIdentity);
    if (fault.ok()) {
        // An intact identity answer from something that is no controller of
        // this family.
        char text[48];
        std::snprintf(text, sizeof text, "model code 0x%02X", id.model);
        fault.kind = comlink::FaultKind::WrongAnswer;
        fault.detail = text;
    }
    return fault;
}

comlink::Fault Connect(comlink::Bus& bus, Controller& controller, const ConnectOptions& options)
{
    controller.identity = Identity{};
    const int status = options.open ? options.open() : io::PORT_ERR_OPEN;
    if (status < 0) {
        bus.openStatus = status;
        bus.portOpen = 0;
        comlink::Fault fault;
        fault.kind = comlink::FaultKind::PortGone;
        return fault;
    }
    if (options.settle > 0)
        bus.clock.sleep(options.settle);
    bus.openStatus = status;
    bus.portOpen = 1;
    bus.ports.setTimeout(bus.comPort, comlink::kReadTimeout);
    if (options.opened)
        options.opened();
    if (!options.identify)
        return {};

    const comlink::Identity id = comlink::Identify(bus, controller.address);
    if (options.identification)
        *options.identification = id;
    const comlink::Fault fault = IdentifyFault(id);
    if (fault) {
        if (options.settleBeforeClosing)
            comlink::SettleLine(bus);
        if (bus.ports.isOpen(bus.comPort))
            bus.ports.close(bus.comPort);
        bus.portOpen = 0;
        bus.openStatus = -1;
        return fault;
    }
    controller.identity.known = true;
    controller.identity.model = id.model;
    controller.identity.identLo = id.identLo;
    return fault;
}

} // namespace core
