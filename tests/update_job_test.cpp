// Whole update runs of the engine against the scripted host, tick by tick at 10 ms.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "tests/support/scripted_host.h"

namespace {

using bytes = std::vector<std::uint8_t>;
using scripted::host;

// A minimal well-behaved device: answers each request after `delay_ms`, writes blocks into its
// own copy of the image region, and can be told to stay silent or to lie about its checksum.
struct test_device {
    bytes flash;
    std::uint32_t delay_ms = 2;
    std::uint32_t powered_at = 0;   // requests written before this tick get no answer
    std::uint16_t crc_xor = 0;      // non-zero: the whole-image checksum reported is wrong
    int drop_block_acks = 0;        // the first n block acknowledgements are lost
    std::uint32_t stale_ack_ms = 0; // non-zero: the first block ack is held back this long
    std::int32_t ack_len = 11;      // length of block acknowledgements (at least 4)
    std::uint32_t ack_addr_xor = 0; // non-zero: acknowledgements carry a wrong address
    int short_checksum_replies = 0; // the first n whole-image replies are 13 bytes long
    int drop_image_replies = 0;     // the first n whole-image checksum replies are lost
    int ignore_restarts = 0;        // the first n restart requests get no answer
    int block_acks = 0;

    explicit test_device(std::size_t size) : flash(size, 0xFF) {}

    void answer(std::span<const std::uint8_t> req, std::uint32_t now) {
        if (now < powered_at || req.size() < 5 ||
            !reply_is_valid(req.data(), static_cast<std::int32_t>(req.size()))) {
            return;
        }
        bytes reply(req.begin(), req.end());
        std::uint32_t at = now + delay_ms;
        if (req[2] == CMD_CHECKSUM && req.size() == 13) {
            const std::uint32_t addr = read_be32(&req[3]) - FLASH_IMAGE_BASE;
            const std::uint32_t len = read_be32(&req[7]);
            std::uint16_t crc = crc16_modbus(flash.data() + addr, len);
            if (len > 4) {
                if (drop_image_replies > 0) {
                    --drop_image_replies;
                    return;
                }
                crc ^= crc_xor;
                if (short_checksum_replies > 0) {
                    --short_checksum_replies;
                    reply.resize(13);
                    frame_seal(reply.data(), 13);
                    scripted::deliver(at, reply);
                    return;
                }
            }
            reply.resize(15);
            reply[11] = static_cast<std::uint8_t>(crc >> 8);
            reply[12] = static_cast<std::uint8_t>(crc);
        } else if (req[2] == CMD_WRITE_BLOCK) {
            const std::uint32_t addr = read_be32(&req[3]);
            const std::size_t n = read_be16(&req[7]);
            std::copy_n(&req[9], n, flash.begin() + (addr - FLASH_IMAGE_BASE));
            if (block_acks++ < drop_block_acks) {
                return;
            }
            const std::uint32_t acked = addr ^ ack_addr_xor;
            reply.resize(static_cast<std::size_t>(ack_len));
            for (std::size_t i = 3; i < 7 && i + 2 < reply.size(); ++i) {
                reply[i] = static_cast<std::uint8_t>(acked >> (8 * (6 - i)));
            }
            at += 20; // flash time
            if (block_acks == 1 && stale_ack_ms > 0) {
                at = now + stale_ack_ms;
            }
        } else if (req[2] == CMD_RESTART && ignore_restarts > 0) {
            --ignore_restarts;
            return;
        }
        frame_seal(reply.data(), static_cast<std::int32_t>(reply.size()));
        scripted::deliver(at, reply);
    }

    void attach() {
        host().on_write = [this](std::span<const std::uint8_t> req, std::uint32_t now) {
            answer(req, now);
        };
    }
};

int count_of(const std::string& text, const std::string& needle) {
    int n = 0;
    for (auto pos = text.find(needle); pos != std::string::npos; pos = text.find(needle, pos + 1)) {
        ++n;
    }
    return n;
}

std::vector<bytes> writes_of(std::uint8_t command) {
    std::vector<bytes> out;
    for (const auto& w : host().writes) {
        if (w.size() > 2 && w[2] == command) {
            out.push_back(w);
        }
    }
    return out;
}

bytes block_ack(std::uint32_t address) {
    bytes ack{0x04, 0x2b, 0xf5, 0, 0, 0, 0, 0x04, 0x00, 0, 0};
    for (int i = 0; i < 4; ++i) {
        ack[3 + i] = static_cast<std::uint8_t>(address >> (24 - 8 * i));
    }
    frame_seal(ack.data(), 11);
    return ack;
}

class UpdateRun : public ::testing::Test {
  protected:
    void SetUp() override { scripted::reset(); }
};

TEST_F(UpdateRun, ShippedSizeImageCompletesWithTheExpectedTraceAndStatus) {
    constexpr std::size_t size = 0x1D800;
    scripted::job_fixture fx(scripted::pattern_image(size));
    test_device dev(size);
    dev.attach();

    const int ticks = scripted::run_to_end(&fx.job, 100000);
    ASSERT_EQ(fx.job.state, JOB_DONE);
    EXPECT_EQ(dev.flash, fx.image);
    std::printf("virtual time of the 118-block run: %u ms in %d ticks\n", host().now, ticks);

    // The device answers within the 100 ms sleep, so the first resend's read holds two joined
    // replies and is dropped; the next tick's read holds one and establishes the link.
    const auto& w = host().writes;
    ASSERT_GE(w.size(), 3u + 118 + 2);
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(w[i], (bytes{0x04, 0x2b, 0xf6, 0x08, 0x00, 0x40, 0x00, 0x00, 0x00, 0x00, 0x04,
                               0x42, 0x5a}));
    }
    EXPECT_EQ(writes_of(CMD_WRITE_BLOCK).size(), 118u);
    EXPECT_EQ(writes_of(CMD_CHECKSUM).back(), (bytes{0x04, 0x2b, 0xf6, 0x08, 0x00, 0x40, 0x00, 0x00,
                                                     0x01, 0xd8, 0x00, 0x48, 0x59}));
    EXPECT_EQ(w.back(), (bytes{0x04, 0x2b, 0xf7, 0x6f, 0x77}));
    EXPECT_EQ(host().purges, 1);

