// The run guard's decisions, apart from the calls that feed them: whether the held port's
// adapter is gone, and whether the taskbar button flashes at a run's end.
#pragma once

#include <cstdint>

// Windows error numbers by which a driver says a query is not supported, not that the device
// is gone: ERROR_INVALID_FUNCTION, ERROR_NOT_SUPPORTED and ERROR_INVALID_PARAMETER.
inline constexpr std::uint32_t WIN_ERROR_INVALID_FUNCTION = 1;
inline constexpr std::uint32_t WIN_ERROR_NOT_SUPPORTED = 50;
inline constexpr std::uint32_t WIN_ERROR_INVALID_PARAMETER = 87;
// A failure that repeats at least this long after the first, with no clean check in between,
// is a second sign.
inline constexpr std::uint32_t PORT_FAILURE_REPEAT_MS = 250;

// What one check of the held port saw. Each error is the Windows error number of a call that
// failed, 0 when it succeeded or was not made.
struct port_check {
    std::uint32_t io_error;    // a read or a write since the last check
    std::uint32_t clear_error; // the status query (ClearCommError)
    std::uint32_t state_error; // the settings query (GetCommState)
    bool removal_named;        // a removal notice named the port since the last check
};

// What earlier checks of this run saw.
struct port_watch {
    bool failing;           // the last check saw a sign of loss
    std::uint32_t since_ms; // when the checks began to see one
    bool removal_named;     // a removal notice named the port during this run
    bool status_answered;   // the status query succeeded at a check of this run
};

// Whether the port is lost: it takes two independent signs, such as two calls failing in one
// check, a failure repeating at least PORT_FAILURE_REPEAT_MS after the first, or a failure
// after a removal notice named the port. A call failing with an error that means "not
// supported" is no sign at all, except the status query's once it has answered in this run and
// a removal notice has named the port since. A clean check ends a run of failures.
bool port_loss_decide(port_watch* watch, const port_check& check, std::uint32_t now_ms);
// A press starts a new run on a port opened afresh: the signs an earlier run saw, a failure
// not yet repeated or a removal notice, say nothing about it and are forgotten.
void port_watch_start(port_watch* watch);

// Whether the taskbar button flashes at a run's end: only when the window is not in front,
// that is, neither it nor a window it owns (a message box, the About box) is the foreground
// window. `foreground_root_owner` is the foreground window's root owner (itself when it has
// no owner); none of them is dereferenced.
bool run_end_flashes(const void* window, const void* foreground, const void* foreground_root_owner);
