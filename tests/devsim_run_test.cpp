// Whole update runs of the engine against the simulated device, in virtual time, clean and
// with each fault switch: the device's flash must end up equal to the padded image.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <memory>
#include <string>

#include "tests/support/devsim_link.h"

namespace {

constexpr int MAX_TICKS = 400000; // over an hour of virtual time

std::string ignored_by_reason(const device_model* m) {
    std::string out;
    for (std::uint32_t r = 0; r < IGNORE_REASON_COUNT; ++r) {
        if (m->counters.ignored[r] != 0) {
            out += std::string(out.empty() ? "" : ", ") + ignore_reason_name(r) + " " +
                   std::to_string(m->counters.ignored[r]);
        }
    }
    return out.empty() ? "none" : out;
}

TEST(DevsimRun, ShippedSizeCleanRunWritesTheWholeImage) {
    auto model = std::make_unique<device_model>();
    const auto image = scripted::pattern_image(DEVICE_IMAGE_REGION, 5);
    const auto wall_start = std::chrono::steady_clock::now();
    const devsim_run_result r = devsim_run_update(model.get(), device_config{}, image, MAX_TICKS);
    const auto wall_ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                             std::chrono::steady_clock::now() - wall_start)
                             .count();
    EXPECT_EQ(r.state, JOB_DONE);
    EXPECT_TRUE(r.flash_matches);
    EXPECT_EQ(model->counters.blocks_written, 118u);
    EXPECT_EQ(model->counters.requests[REQ_WRITE_BLOCK], 118u);
    EXPECT_EQ(model->counters.restarts, 1u);
    EXPECT_EQ(device_ignored_total(model.get()), 0u);
    std::printf("118-block run: virtual %.1f s, wall %lld ms, %d ticks\n", r.virtual_ms / 1000.0,
                static_cast<long long>(wall_ms), r.ticks);
    RecordProperty("virtual_ms", static_cast<int>(r.virtual_ms));
    RecordProperty("wall_ms", static_cast<int>(wall_ms));
}

TEST(DevsimRun, StartsCleanlyAcrossTickWrapAround) {
    auto model = std::make_unique<device_model>();
    const auto image = scripted::pattern_image(4 * 1024, 6);
    const devsim_run_result r =
        devsim_run_update(model.get(), device_config{}, image, MAX_TICKS, 0xFFFFFF00u);
    EXPECT_EQ(r.state, JOB_DONE);
    EXPECT_TRUE(r.flash_matches);
}

struct fault_case {
    const char* name;
    void (*apply)(device_config*);
};

reply_selector select(std::uint32_t kind, std::int32_t nth) {
    return {1u << kind, nth, 0};
}
reply_selector share(std::uint32_t kinds, std::uint32_t permille) {
    return {kinds, 0, permille};
}

const fault_case FAULTS[] = {
    {"drop_block_3", [](device_config* c) { c->faults.drop = select(REQ_WRITE_BLOCK, 3); }},
    {"drop_restart_1", [](device_config* c) { c->faults.drop = select(REQ_RESTART, 1); }},
    {"drop_8pct", [](device_config* c) { c->faults.drop = share(KIND_BIT_ALL, 80); }},
    {"corrupt_block_5", [](device_config* c) { c->faults.corrupt = select(REQ_WRITE_BLOCK, 5); }},
    {"corrupt_8pct", [](device_config* c) { c->faults.corrupt = share(KIND_BIT_ALL, 80); }},
    {"split_blocks_3_pieces_20ms",
     [](device_config* c) {
         c->faults.split = share(1u << REQ_WRITE_BLOCK, 1000);
         c->faults.split_pieces = 3;
         c->faults.split_gap_ms = 20;
     }},
    {"split_blocks_gap_60ms",
     [](device_config* c) {
         c->faults.split = share(1u << REQ_WRITE_BLOCK, 1000);
         c->faults.split_gap_ms = 60;
     }},
    {"split_20pct_gap_30ms",
     [](device_config* c) {
         c->faults.split = share(KIND_BIT_ALL, 200);
         c->faults.split_gap_ms = 30;
     }},
    {"delay_block_4_past_timeout",
     [](device_config* c) { c->faults.delay = select(REQ_WRITE_BLOCK, 4); }},
    // The stale contact reply turns up while blocks are being acknowledged.
    {"delay_first_contact_reply_3s",
     [](device_config* c) {
         c->faults.delay = select(REQ_CHECKSUM, 1);
         c->faults.delay_ms = 3000;
     }},
    {"delay_25pct_past_timeout",
     [](device_config* c) { c->faults.delay = share(KIND_BIT_ALL, 250); }},
    {"ignore_restarts_3", [](device_config* c) { c->faults.ignore_restarts = 3; }},
    {"noise_64", [](device_config* c) { c->faults.noise_bytes = 64; }},
    {"power_delay_1234ms", [](device_config* c) { c->power_delay_ms = 1234; }},
    // Power comes while a contact request is on the line: its first 11 bytes are lost.
    {"power_delay_1101ms_mid_frame", [](device_config* c) { c->power_delay_ms = 1101; }},
    {"no_pacing_no_flash_time",
     [](device_config* c) {
         c->pacing = false;
         c->flash_ms = 0;
     }},
    {"mixed",
     [](device_config* c) {
         c->power_delay_ms = 777;
         c->faults.noise_bytes = 20;
         c->faults.drop = share(KIND_BIT_ALL, 30);
         c->faults.corrupt = share(KIND_BIT_ALL, 30);
         c->faults.split = share(KIND_BIT_ALL, 100);
         c->faults.split_pieces = 4;
         c->faults.split_gap_ms = 15;
         c->faults.delay = share(1u << REQ_WRITE_BLOCK, 20);
         c->faults.ignore_restarts = 1;
     }},
};

