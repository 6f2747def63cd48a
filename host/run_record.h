// The record of every run: the window tells it when a run starts, when it ends by itself and
// when the window goes with a run under way; each run then gets one line in runs.csv in the
// log folder.
#pragma once

#include "engine/update_job.h"

// A run starts: its port is open and the job about to begin. A run still under way (a press
// before its end) is recorded first, as abandoned. The job is read again at the run's end.
void run_record_start(const update_job* job);
// The run ended by itself: recorded as completed, failed or disconnected.
void run_record_end();
// The window closes, the session ends or the tool ends through its fatal report: a run under
// way is recorded as abandoned. Does nothing when none is.
void run_record_abandon();
