#pragma once

// Two devices in one process on loopback: how long a newcomer's first sync of a large
// workspace takes, where that time goes, and how long a posted message takes to show on the
// other device. The workload (what the document holds) comes from the caller, so the
// application can measure its own document shape with the same driver.

#include <stdlib.h>
#include <time.h>

#include <algorithm>
#include <automerge/automerge.hpp>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "vemo_ui/persist.hpp"
#include "vemo_ui/share/sharing.hpp"

namespace share_bench {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

struct Workload {
    // Writes `count` messages into the shared document.
    std::function<void(automerge::AutoCommit&, std::size_t count)> fill;
    // Posts message number `i` as a change of its own.
    std::function<void(automerge::AutoCommit&, std::size_t i)> post;
    // How many messages the document shows.
    std::function<std::size_t(automerge::AutoCommit&)> count;
    // What the application does once with a document that changed (rebuilding its view).
    std::function<void(automerge::AutoCommit&)> refresh;
};

struct Device {
    std::unique_ptr<vemo_ui::persist::DocumentStore> store;
    std::unique_ptr<vemo_ui::share::Sharing> sharing;
    double poll_s = 0;
    double poll_cpu_s = 0;
    double commit_s = 0;
    double refresh_s = 0;

    // One frame as the application runs it: sync, the view if anything changed, commit.
    void frame(Workload const& w, bool refresh) {
        auto t0 = Clock::now();
        timespec c0{}, c1{};
        clock_gettime(CLOCK_THREAD_CPUTIME_ID, &c0);
        bool changed = sharing->poll();
        clock_gettime(CLOCK_THREAD_CPUTIME_ID, &c1);
        poll_cpu_s += double(c1.tv_sec - c0.tv_sec) + double(c1.tv_nsec - c0.tv_nsec) / 1e9;
        auto t1 = Clock::now();
        if (changed && refresh && w.refresh) w.refresh(store->document());
        auto t2 = Clock::now();
        store->commit_frame();
        auto t3 = Clock::now();
        poll_s += std::chrono::duration<double>(t1 - t0).count();
        refresh_s += std::chrono::duration<double>(t2 - t1).count();
        commit_s += std::chrono::duration<double>(t3 - t2).count();
    }
};

inline Device open_device(fs::path const& dir, std::string const& name) {
    Device d;
    d.store = std::move(
        vemo_ui::persist::open_migrating("share.bench", {}, dir / name / "doc.automerge").value());
    vemo_ui::share::Options options;
    options.person_id = "u_" + name;
    options.device_name = name;
    options.loopback_only = true;
    d.sharing = std::move(vemo_ui::share::Sharing::start(*d.store, options).value());
    return d;
}

// CPU time of the calling thread or of the whole process: on a shared machine the wall times
// above swing with the load, these much less.
inline double cpu_seconds(clockid_t clock) {
    timespec ts{};
    clock_gettime(clock, &ts);
    return double(ts.tv_sec) + double(ts.tv_nsec) / 1e9;
}

inline double seconds_since(Clock::time_point t0) {
    return std::chrono::duration<double>(Clock::now() - t0).count();
}

inline void write_file(fs::path const& path, std::vector<std::uint8_t> const& bytes) {
    std::FILE* f = std::fopen(path.c_str(), "wb");
    if (!f) return;
    std::fwrite(bytes.data(), 1, bytes.size(), f);
    std::fclose(f);
}

// The reference engine syncing the same document between two of its own documents, in the
// same run (skipped with SHARE_BENCH_REFERENCE=0, or when Node or the engine is missing).
inline void run_reference(fs::path const& file) {
#ifdef SHARE_BENCH_REFERENCE_SCRIPT
    char const* wanted = std::getenv("SHARE_BENCH_REFERENCE");
    if (wanted && std::string(wanted) == "0") return;
    std::fflush(stdout);
    auto command = std::string("node '") + SHARE_BENCH_REFERENCE_SCRIPT + "' '" + file.string() +
                   "' 2>/dev/null || echo 'reference first sync: not measured (no Node or no "
                   "tests/oracle/node_modules)'";
    if (std::system(command.c_str()) != 0) std::printf("reference first sync: failed\n");
#else
    (void)file;
#endif
}

// Arguments: [MESSAGES (10000)] [LATENCY SAMPLES (200)].
inline int run(int argc, char** argv, Workload const& w) {
    std::size_t count = argc > 1 ? std::stoul(argv[1]) : 10000;
    std::size_t samples = argc > 2 ? std::stoul(argv[2]) : 200;
    char tmpl[] = "/tmp/share-bench-XXXXXX";
    fs::path dir = mkdtemp(tmpl);
    int status = 0;
    {
        auto a = open_device(dir, "a");
        auto& doc = a.store->document();
        w.fill(doc, count);
        a.store->commit_frame();
        (void)a.store->flush();
        a.sharing->poll();
        auto reference_file = dir / "reference.automerge";
        write_file(reference_file, doc.save_snapshot());
        auto b = open_device(dir, "b");
        auto invite = a.sharing->create_invite().value();

        auto start = Clock::now();
        double process_cpu = cpu_seconds(CLOCK_PROCESS_CPUTIME_ID);
        (void)b.sharing->begin_join(invite);
        // The joining side shows nothing until the workspace has arrived, as the app does.
        while (b.sharing->join_state() != vemo_ui::share::JoinState::Done &&
               seconds_since(start) < 120) {
            a.frame(w, true);
            b.frame(w, false);
        }
        double arrived = seconds_since(start);
        process_cpu = cpu_seconds(CLOCK_PROCESS_CPUTIME_ID) - process_cpu;
        auto t_refresh = Clock::now();
        if (w.refresh) w.refresh(b.store->document());
        double first_view = seconds_since(t_refresh);
        b.store->commit_frame();
        auto t_flush = Clock::now();
        (void)b.store->flush();
        double flush = seconds_since(t_flush);
        std::size_t shown = w.count(b.store->document());
        std::printf("first sync of %zu messages: %.3f s (%zu arrived), CPU %.3f s\n", count,
                    arrived, shown, process_cpu);
        std::printf(
            "  joining side: sync %.3f s (CPU %.3f s), handing to the writer %.3f s; its first "
            "view %.3f s; on disk %.3f s later\n",
            b.poll_s, b.poll_cpu_s, b.commit_s, first_view, flush);
        std::printf(
            "  inviting side: sync %.3f s (CPU %.3f s), view %.3f s, handing to the writer "
            "%.3f s\n",
            a.poll_s, a.poll_cpu_s, a.refresh_s, a.commit_s);
        if (shown != count) status = 1;
        run_reference(reference_file);

        // Let the joiner's own record settle before measuring.
        for (int i = 0; i < 200; ++i) {
            a.frame(w, false);
            b.frame(w, false);
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        std::vector<double> latencies;
        for (std::size_t i = 0; i < samples; ++i) {
            auto before = w.count(b.store->document());
            w.post(doc, count + i);
            a.store->commit_frame();
            auto t0 = Clock::now();
            while (w.count(b.store->document()) == before && seconds_since(t0) < 10) {
                a.frame(w, false);
                b.frame(w, false);
                std::this_thread::yield();
            }
            latencies.push_back(
                std::chrono::duration<double, std::milli>(Clock::now() - t0).count());
        }
        if (!latencies.empty()) {
            std::ranges::sort(latencies);
            std::printf(
                "message shown on the other device: p50 %.2f ms, p99 %.2f ms over %zu "
                "messages\n",
                latencies[latencies.size() / 2], latencies[latencies.size() * 99 / 100],
                latencies.size());
        }
    }
    std::error_code ec;
    fs::remove_all(dir, ec);
    return status;
}

}  // namespace share_bench
