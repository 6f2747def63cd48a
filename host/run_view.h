// What a run shows besides the status line: the percentage and the time left in the window's
// caption and on its taskbar button, both reset when the run completes or fails.
#pragma once

#include "engine/update_job.h"

#include <windows.h>

// A run starts: the caption is the plain title, the taskbar button shows activity.
void run_view_start(HWND window);
// After each tick: follows the job's progress; at "done" or "failed" resets the caption, sets
// the taskbar button (cleared, or the error state) and flushes the run log.
void run_view_tick(HWND window, const update_job* job);
// The run's port was lost: the plain title, the taskbar button in the error state, the log flushed.
void run_view_lost(HWND window);
