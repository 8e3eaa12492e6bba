// A request to end the program that arrives from outside it (SIGTERM, SIGINT,
// SIGHUP). It may be raised from a signal handler, so it is a plain flag: the
// waits of the run-time (Delay, serial reads) see it and return at once, so a
// transaction in progress ends within a few milliseconds instead of running
// out its time-outs, and popups raised while ending are not shown.
#pragma once

namespace io {

// Async-signal-safe.
void RequestEnd() noexcept;
bool EndRequested() noexcept;
// Tests start each case without a pending request.
void ClearEndRequest() noexcept;

} // namespace io
