#pragma once

// What the multi-process benchmarks share: a monotonic clock that agrees across processes,
// this process's CPU time, and whole reads and writes on pipes and sockets.
#include <sys/resource.h>
#include <time.h>
#include <unistd.h>

#include <cstddef>
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

// Writes all of `data`, or false when the other end went away.
inline bool write_all(int fd, void const* data, size_t size) {
    auto const* p = static_cast<uint8_t const*>(data);
    while (size > 0) {
        ssize_t n = ::write(fd, p, size);
        if (n <= 0) return false;
        p += n;
        size -= size_t(n);
    }
    return true;
}

// Reads exactly `size` bytes, or false at the end of the stream or on an error.
inline bool read_all(int fd, void* data, size_t size) {
    auto* p = static_cast<uint8_t*>(data);
    while (size > 0) {
        ssize_t n = ::read(fd, p, size);
        if (n <= 0) return false;
        p += n;
        size -= size_t(n);
    }
    return true;
}

}  // namespace vemo_callstream::bench
