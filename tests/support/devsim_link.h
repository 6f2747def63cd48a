// Puts the simulated device model at the other end of the scripted host's port, so that whole
// update runs, faults included, play out in virtual time.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "tests/support/scripted_host.h"
#include "tools/devsim/device_model.h"

struct devsim_link {
    device_model* model = nullptr;
    std::uint32_t base_ms = 0;           // scripted tick that is the model's time zero
    bool pace_requests = true;           // requests take their wire time to reach the device
    std::uint64_t tool_line_free_us = 0; // the tool's transmitter is busy until then
    std::uint32_t pieces_delivered = 0;
};

// Makes the model the peer of the scripted port from the host's current tick on: every write
// reaches the model after its wire time (when the model paces), and every piece the model sends
// becomes readable at its arrival tick, rounded up to the next millisecond. The link record
// must outlive the scripted host's on_write callback.
void devsim_link_attach(devsim_link* link, device_model* model);

// Converts between the scripted host's wrapping millisecond tick and the model's microseconds.
std::uint64_t devsim_link_us(const devsim_link* link, std::uint32_t tick_ms);
std::uint32_t devsim_link_tick(const devsim_link* link, std::uint64_t at_us);

// True when the model's image region starts with exactly these bytes.
bool devsim_flash_matches(const device_model* model, std::span<const std::uint8_t> image);

struct devsim_run_result {
    std::uint32_t state = 0; // the job's final state
    int ticks = 0;
    std::uint32_t virtual_ms = 0;
    bool flash_matches = false; // the image region equals the padded image
};

// One whole update from a reset scripted host (its clock at start_tick) and a fresh device
// configured by `config`: the engine runs tick by tick until JOB_DONE, JOB_FAILED or max_ticks.
// The model is left as the run left it, for its counters and flash.
devsim_run_result devsim_run_update(device_model* model, const device_config& config,
                                    const std::vector<std::uint8_t>& padded_image, int max_ticks,
                                    std::uint32_t start_tick = 0);
