// A scripted host for the update engine: a fake port whose input arrives at given virtual times,
// a fake clock that sleeps and tones advance, and recorded writes, trace, status and tones.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <span>
#include <string>
#include <vector>

#include "engine/update_job.h"

namespace scripted {

struct rx_chunk {
    std::uint32_t at; // virtual tick from which these bytes can be read
    std::vector<std::uint8_t> bytes;
};

struct host_state {
    std::uint32_t now = 0;
    std::uint32_t read_cost_ms = 0; // virtual time each serial_read takes
    std::deque<rx_chunk> rx;        // bytes still to be read, in arrival order
    std::vector<std::vector<std::uint8_t>> writes;
    std::vector<std::uint32_t> write_times;
    // Called for every write, after it is recorded: a simulated peer answers from here.
    std::function<void(std::span<const std::uint8_t>, std::uint32_t)> on_write;
    int reads = 0;
    int purges = 0;
    std::int32_t last_read_max = -1;
    std::string trace;
    std::vector<std::size_t> flushes; // trace length at each flush
    std::vector<std::string> status;
    std::vector<std::uint32_t> sleeps;
    std::vector<std::pair<std::uint32_t, std::uint32_t>> beeps; // frequency, duration
    // When on, every write, sleep, tone, purge, status and non-empty read as one line
    // "<ms since reset> <what>", in order: the whole timing record of a run.
    bool record_timeline = false;
    std::uint32_t start = 0;
    std::vector<std::string> timeline;
};

// The one host the engine's free functions talk to.
host_state& host();
// Forgets everything and sets the clock.
void reset(std::uint32_t start_tick = 0);
// Queues bytes that become readable at virtual tick `at` (arrival order is kept).
void deliver(std::uint32_t at, std::span<const std::uint8_t> bytes);
// Bytes that have arrived but were not read yet.
std::size_t pending_now();

// A job record as the host prepares it at start-up, in the state the button press leaves it.
struct job_fixture {
    std::vector<std::uint8_t> frame_buf = std::vector<std::uint8_t>(FRAME_CAPACITY);
    std::vector<std::uint8_t> image;
    update_job job{};
    explicit job_fixture(std::vector<std::uint8_t> padded_image);
};

// Runs the host's 10 ms tick: one job_step, then the clock moves on by tick_ms. Stops after
// max_ticks or when stop() says so; returns the number of ticks run.
int run_ticks(update_job* job, int max_ticks, const std::function<bool()>& stop = {},
              std::uint32_t tick_ms = 10);
// Runs until the job reaches JOB_DONE or JOB_FAILED.
int run_to_end(update_job* job, int max_ticks);

// A deterministic test image of `size` bytes.
std::vector<std::uint8_t> pattern_image(std::size_t size, std::uint32_t seed = 1);

} // namespace scripted
