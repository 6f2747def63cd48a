// The caption and the taskbar button during a run. The taskbar object (ITaskbarList3, Windows 7
// and later) is made at the first run, when the button surely exists; without it only the
// caption shows the progress.
#include "host/run_view.h"

#include <cstring>

#include "host/progress.h"
#include "host/run_log.h"

#include <shobjidl.h>

namespace {

progress_tracker progress{};
char caption[CAPTION_SIZE];
std::uint32_t last_state = JOB_DONE;
std::int32_t last_offset = 0;
ITaskbarList3* taskbar = nullptr;
bool taskbar_tried = false;

ITaskbarList3* taskbar_list() {
    if (!taskbar_tried) {
        taskbar_tried = true;
        const DWORD saved = GetLastError();
        // S_FALSE (already initialised) is fine too; the object is in-process either way.
        CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
        void* object = nullptr;
        if (SUCCEEDED(CoCreateInstance(CLSID_TaskbarList, nullptr, CLSCTX_INPROC_SERVER,
                                       IID_ITaskbarList3, &object))) {
            taskbar = static_cast<ITaskbarList3*>(object);
            if (FAILED(taskbar->HrInit())) {
                taskbar->Release();
                taskbar = nullptr;
            }
        }
        SetLastError(saved);
    }
    return taskbar;
}

void set_caption(HWND window, int percent, std::int32_t seconds_left) {
    char text[CAPTION_SIZE];
    progress_caption(text, percent, seconds_left);
    if (std::strcmp(text, caption) != 0) {
        std::memcpy(caption, text, sizeof caption);
        SetWindowTextA(window, caption);
    }
}

void set_taskbar(HWND window, TBPFLAG state, std::int32_t done, std::int32_t total) {
    if (ITaskbarList3* list = taskbar_list()) {
        if (total > 0) {
            list->SetProgressValue(window, static_cast<ULONGLONG>(done),
                                   static_cast<ULONGLONG>(total));
        }
        list->SetProgressState(window, state);
    }
}

} // namespace

void run_view_start(HWND window) {
    progress_reset(&progress);
    last_state = JOB_START;
    last_offset = 0;
    set_caption(window, -1, -1);
    set_taskbar(window, TBPF_INDETERMINATE, 0, 0);
}

void run_view_tick(HWND window, const update_job* job) {
    const std::uint32_t state = job->state;
    const bool writing = state == JOB_PROGRAM || state == JOB_VERIFY || state == JOB_RESTART;
    // Most ticks change nothing: the caption and the button move when a block is acknowledged
    // or the state changes, and the time left goes from the caption in a stall.
    if (state == last_state && (!writing || job->image_offset == last_offset)) {
        if (writing) {
            set_caption(window, progress_percent(job->image_offset, job->image_size),
                        progress_seconds_left(&progress, job->image_size, GetTickCount()));
        }
        return;
    }
    last_state = state;
    last_offset = job->image_offset;
    switch (state) {
    case JOB_PROGRAM:
    case JOB_VERIFY:
    case JOB_RESTART:
        progress_note(&progress, job->image_offset, GetTickCount());
        set_caption(window, progress_percent(job->image_offset, job->image_size),
                    progress_seconds_left(&progress, job->image_size, GetTickCount()));
        set_taskbar(window, TBPF_NORMAL, job->image_offset, job->image_size);
        break;
    case JOB_DONE:
        set_caption(window, -1, -1);
        set_taskbar(window, TBPF_NOPROGRESS, 0, 0);
        run_log_flush();
        break;
    case JOB_FAILED:
        set_caption(window, -1, -1);
        set_taskbar(window, TBPF_ERROR, job->image_offset, job->image_size);
        run_log_flush();
        break;
    default:
        // Contacting (again): the plain title and activity.
        progress_reset(&progress);
        set_caption(window, -1, -1);
        set_taskbar(window, TBPF_INDETERMINATE, 0, 0);
        break;
    }
}

void run_view_lost(HWND window) {
    set_caption(window, -1, -1);
    set_taskbar(window, TBPF_ERROR, 0, 0); // the error state over the last value shown
    run_log_flush();
}
