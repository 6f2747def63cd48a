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

// A run log found at start-up: its name, its last write time and creation time (the file
// system's clock, in any unit that grows with time) and its size in bytes.
struct log_entry {
    const char* name;
    std::uint64_t written;
    std::uint64_t created = 0;
    std::uint64_t size = 0;
};

// Orders the run logs oldest first and returns how many of the first ones go so that keep
// remain. The order is by write time, never by the time in the name: local time goes back at
// the end of daylight saving time and with a change of time zone. A log written later than
// `now` was written before the clock was set back, so before every log written since: those
// come first. Equal write times order by the time in the name, then the process number.
std::size_t log_select_expired(std::span<log_entry> logs, std::size_t keep, std::uint64_t now);

// What start-up keeps: always the newest `keep` logs, and every log written less than `max_age`
// before now (in the units of the write times); others go, oldest first, only while the folder
// holds more than `max_bytes`.
struct log_rule {
    std::size_t keep;
    std::uint64_t max_age;
    std::uint64_t max_bytes;
};

// Removes a log; false when it could not be removed (another copy of the tool is writing it).
using log_remove_fn = bool (*)(const log_entry* log, void* context);

// Orders the logs as log_select_expired does and removes, oldest first, those the rule does not
// keep while `bytes` (what the folder's run logs and records take) exceeds max_bytes. A log's age
// is from its last write, never from its creation: a copy of the tool left open for weeks
// writes today to a log made weeks ago. A log written later than now counts as recent up to
// max_age ahead (the clock was set back that far at most); further ahead, the clock was wrong
// when it was written, and it is judged by the order alone. A log that cannot be removed still
// takes its room, and the next one is tried. Returns the bytes left.
std::uint64_t log_remove_expired(std::span<log_entry> logs, const log_rule& rule, std::uint64_t now,
                                 std::uint64_t bytes, log_remove_fn remove, void* context);