class DevsimFaultRun : public ::testing::TestWithParam<fault_case> {};

TEST_P(DevsimFaultRun, EndsDoneWithTheImageInFlash) {
    device_config config;
    config.faults.seed = 42;
    GetParam().apply(&config);
    auto model = std::make_unique<device_model>();
    const auto image = scripted::pattern_image(DEVICE_IMAGE_REGION, 11);
    const devsim_run_result r = devsim_run_update(model.get(), config, image, MAX_TICKS);
    EXPECT_EQ(r.state, JOB_DONE);
    EXPECT_TRUE(r.flash_matches);
    std::printf("%s: virtual %.1f s, requests %u, dropped %u, corrupted %u, split %u, delayed %u, "
                "ignored %u (%s)\n",
                GetParam().name, r.virtual_ms / 1000.0, device_requests_total(model.get()),
                model->counters.replies_dropped, model->counters.replies_corrupted,
                model->counters.replies_split, model->counters.replies_delayed,
                device_ignored_total(model.get()), ignored_by_reason(model.get()).c_str());
    RecordProperty("ignored_frames", static_cast<int>(device_ignored_total(model.get())));
}

INSTANTIATE_TEST_SUITE_P(EachSwitch, DevsimFaultRun, ::testing::ValuesIn(FAULTS),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(DevsimRun, FaultedRunsAreSwitchedOnAndReplayExactly) {
    device_config config;
    config.faults.seed = 9;
    FAULTS[std::size(FAULTS) - 1].apply(&config);
    auto a = std::make_unique<device_model>();
    auto b = std::make_unique<device_model>();
    const auto image = scripted::pattern_image(24 * 1024, 12);
    const devsim_run_result ra = devsim_run_update(a.get(), config, image, MAX_TICKS);
    const std::string trace_a = scripted::host().trace;
    const devsim_run_result rb = devsim_run_update(b.get(), config, image, MAX_TICKS);
    EXPECT_EQ(ra.virtual_ms, rb.virtual_ms);
    EXPECT_EQ(trace_a, scripted::host().trace);
    EXPECT_EQ(a->counters.ignored[IGNORED_BY_FAULT], 1u);
    EXPECT_GT(a->counters.replies_split, 0u);
    EXPECT_GT(a->counters.noise_out, 0u);
}

TEST(DevsimRun, WrongImageChecksumEndsInFailure) {
    device_config config;
    config.faults.wrong_image_crc = true;
    auto model = std::make_unique<device_model>();
    const auto image = scripted::pattern_image(8 * 1024, 13);
    const devsim_run_result r = devsim_run_update(model.get(), config, image, MAX_TICKS);
    EXPECT_EQ(r.state, JOB_FAILED);
    EXPECT_TRUE(r.flash_matches); // the image was written; only the report was wrong
    EXPECT_EQ(model->counters.restarts, 0u);
    EXPECT_NE(scripted::host().trace.find("CRC FAIL\n"), std::string::npos);
}

// The device refuses a request with an exception reply: the run ends there, nothing after it
// is sent, and the trace ends with the refusal. Block 3 (not written) and the image checksum
// fail the run, with and without a code; the restart (the image written and verified, the
// device not restarted) completes it.
TEST(DevsimRun, RefusedRequestEndsTheRun) {
    struct refusal {
        std::uint32_t kind;
        std::int32_t nth;
        std::uint8_t code;
        bool without_code;
        std::uint32_t blocks_written;
        const char* trace_tail;
        std::uint32_t state = JOB_FAILED;
    };
    const refusal cases[] = {
        {REQ_WRITE_BLOCK, 3, 0x04, false, 2, "ERROR DEVICE REFUSED BLOCK, EXCEPTION 04\n"},
        {REQ_WRITE_BLOCK, 3, 0x04, true, 2, "RX: 04 ab 42 cf\nERROR DEVICE REFUSED BLOCK\n"},
        // Every checksum request: the refused contact requests still establish the link.
        {REQ_CHECKSUM, 0, 0x04, false, 8, "ERROR DEVICE REFUSED CHECKSUM, EXCEPTION 04\n"},
        {REQ_RESTART, 1, 0x01, false, 8, "RX: 04 ab 01 8e f1\nRESTART ANSWERED WITH EXCEPTION 01\n",
         JOB_DONE},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.trace_tail);
        device_config config;
        config.faults.refuse = {1u << c.kind, c.nth, c.nth == 0 ? 1000u : 0u};
        config.faults.refusal_code = c.code;
        config.faults.refusal_without_code = c.without_code;
        auto model = std::make_unique<device_model>();
        const auto image = scripted::pattern_image(8 * 1024, 13);
        const devsim_run_result r = devsim_run_update(model.get(), config, image, MAX_TICKS);
        EXPECT_EQ(r.state, c.state);
        EXPECT_EQ(model->counters.blocks_written, c.blocks_written);
        if (c.nth > 0) {
            EXPECT_EQ(model->counters.requests[c.kind], static_cast<std::uint32_t>(c.nth));
            EXPECT_EQ(model->counters.refusals, 1u);
        } else {
            EXPECT_EQ(model->counters.refusals, model->counters.requests[c.kind]);
            EXPECT_GE(model->counters.refusals, 2u);
        }
        EXPECT_EQ(model->counters.restarts, 0u);
        const std::string& t = scripted::host().trace;
        const std::string tail = c.trace_tail;
        EXPECT_EQ(t.substr(t.size() - std::min(t.size(), tail.size())), tail);
    }
}

} // namespace
