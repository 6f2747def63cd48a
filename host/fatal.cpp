// Shows the fatal error report in a warning box, sounds a low tone and ends the process.
#include <cstdlib>

#include "host/fatal.h"
#include "host/run_log.h"
#include "host/run_record.h"
#include "host/win_host.h"

namespace {

std::int32_t describe_system_error(std::uint32_t code, char* out, std::int32_t room) {
    // Without FORMAT_MESSAGE_ALLOCATE_BUFFER a description longer than room fails and yields 0.
    const DWORD got = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM, nullptr, code, 0, out,
                                     static_cast<DWORD>(room), nullptr);
    return static_cast<std::int32_t>(got);
}

char fatal_message[FATAL_MESSAGE_SIZE];

} // namespace

void fatal_error(const char* text) {
    const DWORD code = GetLastError();
    format_fatal_message(fatal_message, text, code, describe_system_error);
    // A run under way ends here: its record is written before the box, which may never be
    // answered.
    run_record_abandon();
    // Kept in the run log: the box's text is gone once it is dismissed.
    run_log_fatal(fatal_message);
    MessageBoxA(main_window, fatal_message, "Terminate Program", MB_ICONWARNING | MB_OK);
    Beep(200, 1000);
    std::exit(1);
}
