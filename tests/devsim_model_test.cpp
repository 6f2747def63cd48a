// The simulated boot code on its own: replies to good frames, silence for bad ones, the parser's
// resynchronisation, power-up, line timing and each fault switch.
#include <gtest/gtest.h>

#include <array>
#include <memory>
#include <vector>

#include "tests/support/scripted_host.h"
#include "tools/devsim/device_model.h"

namespace {

using bytes = std::vector<std::uint8_t>;

bytes contact_request() {
    return {0x04, 0x2b, 0xf6, 0x08, 0x00, 0x40, 0x00, 0x00, 0x00, 0x00, 0x04, 0x42, 0x5a};
}
bytes image_checksum_request() {
    return {0x04, 0x2b, 0xf6, 0x08, 0x00, 0x40, 0x00, 0x00, 0x01, 0xd8, 0x00, 0x48, 0x59};
}
bytes restart_request() {
    return {0x04, 0x2b, 0xf7, 0x6f, 0x77};
}

bytes block_request(std::uint32_t address, const bytes& data) {
    std::array<std::uint8_t, FRAME_CAPACITY> f{};
    const std::int32_t len = build_block_frame(f, DEVICE_ADDRESS, address, data);
    return bytes(f.begin(), f.begin() + len);
}

bytes checksum_request(std::uint32_t address, std::uint32_t length) {
    std::array<std::uint8_t, FRAME_CAPACITY> f{};
    const std::int32_t len = build_checksum_query(f, DEVICE_ADDRESS, address, length);
    return bytes(f.begin(), f.begin() + len);
}

bytes resealed(bytes frame) {
    frame_seal(frame.data(), static_cast<std::int32_t>(frame.size()));
    return frame;
}

struct device {
    std::unique_ptr<device_model> m = std::make_unique<device_model>();
    std::vector<device_event> events;

