// Measures, on the platform it runs on, the timings the tool's update rests on: the real period
// of a 10 ms window timer re-armed from its own handler as the tool does, the length of
// Sleep(100), and the step of GetTickCount. Prints one "name value" line each.
#include <cstdio>

#include <windows.h>

namespace {

constexpr UINT_PTR TIMER_ID = 6;
constexpr int TICKS = 300;

LARGE_INTEGER frequency;
LARGE_INTEGER origin;
double previous_tick = 0;
double tick_sum = 0;
double tick_min = 1e9;
double tick_max = 0;
int ticks = 0;

double now_ms() {
    LARGE_INTEGER q;
    QueryPerformanceCounter(&q);
    return static_cast<double>(q.QuadPart - origin.QuadPart) * 1000.0 /
           static_cast<double>(frequency.QuadPart);
}

// Held off and re-armed like the tool's tick, so the period includes the re-arming.
void CALLBACK on_tick(HWND window, UINT, UINT_PTR id, DWORD) {
    const double t = now_ms();
    if (ticks > 0) {
        const double d = t - previous_tick;
        tick_sum += d;
        tick_min = d < tick_min ? d : tick_min;
        tick_max = d > tick_max ? d : tick_max;
    }
    previous_tick = t;
    SetTimer(window, id, 10000, on_tick);
    SetTimer(window, id, 10, on_tick);
    if (++ticks > TICKS) {
        KillTimer(window, id);
        PostQuitMessage(0);
    }
}

} // namespace

int main() {
    QueryPerformanceFrequency(&frequency);
    QueryPerformanceCounter(&origin);
    HWND window = CreateWindowA("STATIC", "", 0, 0, 0, 1, 1, nullptr, nullptr, nullptr, nullptr);
    SetTimer(window, TIMER_ID, 10, on_tick);
    MSG message;
    while (GetMessageA(&message, nullptr, 0, 0) > 0) {
        DispatchMessageA(&message);
    }
    std::printf("tick_mean_ms %.2f\ntick_min_ms %.2f\ntick_max_ms %.2f\n", tick_sum / TICKS,
                tick_min, tick_max);

    double slept = 0;
    constexpr int SLEEPS = 20;
    for (int i = 0; i < SLEEPS; ++i) {
        const double t = now_ms();
        Sleep(100);
        slept += now_ms() - t;
    }
    std::printf("sleep100_mean_ms %.2f\n", slept / SLEEPS);

    // Count how often GetTickCount changes in one second of busy reading.
    DWORD last = GetTickCount();
    int changes = 0;
    const double start = now_ms();
    while (now_ms() - start < 1000) {
        const DWORD t = GetTickCount();
        if (t != last) {
            ++changes;
            last = t;
        }
    }
    std::printf("tickcount_step_ms %.1f\n", changes > 0 ? 1000.0 / changes : 0.0);
    return 0;
}
