// Update runs over records that once stalled the job; each case was first found by the fuzz target.
#include <gtest/gtest.h>

#include <vector>

#include "tests/support/scripted_host.h"

namespace {

using bytes = std::vector<std::uint8_t>;

// A device that answers every request 5 ms after it is written: blocks by echoing their header,
// checksum requests with the CRC of the region, restarts with the command alone.
void answer_every_request(const bytes& image) {
    scripted::host().on_write = [image](std::span<const std::uint8_t> req, std::uint32_t now) {
        bytes reply;
        if (req[2] == CMD_WRITE_BLOCK) {
            reply.assign(req.begin(), req.begin() + 9);
        } else if (req[2] == CMD_CHECKSUM) {
            reply.assign(req.begin(), req.begin() + 11);
            const std::size_t length = std::min<std::size_t>(read_be32(&req[7]), image.size());
            const std::uint16_t crc = crc16_modbus(image.data(), length);
            reply.push_back(static_cast<std::uint8_t>(crc >> 8));
            reply.push_back(static_cast<std::uint8_t>(crc & 0xFF));
        } else {
            reply.assign(req.begin(), req.begin() + 3);
        }
        reply.resize(reply.size() + 2);
        frame_seal(reply.data(), static_cast<std::int32_t>(reply.size()));
        scripted::deliver(now + 5, reply);
    };
}

std::vector<bytes> block_writes() {
    std::vector<bytes> blocks;
    for (const auto& w : scripted::host().writes) {
        if (w.size() >= 11 && w[2] == CMD_WRITE_BLOCK) {
            blocks.push_back(w);
        }
    }
    return blocks;
}

bytes joined_block_data(const std::vector<bytes>& blocks) {
    bytes data;
    for (const auto& b : blocks) {
        data.insert(data.end(), b.begin() + 9, b.end() - 2);
    }
    return data;
}

// The first block used to be a full 1024 bytes whatever the image size, so an image shorter than
// one block had no block inside it: nothing was ever sent and the job resent nothing for ever.
TEST(UpdateJobShortImage, ImageShorterThanOneBlockIsWrittenAsOneShortBlock) {
    for (const std::size_t size : {std::size_t{1016}, std::size_t{8}, std::size_t{1}}) {
        SCOPED_TRACE(size);
        scripted::reset();
        scripted::job_fixture fx(scripted::pattern_image(size, 3));
        answer_every_request(fx.image);
        scripted::run_to_end(&fx.job, 1000);

        EXPECT_EQ(fx.job.state, JOB_DONE);
        const auto blocks = block_writes();
        ASSERT_EQ(blocks.size(), 1u);
        ASSERT_EQ(blocks[0].size(), size + 11);
        EXPECT_EQ(read_be16(&blocks[0][7]), size);
        EXPECT_EQ(joined_block_data(blocks), fx.image);
    }
}

// Whole-block images keep their 1024-byte blocks, and a short last block is still cut to fit.
TEST(UpdateJobShortImage, BlockLengthsFollowTheImage) {
    for (const std::size_t size : {std::size_t{1024}, std::size_t{1536}, std::size_t{3072}}) {
        SCOPED_TRACE(size);
        scripted::reset();
        scripted::job_fixture fx(scripted::pattern_image(size, 4));
        answer_every_request(fx.image);
        scripted::run_to_end(&fx.job, 3000);

        EXPECT_EQ(fx.job.state, JOB_DONE);
        const auto blocks = block_writes();
        EXPECT_EQ(blocks.size(), (size + 1023) / 1024);
        EXPECT_EQ(joined_block_data(blocks), fx.image);
    }
}

} // namespace
