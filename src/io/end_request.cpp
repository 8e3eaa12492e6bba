#include "io/end_request.h"

#include <csignal>

namespace io {

namespace {
volatile std::sig_atomic_t g_endRequested = 0;
}

void RequestEnd() noexcept
{
    g_endRequested = 1;
}

bool EndRequested() noexcept
{
    return g_endRequested != 0;
}

void ClearEndRequest() noexcept
{
    g_endRequested = 0;
}

} // namespace io
