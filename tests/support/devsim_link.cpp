// The scripted host's port wired to the simulated device model.
#include "tests/support/devsim_link.h"

#include <algorithm>
#include <cstring>

namespace {

// Queues a piece by arrival tick. The scripted port reads its queue in order, so a late
// (delayed) piece must not hold up the ones that arrive before it.
void queue_in_arrival_order(std::uint32_t at, const device_piece& piece) {
    auto& rx = scripted::host().rx;
    const std::uint32_t now = scripted::host().now;
    auto after = [&](const scripted::rx_chunk& c) {
        // Compare as signed distances from now, so the order survives tick wrap-around.
        return static_cast<std::int32_t>(c.at - now) > static_cast<std::int32_t>(at - now);
    };
    const auto pos = std::find_if(rx.begin(), rx.end(), after);
    rx.insert(pos, scripted::rx_chunk{at, {piece.bytes.begin(), piece.bytes.begin() + piece.len}});
}

} // namespace

std::uint64_t devsim_link_us(const devsim_link* link, std::uint32_t tick_ms) {
    return std::uint64_t{static_cast<std::uint32_t>(tick_ms - link->base_ms)} * 1000;
}

std::uint32_t devsim_link_tick(const devsim_link* link, std::uint64_t at_us) {
    return link->base_ms + static_cast<std::uint32_t>((at_us + 999) / 1000);
}

void devsim_link_attach(devsim_link* link, device_model* model) {
    link->model = model;
    link->base_ms = scripted::host().now;
    link->pace_requests = model->config.pacing;
    link->tool_line_free_us = 0;
    link->pieces_delivered = 0;
    scripted::host().on_write = [link](std::span<const std::uint8_t> bytes, std::uint32_t now) {
        const std::uint64_t start = std::max(devsim_link_us(link, now), link->tool_line_free_us);
        const std::uint64_t arrive =
            start +
            (link->pace_requests ? device_wire_us(static_cast<std::int64_t>(bytes.size())) : 0);
        link->tool_line_free_us = arrive;
        device_feed(link->model, bytes, arrive);
        device_piece piece{};
        while (device_take_output(link->model, DEVICE_NEVER_US, &piece)) {
            queue_in_arrival_order(devsim_link_tick(link, piece.at_us), piece);
            ++link->pieces_delivered;
        }
    };
}

bool devsim_flash_matches(const device_model* model, std::span<const std::uint8_t> image) {
    const std::size_t offset = DEVICE_IMAGE_BASE - DEVICE_FLASH_BASE;
    if (image.size() > model->flash.size() - offset) {
        return false;
    }
    return std::memcmp(model->flash.data() + offset, image.data(), image.size()) == 0;
}

devsim_run_result devsim_run_update(device_model* model, const device_config& config,
                                    const std::vector<std::uint8_t>& padded_image, int max_ticks,
                                    std::uint32_t start_tick) {
    scripted::reset(start_tick);
    device_init(model, &config);
    devsim_link link;
    devsim_link_attach(&link, model);
    scripted::job_fixture fx(padded_image);
    devsim_run_result r;
    r.ticks = scripted::run_to_end(&fx.job, max_ticks);
    r.state = fx.job.state;
    r.virtual_ms = scripted::host().now - start_tick;
    r.flash_matches = devsim_flash_matches(model, padded_image);
    scripted::host().on_write = nullptr; // the link dies with this frame
    return r;
}