    const std::string& t = host().trace;
    EXPECT_EQ(t.rfind("CONTACTING...\nCONTACTING...\nRX:", 0), 0u);
    const std::string first_block =
        "PROG ADDR 0x8004000, LEN 0x400, FROM 0... - SENT - RX: 04 2b f5 "
        "08 00 40 00 04 00 " +
        [] {
            const bytes a = block_ack(0x08004000);
            char buf[8];
            std::snprintf(buf, sizeof buf, "%02x %02x", a[9], a[10]);
            return std::string(buf);
        }() +
        "\n- OK\n";
    EXPECT_NE(t.find("REMOTE DEVICE LINK ESTABLISHED\n" + first_block), std::string::npos);
    EXPECT_NE(t.find("PROG ADDR 0x8004400, LEN 0x400, FROM 0x400... - SENT - "), std::string::npos);
    EXPECT_EQ(count_of(t, "- OK\n"), 118);
    EXPECT_EQ(count_of(t, "TIMEOUT"), 0);
    const std::uint16_t crc = crc16_modbus(fx.image.data(), size);
    char crc_lines[96];
    std::snprintf(crc_lines, sizeof crc_lines, "Remote CRC %#x\nLocal  CRC %#x\nCRCs match\n", crc,
                  crc);
    EXPECT_NE(t.find("Verifying address 0x8004000, image size 0x1d800 bytes\n"
                     "frame length   13 bytes sent\n"),
              std::string::npos);
    EXPECT_NE(t.find(crc_lines), std::string::npos);
    EXPECT_NE(t.find("Resetting target\nframe length    5 bytes sent\nRX: 04 2b f7 6f 77\n"
                     "frame length    5 bytes received & OK\n"),
              std::string::npos);

    // Standard output is flushed after each of the three pieces of a block's progress.
    EXPECT_EQ(host().flushes.size(), 3u * 118);
    EXPECT_EQ(t.substr(0, host().flushes[0]).substr(t.substr(0, host().flushes[0]).size() - 3),
              "...");

    std::vector<std::string> expected{"Establishing Link..."};
    for (std::uint32_t a = 0; a < size; a += 1024) {
        char buf[32];
        std::snprintf(buf, sizeof buf, "programming %#x", FLASH_IMAGE_BASE + a);
        expected.emplace_back(buf);
    }
    expected.insert(expected.end(), {"Verifying...", "Program Verified OK", "Resetting target...",
                                     "Programming Completed OK"});
    EXPECT_EQ(host().status, expected);

    // 118 tones of 3000 Hz for 50 ms, and 200 ms of sleep around each block.
    EXPECT_EQ(host().beeps.size(), 118u);
    EXPECT_EQ(host().beeps.front(), (std::pair<std::uint32_t, std::uint32_t>{3000, 50}));
}

TEST_F(UpdateRun, OneBlockImageGoesStraightToVerify) {
    scripted::job_fixture fx(scripted::pattern_image(1024));
    test_device dev(1024);
    dev.attach();
    ASSERT_EQ(scripted::run_to_end(&fx.job, 1000) < 1000, true);
    EXPECT_EQ(fx.job.state, JOB_DONE);
    EXPECT_EQ(writes_of(CMD_WRITE_BLOCK).size(), 1u);
    EXPECT_NE(host().trace.find("- OK\nVerifying address 0x8004000, image size 0x400 bytes\n"),
              std::string::npos);
}

TEST_F(UpdateRun, ChecksumMismatchFailsAndSendsNothingMore) {
    scripted::job_fixture fx(scripted::pattern_image(3 * 1024));
    test_device dev(3 * 1024);
    dev.crc_xor = 0x0101;
    dev.attach();
    scripted::run_to_end(&fx.job, 5000);
    ASSERT_EQ(fx.job.state, JOB_FAILED);
    EXPECT_EQ(host().status.back(), "FAILED");
    const std::string& t = host().trace;
    EXPECT_EQ(t.substr(t.size() - 9), "CRC FAIL\n");
    const auto writes = host().writes.size();
    const auto trace_len = t.size();
    scripted::run_ticks(&fx.job, 2000); // 20 s more of ticks
    EXPECT_EQ(host().writes.size(), writes);
    EXPECT_EQ(host().trace.size(), trace_len);
    EXPECT_EQ(fx.job.state, JOB_FAILED);
}

TEST_F(UpdateRun, LateDeviceIsCalledAboutEvery110MsUntilItAnswers) {
    scripted::job_fixture fx(scripted::pattern_image(2 * 1024));
    test_device dev(2 * 1024);
    dev.powered_at = 2000;
    dev.attach();
    scripted::run_ticks(&fx.job, 1000, [&] { return fx.job.state == JOB_PROGRAM; });
    const auto contacts = writes_of(CMD_CHECKSUM);
    std::vector<std::uint32_t> times;
    for (std::size_t i = 0; i < host().writes.size(); ++i) {
        if (host().writes[i][2] == CMD_CHECKSUM) {
            times.push_back(host().write_times[i]);
        }
    }
    // From tick 10 every 110 ms; the first request the powered device hears (at 2100) is
    // answered and its reply read after the request's sleep: 20 identical contact requests.
    ASSERT_EQ(times.size(), 20u);
    ASSERT_EQ(contacts.size(), times.size());
    for (std::size_t i = 1; i < times.size(); ++i) {
        EXPECT_EQ(times[i] - times[i - 1], 110u);
    }
    EXPECT_EQ(times.front(), 10u);
    EXPECT_EQ(times.back(), 2100u);
    for (const auto& c : contacts) {
        EXPECT_EQ(c, contacts.front());
    }
    EXPECT_EQ(read_be32(&contacts.front()[7]), 4u);
    EXPECT_EQ(count_of(host().trace, "TIMEOUT"), 0);
    EXPECT_EQ(host().status,
              (std::vector<std::string>{"Establishing Link...", "programming 0x8004000"}));
}

