// What one frame leans on: measuring labels (mostly cache hits), laying out new text,
// drawing text, and the shadows under cards.
#include <benchmark/benchmark.h>

#include <string>

#include "vemo_ui/cairo_painter.hpp"
#include "vemo_ui/surface.hpp"
#include "vemo_ui/text_renderer.hpp"
#include "vemo_ui/theme.hpp"

using namespace vemo_ui;

namespace {

void measure_cached(benchmark::State& state) {
    TextRenderer text;
    text.measure("# announcements", 14);
    for (auto _ : state) benchmark::DoNotOptimize(text.measure("# announcements", 14));
}
BENCHMARK(measure_cached);

void measure_new_text(benchmark::State& state) {
    TextRenderer text;
    long i = 0;
    for (auto _ : state)
        benchmark::DoNotOptimize(
            text.measure("A message body number " + std::to_string(i++) + " with 😀", 14,
                         FontWeight::Regular, 480.0));
}
BENCHMARK(measure_new_text);

void draw_label(benchmark::State& state) {
    TextRenderer text;
    ImageCanvas canvas(400, 40);
    for (auto _ : state)
        text.draw_text_weighted(canvas.painter(), "Ana Lopez · Available 😀", {4, 4}, 14,
                                FontWeight::Medium, Theme::dark().text_primary);
}
BENCHMARK(draw_label);

void card_with_shadow(benchmark::State& state) {
    ImageCanvas canvas(600, 300);
    for (auto _ : state) surface::card(canvas.painter(), Theme::dark(), {40, 40, 480, 180}, 14);
}
BENCHMARK(card_with_shadow);

void shadow_cached(benchmark::State& state) {
    ImageCanvas canvas(600, 300);
    for (auto _ : state)
        canvas.painter().draw_shadow({40, 40, 480, 180}, 14, {{0, 3}, 10, Theme::dark().shadow});
}
BENCHMARK(shadow_cached);

void rounded_fill_and_edge(benchmark::State& state) {
    ImageCanvas canvas(600, 300);
    for (auto _ : state) {
        canvas.painter().fill_rounded_rect({40, 40, 480, 180}, 14, Theme::dark().card_fill);
        surface::edge_on(canvas.painter(), {40, 40, 480, 180}, 14, Theme::dark().card_fill);
    }
}
BENCHMARK(rounded_fill_and_edge);

void menu_shadow_uncached(benchmark::State& state) {
    ImageCanvas canvas(600, 400);
    double h = 100;
    for (auto _ : state) {
        // A new height each time defeats the mask cache: the cost of a fresh blur.
        h = h >= 300 ? 100 : h + 1;
        surface::shadow(canvas.painter(), Theme::dark(), {60, 40, 220, h}, 12,
                        surface::Elevation::High);
    }
}
BENCHMARK(menu_shadow_uncached);

}  // namespace

BENCHMARK_MAIN();
