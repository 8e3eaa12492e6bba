#include "server/line_writes.h"

#include "tecctl/commands.h"
#include "tecctl/options.h"

namespace server {

WriteResult RunWrite(comlink::Bus& bus, const WriteRequest& request)
{
    tecctl::Options o;
    o.json = true;
    o.round = request.round;
    o.address = request.address;
    switch (request.kind) {
    case WriteRequest::Kind::Set:
        o.command = "set";
        for (const auto& [name, value] : request.values)
            o.args.push_back(name + "=" + value);
        break;
    case WriteRequest::Kind::ProgramRun:
    case WriteRequest::Kind::ProgramStop:
        o.command = "program";
        o.args.push_back(request.kind == WriteRequest::Kind::ProgramRun ? "run" : "stop");
        break;
    case WriteRequest::Kind::Function:
        o.command = "function";
        o.args.push_back(request.values.empty() ? std::string() : request.values.front().second);
        break;
    }
    WriteResult result;
    if (request.kind == WriteRequest::Kind::Set && o.args.empty()) {
        result.status = WriteResult::Status::BadInput;
        result.message = "nothing to set";
        return result;
    }
    // A name that tecctl's command line would split differently ("a=b" as a
    // name) is no parameter either.
    for (const auto& [name, value] : request.values)
        if (name.find('=') != std::string::npos) {
            result.status = WriteResult::Status::BadInput;
            result.message = "unknown parameter \"" + name + "\"";
            return result;
        }
    tecctl::Session s(bus, static_cast<core::Address>(request.address), o);
    int status = tecctl::Prepare(s);
    if (status == tecctl::EXIT_OK)
        status = tecctl::RunCommand(s);
    result.document = s.json.text();
    result.taken = s.written;
    switch (status) {
    case tecctl::EXIT_OK:
        result.status = WriteResult::Status::Done;
        break;
    case tecctl::EXIT_USAGE:
    case tecctl::EXIT_FILE:
        result.status = WriteResult::Status::BadInput;
        break;
    case tecctl::EXIT_REFUSED:
        result.status = WriteResult::Status::Refused;
        break;
    default:
        result.status = WriteResult::Status::NoAnswer;
        break;
    }
    if (status != tecctl::EXIT_OK)
        result.message = s.error;
    return result;
}

} // namespace server
