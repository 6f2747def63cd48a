// The run log: a copy, byte for byte, of everything the tool writes to standard output and
// standard error, kept in %LOCALAPPDATA%\Device Firmware Update Tool\logs, one file per start.
#pragma once

#include <cstdarg>
#include <span>

#include "engine/host_api.h"

// Makes the folder, creates this start's log (never over an existing file) and removes old
// logs while the folder holds too much (log_remove_expired). When the folder cannot be made or
// written the tool runs without a log, silently; the thread's last error is left as it was.
void run_log_open();
// Appends to the log, if there is one (the caller writes the same to standard output).
void run_log_vprintf(const char* format, va_list args);
void run_log_flush();
// Writes to standard error and to the log, and flushes the log.
void stderr_printf(const char* format, ...) FWT_PRINTF_LIKE(1, 2);
// Appends a fatal report's text and flushes, before the report is shown.
void run_log_fatal(const char* text);
// The log folder's path, "" when %LOCALAPPDATA% is not set; this start's log file name, ""
// when it has none; whether this start has a log.
const wchar_t* run_log_folder();
const char* run_log_name();
bool run_log_active();
// The log folder's files' paths, shared with runs.csv: out (MAX_PATH characters) = a + "\" + b
// when it fits; and an ASCII file name widened into out, cut to fit.
bool log_path_join(wchar_t* out, const wchar_t* a, const wchar_t* b);
void log_name_widen(std::span<wchar_t> out, const char* name);
