// Checks the embedded firmware image against the SHA-256 digest the build stored beside it.
#pragma once

#include <cstddef>
#include <cstdint>

// Size of a SHA-256 digest, and of the "BINFILE_SHA256" resource that carries the image's.
inline constexpr std::size_t IMAGE_DIGEST_SIZE = 32;

enum image_check {
    IMAGE_INTACT = 0, // the image's digest equals the stored one
    IMAGE_DAMAGED,    // it differs, or there is no stored digest of the right size
    IMAGE_UNCHECKED,  // the system could not compute the digest
};

// Computes the SHA-256 of length bytes into digest (IMAGE_DIGEST_SIZE bytes); bytes may be
// null when length is 0. Returns false when the digest could not be computed.
using sha256_fn = bool (*)(const std::uint8_t* bytes, std::uint32_t length, std::uint8_t* digest);

// Hashes the image's bytes with sha256 and compares the result with the stored digest
// (stored_length bytes at stored, null when the resource is missing). A missing image hashes
// as zero bytes, so that its refusal is left to the image loading.
image_check image_check_digest(const std::uint8_t* image, std::uint32_t length,
                               const std::uint8_t* stored, std::uint32_t stored_length,
                               sha256_fn sha256);
