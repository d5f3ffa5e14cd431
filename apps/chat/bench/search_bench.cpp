// The chat's search on a big workspace: 100,000 messages in 50 channels. How long the first
// build takes, what one new message costs the UI thread and the index, how long queries
// take (p50/p99 over many different ones), and how big the index is next to the document.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <ctime>
#include <filesystem>
#include <random>

#include "doc/schema.hpp"
#include "model/live_view.hpp"
#include "search/chat_search.hpp"

namespace {

namespace fs = std::filesystem;
namespace sp = vemo_ui::search::provider;
using chat::search::ChatSearchProvider;
using Clock = std::chrono::steady_clock;

constexpr int channel_count = 50;
constexpr int message_count = 100000;
constexpr int people_count = 200;
constexpr int vocabulary_size = 4000;
constexpr int queries_per_kind = 200;

// Pronounceable made-up words, so that trigrams repeat the way they do in language.
std::vector<std::string> vocabulary() {
    static char const* onsets[] = {"b", "br", "c",  "ch", "d", "f",  "g", "gr", "k", "l", "m",
                                   "n", "p",  "pl", "r",  "s", "st", "t", "tr", "v", "w", "z"};
    static char const* vowels[] = {"a", "e", "i", "o", "u", "ai", "ea", "ou"};
    static char const* codas[] = {"", "n", "r", "s", "t", "l", "nd", "st", "ck"};
    std::mt19937 rng(7);
    std::vector<std::string> words;
    while (words.size() < vocabulary_size) {
        std::string w;
        int syllables = 1 + int(rng() % 3);
        for (int s = 0; s < syllables; ++s)
            w += std::string(onsets[rng() % 22]) + vowels[rng() % 8] + codas[rng() % 9];
        words.push_back(w);
    }
    return words;
}

// Word ranks follow a Zipf-like law, as in real text.
size_t zipf_rank(std::mt19937& rng) {
    std::uniform_real_distribution<double> u(0, 1);
    return std::min<size_t>(vocabulary_size - 1, size_t(std::pow(vocabulary_size, u(rng))) - 1);
}

chat::Message make_message(int i, std::vector<std::string> const& words, std::mt19937& rng) {
    chat::Message m;
    m.id = "m_" + std::to_string(i);
    m.channel = "c_" + std::to_string(i % channel_count);
    m.author = "u_" + std::to_string(rng() % people_count);
    m.ts = 1780000000 + i * 20;
    int n = 6 + int(rng() % 20);
    for (int k = 0; k < n; ++k) m.text += (k ? " " : "") + words[zipf_rank(rng)];
    return m;
}

struct Workload {
    std::vector<std::string> words = vocabulary();
    chat::model::ViewModel view;
    std::mt19937 rng{11};

    Workload() {
        for (int w = 0; w < 5; ++w)
            view.workspaces.push_back(
                {"ws_" + std::to_string(w), "Workspace " + std::to_string(w), "W", 0, uint32_t(w)});
        for (int c = 0; c < channel_count; ++c)
            view.channels.push_back({"c_" + std::to_string(c), "ws_" + std::to_string(c % 5), "",
                                     words[size_t(c) * 7], "topic " + words[size_t(c) * 11],
                                     uint32_t(c), 0, chat::ChannelKind::Text, false});
        for (int p = 0; p < people_count; ++p)
            view.directory.push_back({"u_" + std::to_string(p), words[size_t(p) * 3] + " Person",
                                      "P", 0, chat::Presence::Online, p % 20 == 0});
        std::vector<std::vector<chat::Message>> by_channel(channel_count);
        for (int i = 0; i < message_count; ++i) {
            auto m = make_message(i, words, rng);
            by_channel[size_t(i % channel_count)].push_back(std::move(m));
        }
        for (auto& list : by_channel)
            for (auto& m : list) view.all_messages.push_back(std::move(m));
    }

