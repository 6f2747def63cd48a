// Pads the embedded image to whole blocks and hands it to the update job, and describes its
// place in flash (no platform calls).
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>

#include "host/image.h"

std::int32_t padded_image_size(std::uint32_t length) {
    constexpr std::uint32_t largest =
        static_cast<std::uint32_t>(std::numeric_limits<std::int32_t>::max()) / BLOCK_SIZE *
        BLOCK_SIZE;
    if (length > largest) {
        return 0;
    }
    if (length == 0) {
        return BLOCK_SIZE;
    }
    return static_cast<std::int32_t>(((length - 1) / BLOCK_SIZE + 1) * BLOCK_SIZE);
}

image_result image_prepare(update_job* job, const std::uint8_t* bytes, std::uint32_t length) {
    // An empty image would be padded to a block of zeros and written over the device's firmware.
    if (bytes == nullptr || length == 0) {
        return IMAGE_EMPTY;
    }
    const std::int32_t size = padded_image_size(length);
    if (size == 0) {
        return IMAGE_NO_MEMORY;
    }
    auto* padded = static_cast<std::uint8_t*>(std::calloc(static_cast<std::size_t>(size), 1));
    if (padded == nullptr) {
        return IMAGE_NO_MEMORY;
    }
    std::memcpy(padded, bytes, length);
    job->image = padded;
    job->image_size = size;
    job->image_base = FLASH_IMAGE_BASE;
    trace_printf("\nFlash Image Base %#x\n", FLASH_IMAGE_BASE);
    trace_printf("Flash Image Size %#x bytes\n", static_cast<unsigned>(size));
    return IMAGE_OK;
}

void image_describe(const std::uint8_t* bytes, std::uint32_t length, char* out, std::size_t size) {
    if (size == 0) {
        return;
    }
    if (bytes == nullptr || length == 0) {
        std::snprintf(out, size, "Addresses: none (no image)");
        return;
    }
    // Past the top of the address space an image cannot lie in flash; the sum is kept 64-bit.
    const std::uint64_t end = std::uint64_t{FLASH_IMAGE_BASE} + length;
    constexpr std::uint32_t RESET_WORD = 4; // offset of the vector table's reset handler
    if (length < RESET_WORD + 4) {
        std::snprintf(out, size, "Addresses: %#010x-%#010llx\nReset handler: none (too short)",
                      FLASH_IMAGE_BASE, static_cast<unsigned long long>(end));
        return;
    }
    const std::uint32_t reset = static_cast<std::uint32_t>(bytes[RESET_WORD]) |
                                static_cast<std::uint32_t>(bytes[RESET_WORD + 1]) << 8 |
                                static_cast<std::uint32_t>(bytes[RESET_WORD + 2]) << 16 |
                                static_cast<std::uint32_t>(bytes[RESET_WORD + 3]) << 24;
    std::snprintf(out, size, "Addresses: %#010x-%#010llx\nReset handler: %#010x", FLASH_IMAGE_BASE,
                  static_cast<unsigned long long>(end), reset);
}
