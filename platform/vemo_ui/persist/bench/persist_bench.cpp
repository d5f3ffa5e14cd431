#include <benchmark/benchmark.h>

#include <automerge/automerge.hpp>
#include <cstdlib>
#include <filesystem>

#include "vemo_ui/persist.hpp"

namespace {

using automerge::AutoCommit;
using automerge::ObjId;
using automerge::ObjType;

// A chat-sized document: `messages` list entries, each a map with a short text body.
void fill(AutoCommit& doc, int messages) {
    auto list = *doc.put_object(ObjId::root(), "messages", ObjType::List);
    for (int i = 0; i < messages; ++i) {
        auto message = *doc.insert_object(list, static_cast<size_t>(i), ObjType::Map);
        (void)doc.put(message, "id", "m" + std::to_string(i));
        (void)doc.put(message, "ts", int64_t{1700000000} + i);
        auto text = *doc.put_object(message, "text", ObjType::Text);
        (void)doc.splice_text(text, 0, 0,
                              "Message number " + std::to_string(i) + " says hello to the team");
        if (i % 100 == 99) doc.commit();
    }
    doc.commit();
}

// What a compaction costs the writer thread: loading the file and saving it again.
void BM_WriterCompaction(benchmark::State& state) {
    AutoCommit doc;
    fill(doc, static_cast<int>(state.range(0)));
    auto file = doc.save();
    for (auto _ : state) {
        auto loaded = AutoCommit::load(file);
        benchmark::DoNotOptimize(loaded->save());
    }
    state.counters["file_kib"] = static_cast<double>(file.size()) / 1024;
}
BENCHMARK(BM_WriterCompaction)->Arg(2000)->Arg(10000)->Unit(benchmark::kMillisecond);

// One typed character per frame, committed and handed to the writer thread.
void BM_CommitFrame(benchmark::State& state) {
    std::string pattern =
        (std::filesystem::temp_directory_path() / "persist-bench-XXXXXX").string();
    std::filesystem::path dir = ::mkdtemp(pattern.data());
    {
        auto store =
            vemo_ui::persist::open_migrating("org.example.Bench", {}, dir / "document.automerge");
        if (!store) {
            state.SkipWithError(store.error().c_str());
            return;
        }
        auto& doc = (*store)->document();
        auto text = *doc.put_object(ObjId::root(), "draft", ObjType::Text);
        size_t pos = 0;
        for (auto _ : state) {
            (void)doc.splice_text(text, pos++, 0, "a");
            (*store)->commit_frame();
        }
    }
    std::filesystem::remove_all(dir);
}
BENCHMARK(BM_CommitFrame)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
