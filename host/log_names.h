// Names of the run logs and which of them start-up removes (no platform calls).
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

// Logs kept after start-up, the new one included.
inline constexpr std::size_t LOG_KEEP = 20;
inline constexpr std::size_t LOG_NAME_SIZE = 48;

struct log_time {
    int year, month, day, hour, minute, second;
};

// "fwt-YYYYMMDD-HHMMSS-PID.log", or with "-N" after the process number when sequence N > 0
// (a file of the first name exists already). Always terminated; returns the length, 0 when
// out is too small.
std::size_t log_file_name(std::span<char> out, const log_time& t, std::uint32_t pid,
                          std::uint32_t sequence = 0);
// Whether name has one of the forms above; other files in the folder are never removed.
bool log_is_run_log(const char* name);

// A run log found at start-up: its name and its last write time (the file system's clock, in
// any unit that grows with time).
struct log_entry {
    const char* name;
    std::uint64_t written;
};

// Orders the run logs oldest first and returns how many of the first ones go so that keep
// remain. The order is by write time, never by the time in the name: local time goes back at
// the end of daylight saving time and with a change of time zone. A log written later than
// `now` was written before the clock was set back, so before every log written since: those
// come first. Equal write times order by the time in the name, then the process number.
std::size_t log_select_expired(std::span<log_entry> logs, std::size_t keep, std::uint64_t now);
