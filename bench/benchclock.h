#pragma once

#include <ctime>

// Seconds on CLOCK: CLOCK_PROCESS_CPUTIME_ID for the processor time the
// benchmark itself spent, CLOCK_MONOTONIC for the time that passed.
inline double clockSeconds(clockid_t clock)
{
    timespec now {};
    clock_gettime(clock, &now);
    return double(now.tv_sec) + now.tv_nsec / 1e9;
}
