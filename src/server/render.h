// What the server answers, as text: the API's JSON documents, the history as
// CSV in the data log's format, the Prometheus metrics and the page. Built
// from the hub alone (the last round, never the port). No Qt.
#pragma once

#include "server/hub.h"

#include <cstdint>
#include <string>

namespace server {

// The words of a link state and of a link fault kind.
const char* StateWord(core::LinkState state);
// "2026-12-08T21:00:00.250Z".
std::string IsoTime(std::int64_t wallMillis);

std::string ControllersJson(const Hub& hub);
std::string ControllerJson(const Hub& hub, const core::Controller& c, std::int64_t nowMillis);
// False when no read-all of the controller has come yet.
bool ParametersJson(const Hub& hub, const core::Controller& c, std::string* out);
std::string HistoryJson(const Hub& hub, const core::Controller& c, std::int64_t from, std::int64_t to);
// The data log's header and one line per round that read the controller.
std::string HistoryCsv(const Hub& hub, const core::Controller& c, std::int64_t from, std::int64_t to);
// Prometheus text exposition format 0.0.4.
std::string MetricsText(const Hub& hub, std::int64_t nowMillis);
// One server-sent event's data: the last round's values of every controller.
std::string LiveJson(const Hub& hub, std::int64_t nowMillis);
// The live page, its values and the last hour's chart already in it.
std::string PageHtml(const Hub& hub, std::int64_t nowMillis);

// Puts a value written under tecctl's name into the record of what the
// controller holds (the control function into *function). False for a name
// the record has no field for.
bool ApplyWritten(ParameterSet* params, int* function, const std::string& name, double value);

// {"error": "..."}
std::string ErrorJson(const std::string& message);

} // namespace server