TEST_F(UpdateRun, AckSplitAcrossTicksIsJoinedWhenGapsAreAtMost50Ms) {
    scripted::job_fixture fx(scripted::pattern_image(2 * 1024));
    test_device dev(2 * 1024);
    dev.drop_block_acks = 1; // the test delivers the first acknowledgement itself
    dev.attach();
    scripted::run_ticks(&fx.job, 100, [&] { return fx.job.state == JOB_PROGRAM; });
    const bytes ack = block_ack(FLASH_IMAGE_BASE);
    const std::uint32_t t0 = host().now + 5;
    scripted::deliver(t0, std::span(ack).first(3));
    scripted::deliver(t0 + 50, std::span(ack).subspan(3, 4));
    scripted::deliver(t0 + 100, std::span(ack).subspan(7));
    scripted::run_to_end(&fx.job, 1000);
    EXPECT_EQ(fx.job.state, JOB_DONE);
    EXPECT_EQ(writes_of(CMD_WRITE_BLOCK).size(), 2u);
    EXPECT_EQ(count_of(host().trace, "RX: 04 2b f5"), 2);
}

TEST_F(UpdateRun, PieceJudgedAfterAGapIsKeptAndCompletedByLaterBytes) {
    scripted::job_fixture fx(scripted::pattern_image(2 * 1024));
    test_device dev(2 * 1024);
    dev.drop_block_acks = 1;
    dev.attach();
    scripted::run_ticks(&fx.job, 100, [&] { return fx.job.state == JOB_PROGRAM; });
    const bytes ack = block_ack(FLASH_IMAGE_BASE);
    scripted::deliver(host().now, std::span(ack).first(5));
    scripted::deliver(host().now + 70, std::span(ack).subspan(5));
    scripted::run_to_end(&fx.job, 1000);
    // The first piece was judged alone after 50 ms of silence and failed, but stayed in the
    // buffer; the rest was appended to it and the whole acknowledgement then passed.
    const std::string& t = host().trace;
    EXPECT_NE(t.find(" - SENT - RX: 04 2b f5 08 00\nRX: 04 2b f5 08 00 40 00 04 00 "),
              std::string::npos);
    EXPECT_EQ(count_of(t, "TIMEOUT"), 0);
    EXPECT_EQ(fx.job.state, JOB_DONE);
}

TEST_F(UpdateRun, NoiseBeforeAnAckSpoilsItUntilTheTimeoutResends) {
    scripted::job_fixture fx(scripted::pattern_image(2 * 1024));
    test_device dev(2 * 1024);
    dev.drop_block_acks = 1;
    dev.attach();
    scripted::run_ticks(&fx.job, 100, [&] { return fx.job.state == JOB_PROGRAM; });
    const std::uint32_t sent = fx.job.sent_at;
    scripted::deliver(host().now, bytes{0x00, 0xff});
    scripted::deliver(host().now + 70, block_ack(FLASH_IMAGE_BASE));
    scripted::run_ticks(&fx.job, 2000, [&] { return writes_of(CMD_WRITE_BLOCK).size() > 1; });
    EXPECT_GT(count_of(host().trace, "RX: 00 ff 04 2b f5"), 100); // judged on every tick
    EXPECT_EQ(count_of(host().trace, "- OK"), 0);
    EXPECT_TRUE(host().beeps.empty()); // the tone follows the check, never a bad reply
    ASSERT_EQ(count_of(host().trace, "TIMEOUT\n"), 1);
    EXPECT_GT(host().write_times.back() - sent, 10000u);
    EXPECT_EQ(writes_of(CMD_WRITE_BLOCK)[0], writes_of(CMD_WRITE_BLOCK)[1]);
    scripted::run_to_end(&fx.job, 1000);
    EXPECT_EQ(fx.job.state, JOB_DONE);
    EXPECT_EQ(dev.flash, fx.image);
}

TEST_F(UpdateRun, LostAckTimesOutAfterMoreThan10sAndResendsTheIdenticalBlock) {
    scripted::job_fixture fx(scripted::pattern_image(4 * 1024));
    test_device dev(4 * 1024);
    dev.drop_block_acks = 2; // block 0 once, then its resend once
    dev.attach();
    scripted::run_to_end(&fx.job, 10000);
    ASSERT_EQ(fx.job.state, JOB_DONE);
    EXPECT_EQ(dev.flash, fx.image);
    const auto blocks = writes_of(CMD_WRITE_BLOCK);
    ASSERT_EQ(blocks.size(), 6u);
    EXPECT_EQ(blocks[0], blocks[1]);
    EXPECT_EQ(blocks[1], blocks[2]);
    std::vector<std::uint32_t> times;
    for (std::size_t i = 0; i < host().writes.size(); ++i) {
        if (host().writes[i][2] == CMD_WRITE_BLOCK) {
            times.push_back(host().write_times[i]);
        }
    }
    // sent_at is taken 100 ms before the write, so write-to-write is the time-out plus one tick.
    EXPECT_EQ(times[1] - times[0], 10000u + 10);
    EXPECT_EQ(times[2] - times[1], 10000u + 10);
    const std::string& t = host().trace;
    EXPECT_NE(t.find("FROM 0... - SENT - TIMEOUT\nPROG ADDR 0x8004000, LEN 0x400, FROM 0..."),
              std::string::npos);
    EXPECT_EQ(count_of(t, "TIMEOUT\n"), 2);
}

