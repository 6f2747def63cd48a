// The run guard's decisions: the loss of the held port's adapter and the taskbar flash.
#include "host/run_guard_rules.h"

namespace {

bool sign_of_loss(std::uint32_t error) {
    return error != 0 && error != WIN_ERROR_INVALID_FUNCTION && error != WIN_ERROR_NOT_SUPPORTED &&
           error != WIN_ERROR_INVALID_PARAMETER;
}

} // namespace

bool port_loss_decide(port_watch* watch, const port_check& check, std::uint32_t now_ms) {
    if (check.removal_named) {
        watch->removal_named = true;
    }
    // Some drivers fail the status query with "not supported" on a working port, every time, so
    // that error alone says nothing. Others answer every call on a removed port with 87 and
    // nothing else: a port whose status query answered earlier in this run and fails now, after
    // a removal notice named it, has lost its device.
    const bool stopped_answering =
        check.clear_error != 0 && watch->status_answered && watch->removal_named;
    if (check.clear_error == 0) {
        watch->status_answered = true;
    }
    int signs = (sign_of_loss(check.io_error) ? 1 : 0) +
                (sign_of_loss(check.clear_error) || stopped_answering ? 1 : 0) +
                (sign_of_loss(check.state_error) ? 1 : 0);
    if (signs == 0) {
        watch->failing = false;
        return false;
    }
    if (watch->removal_named) {
        ++signs;
    }
    if (signs >= 2) {
        return true;
    }
    if (!watch->failing) {
        watch->failing = true;
        watch->since_ms = now_ms;
        return false;
    }
    // Unsigned, so that the tick counter's wrap does not matter.
    return now_ms - watch->since_ms >= PORT_FAILURE_REPEAT_MS;
}

void port_watch_start(port_watch* watch) {
    *watch = port_watch{};
}

bool run_end_flashes(const void* window, const void* foreground,
                     const void* foreground_root_owner) {
    return foreground != window && foreground_root_owner != window;
}
