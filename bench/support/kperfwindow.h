#pragma once

// Opens a `perf record` window around one measured run, so that a profile
// holds the transfers and not the set-up or the checks around them. With
// WEXORA_PERF_CTL naming the control fifo of `perf record -D -1
// --control fifo:PATH`, construction enables the events and destruction
// disables them; without it, nothing happens.
class KPerfWindow
{
public:
    KPerfWindow();
    ~KPerfWindow();
    KPerfWindow(const KPerfWindow&) = delete;
    KPerfWindow& operator=(const KPerfWindow&) = delete;

private:
    static void command(const char* line);
};