TEST_F(UpdateRun, StaleAckJoinedWithTheResentBlocksAckFailsAndIsSentOnceMore) {
    scripted::job_fixture fx(scripted::pattern_image(2 * 1024));
    test_device dev(2 * 1024);
    dev.stale_ack_ms = 10150; // lands during the resend's sleeps, queued with the fresh ack
    dev.attach();
    scripted::run_to_end(&fx.job, 10000);
    ASSERT_EQ(fx.job.state, JOB_DONE);
    EXPECT_EQ(dev.flash, fx.image);
    EXPECT_EQ(writes_of(CMD_WRITE_BLOCK).size(), 4u); // block 0 three times, block 1 once
    EXPECT_EQ(count_of(host().trace, "TIMEOUT\n"), 2);
    EXPECT_EQ(count_of(host().trace, "- OK\n"), 2);
}

TEST_F(UpdateRun, FloodOfBytesNeverGrowsTheFramePastItsCapacity) {
    scripted::job_fixture fx(scripted::pattern_image(2 * 1024));
    fx.frame_buf.resize(FRAME_CAPACITY + 16, 0xA5); // guard bytes after the buffer
    fx.job.frame = fx.frame_buf.data();
    test_device dev(2 * 1024);
    dev.drop_block_acks = 1;
    dev.attach();
    scripted::run_ticks(&fx.job, 100, [&] { return fx.job.state == JOB_PROGRAM; });
    scripted::deliver(host().now, bytes(2100, 0x33)); // two buffers and then some
    const int reads_before = host().reads;
    for (int i = 0; i < 30; ++i) {
        scripted::run_ticks(&fx.job, 1);
        ASSERT_GE(fx.job.frame_len, 0);
        ASSERT_LE(fx.job.frame_len, FRAME_CAPACITY);
    }
    EXPECT_EQ(fx.job.frame_len, FRAME_CAPACITY);
    EXPECT_EQ(host().reads - reads_before, 1);       // a full buffer is not read further
    EXPECT_GT(count_of(host().trace, "RX: 33"), 20); // judged and dumped on every tick
    for (std::size_t i = FRAME_CAPACITY; i < fx.frame_buf.size(); ++i) {
        ASSERT_EQ(fx.frame_buf[i], 0xA5);
    }
    // The time-out's resend clears it; the flood left in the queue is read and fails in turn
    // until it is used up, and the run still ends with the right image.
    scripted::run_to_end(&fx.job, 20000);
    EXPECT_EQ(fx.job.state, JOB_DONE);
    EXPECT_EQ(dev.flash, fx.image);
}

TEST_F(UpdateRun, ShortChecksumReplyIsIgnoredAndTheRequestResentAfter10s) {
    scripted::job_fixture fx(scripted::pattern_image(2 * 1024));
    test_device dev(2 * 1024);
    dev.short_checksum_replies = 1;
    dev.attach();
    fx.frame_buf.assign(FRAME_CAPACITY, 0); // stale bytes 11 and 12 would read as checksum 0
    scripted::run_to_end(&fx.job, 5000);
    ASSERT_EQ(fx.job.state, JOB_DONE);
    const std::string& t = host().trace;
    EXPECT_EQ(count_of(t, "CRC FAIL"), 0);
    EXPECT_EQ(count_of(t, "Remote CRC"), 1);
    EXPECT_EQ(count_of(t, "Verifying address"), 2);
    EXPECT_EQ(count_of(t, "TIMEOUT"), 0);
}

TEST_F(UpdateRun, AckWithoutAFullAddressOrWithAnotherAddressIsLoggedAndAccepted) {
    for (const auto& [len, addr_xor] :
         {std::pair{4, 0u}, std::pair{6, 0u}, std::pair{11, 0x400u}}) {
        scripted::reset();
        scripted::job_fixture fx(scripted::pattern_image(2 * 1024));
        test_device dev(2 * 1024);
        dev.ack_len = len;
        dev.ack_addr_xor = addr_xor;
        dev.attach();
        scripted::run_to_end(&fx.job, 5000);
        EXPECT_EQ(fx.job.state, JOB_DONE) << len;
        EXPECT_EQ(count_of(host().trace, "ERROR MISMATCHED REPLY TO COMMAND\n- OK\n"), 2) << len;
    }
}

// A six-byte acknowledgement has no byte 6 of its own: the address is not completed from the
// request it overwrote, even when that byte would make it match. The checksum of 04 0b bd 08
// is 0x4000, so this reply's bytes 3 to 5 read 08 00 40, and the request's byte 6 is 00.
TEST_F(UpdateRun, SixByteAckIsNotCompletedFromTheRequestItOverwrote) {
    scripted::job_fixture fx(scripted::pattern_image(1024));
    test_device dev(1024);
    dev.drop_block_acks = 1;
    dev.attach();
    scripted::run_ticks(&fx.job, 100, [&] { return fx.job.state == JOB_PROGRAM; });
    const bytes six{0x04, 0x0b, 0xbd, 0x08, 0x00, 0x40};
    ASSERT_TRUE(reply_is_valid(six.data(), 6));
    scripted::deliver(host().now, six);
    scripted::run_to_end(&fx.job, 1000);
    EXPECT_EQ(fx.job.state, JOB_DONE);
    EXPECT_NE(host().trace.find("RX: 04 0b bd 08 00 40\nERROR MISMATCHED REPLY TO COMMAND\n- OK\n"),
              std::string::npos);
}

