#include "core/scan.h"

#include "link/transact.h"
#include "protocol/registers.h"

namespace core {

ScanHit ProbeAddress(comlink::Bus& line, Address address, double answerTimeout)
{
    using comlink::AnswerStatus;
    const int port = line.comPort;
    const double kept = line.ports.timeout(port);
    line.ports.setTimeout(port, answerTimeout);
    const comlink::ModbusFrame request = comlink::ReadFrame(address, tecreg::kIdentity, 1);
    const comlink::Answer answer = comlink::Transact(line, request, comlink::ReadAnswerLength(1));
    line.ports.setTimeout(port, kept);

    ScanHit hit;
    switch (answer.status) {
    case AnswerStatus::Good: {
        const std::uint8_t model = answer.bytes[4];
        if (model == comlink::kModelVexa || model == comlink::kModelVexaMax) {
            hit.kind = ScanHit::Kind::Found;
            hit.identity.known = true;
            hit.identity.model = model;
            hit.identity.identLo = answer.bytes[5];
        } else {
            hit.kind = ScanHit::Kind::Other;
        }
        break;
    }
    case AnswerStatus::Exception:
    case AnswerStatus::Mismatch:
        hit.kind = ScanHit::Kind::Other;
        break;
    case AnswerStatus::Short:
    case AnswerStatus::BadCrc:
        hit.kind = ScanHit::Kind::Garbled;
        break;
    case AnswerStatus::Silent:
    case AnswerStatus::NoPort:
        hit.kind = ScanHit::Kind::Nothing;
        break;
    }
    return hit;
}

bool ReadRegisterOnce(comlink::Bus& line, Address address, std::uint16_t reg, double postDelay,
                      double answerTimeout, std::uint16_t* value)
{
    const int port = line.comPort;
    const double kept = line.ports.timeout(port);
    line.ports.setTimeout(port, answerTimeout);
    const comlink::Answer answer =
        comlink::Transact(line, comlink::ReadFrame(address, reg, 1), comlink::ReadAnswerLength(1), postDelay);
    line.ports.setTimeout(port, kept);
    if (!answer.good())
        return false;
    *value = answer.reg(0);
    return true;
}

} // namespace core
