// Drawing the call: the floating call window and the expanded view with 1, 4 and 9
// participants, and the expanded view with live pictures (six 640 x 480 cameras and a
// 1280 x 960 shared screen) at 1280 x 800. Every frame must stay far inside 16 ms.
//
// `call_view_bench --png DIR` writes the pictures it draws instead, in both themes and with the
// controls in their pressed states, for a look at them.
#include <benchmark/benchmark.h>

#include <cstring>
#include <iostream>
#include <memory>
#include <string>

#include "render_call/call_overlay.hpp"
#include "vemo_ui/cairo_painter.hpp"
#include "vemo_ui/text_renderer.hpp"
#include "vemo_ui/theme.hpp"

namespace {

using chat::render_call::CallScene;
using chat::render_call::CallTile;
using vemo_ui::Rect;

constexpr int canvas_w = 1280, canvas_h = 800;
Rect const main_area{316, 0, 964, 800};

// A picture with some structure in it, so scaling does real work.
vemo_ui::ImageRef picture(int w, int h, uint8_t seed) {
    auto image = std::make_shared<vemo_ui::Image>();
    image->width = w, image->height = h, image->stride = w * 4;
    image->pixels.resize(size_t(image->stride) * size_t(h));
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            uint8_t* p = &image->pixels[size_t(y) * size_t(image->stride) + size_t(x) * 4];
            p[0] = uint8_t(x * 255 / w + seed), p[1] = uint8_t(y * 255 / h), p[2] = seed;
            p[3] = 255;
        }
    return image;
}

CallScene scene_of(size_t n, bool pictures = false) {
    static char const* names[] = {"You",  "Elin Marsh", "Ravi Holt", "Tove Lind",  "Jonah Pike",
                                  "Mira", "Ode",        "Sam Berg",  "Noor Adams", "Lio"};
    CallScene s;
    s.channel_id = "c_huddle";
    s.title = "Design Huddle";
    s.participants = n;
    for (size_t i = 0; i < n; ++i) {
        CallTile t;
        t.id = "u_" + std::to_string(i);
        t.name = names[i % 10];
        t.initials = t.name.substr(0, 2);
        t.color = uint32_t(i);
        t.local = i == 0;
        t.talking = i % 3 == 0;
        t.muted = i % 4 == 2;
        t.audio_only = i % 5 == 4;
        if (pictures) t.camera = picture(640, 480, uint8_t(i * 40));
        s.tiles.push_back(std::move(t));
    }
    return s;
}

struct Canvas {
    vemo_ui::ImageCanvas canvas{canvas_w, canvas_h};
    vemo_ui::TextRenderer text;
    vemo_ui::Theme theme;
    vemo_ui::FloatingPlacement placement;
    std::vector<chat::HitRegion> hits;

    explicit Canvas(vemo_ui::Theme t = vemo_ui::Theme::dark()) : theme(std::move(t)) {
        placement.place({0, 0, canvas_w, canvas_h});
        placement.tick(0);
    }

    void floating(CallScene const& scene) {
        vemo_ui::DrawContext ctx{canvas.painter(), text, theme, 1000, 1};
        canvas.clear(theme.window_fill);
        hits.clear();
        chat::render_call::draw_floating_call(ctx, scene, placement, hits);
    }
    void expanded(CallScene const& scene) {
        vemo_ui::DrawContext ctx{canvas.painter(), text, theme, 1000, 1};
        hits.clear();
        chat::render_call::draw_expanded_call(
            ctx, scene, main_area, [](std::string_view key) { return std::string(key); }, hits);
    }
};

void BM_FloatingCall(benchmark::State& state) {
    Canvas c;
    auto scene = scene_of(size_t(state.range(0)));
    for (auto _ : state) c.floating(scene);
}
BENCHMARK(BM_FloatingCall)->Arg(1)->Arg(4)->Arg(9)->Unit(benchmark::kMillisecond);

void BM_ExpandedCall(benchmark::State& state) {
    Canvas c;
    auto scene = scene_of(size_t(state.range(0)));
    for (auto _ : state) c.expanded(scene);
}
BENCHMARK(BM_ExpandedCall)->Arg(1)->Arg(4)->Arg(9)->Unit(benchmark::kMillisecond);

// Six cameras and a shared screen on the stage.
void BM_ExpandedCallWithPictures(benchmark::State& state) {
    Canvas c;
    auto scene = scene_of(6, true);
    scene.presenter = 1;
    scene.tiles[1].sharing = true;
    scene.screen = picture(1280, 960, 7);
    for (auto _ : state) c.expanded(scene);
}
BENCHMARK(BM_ExpandedCallWithPictures)->Unit(benchmark::kMillisecond);

int write_pictures(std::string const& dir) {
    struct Theme {
        char const* name;
        vemo_ui::Theme theme;
    };
    for (auto& [name, theme] :
         {Theme{"dark", vemo_ui::Theme::dark()}, Theme{"light", vemo_ui::Theme::light()}}) {
        for (size_t n : {1, 4, 9}) {
            for (bool pressed : {false, true}) {
                Canvas c(theme);
                auto scene = scene_of(n);
                scene.muted = scene.deafened = scene.audio_only = pressed;
                std::string stem =
                    dir + "/" + name + "-" + std::to_string(n) + (pressed ? "-pressed" : "");
                c.floating(scene);
                if (!c.canvas.write_png(stem + "-floating.png")) return 1;
                c.expanded(scene);
                if (!c.canvas.write_png(stem + "-expanded.png")) return 1;
            }
        }
    }
    std::cout << "pictures written to " << dir << "\n";
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 3 && std::strcmp(argv[1], "--png") == 0) return write_pictures(argv[2]);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
