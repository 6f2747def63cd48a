// What the Windows host's pieces share: the main window, the instance and the image loader.
#pragma once

#include "engine/update_job.h"

#include <windows.h>

// The dialog that serves as the main window; null until it has been created.
extern HWND main_window;

// Loads the "BINFILE" resource into the job's padded image; ends the process through the
// fatal error report when it is missing, empty, or cannot be copied.
void image_load(update_job* job, HINSTANCE instance);