    explicit device(device_config config = unpaced()) {
        device_init(m.get(), &config);
        m->event_context = this;
        m->on_event = [](void* self, const device_event* ev) {
            static_cast<device*>(self)->events.push_back(*ev);
        };
    }
    static device_config unpaced() {
        device_config c;
        c.pacing = false;
        c.flash_ms = 0;
        return c;
    }
    void feed(const bytes& b, std::uint64_t at_us) { device_feed(m.get(), b, at_us); }
    // Every queued piece in arrival order.
    std::vector<device_piece> pieces() {
        std::vector<device_piece> out;
        device_piece p{};
        while (device_take_output(m.get(), DEVICE_NEVER_US, &p)) {
            out.push_back(p);
        }
        return out;
    }
    // The queued pieces joined, as a tool reading everything at once would see them.
    bytes output() {
        bytes out;
        for (const auto& p : pieces()) {
            out.insert(out.end(), p.bytes.begin(), p.bytes.begin() + p.len);
        }
        return out;
    }
    const device_counters& counters() const { return m->counters; }
};

bool valid(const bytes& reply) {
    return reply_is_valid(reply.data(), static_cast<std::int32_t>(reply.size()));
}

TEST(DeviceReplies, ContactRequestGetsTheHeaderEchoedAndTheCrcOfErasedFlash) {
    device d;
    d.feed(contact_request(), 1000);
    const auto pieces = d.pieces();
    ASSERT_EQ(pieces.size(), 1u);
    EXPECT_EQ(pieces[0].at_us, 1000u);
    const bytes reply(pieces[0].bytes.begin(), pieces[0].bytes.begin() + pieces[0].len);
    ASSERT_EQ(reply.size(), 15u);
    EXPECT_TRUE(valid(reply));
    EXPECT_TRUE(std::equal(reply.begin(), reply.begin() + 11, contact_request().begin()));
    const bytes erased(4, 0xFF);
    EXPECT_EQ(read_be16(reply.data() + 11), crc16_modbus(erased.data(), erased.size()));
    EXPECT_EQ(d.counters().requests[REQ_CHECKSUM], 1u);
}

TEST(DeviceReplies, BlocksAreWrittenAcknowledgedAndCoveredByTheImageChecksum) {
    device d;
    std::vector<std::uint8_t> region(DEVICE_IMAGE_REGION, 0xFF);
    const auto first = scripted::pattern_image(1024, 3);
    const auto last = scripted::pattern_image(1024, 4);
    std::copy(first.begin(), first.end(), region.begin());
    std::copy(last.begin(), last.end(), region.end() - 1024);

    d.feed(block_request(0x08004000, first), 0);
    d.feed(block_request(0x08004000 + DEVICE_IMAGE_REGION - 1024, last), 10);
    const bytes acks = d.output();
    ASSERT_EQ(acks.size(), 22u);
    const bytes ack1(acks.begin(), acks.begin() + 11);
    const bytes ack2(acks.begin() + 11, acks.end());
    EXPECT_TRUE(valid(ack1));
    EXPECT_TRUE(valid(ack2));
    EXPECT_EQ(read_be32(ack1.data() + 3), 0x08004000u);
    EXPECT_EQ(read_be16(ack1.data() + 7), 1024);
    EXPECT_EQ(read_be32(ack2.data() + 3), 0x08004000u + DEVICE_IMAGE_REGION - 1024);
    EXPECT_TRUE(
        std::equal(ack1.begin(), ack1.begin() + 9, block_request(0x08004000, first).begin()));
    EXPECT_EQ(d.counters().blocks_written, 2u);
    EXPECT_EQ(d.counters().bytes_written, 2048u);

    d.feed(image_checksum_request(), 20);
    const bytes reply = d.output();
    ASSERT_EQ(reply.size(), 15u);
    EXPECT_TRUE(valid(reply));
    EXPECT_EQ(read_be16(reply.data() + 11), crc16_modbus(region.data(), region.size()));
}

TEST(DeviceReplies, RestartIsEchoedCountedAndMarksTheAcknowledgement) {
    device d;
    d.feed(restart_request(), 500);
    EXPECT_EQ(d.output(), restart_request());
    EXPECT_EQ(d.counters().restarts, 1u);
    EXPECT_EQ(d.m->restart_done_us, 500u);
    EXPECT_TRUE(d.m->restart_ack_intact);
}

TEST(DeviceIgnores, BadFramesGetNothingAndAreCountedByReason) {
    bytes bad_crc = contact_request();
    bad_crc[12] ^= 0x01;
    bytes other_address = contact_request();
    other_address[0] = 5;
    bytes other_function = contact_request();
    other_function[1] = 0x2C;
    bytes unknown_command = contact_request();
    unknown_command[2] = 0xF8;
    struct bad_case {
        const char* what;
        bytes frame;
        ignore_reason reason;
    };
    const bad_case cases[] = {
        {"checksum", bad_crc, IGNORED_CHECKSUM},
        {"address byte", resealed(other_address), IGNORED_ADDRESS},
        {"function byte", resealed(other_function), IGNORED_FUNCTION},
        {"sub-command", resealed(unknown_command), IGNORED_COMMAND},
        {"checksum below flash", checksum_request(0x07FFFFFF, 4), IGNORED_RANGE},
        {"checksum past flash end", checksum_request(0x0807FFFF, 2), IGNORED_RANGE},
        {"checksum of nothing", checksum_request(0x08004000, 0), IGNORED_RANGE},
        {"checksum length wraps", checksum_request(0x08004000, 0xFFFFFFF0u), IGNORED_RANGE},
        {"block over the boot code", block_request(0x08000000, bytes(16, 1)), IGNORED_RANGE},
        {"block past flash end", block_request(0x0807FF00, bytes(1024, 1)), IGNORED_RANGE},
        {"empty block", block_request(0x08004000, {}), IGNORED_RANGE},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        device d;
        d.feed(c.frame, 0);
        EXPECT_TRUE(d.output().empty());
        EXPECT_EQ(d.counters().ignored[c.reason], 1u);
        EXPECT_EQ(device_ignored_total(d.m.get()), 1u);
        EXPECT_EQ(device_requests_total(d.m.get()), 0u);
        EXPECT_EQ(d.counters().blocks_written, 0u);
        // The next good frame straight behind it is answered.
        d.feed(contact_request(), 10);
        EXPECT_EQ(d.output().size(), 15u);
    }
}

TEST(DeviceParser, FindsFramesBehindNoiseAcrossFeedsAndSideBySide) {
    device d;
    bytes noisy = {0x00, 0xf6, 0x2b, 0x04, 0x99};
    const bytes contact = contact_request();
    noisy.insert(noisy.end(), contact.begin(), contact.end());
    d.feed(noisy, 0);
    EXPECT_EQ(d.output().size(), 15u);
    EXPECT_EQ(d.counters().noise_in, 5u);
    EXPECT_EQ(d.counters().ignored[IGNORED_NOISE], 1u);

    // A block arriving a few bytes at a time is answered once it is whole.
    const bytes block = block_request(0x08004400, scripted::pattern_image(1024, 9));
    for (std::size_t at = 0; at < block.size(); at += 100) {
        const auto end = std::min(block.size(), at + 100);
        d.feed(bytes(block.begin() + static_cast<std::ptrdiff_t>(at),
                     block.begin() + static_cast<std::ptrdiff_t>(end)),
               1000 + at);
        EXPECT_EQ(d.output().size(), end == block.size() ? 11u : 0u);
    }

    bytes two = restart_request();
    two.insert(two.end(), contact.begin(), contact.end());
    d.feed(two, 5000);
    EXPECT_EQ(d.output().size(), 5u + 15u);
    EXPECT_EQ(device_ignored_total(d.m.get()), 1u);
}

TEST(DeviceParser, AnUnfinishedFrameIsAbandonedAfterSilence) {
    device d;
    const bytes block = block_request(0x08004000, bytes(1024, 0x55));
    // The frame's tail never comes; a contact request straight behind it is taken as block data.
    d.feed(bytes(block.begin(), block.begin() + 500), 0);
    d.feed(contact_request(), 1000);
    EXPECT_TRUE(d.output().empty());
    // After more than 50 ms of silence the leftovers are dropped and the next frame answered.
    d.feed(contact_request(), 1000 + DEVICE_FRAME_SILENCE_US + 1000);
    EXPECT_EQ(d.output().size(), 15u);
    EXPECT_EQ(d.counters().ignored[IGNORED_INCOMPLETE], 1u);
    EXPECT_EQ(d.counters().blocks_written, 0u);
}

TEST(DevicePower, DiscardsEverythingUntilPoweredThenSendsNoise) {
    device_config c;
    c.power_delay_ms = 500;
    c.faults.noise_bytes = 40;
    device d(c);
    d.feed(contact_request(), 100000);
    EXPECT_TRUE(d.output().empty());
    EXPECT_FALSE(d.m->powered);
    EXPECT_EQ(d.counters().unpowered_in, 13u);

    // Power comes 500 ms after the first byte: a frame that started before it is cut short.
    const std::uint64_t first_byte_at = 100000 - (device_wire_us(13) - device_wire_us(1));
    const std::uint64_t power_at = first_byte_at + 500000;
    // Its last byte lands 6 byte times after power-up: bytes 0 to 5 are lost.
    d.feed(contact_request(), power_at + device_wire_us(6));
    EXPECT_TRUE(d.m->powered);
    EXPECT_EQ(d.counters().unpowered_in, 13u + 6u);
    const auto noise = d.pieces();
    std::int32_t noise_len = 0;
    for (const auto& p : noise) {
        noise_len += p.len;
        EXPECT_GE(p.at_us, power_at);
    }
    EXPECT_EQ(noise_len, 40);
    EXPECT_EQ(d.counters().requests[REQ_CHECKSUM], 0u);

    d.feed(contact_request(), power_at + 200000);
    EXPECT_EQ(d.output().size(), 15u);
    EXPECT_EQ(device_ignored_total(d.m.get()), 1u); // the 7-byte stump
}

TEST(DeviceTiming, RepliesArePacedAtTheLineRateAfterTheFlashTime) {
    device_config c; // pacing on, 20 ms flash time
    device d(c);
    EXPECT_EQ(device_wire_us(15), 1433u); // 15 bytes * 11 bits / 115200 baud
    d.feed(contact_request(), 1000000);
    auto p = d.pieces();
    ASSERT_EQ(p.size(), 1u);
    EXPECT_EQ(p[0].at_us, 1000000u + 1433u);

    d.feed(block_request(0x08004000, bytes(1024, 7)), 2000000);
    // A contact request arriving while the block is being written waits for the flash.
    d.feed(contact_request(), 2005000);
    p = d.pieces();
    ASSERT_EQ(p.size(), 2u);
    EXPECT_EQ(p[0].at_us, 2000000u + 20000u + device_wire_us(11));
    EXPECT_EQ(p[1].at_us, p[0].at_us + 1433u);
}

TEST(DeviceTiming, PacedRequestsAreHandledOnlyOnceTheyHaveCrossedTheLine) {
    device_config c; // pacing on, 20 ms flash time
    c.pace_requests = true;
    device d(c);
    // A block handed over whole at 1 s arrives 1035 bytes later; the acknowledgement follows
    // after the flash time and its own wire time.
    d.feed(block_request(0x08004000, bytes(1024, 7)), 1000000);
    const std::uint64_t block_in = 1000000u + device_wire_us(1035);
    EXPECT_EQ(device_wire_us(1035), 98829u);
    ASSERT_EQ(d.events.size(), 2u); // power-up, then the request
    EXPECT_EQ(d.events[1].at_us, block_in);
    // A request written while the block is still crossing queues behind it on the line.
    d.feed(contact_request(), 1010000);
    EXPECT_EQ(d.events[2].at_us, block_in + device_wire_us(13));
    auto p = d.pieces();
    ASSERT_EQ(p.size(), 2u);
    EXPECT_EQ(p[0].at_us, block_in + 20000u + device_wire_us(11));
    EXPECT_EQ(p[1].at_us, p[0].at_us + device_wire_us(15));
}

TEST(DeviceFaults, DropAndCorruptHitTheSelectedReplyOnly) {
    device_config c = device::unpaced();
    c.faults.drop = {1u << REQ_WRITE_BLOCK, 2, 0};
    c.faults.corrupt = {1u << REQ_CHECKSUM, 2, 0};
    device d(c);
    for (int i = 0; i < 3; ++i) {
        d.feed(block_request(0x08004000 + 1024u * i, bytes(1024, 1)), 1000u * i);
    }
    EXPECT_EQ(d.output().size(), 22u);
    EXPECT_EQ(d.counters().blocks_written, 3u); // written all the same
    EXPECT_EQ(d.counters().replies_dropped, 1u);

    d.feed(contact_request(), 10000);
    d.feed(contact_request(), 11000);
    const bytes replies = d.output();
    ASSERT_EQ(replies.size(), 30u);
    EXPECT_TRUE(valid(bytes(replies.begin(), replies.begin() + 15)));
    EXPECT_FALSE(valid(bytes(replies.begin() + 15, replies.end())));
    EXPECT_EQ(d.counters().replies_corrupted, 1u);
}

TEST(DeviceFaults, ShareOfRepliesIsDrawnFromTheSeed) {
    auto pattern = [](std::uint64_t seed) {
        device_config c = device::unpaced();
        c.faults.seed = seed;
        c.faults.drop = {KIND_BIT_ALL, 0, 250};
        device d(c);
        std::vector<bool> answered;
        for (int i = 0; i < 400; ++i) {
            d.feed(contact_request(), 1000u * i);
            answered.push_back(!d.output().empty());
        }
        return answered;
    };
    const auto a = pattern(7);
    const auto dropped = std::count(a.begin(), a.end(), false);
    EXPECT_GT(dropped, 60);
    EXPECT_LT(dropped, 140);
    EXPECT_EQ(a, pattern(7));
    EXPECT_NE(a, pattern(8));
}

TEST(DeviceFaults, SplitRepliesComeInPiecesWithGaps) {
    device_config c = device::unpaced();
    c.faults.split = {1u << REQ_CHECKSUM, 0, 1000};
    c.faults.split_pieces = 3;
    c.faults.split_gap_ms = 30;
    device d(c);
    d.feed(contact_request(), 0);
    const auto p = d.pieces();
    ASSERT_EQ(p.size(), 3u);
    bytes joined;
    for (std::size_t i = 0; i < p.size(); ++i) {
        EXPECT_GT(p[i].len, 0);
        joined.insert(joined.end(), p[i].bytes.begin(), p[i].bytes.begin() + p[i].len);
        EXPECT_EQ(p[i].at_us, 30000u * i);
    }
    EXPECT_EQ(joined.size(), 15u);
    EXPECT_TRUE(valid(joined));
}

TEST(DeviceFaults, DelayedReplyDoesNotHoldUpLaterOnes) {
    device_config c = device::unpaced();
    c.faults.delay = {1u << REQ_WRITE_BLOCK, 1, 0};
    device d(c);
    d.feed(block_request(0x08004000, bytes(8, 1)), 0);
    d.feed(block_request(0x08004000, bytes(8, 1)), 10000000);
    const auto p = d.pieces();
    ASSERT_EQ(p.size(), 2u);
    EXPECT_EQ(p[0].at_us, 10000000u);
    EXPECT_EQ(p[1].at_us, 10500000u);
}

TEST(DeviceFaults, WrongCrcSparesTheContactRequest) {
    device_config c = device::unpaced();
    c.faults.wrong_image_crc = true;
    device d(c);
    d.feed(contact_request(), 0);
    const bytes contact = d.output();
    const bytes erased(DEVICE_IMAGE_REGION, 0xFF);
    EXPECT_EQ(read_be16(contact.data() + 11), crc16_modbus(erased.data(), 4));
    d.feed(image_checksum_request(), 1000);
    const bytes image = d.output();
    EXPECT_TRUE(valid(image));
    EXPECT_NE(read_be16(image.data() + 11), crc16_modbus(erased.data(), erased.size()));
}

TEST(DeviceFaults, FirstRestartsAreIgnored) {
    device_config c = device::unpaced();
    c.faults.ignore_restarts = 2;
    device d(c);
    d.feed(restart_request(), 0);
    d.feed(restart_request(), 1000);
    EXPECT_TRUE(d.output().empty());
    EXPECT_EQ(d.m->restart_done_us, DEVICE_NEVER_US);
    EXPECT_EQ(d.counters().restarts, 0u);
    d.feed(restart_request(), 2000);
    EXPECT_EQ(d.output(), restart_request());
    EXPECT_EQ(d.counters().ignored[IGNORED_BY_FAULT], 2u);
    EXPECT_EQ(d.counters().restarts, 1u);
}

TEST(DeviceFaults, LostOrDamagedRestartAckIsNotIntact) {
    device_config c = device::unpaced();
    c.faults.drop = {1u << REQ_RESTART, 1, 0};
    c.faults.corrupt = {1u << REQ_RESTART, 2, 0};
    device d(c);
    d.feed(restart_request(), 0);
    EXPECT_EQ(d.m->restart_done_us, 0u);
    EXPECT_FALSE(d.m->restart_ack_intact);
    d.feed(restart_request(), 1000);
    EXPECT_EQ(d.m->restart_done_us, 1000u);
    EXPECT_FALSE(d.m->restart_ack_intact);
    d.feed(restart_request(), 2000);
    EXPECT_EQ(d.m->restart_done_us, 2000u);
    EXPECT_TRUE(d.m->restart_ack_intact);
    EXPECT_EQ(d.counters().restarts, 3u);
}

TEST(ReplySelector, ParsesEveryFormAndRejectsTheRest) {
    reply_selector s;
    ASSERT_TRUE(parse_reply_selector("block:3", &s));
    EXPECT_EQ(s.kinds, 1u << REQ_WRITE_BLOCK);
    EXPECT_EQ(s.nth, 3);
    ASSERT_TRUE(parse_reply_selector("checksum:all", &s));
    EXPECT_EQ(s.kinds, 1u << REQ_CHECKSUM);
    EXPECT_EQ(s.nth, 0);
    EXPECT_EQ(s.permille, 1000u);
    ASSERT_TRUE(parse_reply_selector("restart:12.5%", &s));
    EXPECT_EQ(s.kinds, 1u << REQ_RESTART);
    EXPECT_EQ(s.permille, 125u);
    ASSERT_TRUE(parse_reply_selector("5%", &s));
    EXPECT_EQ(s.kinds, KIND_BIT_ALL);
    EXPECT_EQ(s.permille, 50u);
    ASSERT_TRUE(parse_reply_selector("100%", &s));
    EXPECT_EQ(s.permille, 1000u);
    ASSERT_TRUE(parse_reply_selector("restart:0.1%", &s));
    EXPECT_EQ(s.permille, 1u);
    ASSERT_TRUE(parse_reply_selector("all", &s));
    EXPECT_EQ(s.permille, 1000u);
    ASSERT_TRUE(parse_reply_selector("block", &s));
    EXPECT_EQ(s.kinds, 1u << REQ_WRITE_BLOCK);

    const reply_selector before = s;
    for (const char* bad : {"", "3", "block:0", "block:-1", "blocks:1", "101%", "5", "5%x",
                            "block:", ":3", "block:1.5", "all:3", "block:99999999999"}) {
        SCOPED_TRACE(bad);
        EXPECT_FALSE(parse_reply_selector(bad, &s));
        EXPECT_EQ(s.kinds, before.kinds);
    }
}

// Regions are in reach up to the last byte of flash, and not one byte further.
TEST(DeviceReplies, RegionsEndingExactlyAtTheEndOfFlashAreServed) {
    const std::uint32_t flash_end = DEVICE_FLASH_BASE + DEVICE_FLASH_SIZE;
    device d;
    d.feed(checksum_request(flash_end - 4, 4), 0);
    bytes reply = d.output();
    ASSERT_EQ(reply.size(), 15u);
    const bytes erased(4, 0xFF);
    EXPECT_EQ(read_be16(reply.data() + 11), crc16_modbus(erased.data(), 4));

    const bytes data = scripted::pattern_image(1024, 21);
    d.feed(block_request(flash_end - 1024, data), 1000);
    EXPECT_EQ(d.output().size(), 11u);
    EXPECT_TRUE(std::equal(data.begin(), data.end(), d.m->flash.end() - 1024));
    d.feed(checksum_request(DEVICE_FLASH_BASE, DEVICE_FLASH_SIZE), 2000);
    EXPECT_EQ(d.output().size(), 15u);
    EXPECT_EQ(device_ignored_total(d.m.get()), 0u);

    d.feed(checksum_request(flash_end - 3, 4), 3000);
    d.feed(block_request(flash_end - 1023, data), 4000);
    d.feed(checksum_request(DEVICE_FLASH_BASE, DEVICE_FLASH_SIZE + 1), 5000);
    EXPECT_TRUE(d.output().empty());
    EXPECT_EQ(d.counters().ignored[IGNORED_RANGE], 3u);
}

// The silence that abandons a frame is counted from the last byte received, however long the
// line was quiet before it: a frame in two pieces 50 ms apart is one frame.
TEST(DeviceParser, PiecesAfterALongQuietStartAreJoined) {
    for (const std::uint64_t start : {std::uint64_t{0}, std::uint64_t{10000000}}) {
        SCOPED_TRACE(start);
        device d;
        d.feed(contact_request(), start);
        ASSERT_EQ(d.output().size(), 15u);
        const bytes block = block_request(0x08004000, bytes(1024, 0x5A));
        const std::uint64_t t = start + 30000000; // 30 s of silence
        d.feed(bytes(block.begin(), block.begin() + 600), t);
        d.feed(bytes(block.begin() + 600, block.end()), t + DEVICE_FRAME_SILENCE_US);
        EXPECT_EQ(d.output().size(), 11u);
        EXPECT_EQ(d.counters().blocks_written, 1u);
        EXPECT_EQ(device_ignored_total(d.m.get()), 0u);
    }
}

// Replies due at the same moment leave in the order they were made; pieces are handed over
// once due, exactly at their time, earliest first.
TEST(DeviceTiming, RepliesDueAtOnceKeepTheirOrder) {
    device d;
    bytes two = restart_request();
    const bytes contact = contact_request();
    two.insert(two.end(), contact.begin(), contact.end());
    d.feed(two, 5000);
    const auto p = d.pieces();
    ASSERT_EQ(p.size(), 2u);
    EXPECT_EQ(p[0].at_us, p[1].at_us);
    EXPECT_EQ(bytes(p[0].bytes.begin(), p[0].bytes.begin() + p[0].len), restart_request());
    EXPECT_EQ(p[1].len, 15);

    device_config c = device::unpaced();
    c.faults.delay = {1u << REQ_CHECKSUM, 1, 0};
    c.faults.delay_ms = 40;
    device e(c);
    e.feed(contact_request(), 1000); // held back to 41000
    e.feed(restart_request(), 2000); // due at 2000
    e.feed(contact_request(), 3000); // due at 3000
    EXPECT_EQ(device_next_output_us(e.m.get()), 2000u);
    device_piece piece{};
    EXPECT_FALSE(device_take_output(e.m.get(), 1999, &piece));
    ASSERT_TRUE(device_take_output(e.m.get(), 2000, &piece));
    EXPECT_EQ(piece.len, 5);
    EXPECT_EQ(device_next_output_us(e.m.get()), 3000u);
    ASSERT_TRUE(device_take_output(e.m.get(), 50000, &piece)); // two are due: earliest first
    EXPECT_EQ(piece.at_us, 3000u);
    e.feed(contact_request(), 41000); // due at 41000 too, made after the delayed one
    EXPECT_EQ(device_next_output_us(e.m.get()), 41000u);
    ASSERT_TRUE(device_take_output(e.m.get(), 41000, &piece));
    const std::uint32_t first_seq = piece.seq;
    ASSERT_TRUE(device_take_output(e.m.get(), 41000, &piece));
    EXPECT_GT(piece.seq, first_seq);
    EXPECT_FALSE(device_take_output(e.m.get(), DEVICE_NEVER_US, &piece));
    EXPECT_EQ(device_next_output_us(e.m.get()), DEVICE_NEVER_US);
}

// A model used again is as new after device_init: no queued pieces, no counted requests for
// the KIND:N selectors, no remembered restart, and a region that fits its flash.
TEST(DeviceInit, ReinitialisedDeviceForgetsThePreviousRun) {
    device_config c = device::unpaced();
    c.faults.drop = {1u << REQ_WRITE_BLOCK, 1, 0};
    c.image_size = 0xFFFFFFFFu;
    device d(c);
    EXPECT_EQ(d.m->config.image_size, DEVICE_FLASH_SIZE - (DEVICE_IMAGE_BASE - DEVICE_FLASH_BASE));
    d.feed(block_request(0x08004000, bytes(16, 1)), 0);
    d.feed(restart_request(), 1000);
    d.feed(contact_request(), 2000); // left queued
    ASSERT_NE(device_next_output_us(d.m.get()), DEVICE_NEVER_US);
    ASSERT_NE(d.m->restart_done_us, DEVICE_NEVER_US);

    device_init(d.m.get(), &c);
    EXPECT_EQ(device_next_output_us(d.m.get()), DEVICE_NEVER_US);
    EXPECT_EQ(d.m->restart_done_us, DEVICE_NEVER_US);
    EXPECT_FALSE(d.m->restart_ack_intact);
    EXPECT_EQ(d.m->flash[DEVICE_IMAGE_BASE - DEVICE_FLASH_BASE], 0xFF);
    d.feed(block_request(0x08004000, bytes(16, 1)), 0);
    EXPECT_TRUE(d.output().empty()); // block:1 again
    d.feed(block_request(0x08004000, bytes(16, 1)), 1000);
    EXPECT_EQ(d.output().size(), 11u);
}

// The shortest frame of an unknown sub-command has a sub-command byte and is five bytes long;
// four bytes whose last two happen to be the checksum of the first two are no frame.
TEST(DeviceParser, ShortestUnknownFrameIsFiveBytes) {
    device d;
    d.feed(resealed({0x04, 0x2b, 0, 0}), 0);
    d.feed(contact_request(), 100000); // after the silence: the four bytes are abandoned
    EXPECT_EQ(d.output().size(), 15u);
    EXPECT_EQ(d.counters().ignored[IGNORED_COMMAND], 0u);
    EXPECT_EQ(d.counters().ignored[IGNORED_INCOMPLETE], 1u);
    d.feed(resealed({0x04, 0x2b, 0x10, 0, 0}), 200000);
    EXPECT_EQ(d.counters().ignored[IGNORED_COMMAND], 1u);
}

// The output queue holds 512 pieces; more are counted as lost, never written past it.
TEST(DeviceFaults, OutputQueueOverflowIsCountedNotOverrun) {
    device_config c = device::unpaced();
    c.faults.split = {1u << REQ_CHECKSUM, 0, 1000};
    c.faults.split_pieces = 15;
    device d(c);
    for (int i = 0; i < 35; ++i) { // 525 pieces
        d.feed(contact_request(), 1000u * static_cast<std::uint64_t>(i));
    }
    EXPECT_EQ(d.m->out_count, DEVICE_OUT_CAPACITY);
    EXPECT_EQ(d.counters().out_overflow, 13u);
    EXPECT_EQ(d.pieces().size(), static_cast<std::size_t>(DEVICE_OUT_CAPACITY));
}

// Bytes that arrive at the very moment of power-up are heard; replies wait for the power-up
// noise to leave the line.
TEST(DevicePower, HearsFromTheInstantOfPowerUpAndRepliesAfterTheNoise) {
    device_config c = device::unpaced();
    c.power_delay_ms = 500;
    device d(c);
    d.feed(bytes{0x00}, 1000);
    d.feed(contact_request(), 1000 + 500000);
    EXPECT_EQ(d.output().size(), 15u);
    EXPECT_EQ(d.counters().unpowered_in, 1u);

    device_config paced; // line rate on
    paced.faults.noise_bytes = 64;
    device e(paced);
    e.feed(contact_request(), 0);
    const auto p = e.pieces();
    ASSERT_EQ(p.size(), 3u); // noise in two pieces, then the reply
    EXPECT_EQ(p[1].at_us, device_wire_us(64));
    EXPECT_EQ(p[2].len, 15);
    EXPECT_EQ(p[2].at_us, device_wire_us(64) + device_wire_us(15));
}

} // namespace
