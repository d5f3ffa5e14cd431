// Reading message text as Markdown: a typical chat message, a long formatted one at the size
// limit, and inputs that make Markdown parsers work hard.
#include <benchmark/benchmark.h>

#include <string>

#include "app/message_markup.hpp"

namespace {

std::string repeat(std::string_view s, size_t bytes) {
    std::string out;
    while (out.size() + s.size() <= bytes) out += s;
    return out;
}

void run(benchmark::State& state, std::string const& text) {
    for (auto _ : state) benchmark::DoNotOptimize(chat::markup::parse(text));
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(text.size()));
}

void Typical(benchmark::State& state) {
    run(state,
        "Pushed **the fix** for `layout()` — see https://example.com/pr/42 and "
        "[the notes](https://example.com/n). @Ana can you check?");
}

void LongFormatted(benchmark::State& state) {
    run(state, repeat("- item with *emphasis*, `code` and https://example.com/x\n",
                      chat::markup::max_formatted_bytes));
}

void NestedBrackets(benchmark::State& state) {
    run(state, repeat("[a](", chat::markup::max_formatted_bytes / 2) +
                   repeat(")", chat::markup::max_formatted_bytes / 2));
}

void Delimiters(benchmark::State& state) {
    run(state, repeat("*a **a ", chat::markup::max_formatted_bytes));
}

}  // namespace

BENCHMARK(Typical);
BENCHMARK(LongFormatted);
BENCHMARK(NestedBrackets);
BENCHMARK(Delimiters);
BENCHMARK_MAIN();
