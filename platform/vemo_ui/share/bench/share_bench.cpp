// Two devices in one process on loopback: how long the first sync of a large workspace takes,
// and how long a posted message takes to show on the other device. Prints its numbers; the
// reference engine's own sync of the same document is measured by reference_sync.mjs.
#include <stdlib.h>

#include <algorithm>
#include <automerge/automerge.hpp>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <thread>
#include <vector>

#include "vemo_ui/persist.hpp"
#include "vemo_ui/share/sharing.hpp"

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
using automerge::ObjId;
using automerge::ObjType;

namespace {

struct Device {
    std::unique_ptr<vemo_ui::persist::DocumentStore> store;
    std::unique_ptr<vemo_ui::share::Sharing> sharing;
};

Device open_device(fs::path const& dir, std::string const& name) {
    Device d;
    d.store = std::move(
        vemo_ui::persist::open_migrating("share.bench", {}, dir / name / "doc.automerge").value());
    d.sharing = std::move(
        vemo_ui::share::Sharing::start(*d.store, {"u_" + name, name, {}, {}, true, true}).value());
    return d;
}

void add_message(automerge::AutoCommit& doc, ObjId const& list, std::size_t i) {
    auto msg = doc.insert_object(list, doc.length(list), ObjType::Map).value();
    (void)doc.put(msg, std::string("id"), "m_" + std::to_string(i));
    (void)doc.put(msg, std::string("author"), std::string("u_a"));
    (void)doc.put(msg, std::string("ts"), std::int64_t(1700000000 + i));
    auto text = doc.put_object(msg, std::string("text"), ObjType::Text).value();
    (void)doc.splice_text(text, 0, 0,
                          "message number " + std::to_string(i) + " with a little text in it");
}

std::size_t message_count(automerge::AutoCommit& doc) {
    auto messages = doc.get(ObjId::root(), std::string("messages"));
    if (!messages || !*messages) return 0;
    auto list = doc.get((*messages)->second, std::string("c"));
    if (!list || !*list) return 0;
    return doc.length((*list)->second);
}

void poll_both(Device& a, Device& b) {
    a.sharing->poll();
    a.store->commit_frame();
    b.sharing->poll();
    b.store->commit_frame();
}

}  // namespace

int main(int argc, char** argv) {
    std::size_t count = argc > 1 ? std::stoul(argv[1]) : 10000;
    std::size_t samples = argc > 2 ? std::stoul(argv[2]) : 200;
    char tmpl[] = "/tmp/share-bench-XXXXXX";
    fs::path dir = mkdtemp(tmpl);
    {
        auto a = open_device(dir, "a");
        auto& doc = a.store->document();
        auto messages =
            doc.put_object(ObjId::root(), std::string("messages"), ObjType::Map).value();
        auto list = doc.put_object(messages, std::string("c"), ObjType::List).value();
        for (std::size_t i = 0; i < count; ++i) {
            add_message(doc, list, i);
            doc.commit();
        }
        a.store->commit_frame();
        a.sharing->poll();
        auto b = open_device(dir, "b");
        auto invite = a.sharing->create_invite().value();

        auto start = Clock::now();
        (void)b.sharing->begin_join(invite);
        while (b.sharing->join_state() != vemo_ui::share::JoinState::Done) {
            poll_both(a, b);
            if (Clock::now() - start > std::chrono::seconds(120)) break;
        }
        double first = std::chrono::duration<double>(Clock::now() - start).count();
        std::printf("first sync of %zu messages: %.3f s (%zu arrived)\n", count, first,
                    message_count(b.store->document()));

        // Let the joiner's own record settle before measuring.
        for (int i = 0; i < 200; ++i) {
            poll_both(a, b);
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        std::vector<double> latencies;
        for (std::size_t i = 0; i < samples; ++i) {
            auto before = message_count(b.store->document());
            add_message(doc, list, count + i);
            a.store->commit_frame();
            auto t0 = Clock::now();
            while (message_count(b.store->document()) == before) {
                poll_both(a, b);
                std::this_thread::yield();
            }
            latencies.push_back(
                std::chrono::duration<double, std::milli>(Clock::now() - t0).count());
        }
        if (latencies.empty()) return 0;
        std::ranges::sort(latencies);
        std::printf(
            "message shown on the other device: p50 %.2f ms, p99 %.2f ms over %zu messages\n",
            latencies[latencies.size() / 2], latencies[latencies.size() * 99 / 100],
            latencies.size());
    }
    std::error_code ec;
    fs::remove_all(dir, ec);
}