// The tick counter wraps through zero during each kind of wait without a false time-out.
TEST_F(UpdateRun, TickWrapDuringEachWaitCausesNoFalseTimeout) {
    const std::uint32_t phases[] = {JOB_AWAIT_LINK, JOB_PROGRAM, JOB_VERIFY, JOB_RESTART};
    for (std::uint32_t phase : phases) {
        // First find when the phase is entered, then start the clock so that it wraps
        // 30 ms after that moment, while the device takes 60 ms to answer.
        scripted::reset(1000);
        scripted::job_fixture probe(scripted::pattern_image(2 * 1024));
        test_device d1(2 * 1024);
        d1.delay_ms = 60;
        d1.attach();
        scripted::run_ticks(&probe.job, 5000, [&] { return probe.job.state == phase; });
        const std::uint32_t entered = probe.job.sent_at - 1000;

        scripted::reset(0u - entered - 30);
        scripted::job_fixture fx(scripted::pattern_image(2 * 1024));
        test_device dev(2 * 1024);
        dev.delay_ms = 60;
        dev.attach();
        const std::uint32_t start = host().now;
        scripted::run_ticks(&fx.job, 5000, [&] { return host().now < start; });
        EXPECT_EQ(fx.job.state, phase) << "the counter wrapped in another phase";
        scripted::run_to_end(&fx.job, 5000);
        EXPECT_EQ(fx.job.state, JOB_DONE) << phase;
        EXPECT_EQ(count_of(host().trace, "TIMEOUT"), 0) << phase;
        EXPECT_EQ(writes_of(CMD_CHECKSUM).size(), 3u + 1) << phase; // 3 contacts, 1 verify
        EXPECT_EQ(writes_of(CMD_WRITE_BLOCK).size(), 2u) << phase;
        EXPECT_EQ(count_of(host().trace, "Verifying address"), 1) << phase;
        EXPECT_EQ(writes_of(CMD_RESTART).size(), 1u) << phase;
        EXPECT_EQ(dev.flash, fx.image) << phase;
    }
}

// A refusal included: the contact only shows that something answers.
TEST_F(UpdateRun, ValidContactReplyOfAnyContentEstablishesTheLink) {
    for (bytes odd : {bytes{0x77, 0x01, 0x00, 0x00}, bytes{0x04, 0xab, 0x01, 0x00, 0x00}}) {
        scripted::reset();
        scripted::job_fixture fx(scripted::pattern_image(1024));
        scripted::run_ticks(&fx.job, 2); // start, first contact request
        frame_seal(odd.data(), static_cast<std::int32_t>(odd.size()));
        scripted::deliver(host().now, odd);
        scripted::run_ticks(&fx.job, 1);
        EXPECT_EQ(fx.job.state, JOB_PROGRAM);
        EXPECT_EQ(fx.job.timeout_ms, REPLY_TIMEOUT_MS);
    }
}

TEST_F(UpdateRun, DoneAndFailedAndUnknownStatesDoNothing) {
    scripted::job_fixture fx(scripted::pattern_image(1024));
    for (std::uint32_t s : {5u, 7u, 8u, 0xFFFFFFFFu}) {
        fx.job.state = s;
        scripted::run_ticks(&fx.job, 20);
        EXPECT_EQ(fx.job.state, s);
    }
    EXPECT_TRUE(host().writes.empty());
    EXPECT_TRUE(host().trace.empty());
    EXPECT_EQ(host().reads, 0);
}

std::string timeline() {
    std::string out;
    for (const auto& line : host().timeline) {
        out += line + "\n";
    }
    return out;
}

std::vector<std::uint32_t> write_times_of(std::uint8_t command) {
    std::vector<std::uint32_t> times;
    for (std::size_t i = 0; i < host().writes.size(); ++i) {
        if (host().writes[i].size() > 2 && host().writes[i][2] == command) {
            times.push_back(host().write_times[i]);
        }
    }
    return times;
}

// The whole timing record of a one-block run whose device ignores two restart requests: the
// contact request's sleep, the sleeps on both sides of the block, the tone only once the
// acknowledgement has been judged after 50 ms of silence, and restarts every 110 ms.
TEST_F(UpdateRun, OneBlockRunKeepsItsTimingToTheMillisecond) {
    scripted::job_fixture fx(scripted::pattern_image(1024));
    test_device dev(1024);
    dev.ignore_restarts = 2;
    dev.attach();
    host().record_timeline = true;
    scripted::run_to_end(&fx.job, 1000);
    ASSERT_EQ(fx.job.state, JOB_DONE);
    EXPECT_EQ(timeline(), "10 status Establishing Link...\n"
                          "10 write f6 13\n"
                          "10 sleep 100\n"
                          "120 write f6 13\n" // 100 ms sleep + one tick
                          "120 sleep 100\n"
                          "220 read 30\n" // two replies read together: dropped
                          "230 write f6 13\n"
                          "230 sleep 100\n"
                          "330 read 15\n"
                          "330 purge\n"
                          "330 status programming 0x8004000\n"
                          "330 sleep 100\n"
                          "430 write f5 1035\n"
                          "430 sleep 100\n"
                          "540 read 11\n"
                          "600 beep 3000 50\n" // more than 50 ms after the last byte
                          "650 status Verifying...\n"
                          "650 write f6 13\n"
                          "660 read 15\n"
                          "660 status Program Verified OK\n"
                          "660 status Resetting target...\n"
                          "660 write f7 5\n"
                          "770 status Resetting target...\n"
                          "770 write f7 5\n"
                          "880 status Resetting target...\n"
                          "880 write f7 5\n"
                          "890 read 5\n"
                          "890 status Programming Completed OK\n");
    const bytes ack = block_ack(FLASH_IMAGE_BASE);
    char ack_crc[8];
    std::snprintf(ack_crc, sizeof ack_crc, "%02x %02x", ack[9], ack[10]);
    EXPECT_EQ(host().trace.substr(host().trace.find("REMOTE")),
              std::string("REMOTE DEVICE LINK ESTABLISHED\n"
                          "PROG ADDR 0x8004000, LEN 0x400, FROM 0... - SENT - RX: 04 2b f5 08 00 "
                          "40 00 04 00 ") +
                  ack_crc +
                  "\n- OK\n"
                  "Verifying address 0x8004000, image size 0x400 bytes\n"
                  "frame length   13 bytes sent\n"
                  "RX: 04 2b f6 08 00 40 00 00 00 04 00 26 f3 aa 4f\n"
                  "Remote CRC 0x26f3\nLocal  CRC 0x26f3\nCRCs match\n"
                  "Resetting target\nframe length    5 bytes sent\n"
                  "Resetting target\nframe length    5 bytes sent\n"
                  "Resetting target\nframe length    5 bytes sent\n"
                  "RX: 04 2b f7 6f 77\nframe length    5 bytes received & OK\n");
}

