// Compares the embedded image's SHA-256 with the digest stored beside it (no platform calls).
#include <cstring>

#include "host/image_digest.h"

image_check image_check_digest(const std::uint8_t* image, std::uint32_t length,
                               const std::uint8_t* stored, std::uint32_t stored_length,
                               sha256_fn sha256) {
    if (stored == nullptr || stored_length != IMAGE_DIGEST_SIZE) {
        return IMAGE_DAMAGED;
    }
    if (image == nullptr) {
        length = 0;
    }
    std::uint8_t computed[IMAGE_DIGEST_SIZE] = {};
    if (sha256 == nullptr || !sha256(image, length, computed)) {
        return IMAGE_UNCHECKED;
    }
    return std::memcmp(computed, stored, IMAGE_DIGEST_SIZE) == 0 ? IMAGE_INTACT : IMAGE_DAMAGED;
}
