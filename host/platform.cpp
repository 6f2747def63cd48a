// The engine's clock, sleep, tone and trace on Windows.
#include <cstdarg>
#include <cstdio>

#include "engine/host_api.h"
#include "host/run_log.h"

#include <windows.h>

std::uint32_t host_tick_ms() {
    return GetTickCount();
}

void host_sleep_ms(std::uint32_t ms) {
    Sleep(ms);
}

void host_beep(std::uint32_t frequency_hz, std::uint32_t duration_ms) {
    Beep(frequency_hz, duration_ms);
}

// The trace goes to standard output, which a GUI program only has when it was started with
// one (redirected); without it the C runtime drops the text. The run log gets the same bytes.
void trace_printf(const char* format, ...) {
    va_list args;
    va_start(args, format);
    va_list copy;
    va_copy(copy, args);
    std::vprintf(format, args);
    run_log_vprintf(format, copy);
    va_end(copy);
    va_end(args);
}

void trace_flush() {
    std::fflush(stdout);
    run_log_flush();
}
