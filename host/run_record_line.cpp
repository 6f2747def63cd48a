// The text of runs.csv: one run's line with its fields quoted where they must be, the port's
// name, the run's outcome and blocks, and the names the full file is renamed to.
#include "host/run_record_line.h"

#include <cctype>
#include <cinttypes>
#include <cstdio>
#include <cstring>

namespace {

// Appends to a line that ends at *len, keeping it terminated; false when out is too small.
bool put(std::span<char> out, std::size_t* len, const char* text, std::size_t n) {
    if (*len + n >= out.size()) {
        return false;
    }
    std::memcpy(out.data() + *len, text, n);
    *len += n;
    out[*len] = '\0';
    return true;
}

bool put_text(std::span<char> out, std::size_t* len, const char* text) {
    return put(out, len, text, std::strlen(text));
}

// A text field, quoted when it holds a comma, a double quote, CR or LF.
bool put_field(std::span<char> out, std::size_t* len, const char* text) {
    if (text == nullptr) {
        text = "";
    }
    if (std::strpbrk(text, ",\"\r\n") == nullptr) {
        return put_text(out, len, text);
    }
    if (!put(out, len, "\"", 1)) {
        return false;
    }
    for (const char* c = text; *c != '\0'; ++c) {
        if (!put(out, len, c, 1) || (*c == '"' && !put(out, len, c, 1))) {
            return false;
        }
    }
    return put(out, len, "\"", 1);
}

const char* outcome_text(std::uint32_t outcome) {
    switch (outcome) {
    case RUN_COMPLETED:
        return "completed";
    case RUN_FAILED:
        return "failed";
    case RUN_DISCONNECTED:
        return "disconnected";
    case RUN_ABANDONED:
        return "abandoned";
    default:
        return "unknown";
    }
}

} // namespace

run_outcome run_outcome_of(const update_job* job) {
    if (job->state == JOB_DONE) {
        return RUN_COMPLETED;
    }
    return job->state == JOB_FAILED ? RUN_FAILED : RUN_DISCONNECTED;
}

std::uint32_t run_blocks_acknowledged(const update_job* job) {
    if (job->image_offset <= 0) {
        return 0;
    }
    const auto bytes = static_cast<std::uint32_t>(job->image_offset);
    return (bytes + BLOCK_SIZE - 1) / BLOCK_SIZE;
}

std::size_t run_port_name(std::span<char> out, const char* path) {
    if (out.empty()) {
        return 0;
    }
    const char* slash = std::strrchr(path, '\\');
    const char* name = slash != nullptr ? slash + 1 : path;
    std::size_t n = 0;
    for (; name[n] != '\0' && n + 1 < out.size(); ++n) {
        out[n] = static_cast<char>(std::toupper(static_cast<unsigned char>(name[n])));
    }
    out[n] = '\0';
    return n;
}

std::size_t run_record_format(std::span<char> out, const run_record* record) {
    if (out.empty()) {
        return 0;
    }
    out[0] = '\0';
    const log_time& t = record->started;
    char time[32];
    std::snprintf(time, sizeof time, "%04d-%02d-%02dT%02d:%02d:%02dZ", t.year, t.month, t.day,
                  t.hour, t.minute, t.second);
    char port[RUN_LINE_SIZE];
    run_port_name(port, record->port_path != nullptr ? record->port_path : "");
    // Tenths of a second, rounded to the nearest.
    const std::uint64_t tenths = (record->elapsed_ms + 50) / 100;
    char figures[80];
    std::snprintf(figures, sizeof figures, "%" PRIu64 ".%" PRIu64 ",%" PRIu32 ",%" PRIu32 ",",
                  tenths / 10, tenths % 10, record->blocks, record->resends);
    std::size_t len = 0;
    const bool fits = put_text(out, &len, time) && put_text(out, &len, ",") &&
                      put_field(out, &len, port) && put_text(out, &len, ",") &&
                      put_text(out, &len, outcome_text(record->outcome)) &&
                      put_text(out, &len, ",") && put_text(out, &len, figures) &&
                      put_field(out, &len, record->image_sha256) && put_text(out, &len, ",") &&
                      put_field(out, &len, record->tool_version) && put_text(out, &len, ",") &&
                      put_field(out, &len, record->log_name) && put_text(out, &len, "\r\n");
    if (!fits) {
        out[0] = '\0';
        return 0;
    }
    return len;
}

bool runs_file_full(std::uint64_t size, std::uint64_t limit) {
    return size > limit;
}

std::size_t runs_archive_name(std::span<char> out, const log_time& t, std::uint32_t sequence) {
    if (out.empty()) {
        return 0;
    }
    char extra[16] = "";
    if (sequence > 0) {
        std::snprintf(extra, sizeof extra, "-%lu", static_cast<unsigned long>(sequence));
    }
    const int n = std::snprintf(out.data(), out.size(), "runs-%04d%02d%02d-%02d%02d%02d%s.csv",
                                t.year, t.month, t.day, t.hour, t.minute, t.second, extra);
    if (n < 0 || static_cast<std::size_t>(n) >= out.size()) {
        out[0] = '\0';
        return 0;
    }
    return static_cast<std::size_t>(n);
}
