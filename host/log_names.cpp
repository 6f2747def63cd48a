// Run log names: formatting, recognising, and choosing the oldest to remove.
#include "host/log_names.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

constexpr char PREFIX[] = "fwt-";
constexpr char SUFFIX[] = ".log";
// "fwt-YYYYMMDD-HHMMSS-": the part that orders by time, fixed in width.
constexpr std::size_t STAMP_LEN = 20;

bool digits(const char* text, std::size_t count) {
    for (std::size_t i = 0; i < count; ++i) {
        if (!std::isdigit(static_cast<unsigned char>(text[i]))) {
            return false;
        }
    }
    return true;
}

} // namespace

std::size_t log_file_name(std::span<char> out, const log_time& t, std::uint32_t pid,
                          std::uint32_t sequence) {
    if (out.empty()) {
        return 0;
    }
    char extra[16] = "";
    if (sequence > 0) {
        std::snprintf(extra, sizeof extra, "-%lu", static_cast<unsigned long>(sequence));
    }
    const int n = std::snprintf(out.data(), out.size(), "%s%04d%02d%02d-%02d%02d%02d-%lu%s%s",
                                PREFIX, t.year, t.month, t.day, t.hour, t.minute, t.second,
                                static_cast<unsigned long>(pid), extra, SUFFIX);
    if (n < 0 || static_cast<std::size_t>(n) >= out.size()) {
        out[0] = '\0';
        return 0;
    }
    return static_cast<std::size_t>(n);
}

bool log_is_run_log(const char* name) {
    const std::size_t len = std::strlen(name);
    const std::size_t suffix_len = sizeof SUFFIX - 1;
    if (len <= STAMP_LEN + suffix_len || std::strncmp(name, PREFIX, sizeof PREFIX - 1) != 0) {
        return false;
    }
    const char* stamp = name + sizeof PREFIX - 1;
    if (!(digits(stamp, 8) && stamp[8] == '-' && digits(stamp + 9, 6) && stamp[15] == '-' &&
          std::strcmp(name + len - suffix_len, SUFFIX) == 0)) {
        return false;
    }
    // The process number, and the sequence number after a dash if there is one.
    const char* tail = name + STAMP_LEN;
    const std::size_t tail_len = len - STAMP_LEN - suffix_len;
    const char* dash = static_cast<const char*>(std::memchr(tail, '-', tail_len));
    if (dash == nullptr) {
        return digits(tail, tail_len);
    }
    const std::size_t before = static_cast<std::size_t>(dash - tail);
    return before > 0 && before + 1 < tail_len && digits(tail, before) &&
           digits(dash + 1, tail_len - before - 1);
}

std::size_t log_select_expired(std::span<log_entry> logs, std::size_t keep, std::uint64_t now) {
    std::sort(logs.begin(), logs.end(), [now](const log_entry& x, const log_entry& y) {
        const bool x_ahead = x.written > now;
        const bool y_ahead = y.written > now;
        if (x_ahead != y_ahead) {
            return x_ahead;
        }
        if (x.written != y.written) {
            return x.written < y.written;
        }
        const char* a = x.name;
        const char* b = y.name;
        const int by_time = std::strncmp(a, b, STAMP_LEN);
        if (by_time != 0) {
            return by_time < 0;
        }
        const unsigned long pa = std::strtoul(a + STAMP_LEN, nullptr, 10);
        const unsigned long pb = std::strtoul(b + STAMP_LEN, nullptr, 10);
        if (pa != pb) {
            return pa < pb;
        }
        return std::strcmp(a, b) < 0;
    });
    return logs.size() > keep ? logs.size() - keep : 0;
}

std::uint64_t log_remove_expired(std::span<log_entry> logs, const log_rule& rule, std::uint64_t now,
                                 std::uint64_t bytes, log_remove_fn remove, void* context) {
    const std::size_t expired = log_select_expired(logs, rule.keep, now);
    for (std::size_t i = 0; i < expired && bytes > rule.max_bytes; ++i) {
        const log_entry& log = logs[i];
        const std::uint64_t age = log.written <= now ? now - log.written : log.written - now;
        if (age < rule.max_age || !remove(&log, context)) {
            continue;
        }
        bytes -= std::min(bytes, log.size);
    }
    return bytes;
}
