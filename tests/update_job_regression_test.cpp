// Update runs over records and replies that once misled the job, first found by the fuzz target
// or the fault soak.
#include <gtest/gtest.h>

#include <functional>
#include <string>
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

// Replies that arrive after their request was resent are valid frames too. The fault soak found a
// contact reply held up past its resend turning up while the whole-image checksum was awaited:
// its CRC of 4 bytes failed a good image. And a late checksum reply ended a run as if the device
// had acknowledged its restart.
class LateReply : public ::testing::Test {
  protected:
    scripted::job_fixture fx{scripted::pattern_image(2048, 9)};
    bytes contact_reply;
    bytes image_reply;
    int restarts = 0;

    void SetUp() override {
        scripted::reset();
        answer_every_request(fx.image);
        // The device's own replies, recorded as they are queued.
        auto device = scripted::host().on_write;
        scripted::host().on_write = [this, device](std::span<const std::uint8_t> req,
                                                   std::uint32_t now) {
            device(req, now);
            const bytes reply = scripted::host().rx.back().bytes;
            if (req[2] == CMD_CHECKSUM && read_be32(&req[7]) == 4) {
                contact_reply = reply;
            } else if (req[2] == CMD_CHECKSUM) {
                image_reply = reply;
            }
            on_request(req, now);
        };
    }
    // Lets a case reshape what the device just queued (its reply is the last chunk).
    std::function<void(std::span<const std::uint8_t>, std::uint32_t)> on_request =
        [](std::span<const std::uint8_t>, std::uint32_t) {};
};

TEST_F(LateReply, LateContactReplyDuringVerifyIsNotTakenAsTheImageChecksum) {
    on_request = [this](std::span<const std::uint8_t> req, std::uint32_t now) {
        if (req[2] == CMD_CHECKSUM && read_be32(&req[7]) != 4) {
            // The old contact reply comes first, the true reply 40 ms later (a later read).
            scripted::host().rx.back().at = now + 40;
            scripted::host().rx.push_front({now + 1, contact_reply});
        }
    };
    scripted::run_to_end(&fx.job, 3000);

    EXPECT_EQ(fx.job.state, JOB_DONE);
    const std::string& t = scripted::host().trace;
    EXPECT_EQ(t.find("CRC FAIL"), std::string::npos);
    const auto verifying = t.find("Verifying address");
    const auto mismatch = t.find("ERROR MISMATCHED REPLY TO COMMAND\n", verifying);
    ASSERT_NE(mismatch, std::string::npos);
    EXPECT_LT(mismatch, t.find("CRCs match\n"));
}

TEST_F(LateReply, LateChecksumReplyDuringRestartDoesNotEndTheRun) {
    on_request = [this](std::span<const std::uint8_t> req, std::uint32_t now) {
        if (req[2] == CMD_RESTART && ++restarts == 1) {
            // The first restart's acknowledgement is lost; a late checksum reply comes instead.
            scripted::host().rx.back() = {now + 1, image_reply};
        }
    };
    scripted::run_to_end(&fx.job, 3000);

    EXPECT_EQ(fx.job.state, JOB_DONE);
    EXPECT_EQ(restarts, 2);
    const std::string& t = scripted::host().trace;
    const auto mismatch = t.find("ERROR MISMATCHED REPLY TO COMMAND\n", t.find("Resetting target"));
    ASSERT_NE(mismatch, std::string::npos);
    EXPECT_LT(mismatch, t.find("bytes received & OK\n"));
}

TEST_F(LateReply, ChecksumReplyWithAHeaderOfTheDevicesOwnIsStillTaken) {
    // Only the checksum bytes are the tool's business: a reply that does not echo the request's
    // header verifies the image all the same.
    on_request = [](std::span<const std::uint8_t> req, std::uint32_t) {
        if (req[2] == CMD_CHECKSUM && read_be32(&req[7]) != 4) {
            bytes& reply = scripted::host().rx.back().bytes;
            std::fill(reply.begin() + 1, reply.begin() + 11, 0);
            frame_seal(reply.data(), static_cast<std::int32_t>(reply.size()));
        }
    };
    scripted::run_to_end(&fx.job, 3000);

    EXPECT_EQ(fx.job.state, JOB_DONE);
    EXPECT_NE(scripted::host().trace.find("CRCs match\n"), std::string::npos);
    EXPECT_EQ(scripted::host().trace.find("MISMATCHED"), std::string::npos);
}

} // namespace
