// Wall-clock timing for the benchmark programs, read inside Wine: timing the
// wine command from the shell would also count Wine's own start and, through
// a pipe, wait for every process started from it.
#ifndef ORBEX_BENCH_BENCH_CLOCK_H_
#define ORBEX_BENCH_BENCH_CLOCK_H_

#include <windows.h>

inline double NowMilliseconds() {
    LARGE_INTEGER now, frequency;
    QueryPerformanceCounter(&now);
    QueryPerformanceFrequency(&frequency);
    return 1000.0 * static_cast<double>(now.QuadPart) / static_cast<double>(frequency.QuadPart);
}

#endif  // ORBEX_BENCH_BENCH_CLOCK_H_
