// tecctl raw: one frame as the debug panel sends it, and what came back.
#include "tecctl/command_parts.h"

#include <cstdio>

namespace tecctl {

namespace {

// What a raw exchange got, in the words of tecctl's messages.
std::string AnswerWords(const core::Answer& a)
{
    switch (a.status) {
    case core::AnswerStatus::Good:
        return "good answer";
    case core::AnswerStatus::Exception:
        return "refused (exception code " + std::to_string(a.exceptionCode()) + ")";
    case core::AnswerStatus::Short:
        return "short answer (" + std::to_string(a.count) + " of " + std::to_string(a.expected) + " bytes)";
    case core::AnswerStatus::BadCrc:
        return "bad CRC";
    case core::AnswerStatus::Mismatch:
        return "wrong answer";
    case core::AnswerStatus::NoPort:
        return "no answer: the port went away";
    case core::AnswerStatus::Silent:
        break;
    }
    return "no answer";
}

} // namespace

int Raw(Session& s)
{
    // As the debug panel's send: the preamble, a second 0.05 s, one exchange.
    comlink::SequencePreamble(s.bus);
    s.bus.clock.sleep(comlink::kPreambleDelay);
    comlink::ModbusFrame frame;
    for (int k = 0; k < 6; ++k)
        frame.b[k] = s.rawFrame[k];
    frame.seal();
    // A read of a block is answered by the whole block; anything else by 8 bytes.
    const int count = frame.b[4] << 8 | frame.b[5];
    const int length = frame.b[1] == comlink::FN_READ && count >= 1 && comlink::ReadAnswerLength(count) <= 32
                           ? comlink::ReadAnswerLength(count)
                           : 8;
    const core::Answer a = comlink::Transact(s.bus, frame, length, comlink::kPostWriteDelay);
    std::string sent, got;
    char hex[4];
    for (int k = 0; k < 8; ++k) {
        std::snprintf(hex, sizeof hex, "%02X", frame.b[k]);
        sent += (k ? " " : "") + std::string(hex);
    }
    for (int k = 0; k < a.count; ++k) {
        std::snprintf(hex, sizeof hex, "%02X", a.bytes[k]);
        got += (k ? " " : "") + std::string(hex);
    }
    s.json.string("sent", sent);
    s.json.string("received", got);
    const std::string words = AnswerWords(a);
    s.json.string("status", words);
    s.text += "sent     " + sent + "\nreceived " + got + "\n" + words + "\n";
    if (a.good())
        return EXIT_OK;
    s.error = words;
    return a.status == core::AnswerStatus::Exception ? EXIT_REFUSED : EXIT_SILENT;
}

} // namespace tecctl

