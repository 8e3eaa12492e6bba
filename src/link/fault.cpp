#include "link/fault.h"

namespace comlink {

std::string Describe(const Fault& fault)
{
    switch (fault.kind) {
    case FaultKind::None:
        return "a good answer";
    case FaultKind::Silent:
        return "no answer";
    case FaultKind::Short:
        if (fault.expected > 0)
            return "a short answer (" + std::to_string(fault.got) + " of " + std::to_string(fault.expected) +
                   " bytes)";
        return "a short answer";
    case FaultKind::BadCrc:
        return "an answer with a bad CRC";
    case FaultKind::WrongAnswer:
        return "a wrong answer (" + (fault.detail.empty() ? std::string("not the answer to this request") : fault.detail) +
               ")";
    case FaultKind::PortGone:
        return "no answer: the serial port is not open";
    case FaultKind::Busy:
        return fault.detail.empty() ? "the serial port is held by another program" : fault.detail;
    case FaultKind::Refused:
        return "a refusal (exception code " + std::to_string(fault.code) + ")";
    case FaultKind::BadInput:
        return fault.detail.empty() ? "a value that cannot be used" : fault.detail;
    }
    return "an unexpected answer";
}

const char* DescribeAsDeed(const Fault& fault)
{
    switch (fault.kind) {
    case FaultKind::Short:
        return "gave an incomplete answer to";
    case FaultKind::BadCrc:
        return "gave a corrupted answer to";
    case FaultKind::WrongAnswer:
        return "gave a wrong answer to";
    case FaultKind::Refused:
        return "refused";
    case FaultKind::PortGone:
        return "could not be reached (the port is not open) for";
    default:
        return "did not answer";
    }
}

const char* KindName(FaultKind kind)
{
    switch (kind) {
    case FaultKind::None: return "none";
    case FaultKind::Silent: return "silent";
    case FaultKind::Short: return "short";
    case FaultKind::BadCrc: return "bad_crc";
    case FaultKind::WrongAnswer: return "wrong_answer";
    case FaultKind::PortGone: return "port_gone";
    case FaultKind::Busy: return "busy";
    case FaultKind::Refused: return "refused";
    case FaultKind::BadInput: return "bad_input";
    }
    return "none";
}

} // namespace comlink
