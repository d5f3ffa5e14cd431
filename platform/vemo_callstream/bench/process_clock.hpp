#pragma once

// Clocks the multi-process benchmarks share: a monotonic clock that agrees across processes,
// and this process's CPU time.
#include <sys/resource.h>
#include <time.h>

#include <cstdint>

namespace vemo_callstream::bench {

inline int64_t monotonic_ns() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return int64_t(ts.tv_sec) * 1'000'000'000 + ts.tv_nsec;
}

inline double cpu_seconds() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return double(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           double(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

}  // namespace vemo_callstream::bench
