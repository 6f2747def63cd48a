// Finds the raw-data resource "BINFILE" in the executable and prepares it for the update job.
#include "host/fatal.h"
#include "host/image.h"

#include <windows.h>

void image_load(update_job* job, HINSTANCE instance) {
    // The port scan leaves "file not found" behind; clear it so that the report of an empty
    // image does not quote an unrelated error.
    SetLastError(0);
    const std::uint8_t* bytes = nullptr;
    DWORD length = 0;
    HRSRC found = FindResourceA(nullptr, "BINFILE", MAKEINTRESOURCEA(10)); // RT_RCDATA
    if (found != nullptr) {
        HGLOBAL loaded = LoadResource(instance, found);
        if (loaded != nullptr) {
            bytes = static_cast<const std::uint8_t*>(LockResource(loaded));
            length = SizeofResource(instance, found);
        }
    }
    switch (image_prepare(job, bytes, length)) {
    case IMAGE_OK:
        return;
    case IMAGE_EMPTY:
        fatal_error("Firmware image missing or empty");
    case IMAGE_NO_MEMORY:
        fatal_error("Out of memory");
    }
    fatal_error("Out of memory");
}