    // A new message at the end of a channel, as the refresh would list it; answers what the
    // live view's refresh would report.
    chat::model::ViewChange add_message(int i) {
        auto m = make_message(i, words, rng);
        chat::model::ViewChange change{false, false, {m.channel}};
        auto last = std::find_if(view.all_messages.rbegin(), view.all_messages.rend(),
                                 [&](auto const& x) { return x.channel == m.channel; });
        auto channel_end = last.base();
        view.all_messages.insert(channel_end, std::move(m));
        return change;
    }
};

Workload& workload() {
    static Workload w;
    return w;
}

fs::path first_build_path() {
    return fs::temp_directory_path() / "search-bench-first.sqlite";
}

// The provider of a run that finds the index the first build left: the restart case.
ChatSearchProvider& built_provider() {
    static ChatSearchProvider* provider = [] {
        auto* p = new ChatSearchProvider(first_build_path());
        p->update(workload().view);
        p->wait_idle();
        return p;
    }();
    return *provider;
}

double ms_since(Clock::time_point start) {
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

// CPU time of the calling thread: what a query costs apart from waiting for the cores that
// other programs hold.
double thread_cpu_ms() {
    timespec t{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return double(t.tv_sec) * 1e3 + double(t.tv_nsec) / 1e6;
}

double percentile(std::vector<double> values, size_t per_hundred) {
    std::ranges::sort(values);
    return values[std::min(values.size() - 1, values.size() * per_hundred / 100)];
}

// Wall and CPU times of the queries measured, reported as their medians and 99th percentiles.
struct QueryTimes {
    std::vector<double> wall, cpu;

    template <class Query>
    sp::SearchPage measure(Query const& query) {
        auto start = Clock::now();
        double cpu_start = thread_cpu_ms();
        sp::SearchPage page = query();
        cpu.push_back(thread_cpu_ms() - cpu_start);
        wall.push_back(ms_since(start));
        return page;
    }
    void report(benchmark::State& state) const {
        state.counters["p50_ms"] = percentile(wall, 50);
        state.counters["p99_ms"] = percentile(wall, 99);
        state.counters["cpu_p50_ms"] = percentile(cpu, 50);
        state.counters["cpu_p99_ms"] = percentile(cpu, 99);
    }
};

void BM_FirstBuild(benchmark::State& state) {
    auto& w = workload();
    for (auto _ : state) {
        for (char const* suffix : {"", "-wal", "-shm"})
            fs::remove(first_build_path().string() + suffix);
        auto start = Clock::now();
        double cpu_start = thread_cpu_ms();
        ChatSearchProvider provider(first_build_path());
        provider.update(w.view);
        double ui_ms = ms_since(start);
        double ui_cpu_ms = thread_cpu_ms() - cpu_start;
        // The next update takes the first build's fingerprints (waiting for them if need be).
        start = Clock::now();
        cpu_start = thread_cpu_ms();
        provider.update(w.view);
        double next_ms = ms_since(start);
        double next_cpu_ms = thread_cpu_ms() - cpu_start;
        provider.wait_idle();
        state.counters["ui_thread_ms"] = ui_ms;
        state.counters["ui_thread_cpu_ms"] = ui_cpu_ms;
        state.counters["next_update_ms"] = next_ms;
        state.counters["next_update_cpu_ms"] = next_cpu_ms;
        state.counters["entries"] = double(provider.stats()->entries);
        state.counters["index_MB"] = double(provider.stats()->index_bytes) / 1e6;
    }
}
BENCHMARK(BM_FirstBuild)->Iterations(1)->Unit(benchmark::kMillisecond);

// The next start: the stored index is checked against the document and left as it is.
void BM_RestartWithStoredIndex(benchmark::State& state) {
    for (auto _ : state) {
        auto start = Clock::now();
        auto& provider = built_provider();
        state.counters["until_idle_ms"] = ms_since(start);
        state.counters["generation"] = double(provider.stats()->generation);
    }
}
BENCHMARK(BM_RestartWithStoredIndex)->Iterations(1)->Unit(benchmark::kMillisecond);

// What a new message costs the UI thread: finding the one changed entry among 100,000.
void BM_IncrementalUpdateUiThread(benchmark::State& state) {
    auto& provider = built_provider();
    auto& w = workload();
    int next = message_count;
    for (auto _ : state) {
        state.PauseTiming();
        w.add_message(next++);
        state.ResumeTiming();
        provider.update(w.view);
        state.PauseTiming();
        provider.wait_idle();
        state.ResumeTiming();
    }
    state.counters["entries_handed"] = double(provider.last_update().entries);
}
BENCHMARK(BM_IncrementalUpdateUiThread)->Iterations(20)->Unit(benchmark::kMillisecond);

// The same when the refresh says which channel changed, as the app's live view does.
void BM_IncrementalUpdateFromChangeUiThread(benchmark::State& state) {
    auto& provider = built_provider();
    auto& w = workload();
    int next = message_count * 3;
    for (auto _ : state) {
        state.PauseTiming();
        auto change = w.add_message(next++);
        state.ResumeTiming();
        provider.update(w.view, change);
        state.PauseTiming();
        provider.wait_idle();
        state.ResumeTiming();
    }
    state.counters["entries_handed"] = double(provider.last_update().entries);
}
BENCHMARK(BM_IncrementalUpdateFromChangeUiThread)->Iterations(20)->Unit(benchmark::kMillisecond);

// The same with the index written (on the indexer's thread).
void BM_IncrementalUpdateIndexed(benchmark::State& state) {
    auto& provider = built_provider();
    auto& w = workload();
    int next = message_count * 2;
    for (auto _ : state) {
        state.PauseTiming();
        w.add_message(next++);
        state.ResumeTiming();
        provider.update(w.view);
        provider.wait_idle();
    }
}
BENCHMARK(BM_IncrementalUpdateIndexed)->Iterations(20)->Unit(benchmark::kMillisecond);

enum class QueryKind { Word, Phrase, Substring };

std::vector<std::string> queries(QueryKind kind) {
    auto& w = workload();
    std::mt19937 rng(99);
    std::vector<std::string> out;
    while (out.size() < queries_per_kind) {
        auto const& m = w.view.all_messages[rng() % w.view.all_messages.size()];
        auto words = sp::index_tokens(m.text);
        auto const& word = words[rng() % words.size()];
        if (kind == QueryKind::Word) {
            out.push_back(word);
        } else if (kind == QueryKind::Phrase) {
            size_t at = rng() % (words.size() - 1);
            out.push_back("\"" + words[at] + " " + words[at + 1] + "\"");
        } else if (word.size() >= 4) {
            out.push_back(word.substr(1, 3));  // inside a word, not its start
        }
    }
    return out;
}

void BM_Query(benchmark::State& state, QueryKind kind) {
    auto& provider = built_provider();
    auto texts = queries(kind);
    QueryTimes times;
    size_t found = 0;
    for (auto _ : state) {
        for (auto const& q : texts) {
            auto page = times.measure([&] {
                return provider.query_page({q, std::nullopt, std::nullopt}, std::nullopt, {20});
            });
            found += page.total;
        }
    }
    times.report(state);
    state.counters["mean_matches"] = double(found) / double(times.wall.size());
}
BENCHMARK_CAPTURE(BM_Query, one_word, QueryKind::Word)
    ->Iterations(1)
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_Query, phrase, QueryKind::Phrase)
    ->Iterations(1)
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_Query, three_letter_substring, QueryKind::Substring)
    ->Iterations(1)
    ->Unit(benchmark::kMillisecond);

// What the search window asks on each keystroke while a word is typed (its first letter, then
// one more at a time): a page of each collection, the few named things first. Measured per
// collection, so that the four small collections' share of a keystroke shows next to the
// messages'; "single" is one unfiltered page of the same 24 results, for comparison.
void BM_Keystroke(benchmark::State& state) {
    auto& provider = built_provider();
    constexpr std::pair<char const*, size_t> plan[] = {
        {"Workspaces", 3}, {"Conversations", 5}, {"Categories", 3}, {"People", 5}, {"Messages", 8}};
    std::vector<double> keystroke, small, messages, single;
    for (auto _ : state) {
        for (auto const& word : queries(QueryKind::Word)) {
            for (size_t typed = 1; typed <= word.size(); ++typed) {
                std::string text = word.substr(0, typed);
                double total = 0, named = 0;
                for (auto const& [collection, shown] : plan) {
                    double cpu_start = thread_cpu_ms();
                    provider.query_page({text, collection, std::nullopt}, std::nullopt, {shown});
                    double cpu = thread_cpu_ms() - cpu_start;
                    total += cpu;
                    if (std::string_view(collection) != "Messages")
                        named += cpu;
                    else
                        messages.push_back(cpu);
                }
                keystroke.push_back(total);
                small.push_back(named);
                double cpu_start = thread_cpu_ms();
                provider.query_page({text, std::nullopt, std::nullopt}, std::nullopt, {24});
                single.push_back(thread_cpu_ms() - cpu_start);
            }
        }
    }
    state.counters["keystrokes"] = double(keystroke.size());
    state.counters["cpu_p50_ms"] = percentile(keystroke, 50);
    state.counters["cpu_p99_ms"] = percentile(keystroke, 99);
    state.counters["named_p50_ms"] = percentile(small, 50);
    state.counters["named_p99_ms"] = percentile(small, 99);
    state.counters["messages_p50_ms"] = percentile(messages, 50);
    state.counters["messages_p99_ms"] = percentile(messages, 99);
    state.counters["single_p50_ms"] = percentile(single, 50);
    state.counters["single_p99_ms"] = percentile(single, 99);
}
BENCHMARK(BM_Keystroke)->Iterations(1)->Unit(benchmark::kMillisecond);

// A page deep into a common word's matches (the 60th, past the first slice of a thousand)
// costs what the first one does: each page ranks one slice.
void BM_QueryDeepPage(benchmark::State& state) {
    auto& provider = built_provider();
    QueryTimes times;
    for (auto _ : state) {
        for (auto const& q : queries(QueryKind::Word)) {
            std::optional<sp::SearchCursor> cursor;
            for (int n = 0; n < 60; ++n) {
                auto next_page = [&] {
                    return provider.query_page({q, std::nullopt, std::nullopt}, cursor, {20});
                };
                cursor = (n == 59 ? times.measure(next_page) : next_page()).next;
                if (!cursor) break;
            }
        }
    }
    state.counters["pages_measured"] = double(times.wall.size());
    if (!times.wall.empty()) times.report(state);
}
BENCHMARK(BM_QueryDeepPage)->Iterations(1)->Unit(benchmark::kMillisecond);

// The index next to the document it indexes: a real document of one channel's share of the
// messages (2,000), scaled by the channel count.
void BM_SizeAgainstDocument(benchmark::State& state) {
    auto& w = workload();
    for (auto _ : state) {
        chat::doc::AutoCommit doc;
        chat::doc::write_workspace(doc, "ws_0", "Workspace 0", "W", 0, 0);
        chat::doc::write_channel(doc, "c_0", "ws_0", "", "zero", "", chat::ChannelKind::Text, 0);
        size_t share = message_count / channel_count;
        size_t written = 0;
        for (auto const& m : w.view.all_messages) {
            if (m.channel != "c_0" || written == share) continue;
            chat::doc::insert_message(doc, "c_0", m);
            ++written;
        }
        double doc_bytes = double(doc.save().size()) * channel_count;
        double index_bytes = double(built_provider().stats()->index_bytes);
        state.counters["document_MB"] = doc_bytes / 1e6;
        state.counters["index_MB"] = index_bytes / 1e6;
        state.counters["index_per_document"] = index_bytes / doc_bytes;
    }
}
BENCHMARK(BM_SizeAgainstDocument)->Iterations(1)->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    for (char const* suffix : {"", "-wal", "-shm"})
        fs::remove(first_build_path().string() + suffix);
    return 0;
}
