// The check of the embedded image against its stored SHA-256, with stand-in hash functions
// (the real one is the system's and is exercised by the Windows program).
#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <cstring>
#include <vector>

#include "host/image_digest.h"

namespace {

using digest = std::array<std::uint8_t, IMAGE_DIGEST_SIZE>;

struct hash_call {
    int count;
    const std::uint8_t* bytes;
    std::uint32_t length;
};
hash_call last_call;

// A stand-in for SHA-256 that depends on every byte and its position, so that one changed
// byte of the image changes the result; it records what it was asked to hash.
bool toy_hash(const std::uint8_t* bytes, std::uint32_t length, std::uint8_t* out) {
    last_call = {last_call.count + 1, bytes, length};
    std::uint32_t h = 2166136261u;
    for (std::uint32_t i = 0; i < length; ++i) {
        h = (h ^ bytes[i] ^ (i << 8)) * 16777619u;
    }
    for (std::size_t k = 0; k < IMAGE_DIGEST_SIZE; ++k) {
        h = (h ^ static_cast<std::uint32_t>(k)) * 16777619u;
        out[k] = static_cast<std::uint8_t>(h >> 24);
    }
    return true;
}

bool failing_hash(const std::uint8_t*, std::uint32_t, std::uint8_t*) {
    ++last_call.count;
    return false;
}

digest toy_digest_of(const std::vector<std::uint8_t>& image) {
    digest d{};
    toy_hash(image.data(), static_cast<std::uint32_t>(image.size()), d.data());
    return d;
}

std::vector<std::uint8_t> sample_image() {
    std::vector<std::uint8_t> image(3000);
    for (std::size_t i = 0; i < image.size(); ++i) {
        image[i] = static_cast<std::uint8_t>(i * 37 + 11);
    }
    return image;
}

image_check check(const std::vector<std::uint8_t>& image, const std::uint8_t* stored,
                  std::uint32_t stored_length, sha256_fn hash = toy_hash) {
    return image_check_digest(image.data(), static_cast<std::uint32_t>(image.size()), stored,
                              stored_length, hash);
}

TEST(ImageDigest, IntactImageHashesItsOwnBytesOnce) {
    const auto image = sample_image();
    const digest stored = toy_digest_of(image);
    last_call = {};
    EXPECT_EQ(check(image, stored.data(), IMAGE_DIGEST_SIZE), IMAGE_INTACT);
    EXPECT_EQ(last_call.count, 1);
    EXPECT_EQ(last_call.bytes, image.data());
    EXPECT_EQ(last_call.length, image.size());
}

// One flipped byte anywhere in the image, first and last included, is damage.
TEST(ImageDigest, AnyFlippedImageByteIsDamage) {
    const auto image = sample_image();
    const digest stored = toy_digest_of(image);
    for (std::size_t at : {std::size_t{0}, std::size_t{1}, image.size() / 2, image.size() - 1}) {
        auto damaged = image;
        damaged[at] ^= 0x01;
        EXPECT_EQ(check(damaged, stored.data(), IMAGE_DIGEST_SIZE), IMAGE_DAMAGED) << "at " << at;
    }
}

// The whole stored digest takes part: a difference in any of its 32 bytes is damage.
TEST(ImageDigest, EveryByteOfTheStoredDigestCounts) {
    const auto image = sample_image();
    const digest good = toy_digest_of(image);
    for (std::size_t k = 0; k < IMAGE_DIGEST_SIZE; ++k) {
        digest stored = good;
        stored[k] ^= 0x80;
        EXPECT_EQ(check(image, stored.data(), IMAGE_DIGEST_SIZE), IMAGE_DAMAGED) << "byte " << k;
    }
}

TEST(ImageDigest, MissingOrMisSizedDigestIsDamage) {
    const auto image = sample_image();
    std::vector<std::uint8_t> stored(IMAGE_DIGEST_SIZE + 1);
    const digest good = toy_digest_of(image);
    std::memcpy(stored.data(), good.data(), good.size());
    EXPECT_EQ(check(image, nullptr, 0), IMAGE_DAMAGED);
    EXPECT_EQ(check(image, nullptr, IMAGE_DIGEST_SIZE), IMAGE_DAMAGED);
    EXPECT_EQ(check(image, stored.data(), 0), IMAGE_DAMAGED);
    // A digest that starts right but is longer or shorter is not the build's.
    EXPECT_EQ(check(image, stored.data(), IMAGE_DIGEST_SIZE + 1), IMAGE_DAMAGED);
    EXPECT_EQ(check(image, stored.data(), IMAGE_DIGEST_SIZE - 1), IMAGE_DAMAGED);
}

TEST(ImageDigest, FailedHashIsUncheckedNotIntact) {
    const auto image = sample_image();
    const digest stored = toy_digest_of(image);
    last_call = {};
    EXPECT_EQ(check(image, stored.data(), IMAGE_DIGEST_SIZE, failing_hash), IMAGE_UNCHECKED);
    EXPECT_EQ(last_call.count, 1);
    EXPECT_EQ(check(image, stored.data(), IMAGE_DIGEST_SIZE, nullptr), IMAGE_UNCHECKED);
}

// A missing image hashes as zero bytes: with the digest of nothing stored it passes, and the
// image loading then refuses it as missing or empty.
TEST(ImageDigest, MissingImageHashesAsEmpty) {
    const digest of_nothing = toy_digest_of({});
    last_call = {};
    EXPECT_EQ(image_check_digest(nullptr, 120128, of_nothing.data(), IMAGE_DIGEST_SIZE, toy_hash),
              IMAGE_INTACT);
    EXPECT_EQ(last_call.length, 0u);
    const digest of_sample = toy_digest_of(sample_image());
    EXPECT_EQ(image_check_digest(nullptr, 0, of_sample.data(), IMAGE_DIGEST_SIZE, toy_hash),
              IMAGE_DAMAGED);
}

} // namespace