// Each resending state keeps its own cadence: the checksum request after more than 10 s, the
// block after more than 10 s counted from before its first sleep, the restart every 110 ms.
TEST_F(UpdateRun, EachResendingStateKeepsItsCadence) {
    scripted::job_fixture fx(scripted::pattern_image(2048));
    test_device dev(2048);
    dev.drop_block_acks = 1;
    dev.drop_image_replies = 2;
    dev.ignore_restarts = 4;
    dev.attach();
    scripted::run_to_end(&fx.job, 10000);
    ASSERT_EQ(fx.job.state, JOB_DONE);
    EXPECT_EQ(dev.flash, fx.image);
    const auto blocks = write_times_of(CMD_WRITE_BLOCK);
    ASSERT_EQ(blocks.size(), 3u);
    EXPECT_EQ(blocks[1] - blocks[0], 10010u);
    // After an acknowledged block: sleep 100, a tick, 60 ms of silence, the 50 ms tone, 100.
    EXPECT_EQ(blocks[2] - blocks[1], 320u);
    const auto checksums = write_times_of(CMD_CHECKSUM);
    ASSERT_EQ(checksums.size(), 3u + 3); // three contacts, the image checksum three times
    EXPECT_EQ(checksums[4] - checksums[3], 10010u);
    EXPECT_EQ(checksums[5] - checksums[4], 10010u);
    const auto restarts = write_times_of(CMD_RESTART);
    ASSERT_EQ(restarts.size(), 5u);
    for (std::size_t i = 1; i < restarts.size(); ++i) {
        EXPECT_EQ(restarts[i] - restarts[i - 1], 110u) << i;
    }
    EXPECT_EQ(count_of(host().trace, "TIMEOUT\n"), 1); // only the block's resend says so
    EXPECT_EQ(count_of(host().trace, "Verifying address"), 3);
    // Every request sent again is counted: two contacts, the block, two checksums, four restarts.
    EXPECT_EQ(fx.job.resends, 2u + 1 + 2 + 4);
}

// A second press of "Update Device" on the same record starts over: first block, contact
// time-out and block length all reset, whatever the first run left behind.
TEST_F(UpdateRun, SecondPressStartsOverFromTheFirstBlock) {
    const std::size_t size = 1536; // a full block and a short last one
    scripted::job_fixture fx(scripted::pattern_image(size));
    test_device dev(size);
    dev.attach();
    scripted::run_to_end(&fx.job, 2000);
    ASSERT_EQ(fx.job.state, JOB_DONE);
    ASSERT_EQ(fx.job.timeout_ms, REPLY_TIMEOUT_MS);

    // The device is unplugged and comes back 1 s after the second press.
    dev.flash.assign(size, 0xFF);
    dev.powered_at = host().now + 1000;
    const std::size_t first_write = host().writes.size();
    fx.job.state = JOB_START;
    scripted::run_to_end(&fx.job, 2000);
    ASSERT_EQ(fx.job.state, JOB_DONE);
    EXPECT_EQ(dev.flash, fx.image);

    std::vector<bytes> second(host().writes.begin() + static_cast<std::ptrdiff_t>(first_write),
                              host().writes.end());
    std::vector<std::uint32_t> contact_times;
    std::vector<std::size_t> block_lengths;
    for (std::size_t i = first_write; i < host().writes.size(); ++i) {
        const bytes& w = host().writes[i];
        if (w[2] == CMD_CHECKSUM && w.size() == 13 && read_be32(&w[7]) == 4) {
            contact_times.push_back(host().write_times[i]);
        } else if (w[2] == CMD_WRITE_BLOCK) {
            block_lengths.push_back(read_be16(&w[7]));
            EXPECT_EQ(read_be32(&w[3]), FLASH_IMAGE_BASE + 1024 * (block_lengths.size() - 1));
        }
    }
    ASSERT_GE(contact_times.size(), 9u);
    for (std::size_t i = 1; i < contact_times.size(); ++i) {
        EXPECT_EQ(contact_times[i] - contact_times[i - 1], 110u) << i;
    }
    EXPECT_EQ(block_lengths, (std::vector<std::size_t>{1024, 512}));
    // The count of resends starts again too: only this run's contact requests after the first.
    EXPECT_EQ(fx.job.resends, contact_times.size() - 1);
}

