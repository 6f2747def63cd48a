// Finds the raw-data resource "BINFILE" in the executable, checks it against the digest the
// build stored beside it, and prepares it for the update job.
#include "host/fatal.h"
#include "host/image.h"
#include "host/image_digest.h"
#include "host/system_sha256.h"
#include "host/win_host.h"

const std::uint8_t* find_raw_resource(HINSTANCE instance, const char* name, DWORD* length) {
    *length = 0;
    HRSRC found = FindResourceA(nullptr, name, MAKEINTRESOURCEA(10)); // RT_RCDATA
    if (found == nullptr) {
        return nullptr;
    }
    HGLOBAL loaded = LoadResource(instance, found);
    if (loaded == nullptr) {
        return nullptr;
    }
    *length = SizeofResource(instance, found);
    return static_cast<const std::uint8_t*>(LockResource(loaded));
}

void image_verify(HINSTANCE instance) {
    SetLastError(0);
    DWORD length = 0;
    const std::uint8_t* bytes = find_raw_resource(instance, "BINFILE", &length);
    DWORD stored_length = 0;
    const std::uint8_t* stored = find_raw_resource(instance, "BINFILE_SHA256", &stored_length);
    if (stored == nullptr) {
        // A lost digest is as bad as a wrong one; the report quotes the resource error.
        fatal_error("Firmware image damaged");
    }
    switch (image_check_digest(bytes, length, stored, stored_length, system_sha256)) {
    case IMAGE_INTACT:
        return;
    case IMAGE_DAMAGED:
        // The lookups and the hash succeeded; whatever error they left behind is unrelated.
        SetLastError(0);
        fatal_error("Firmware image damaged");
    case IMAGE_UNCHECKED:
        fatal_error("Firmware image cannot be checked");
    }
    fatal_error("Firmware image cannot be checked");
}

void image_load(update_job* job, HINSTANCE instance) {
    // The port scan leaves "file not found" behind; clear it so that the report of an empty
    // image does not quote an unrelated error.
    SetLastError(0);
    DWORD length = 0;
    const std::uint8_t* bytes = find_raw_resource(instance, "BINFILE", &length);
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
