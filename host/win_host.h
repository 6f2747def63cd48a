// What the Windows host's pieces share: the main window, the instance and the image loader.
#pragma once

#include "engine/update_job.h"

#include <windows.h>

// The dialog that serves as the main window; null until it has been created.
extern HWND main_window;

// The bytes and length of a raw-data resource of the executable; null and 0 when it is
// missing (the last error then says why).
const std::uint8_t* find_raw_resource(HINSTANCE instance, const char* name, DWORD* length);

// Checks the "BINFILE" resource against the SHA-256 stored in "BINFILE_SHA256"; ends the
// process through the fatal error report when they differ, the digest is missing, or the
// system cannot compute it.
void image_verify(HINSTANCE instance);

// Loads the "BINFILE" resource into the job's padded image; ends the process through the
// fatal error report when it is missing, empty, or cannot be copied.
void image_load(update_job* job, HINSTANCE instance);
