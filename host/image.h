// The firmware image carried in the executable, padded to whole blocks for the update job.
#pragma once

#include <cstddef>
#include <cstdint>

#include "engine/update_job.h"

enum image_result {
    IMAGE_OK = 0,
    IMAGE_EMPTY,     // no image, or one of zero length: nothing that may be written to a device
    IMAGE_NO_MEMORY, // the padded buffer could not be allocated
};

// The image length rounded up to whole blocks; 0 when the padded size would not fit the job's
// signed 32-bit size field.
std::int32_t padded_image_size(std::uint32_t length);

// Copies length bytes into a new zero-filled buffer of the padded size and hands it to the job
// with the flash base, then traces the base and the size. The job keeps the buffer for good.
image_result image_prepare(update_job* job, const std::uint8_t* bytes, std::uint32_t length);

// The image's place in flash and its reset handler, as the About box shows them, read from the
// bytes themselves: "Addresses: 0x08004000-0x08021540\nReset handler: 0x08004101" (the end is
// the first address past the image; the handler is the vector table's second word).
void image_describe(const std::uint8_t* bytes, std::uint32_t length, char* out, std::size_t size);
