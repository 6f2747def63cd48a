// Checksum, request layouts and reply acceptance.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <vector>

#include "engine/frame.h"

namespace {

using bytes = std::vector<std::uint8_t>;

bytes built(std::int32_t len, const std::array<std::uint8_t, FRAME_CAPACITY>& frame) {
    return bytes(frame.begin(), frame.begin() + len);
}

TEST(Crc16Modbus, CheckValueAndEmptyInput) {
    const char* text = "123456789";
    EXPECT_EQ(crc16_modbus(reinterpret_cast<const std::uint8_t*>(text), 9), 0x4B37);
    EXPECT_EQ(crc16_modbus(nullptr, 0), 0xFFFF);
}

TEST(FrameCheck, ShortLengthsGiveFFFFWithoutReading) {
    const std::uint8_t two[2] = {0x12, 0x34};
    EXPECT_EQ(frame_check(two, 2), 0xFFFF);
    EXPECT_EQ(frame_check(two, 1), 0xFFFF);
    EXPECT_EQ(frame_check(nullptr, 0), 0xFFFF);
    EXPECT_EQ(frame_check(nullptr, -5), 0xFFFF);
}

TEST(Builders, WorkedFramesByteForByte) {
    std::array<std::uint8_t, FRAME_CAPACITY> f{};
    EXPECT_EQ(
        built(build_checksum_query(f, 4, 0x08004000, 4), f),
        (bytes{0x04, 0x2b, 0xf6, 0x08, 0x00, 0x40, 0x00, 0x00, 0x00, 0x00, 0x04, 0x42, 0x5a}));
    EXPECT_EQ(built(build_restart_frame(f, 4), f), (bytes{0x04, 0x2b, 0xf7, 0x6f, 0x77}));
    EXPECT_EQ(
        built(build_checksum_query(f, 4, 0x08004000, 0x1D800), f),
        (bytes{0x04, 0x2b, 0xf6, 0x08, 0x00, 0x40, 0x00, 0x00, 0x01, 0xd8, 0x00, 0x48, 0x59}));
}

TEST(Builders, FullBlockFillsAllButFiveBytesOfTheBuffer) {
    std::array<std::uint8_t, FRAME_CAPACITY> f;
    f.fill(0xEE);
    std::vector<std::uint8_t> data(1024);
    for (std::size_t i = 0; i < data.size(); ++i) {
        data[i] = static_cast<std::uint8_t>(i * 7);
    }
    const std::int32_t len = build_block_frame(f, 4, 0x08004400, data);
    ASSERT_EQ(len, 1035);
    EXPECT_EQ((bytes{f[0], f[1], f[2], f[3], f[4], f[5], f[6], f[7], f[8]}),
              (bytes{0x04, 0x2b, 0xf5, 0x08, 0x00, 0x44, 0x00, 0x04, 0x00}));
    EXPECT_TRUE(std::equal(data.begin(), data.end(), f.begin() + 9));
    const std::uint16_t crc = crc16_modbus(f.data(), 1033);
    EXPECT_EQ(f[1033], crc & 0xFF); // low byte first
    EXPECT_EQ(f[1034], crc >> 8);
    EXPECT_TRUE(reply_is_valid(f.data(), len));
    EXPECT_EQ(f[1035], 0xEE); // nothing beyond the frame is touched
}

TEST(Builders, RefuseWhatDoesNotFit) {
    std::array<std::uint8_t, 1034> small;
    small.fill(0xEE);
    std::vector<std::uint8_t> data(1024);
    EXPECT_EQ(build_block_frame(small, 4, 0x08004000, data), 0);
    std::array<std::uint8_t, 2048> big{};
    std::vector<std::uint8_t> too_long(1025);
    EXPECT_EQ(build_block_frame(big, 4, 0x08004000, too_long), 0);
    std::array<std::uint8_t, 12> twelve{};
    EXPECT_EQ(build_checksum_query(twelve, 4, 0, 4), 0);
    std::array<std::uint8_t, 4> four{};
    EXPECT_EQ(build_restart_frame(four, 4), 0);
    EXPECT_EQ(small[0], 0xEE);
}

TEST(ReplyIsValid, AcceptanceRules) {
    // Two bytes and their checksum make the shortest valid reply.
    std::uint8_t four[4] = {0x04, 0x2b, 0, 0};
    frame_seal(four, 4);
    EXPECT_TRUE(reply_is_valid(four, 4));
    // One byte and its own checksum is refused for its length alone: the checksum fits.
    std::uint8_t three[3] = {0x04, 0, 0};
    frame_seal(three, 3);
    ASSERT_EQ(three[1] + 256u * three[2], crc16_modbus(three, 1));
    EXPECT_FALSE(reply_is_valid(three, 3));
    std::uint8_t two[2] = {0xFF, 0xFF}; // the checksum of nothing
    EXPECT_FALSE(reply_is_valid(two, 2));

    // The right checksum in the wrong byte order is refused.
    std::uint8_t swapped[4] = {four[0], four[1], four[3], four[2]};
    ASSERT_NE(four[2], four[3]);
    EXPECT_FALSE(reply_is_valid(swapped, 4));

    // Address, function and sub-command are not examined.
    std::uint8_t other[5] = {0x09, 0x03, 0x01, 0, 0};
    frame_seal(other, 5);
    EXPECT_TRUE(reply_is_valid(other, 5));
    other[0] ^= 1;
    EXPECT_FALSE(reply_is_valid(other, 5));
}

TEST(ReplyIsValid, EqualChecksumBytesAreOrderFree) {
    // A two-byte payload whose checksum has equal bytes: the byte order cannot be told apart,
    // so the reply is valid either way, and still every other value in either byte is refused.
    for (unsigned v = 0; v < 65536; ++v) {
        std::uint8_t f[4] = {static_cast<std::uint8_t>(v >> 8), static_cast<std::uint8_t>(v), 0, 0};
        frame_seal(f, 4);
        if (f[2] != f[3]) {
            continue;
        }
        const std::uint16_t crc = crc16_modbus(f, 2);
        EXPECT_EQ(crc & 0xFF, crc >> 8);
        EXPECT_TRUE(reply_is_valid(f, 4));
        for (int i = 2; i < 4; ++i) {
            for (unsigned b = 0; b < 256; ++b) {
                std::uint8_t g[4] = {f[0], f[1], f[2], f[3]};
                g[i] = static_cast<std::uint8_t>(b);
                EXPECT_EQ(reply_is_valid(g, 4), b == f[i]) << i << " " << b;
            }
        }
        return;
    }
    FAIL() << "no payload with equal checksum bytes";
}

// Each builder fits a buffer of exactly its frame's length, writes nothing into a buffer one
// byte shorter, and builds the same bytes as in the full-size buffer.
TEST(Builders, ExactFitBuffersAreEnoughAndOneByteLessIsNot) {
    std::array<std::uint8_t, FRAME_CAPACITY> big{};
    const std::vector<std::uint8_t> data = {1, 2, 3, 4, 5, 6, 7, 8};
    struct shape {
        const char* what;
        std::size_t len;
        std::int32_t (*build)(std::span<std::uint8_t>, const std::vector<std::uint8_t>&);
    };
    const shape shapes[] = {
        {"checksum", 13,
         [](std::span<std::uint8_t> f, const std::vector<std::uint8_t>&) {
             return build_checksum_query(f, 4, 0x08004000, 0x1D800);
         }},
        {"restart", 5,
         [](std::span<std::uint8_t> f, const std::vector<std::uint8_t>&) {
             return build_restart_frame(f, 4);
         }},
        {"block", 19,
         [](std::span<std::uint8_t> f, const std::vector<std::uint8_t>& d) {
             return build_block_frame(f, 4, 0x08004400, d);
         }},
    };
    for (const auto& s : shapes) {
        SCOPED_TRACE(s.what);
        ASSERT_EQ(s.build(big, data), static_cast<std::int32_t>(s.len));
        // Heap buffers of the exact size, so that the sanitizer sees any byte past them.
        std::vector<std::uint8_t> exact(s.len, 0xEE);
        EXPECT_EQ(s.build(exact, data), static_cast<std::int32_t>(s.len));
        EXPECT_TRUE(std::equal(exact.begin(), exact.end(), big.begin()));
        std::vector<std::uint8_t> short_by_one(s.len - 1, 0xEE);
        EXPECT_EQ(s.build(short_by_one, data), 0);
        EXPECT_TRUE(std::all_of(short_by_one.begin(), short_by_one.end(),
                                [](std::uint8_t b) { return b == 0xEE; }));
    }
    std::vector<std::uint8_t> full(1035);
    EXPECT_EQ(build_block_frame(full, 4, 0x08004000, std::vector<std::uint8_t>(1024, 9)), 1035);
}

// Sealing needs room for the two checksum bytes; a shorter frame is left alone.
TEST(FrameSeal, FramesTooShortForTheChecksumAreNotTouched) {
    std::uint8_t guard[4] = {0xEE, 0xEE, 0xEE, 0xEE};
    frame_seal(guard + 2, 1);
    frame_seal(guard + 2, 0);
    frame_seal(guard + 2, -1);
    EXPECT_EQ((bytes{guard[0], guard[1], guard[2], guard[3]}), (bytes{0xEE, 0xEE, 0xEE, 0xEE}));
    frame_seal(guard + 2, 2); // the checksum of nothing, low byte first
    EXPECT_EQ((bytes{guard[0], guard[1], guard[2], guard[3]}), (bytes{0xEE, 0xEE, 0xFF, 0xFF}));
}

} // namespace
