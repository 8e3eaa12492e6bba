// tecctl on several controllers of one bus: identify, read and get on each
// address in turn, the output of each marked with its address (and name).
#include "tecctl/command_parts.h"

#include "io/text_escape.h"

#include <algorithm>
#include <cstdio>

namespace tecctl {

std::string IdentificationFailure(const comlink::Identity& id, int address, const std::string& device)
{
    const std::string from = "address " + std::to_string(address) + " on " + device;
    switch (id.answer.status) {
    case core::AnswerStatus::Good: {
        char model[8];
        std::snprintf(model, sizeof model, "0x%02X", id.model);
        return "identification refused by " + from + " (model code " + model + ")";
    }
    case core::AnswerStatus::Exception:
        return "identification refused by " + from + " (exception code " +
               std::to_string(id.answer.exceptionCode()) + ")";
    case core::AnswerStatus::Short:
    case core::AnswerStatus::BadCrc:
    case core::AnswerStatus::Mismatch:
        return "identification got " + core::Describe(id.answer) + " from " + from;
    case core::AnswerStatus::Silent:
    case core::AnswerStatus::NoPort:
        break;
    }
    return "no answer from " + from;
}

namespace {

// What one controller's command came to.
struct Outcome {
    int address = 0;
    std::string name;
    bool identified = false;
    int model = 0;
    int identLo = 0;
    int status = EXIT_OK;
    std::string error;
    std::string text;
    std::string json;  // the body of its object
};

// Every line of text behind the address column (and the name column when
// any controller is named).
std::string Columned(const std::string& text, int address, const std::string& name, std::size_t nameWidth)
{
    char number[8];
    std::snprintf(number, sizeof number, "%3d  ", address);
    std::string prefix = number;
    if (nameWidth > 0)
        prefix += name + std::string(nameWidth - name.size(), ' ') + "  ";
    std::string out;
    std::size_t start = 0;
    while (start < text.size()) {
        const std::size_t end = text.find('\n', start);
        out += prefix + text.substr(start, end == std::string::npos ? std::string::npos : end - start) + "\n";
        if (end == std::string::npos)
            break;
        start = end + 1;
    }
    return out;
}

// The exit status of a command over several controllers: a controller that
// does not answer fails the command only when none answered; any other
// failure (a refusal, a file) is the command's.
int Overall(const std::vector<Outcome>& outcomes)
{
    bool anyAnswered = false;
    for (const Outcome& o : outcomes) {
        if (o.status != EXIT_OK && o.status != EXIT_SILENT)
            return o.status;
        anyAnswered = anyAnswered || o.status == EXIT_OK;
    }
    return anyAnswered || outcomes.empty() ? EXIT_OK : EXIT_SILENT;
}

} // namespace

int RunSeveral(Session& base, const std::string& device, int port)
{
    const Options& o = base.o;
    if (o.command == "watch")
        return WatchSeveral(base, device);
    comlink::Bus& bus = base.bus;
    std::vector<Outcome> outcomes;
    std::size_t nameWidth = 0;
    for (const auto& given : o.names)
        nameWidth = std::max(nameWidth, given.second.size());
    for (const int address : o.addresses) {
        if (base.interrupted && *base.interrupted) {
            base.error = "interrupted before address " + std::to_string(address);
            break;
        }
        Outcome out;
        out.address = address;
        out.name = NameOf(o, address);
        const comlink::Identity id = comlink::Identify(bus, static_cast<core::Address>(address));
        if (base.portLost) {
            base.error = "the serial port went away";
            return EXIT_SILENT;
        }
        if (id.status != comlink::IdentifyStatus::Accepted) {
            out.status = id.answer.status == core::AnswerStatus::Exception ? EXIT_REFUSED : EXIT_SILENT;
            out.error = IdentificationFailure(id, address, device);
        } else {
            out.identified = true;
            out.model = id.model;
            out.identLo = id.identLo;
            Session s(bus, static_cast<core::Address>(address), o);
            s.interrupted = base.interrupted;
            s.model = id.model;
            s.identLo = id.identLo;
            out.status = RunCommand(s);
            out.text = s.text;
            out.json = s.json.text();
            if (out.status != EXIT_OK)
                out.error = "address " + std::to_string(address) + ": " + s.error;
            if (base.portLost) {
                base.error = "the serial port went away";
                return EXIT_SILENT;
            }
        }
        if (out.status != EXIT_OK)
            std::fprintf(stderr, "tecctl %s: %s\n", o.command.c_str(), io::EscapeText(out.error).c_str());
        outcomes.push_back(std::move(out));
    }
    const int status = base.error.empty() ? Overall(outcomes) : EXIT_INTERRUPTED;
    if (status == EXIT_SILENT)
        base.error = "no controller answered";

    std::string doc;
    if (o.json) {
        JsonWriter j;
        j.string("command", o.command);
        j.integer("port", port);
        j.string("device", device);
        j.integer("status", status);
        if (!base.error.empty())
            j.string("error", base.error);
        j.beginArray("controllers");
        for (const Outcome& out : outcomes) {
            j.beginObject();
            j.integer("address", out.address);
            if (!out.name.empty())
                j.string("name", out.name);
            if (out.identified) {
                j.integer("model", out.model);
                j.integer("identity", out.identLo);
            }
            j.integer("status", out.status);
            if (out.status != EXIT_OK)
                j.string("error", out.error);
            j.members(out.json);  // the command's own fields
            j.endObject();
        }
        j.endArray();
        doc = "{" + j.text() + "}\n";
    } else {
        bool first = true;
        for (const Outcome& out : outcomes) {
            if (out.status != EXIT_OK && out.text.empty())
                continue;
            if (o.command == "read") {
                doc += (first ? "" : "\n") + std::string("address ") + std::to_string(out.address) +
                       (out.name.empty() ? "" : " (" + out.name + ")") + "\n" + out.text;
            } else {
                doc += Columned(out.text, out.address, out.name, nameWidth);
            }
            first = false;
        }
        doc = io::EscapeText(doc, true);
    }
    std::fputs(doc.c_str(), stdout);
    std::fflush(stdout);
    return status;
}

} // namespace tecctl
