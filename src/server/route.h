// Request routing and the write body, as pure functions: a method and a
// request target in, the route and its parameters out; a body's bytes in,
// the NAME/VALUE pairs out. No Qt, so the fuzz build (which has none)
// compiles this file and feeds it every byte sequence it can make.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace server {

enum class RouteKind {
    NotFound,          // 404: no such path (or an address outside 1..247)
    MethodNotAllowed,  // 405: the path exists, the method does not
    Page,              // GET /
    Events,            // GET /api/v1/events (server-sent events)
    Metrics,           // GET /metrics
    Controllers,       // GET /api/v1/controllers
    Controller,        // GET /api/v1/controllers/{address}
    Parameters,        // GET .../{address}/parameters
    History,           // GET .../{address}/history?from=&to=&format=
    Set,               // POST .../{address}/set
    ProgramRun,        // POST .../{address}/program/run
    ProgramStop,       // POST .../{address}/program/stop
    Function,          // POST .../{address}/function
};

struct Route {
    RouteKind kind = RouteKind::NotFound;
    int address = 0;          // 1..247 for the routes of one controller
    bool write = false;       // a POST that changes the controller
    // History: the query's from and to as given (percent-decoded; empty when
    // absent) and the format asked ("json" or "csv").
    std::string from, to;
    bool csv = false;
    std::string error;        // a bad query: why (the route answers 400)
};

// Routes "GET" / "POST" ... and a request target ("/api/v1/...?a=b"). Only
// GET reads and only POST writes. Never throws; any input gives some route.
Route MatchRoute(std::string_view method, std::string_view target);

// "%41" and "+" decoded; false for a broken escape or a decoded NUL.
bool PercentDecode(std::string_view in, std::string* out);

// An ISO 8601 time ("2026-12-08T21:00:00Z", "...T21:00:00.5+01:00",
// "2026-12-08T21:00" as local time, "2026-12-08" as local midnight) as
// milliseconds since the epoch. False for anything else, for a field out of
// its range, and for a year outside 1970..9999.
bool ParseIsoTime(std::string_view text, std::int64_t* millis);

// The body of a write: one JSON object whose members are names and whose
// values are numbers, strings or booleans ({"sv": 37.5, "function": "pid",
// "alarm-switch": true}). Numbers keep their text as written ("37.5"),
// booleans become "1" and "0". False with a reason for anything else: not an
// object, nesting, null, a duplicate name, an empty object when allowEmpty is
// false, text after the object, a body over kMaxBodyBytes, more than
// kMaxMembers members, invalid UTF-8 or escapes in a string.
constexpr std::size_t kMaxBodyBytes = 64 * 1024;
constexpr std::size_t kMaxMembers = 64;
bool ParseWriteBody(std::string_view body, bool allowEmpty, std::vector<std::pair<std::string, std::string>>* members,
                    std::string* error);

// The most a request head (request line and headers) may take.
constexpr std::size_t kMaxHeadBytes = 8 * 1024;

} // namespace server
