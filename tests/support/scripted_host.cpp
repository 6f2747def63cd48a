// Definitions of the engine's host functions for tests: everything is virtual and recorded.
#include "tests/support/scripted_host.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>

namespace scripted {

namespace {
host_state g_host;

std::string vformat(const char* format, va_list args) {
    char buf[2048];
    const int n = std::vsnprintf(buf, sizeof buf, format, args);
    if (n < 0) {
        return {};
    }
    return std::string(buf, std::min<std::size_t>(static_cast<std::size_t>(n), sizeof buf - 1));
}
void note(const char* format, ...) __attribute__((format(printf, 1, 2)));

// One timeline line, stamped with the virtual time since reset.
void note(const char* format, ...) {
    if (!g_host.record_timeline) {
        return;
    }
    va_list args;
    va_start(args, format);
    g_host.timeline.push_back(std::to_string(g_host.now - g_host.start) + " " +
                              vformat(format, args));
    va_end(args);
}
} // namespace

host_state& host() {
    return g_host;
}

void reset(std::uint32_t start_tick) {
    g_host = host_state{};
    g_host.now = start_tick;
    g_host.start = start_tick;
}

void deliver(std::uint32_t at, std::span<const std::uint8_t> bytes) {
    if (!bytes.empty()) {
        g_host.rx.push_back({at, {bytes.begin(), bytes.end()}});
    }
}

std::size_t pending_now() {
    std::size_t n = 0;
    for (const auto& c : g_host.rx) {
        if (static_cast<std::int32_t>(g_host.now - c.at) < 0) {
            break;
        }
        n += c.bytes.size();
    }
    return n;
}

job_fixture::job_fixture(std::vector<std::uint8_t> padded_image) : image(std::move(padded_image)) {
    job.port_path = "\\\\.\\com7";
    job.port = reinterpret_cast<serial_handle>(static_cast<std::intptr_t>(7));
    job.baud = LINK_BAUD;
    job.device_address = DEVICE_ADDRESS;
    job.frame_cap = FRAME_CAPACITY;
    job.frame = frame_buf.data();
    job.image = image.data();
    job.image_base = FLASH_IMAGE_BASE;
    job.image_size = static_cast<std::int32_t>(image.size());
    job.state = JOB_START;
}

int run_ticks(update_job* job, int max_ticks, const std::function<bool()>& stop,
              std::uint32_t tick_ms) {
    int ticks = 0;
    while (ticks < max_ticks && !(stop && stop())) {
        job_step(job);
        g_host.now += tick_ms;
        ++ticks;
    }
    return ticks;
}

int run_to_end(update_job* job, int max_ticks) {
    return run_ticks(job, max_ticks,
                     [job] { return job->state == JOB_DONE || job->state == JOB_FAILED; });
}

std::vector<std::uint8_t> pattern_image(std::size_t size, std::uint32_t seed) {
    std::vector<std::uint8_t> image(size);
    std::uint32_t x = seed * 2654435761u + 1;
    for (auto& b : image) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        b = static_cast<std::uint8_t>(x);
    }
    return image;
}

} // namespace scripted

using scripted::g_host;
using scripted::note;

std::int32_t serial_read(serial_handle, std::uint8_t* destination, std::int32_t max) {
    ++g_host.reads;
    g_host.last_read_max = max;
    g_host.now += g_host.read_cost_ms;
    std::int32_t got = 0;
    while (got < max && !g_host.rx.empty() &&
           static_cast<std::int32_t>(g_host.now - g_host.rx.front().at) >= 0) {
        auto& chunk = g_host.rx.front();
        const auto take =
            std::min<std::size_t>(chunk.bytes.size(), static_cast<std::size_t>(max - got));
        std::copy_n(chunk.bytes.begin(), take, destination + got);
        got += static_cast<std::int32_t>(take);
        chunk.bytes.erase(chunk.bytes.begin(),
                          chunk.bytes.begin() + static_cast<std::ptrdiff_t>(take));
        if (chunk.bytes.empty()) {
            g_host.rx.pop_front();
        }
    }
    if (got > 0) {
        note("read %d", got);
    }
    return got;
}

std::int32_t serial_write(serial_handle, const std::uint8_t* source, std::int32_t count) {
    note("write %02x %d", count > 2 ? source[2] : 0, count);
    g_host.writes.emplace_back(source, source + count);
    g_host.write_times.push_back(g_host.now);
    if (g_host.on_write) {
        g_host.on_write(std::span<const std::uint8_t>(source, static_cast<std::size_t>(count)),
                        g_host.now);
    }
    return count;
}

void serial_purge(serial_handle) {
    ++g_host.purges;
    note("purge");
    // Only bytes already in the driver's queue are discarded; those still on the wire are not.
    while (!g_host.rx.empty() &&
           static_cast<std::int32_t>(g_host.now - g_host.rx.front().at) >= 0) {
        g_host.rx.pop_front();
    }
}

std::uint32_t host_tick_ms() {
    return g_host.now;
}

void host_sleep_ms(std::uint32_t ms) {
    note("sleep %u", ms);
    g_host.sleeps.push_back(ms);
    g_host.now += ms;
}

void host_beep(std::uint32_t frequency_hz, std::uint32_t duration_ms) {
    note("beep %u %u", frequency_hz, duration_ms);
    g_host.beeps.emplace_back(frequency_hz, duration_ms);
    g_host.now += duration_ms;
}

void trace_printf(const char* format, ...) {
    va_list args;
    va_start(args, format);
    g_host.trace += scripted::vformat(format, args);
    va_end(args);
}

void trace_flush() {
    g_host.flushes.push_back(g_host.trace.size());
}

void status_printf(const char* format, ...) {
    va_list args;
    va_start(args, format);
    g_host.status.push_back(scripted::vformat(format, args));
    va_end(args);
    note("status %s", g_host.status.back().c_str());
}
