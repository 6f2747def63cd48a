// The record of every run, runs.csv in the log folder: one line's text, the file's header and
// the names and size at which it is renamed (no platform calls).
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "engine/update_job.h"
#include "host/log_names.h"

inline constexpr char RUNS_FILE_NAME[] = "runs.csv";
// Where lines go while another program (a spreadsheet) holds runs.csv without sharing writes.
inline constexpr char RUNS_HELD_FILE_NAME[] = "runs-while-held.csv";
// Written once, as the file's first line, when the file is made. Lines end in CR LF.
inline constexpr char RUNS_HEADER[] =
    "time_utc,port,outcome,seconds,blocks,resends,image_sha256,tool_version,log\r\n";
// Past this size the file is renamed "runs-YYYYMMDD-HHMMSS.csv" and a new one begins.
inline constexpr std::uint64_t RUNS_FILE_LIMIT = 10 * 1024 * 1024;
// Room for the longest line: every field doubled by quoting fits with room to spare.
inline constexpr std::size_t RUN_LINE_SIZE = 1024;
inline constexpr std::size_t RUNS_NAME_SIZE = 40;

enum run_outcome : std::uint32_t {
    RUN_COMPLETED = 0, // the device restarted with the image written and verified
    RUN_FAILED,        // checksums differed or the device refused a request
    RUN_DISCONNECTED,  // the adapter was lost during the run
    RUN_ABANDONED,     // the window closed, the session ended or a new press came first
};

struct run_record {
    log_time started;         // the press, UTC
    const char* port_path;    // the device path, "\\.\com5"
    std::uint32_t outcome;    // a run_outcome value
    std::uint64_t elapsed_ms; // from the press to the end
    std::uint32_t blocks;     // blocks acknowledged
    std::uint32_t resends;    // requests sent again
    const char* image_sha256; // 64 lower-case hex digits
    const char* tool_version;
    const char* log_name; // this start's log file name, "" when it has none
};

// How a run that ended by itself ended: the job completed or failed, or else its port was lost
// (the only other way a run ends before a new press or the window's close).
run_outcome run_outcome_of(const update_job* job);
// Blocks acknowledged so far; a short last block counts as one.
std::uint32_t run_blocks_acknowledged(const update_job* job);
// The port's name as Windows shows it, "COM5" from "\\.\com5": the text after the last
// backslash, in capitals. Always terminated; returns the length.
std::size_t run_port_name(std::span<char> out, const char* path);
// The record's line with its CR LF; a field holding a comma, a double quote or a line end is
// quoted, its quotes doubled. Returns the length; 0 (and out empty) when it does not fit.
std::size_t run_record_format(std::span<char> out, const run_record* record);
// Whether a file of `size` bytes, past the limit, is renamed before the next line is appended.
bool runs_file_full(std::uint64_t size, std::uint64_t limit);
// "runs-YYYYMMDD-HHMMSS.csv" (UTC), or with "-N" after it when sequence N > 0 (that name is
// taken). Always terminated; returns the length, 0 when out is too small.
std::size_t runs_archive_name(std::span<char> out, const log_time& t, std::uint32_t sequence);