TEST_F(UpdateRun, PressDuringTheBlocksRestartsFromContact) {
    scripted::job_fixture fx(scripted::pattern_image(4096));
    test_device dev(4096);
    dev.attach();
    scripted::run_ticks(&fx.job, 2000, [&] { return fx.job.image_offset == 2048; });
    ASSERT_EQ(fx.job.state, JOB_PROGRAM);
    const std::size_t first_write = host().writes.size();
    fx.job.state = JOB_START;
    scripted::run_to_end(&fx.job, 2000);
    ASSERT_EQ(fx.job.state, JOB_DONE);
    std::vector<std::uint32_t> addresses;
    for (std::size_t i = first_write; i < host().writes.size(); ++i) {
        if (host().writes[i][2] == CMD_WRITE_BLOCK) {
            addresses.push_back(read_be32(&host().writes[i][3]));
        }
    }
    EXPECT_EQ(addresses,
              (std::vector<std::uint32_t>{0x08004000, 0x08004400, 0x08004800, 0x08004C00}));
    EXPECT_EQ(dev.flash, fx.image);
}

// A frame buffer exactly as long as the largest request still sends it; one byte shorter
// cannot hold the block, so nothing is written and no byte past the buffer is touched.
TEST_F(UpdateRun, FrameBufferThatExactlyFitsTheBlockIsEnough) {
    for (const std::int32_t cap : {1035, 1034}) {
        SCOPED_TRACE(cap);
        scripted::reset();
        scripted::job_fixture fx(scripted::pattern_image(1024));
        fx.frame_buf.assign(static_cast<std::size_t>(cap), 0);
        fx.job.frame = fx.frame_buf.data();
        fx.job.frame_cap = cap;
        test_device dev(1024);
        dev.attach();
        scripted::run_to_end(&fx.job, 300);
        if (cap == 1035) {
            EXPECT_EQ(fx.job.state, JOB_DONE);
            EXPECT_EQ(dev.flash, fx.image);
        } else {
            EXPECT_EQ(fx.job.state, JOB_PROGRAM);
            EXPECT_TRUE(writes_of(CMD_WRITE_BLOCK).empty());
        }
    }
}

// Replies that turn up in the wrong state: each kind, in the checksum wait, the restart wait and
// a block's wait. `ends` says whether the reply is taken as the one the state waits for;
// `line`, when set, is the line that must follow its "RX:" dump: a refusal that fails the run,
// or an exception that answers the restart.
struct stray_reply {
    const char* what;
    bytes reply; // sealed below, unless damaged on purpose
    bool ends;
    const char* line = nullptr;
};

bytes sealed(bytes frame) {
    frame_seal(frame.data(), static_cast<std::int32_t>(frame.size()));
    return frame;
}

// The trace from the reply's "RX:" dump on is the dump, then exactly `line`.
void expect_trace_ends(const bytes& reply, const char* line) {
    std::string tail = "RX:";
    for (std::uint8_t b : reply) {
        char hex[4];
        std::snprintf(hex, sizeof hex, " %02x", b);
        tail += hex;
    }
    tail += "\n";
    tail += line;
    EXPECT_EQ(host().trace.substr(host().trace.rfind("RX:")), tail);
}

// A refusal ends the run: its dump, then exactly `line`, "FAILED", and nothing more is sent
// or traced in 20 s of ticks.
void expect_refused(update_job* job, const bytes& reply, const char* line) {
    ASSERT_EQ(job->state, JOB_FAILED);
    EXPECT_EQ(host().status.back(), "FAILED");
    expect_trace_ends(reply, line);
    const auto writes = host().writes.size();
    const auto trace_len = host().trace.size();
    scripted::run_ticks(job, 2000);
    EXPECT_EQ(host().writes.size(), writes);
    EXPECT_EQ(host().trace.size(), trace_len);
}

