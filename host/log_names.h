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

// "fwt-YYYYMMDD-HHMMSS-PID.log". Always terminated; returns the length.
std::size_t log_file_name(std::span<char> out, const log_time& t, std::uint32_t pid);
// Whether name has the form above; other files in the folder are never removed.
bool log_is_run_log(const char* name);
// Orders the run logs in names oldest first (by the start time in the name, then the process
// number) and returns how many of the first ones go so that keep remain.
std::size_t log_select_expired(std::span<const char*> names, std::size_t keep);
