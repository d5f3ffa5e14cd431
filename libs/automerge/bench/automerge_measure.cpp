// One measurement of our engine in a fresh process, for reference_bench.js, which runs the
// reference under Node the same way and interleaves the two:
//
//   automerge_measure load|save|apply FILE [once]
//
// With "once", only the cold run (for profilers and instruction counts).
// Prints one JSON object: "first_ms" (the first, cold run), "median_ms" (after a warm-up
// run, the median of at least five runs), and for loads "peak_rss" (the growth of the
// process's peak resident set during the cold load) and "resident" (resident set growth
// while the loaded document is alive), both in bytes. "cpu_ms" is the median process CPU
// time of the same runs.

#include <unistd.h>

#include <algorithm>
#include <automerge/automerge.hpp>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <fstream>
#include <iterator>
#include <optional>
#include <string>
#include <vector>

namespace {

using automerge::AutoCommit;
using Bytes = std::vector<uint8_t>;
using Clock = std::chrono::steady_clock;

std::optional<Bytes> read_file(char const* path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return std::nullopt;
    return Bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

// Current resident set and its peak since the last reset, in bytes.
int64_t status_kib(char const* field) {
    std::ifstream in("/proc/self/status");
    std::string line;
    size_t n = std::char_traits<char>::length(field);
    while (std::getline(in, line))
        if (line.compare(0, n, field) == 0) return std::stoll(line.substr(n + 1)) * 1024;
    return 0;
}

void reset_peak() {
    std::ofstream("/proc/self/clear_refs") << "5";
}

double ms_since(Clock::time_point t0) {
    return std::chrono::duration<double, std::milli>(Clock::now() - t0).count();
}

// CPU time of the whole process, which on a busy machine says more than wall time.
double cpu_ms() {
    timespec ts{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) * 1e3 + static_cast<double>(ts.tv_nsec) / 1e6;
}

std::vector<double> g_cpu_samples;

// The first run's time, then after one more warm-up run the median of at least five runs
// (up to about a second of them, at most 50).
bool g_once = false;

template <class F>
std::pair<double, double> time_runs(F&& run) {
    auto t0 = Clock::now();
    run();
    double first = ms_since(t0);
    if (g_once) return {first, first};
    run();
    std::vector<double> samples;
    auto start = Clock::now();
    while (samples.size() < 5 || (samples.size() < 50 && ms_since(start) < 1000)) {
        auto t = Clock::now();
        double c = cpu_ms();
        run();
        samples.push_back(ms_since(t));
        g_cpu_samples.push_back(cpu_ms() - c);
    }
    std::sort(samples.begin(), samples.end());
    std::sort(g_cpu_samples.begin(), g_cpu_samples.end());
    return {first, samples[samples.size() / 2]};
}

double median_cpu() {
    return g_cpu_samples.empty() ? 0 : g_cpu_samples[g_cpu_samples.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
    g_once = argc == 4 && std::string(argv[3]) == "once";
    if (argc != 3 && !g_once) {
        std::fprintf(stderr, "usage: automerge_measure load|save|apply FILE [once]\n");
        return 2;
    }
    std::string what = argv[1];
    auto bytes = read_file(argv[2]);
    if (!bytes) {
        std::fprintf(stderr, "cannot read %s\n", argv[2]);
        return 1;
    }
    bool failed = false;
    if (what == "load") {
        reset_peak();
        int64_t before = status_kib("VmRSS:");
        auto t0 = Clock::now();
        auto doc = AutoCommit::load(*bytes);
        double first = ms_since(t0);
        if (!doc) {
            std::fprintf(stderr, "load failed: %s\n", doc.error().message.c_str());
            return 1;
        }
        int64_t peak = status_kib("VmHWM:") - before;
        int64_t resident = status_kib("VmRSS:") - before;
        double median = first;
        if (!g_once) median = time_runs([&] { failed |= !AutoCommit::load(*bytes); }).second;
        std::printf(
            "{\"first_ms\":%.3f,\"median_ms\":%.3f,\"cpu_ms\":%.3f,\"peak_rss\":%lld,"
            "\"resident\":%lld}\n",
            first, median, median_cpu(), static_cast<long long>(peak),
            static_cast<long long>(resident));
    } else if (what == "save") {
        auto doc = AutoCommit::load(*bytes);
        if (!doc) return 1;
        auto [first, median] = time_runs([&] { failed |= doc->save().empty(); });
        std::printf("{\"first_ms\":%.3f,\"median_ms\":%.3f,\"cpu_ms\":%.3f}\n", first, median,
                    median_cpu());
    } else if (what == "apply") {
        auto [first, median] = time_runs([&] {
            AutoCommit doc;
            failed |= !doc.load_incremental(*bytes);
        });
        std::printf("{\"first_ms\":%.3f,\"median_ms\":%.3f,\"cpu_ms\":%.3f}\n", first, median,
                    median_cpu());
    } else {
        std::fprintf(stderr, "unknown measurement %s\n", what.c_str());
        return 2;
    }
    return failed ? 1 : 0;
}