TEST_F(UpdateRun, StrayRepliesWhileTheRestartIsAwaited) {
    const stray_reply cases[] = {
        {"late block acknowledgement", sealed(block_ack(FLASH_IMAGE_BASE)), false},
        {"late checksum reply",
         sealed({0x04, 0x2b, 0xf6, 0x08, 0x00, 0x40, 0x00, 0, 0, 0x04, 0, 0x12, 0x34, 0, 0}),
         false},
        {"five bytes echoing a checksum header", sealed({0x04, 0x2b, 0xf6, 0, 0}), false},
        {"five bytes echoing a block header", sealed({0x04, 0x2b, 0xf5, 0, 0}), false},
        {"four bytes: no sub-command to compare", sealed({0x04, 0x2b, 0, 0}), true},
        {"another function byte", sealed({0x04, 0x2c, 0xf6, 0, 0}), true},
        {"another device address", sealed({0x05, 0x2b, 0xf5, 0, 0}), true},
        {"the restart acknowledgement", sealed({0x04, 0x2b, 0xf7, 0, 0}), true},
        // The new application, already running, answering the resent request: the image is
        // written and verified, so the run completes.
        {"exception 01", sealed({0x04, 0xab, 0x01, 0, 0}), true,
         "RESTART ANSWERED WITH EXCEPTION 01\n"},
        {"exception without a code", sealed({0x04, 0xab, 0, 0}), true,
         "RESTART ANSWERED WITH EXCEPTION\n"},
        // Its checksum fails: no reply at all, so the restart request is resent.
        {"damaged exception", bytes{0x04, 0xab, 0x01, 0x8e, 0xf2}, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        scripted::reset();
        scripted::job_fixture fx(scripted::pattern_image(1024));
        test_device dev(1024);
        dev.ignore_restarts = 1;
        dev.attach();
        scripted::run_ticks(&fx.job, 1000, [&] { return fx.job.state == JOB_RESTART; });
        ASSERT_EQ(fx.job.state, JOB_RESTART);
        scripted::deliver(host().now + 1, c.reply);
        scripted::run_to_end(&fx.job, 1000);
        EXPECT_EQ(writes_of(CMD_RESTART).size(), c.ends ? 1u : 2u);
        EXPECT_EQ(fx.job.state, JOB_DONE);
        if (c.line != nullptr) {
            EXPECT_EQ(host().status.back(), "Programming Completed OK");
            expect_trace_ends(c.reply, c.line);
        }
        const bool logged = !c.ends && c.reply[FUNCTION_AT] == FUNC_ENCAPSULATED;
        EXPECT_EQ(count_of(host().trace, "ERROR MISMATCHED REPLY TO COMMAND\n"), logged ? 1 : 0);
    }
}

TEST_F(UpdateRun, StrayRepliesWhileTheImageChecksumIsAwaited) {
    // None of these carries the image's checksum; the run must verify on the resent request,
    // unless the device refused it.
    const stray_reply cases[] = {
        {"late block acknowledgement", sealed(block_ack(FLASH_IMAGE_BASE)), false},
        {"fourteen bytes",
         sealed(bytes{0x04, 0x2b, 0xf6, 0x08, 0x00, 0x40, 0x00, 0, 0, 0x04, 0, 0x12, 0, 0}), false},
        {"late restart acknowledgement", sealed({0x04, 0x2b, 0xf7, 0, 0}), false},
        {"damaged refusal", bytes{0x04, 0xab, 0x04, 0x00, 0x00}, false},
        {"refusal, exception 04", sealed({0x04, 0xab, 0x04, 0, 0}), true,
         "ERROR DEVICE REFUSED CHECKSUM, EXCEPTION 04\n"},
        {"refusal without a code", sealed({0x04, 0xab, 0, 0}), true,
         "ERROR DEVICE REFUSED CHECKSUM\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        scripted::reset();
        scripted::job_fixture fx(scripted::pattern_image(1024));
        test_device dev(1024);
        dev.drop_image_replies = 1;
        dev.attach();
        scripted::run_ticks(&fx.job, 1000, [&] { return fx.job.state == JOB_VERIFY; });
        ASSERT_EQ(fx.job.state, JOB_VERIFY);
        scripted::deliver(host().now + 1, c.reply);
        scripted::run_to_end(&fx.job, 3000);
        if (c.line != nullptr) {
            EXPECT_EQ(count_of(host().trace, "Verifying address"), 1);
            EXPECT_EQ(count_of(host().trace, "Remote CRC"), 0);
            expect_refused(&fx.job, c.reply, c.line);
            continue;
        }
        EXPECT_EQ(fx.job.state, JOB_DONE);
        EXPECT_EQ(count_of(host().trace, "Remote CRC"), 1);
        EXPECT_EQ(count_of(host().trace, "CRC FAIL"), 0);
        EXPECT_EQ(count_of(host().trace, "Verifying address"), 2);
    }
}

// While a block is awaited every valid reply but a refusal counts as its acknowledgement: one
// that carries another address, or none, is logged as mismatched and the next block follows all
// the same. A refusal (function byte 0x2B with its top bit set) ends the run, and nothing more
// goes out. A damaged reply is no reply, whatever its function byte: the block is resent after
// the time-out.
TEST_F(UpdateRun, StrayRepliesWhileABlockIsAwaitedAreLoggedAndTaken) {
    const stray_reply cases[] = {
        {"late acknowledgement of the previous block", block_ack(FLASH_IMAGE_BASE), true},
        {"late image checksum reply",
         sealed({0x04, 0x2b, 0xf6, 0x08, 0x00, 0x40, 0x00, 0, 0, 0x0c, 0, 0x12, 0x34, 0, 0}), true},
        {"late restart acknowledgement", sealed({0x04, 0x2b, 0xf7, 0, 0}), true},
        {"the refusal's bytes with the top bit clear", sealed({0x04, 0x2b, 0x04, 0, 0}), true},
        {"refusal, exception 4", sealed({0x04, 0xab, 0x04, 0, 0}), false,
         "ERROR DEVICE REFUSED BLOCK, EXCEPTION 04\n"},
        {"refusal without a code", sealed({0x04, 0xab, 0, 0}), false,
         "ERROR DEVICE REFUSED BLOCK\n"},
        {"damaged refusal", bytes{0x04, 0xab, 0x04, 0x4e, 0xf3}, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        scripted::reset();
        scripted::job_fixture fx(scripted::pattern_image(3072));
        test_device dev(3072);
        dev.attach();
        scripted::run_ticks(&fx.job, 1000, [&] { return fx.job.image_offset == 1024; });
        ASSERT_EQ(fx.job.state, JOB_PROGRAM);
        host().rx.clear(); // block 1's own acknowledgement is lost
        scripted::deliver(host().now + 1, c.reply);
        scripted::run_to_end(&fx.job, 2000);
        if (c.line != nullptr) {
            EXPECT_EQ(host().beeps.size(), 1u); // block 0's acknowledgement only
            EXPECT_EQ(writes_of(CMD_WRITE_BLOCK).size(), 2u);
            expect_refused(&fx.job, c.reply, c.line);
            continue;
        }
        EXPECT_EQ(fx.job.state, JOB_DONE);
        if (!c.ends) {
            // Block 1 again after the time-out, then its acknowledgement as usual.
            EXPECT_EQ(count_of(host().trace, "TIMEOUT\n"), 1);
            EXPECT_EQ(writes_of(CMD_WRITE_BLOCK).size(), 4u);
            EXPECT_EQ(count_of(host().trace, "ERROR"), 0);
            continue;
        }
        EXPECT_EQ(writes_of(CMD_WRITE_BLOCK).size(), 3u); // nothing resent
        EXPECT_EQ(count_of(host().trace, "ERROR MISMATCHED REPLY TO COMMAND\n- OK\n"), 1);
        EXPECT_EQ(count_of(host().trace, "- OK\n"), 3);
    }
}

} // namespace
