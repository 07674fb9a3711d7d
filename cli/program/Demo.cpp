#include "Demo.h"

#include "Errors.h"
#include "GeneralCodec.h"
#include "ImageIO.h"
#include "Pipeline.h"
#include "Renderer.h"

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <utility>
#include <vector>

namespace veilshadow {
namespace {

using renderhost::Depth;
using renderhost::World;

// The layer's frame, and the input's larger data window around it.
constexpr Window kLayerWindow{0, 0, 320, 220};
constexpr Window kInputWindow{-16, -16, 372, 272};
constexpr int kShadowOffset = 14;
constexpr float kShadowStrength = 0.8f;
constexpr float kShadowColour[3] = {0.02f, 0.03f, 0.12f};

struct Colour {
    float r, g, b, a;
};

// Straight-alpha over: `top` over `bottom`.
Colour Over(const Colour &bottom, const Colour &top) {
    if (bottom.a <= 0.0f) return top;
    if (top.a >= 1.0f) return top;
    if (top.a <= 0.0f) return bottom;
    const float k = bottom.a * (1.0f - top.a);
    const float a = k + top.a;
    return Colour{(top.a * top.r + k * bottom.r) / a, (top.a * top.g + k * bottom.g) / a,
                  (top.a * top.b + k * bottom.b) / a, a};
}

// Coverage of a pixel by a shape, from 4 x 4 samples.
template <class Inside>
float Coverage(int x, int y, Inside inside) {
    int hits = 0;
    for (int sy = 0; sy < 4; ++sy)
        for (int sx = 0; sx < 4; ++sx) hits += inside(x + (sx + 0.5f) / 4.0f, y + (sy + 0.5f) / 4.0f) ? 1 : 0;
    return hits / 16.0f;
}

bool InRoundedRect(float x, float y, float left, float top, float right, float bottom, float radius) {
    if (x < left || x > right || y < top || y > bottom) return false;
    const float cx = std::clamp(x, left + radius, right - radius);
    const float cy = std::clamp(y, top + radius, bottom - radius);
    return (x - cx) * (x - cx) + (y - cy) * (y - cy) <= radius * radius;
}

// The layer: an opaque disc, a glass panel in front of it (faint tint,
// brighter rim), and a bar whose alpha ramps from 0 to 1.
Colour LayerPixel(int x, int y) {
    Colour pixel{0, 0, 0, 0};
    const float disc = Coverage(
        x, y, [](float px, float py) { return (px - 78) * (px - 78) + (py - 92) * (py - 92) <= 52.0f * 52.0f; });
    pixel = Over(pixel, Colour{0.95f, 0.55f, 0.15f, disc});

    const float panel = Coverage(x, y, [](float px, float py) { return InRoundedRect(px, py, 110, 28, 300, 150, 14); });
    const float inner = Coverage(x, y, [](float px, float py) { return InRoundedRect(px, py, 113, 31, 297, 147, 11); });
    pixel = Over(pixel, Colour{0.70f, 0.88f, 1.0f, 0.28f * inner});
    pixel = Over(pixel, Colour{1.0f, 1.0f, 1.0f, 0.85f * (panel - inner)});

    const float bar = Coverage(x, y, [](float px, float py) { return InRoundedRect(px, py, 24, 168, 300, 204, 8); });
    const float ramp = std::clamp((x + 0.5f - 24.0f) / 276.0f, 0.0f, 1.0f);
    pixel = Over(pixel, Colour{0.55f, 0.30f, 0.90f, bar * ramp});
    return pixel;
}

void Set(World &world, A_long x, A_long y, const Colour &c) {
    PF_PixelFloat &p = world.At<PF_PixelFloat>(x, y);
    p.alpha = c.a;
    p.red = c.r;
    p.green = c.g;
    p.blue = c.b;
}

Colour Get(const World &world, A_long x, A_long y) {
    const PF_PixelFloat &p = world.At<PF_PixelFloat>(x, y);
    return Colour{p.red, p.green, p.blue, p.alpha};
}

void Log(const DemoSettings &settings, const std::string &path) {
    if (settings.log != nullptr) std::fprintf(settings.log, "wrote %s\n", path.c_str());
}

OutputSpec ExrSpec() {
    OutputSpec spec;
    spec.format = "openexr";
    spec.sample = SampleType::kFloat;
    spec.associated = true;
    spec.display = kLayerWindow;
    spec.compression = "zip";
    return spec;
}

}  // namespace

DemoScene BuildDemoScene() {
    DemoScene scene{World(Depth::k32, kLayerWindow.width, kLayerWindow.height, kLayerWindow.x, kLayerWindow.y),
                    World(Depth::k32, kInputWindow.width, kInputWindow.height, kInputWindow.x, kInputWindow.y)};
    for (A_long y = 0; y < scene.layer.height(); ++y)
        for (A_long x = 0; x < scene.layer.width(); ++x)
            Set(scene.layer, x, y, LayerPixel(scene.layer.origin_x() + x, scene.layer.origin_y() + y));

    // The shadow's alpha on the input's data window: the layer's alpha
    // moved by the offset and blurred.
    const std::vector<float> shadow_alpha = General().shadow_alpha(scene.layer, kInputWindow, kShadowOffset, 21.0f);
    for (A_long y = 0; y < scene.input.height(); ++y) {
        for (A_long x = 0; x < scene.input.width(); ++x) {
            const int lx = scene.input.origin_x() + x, ly = scene.input.origin_y() + y;
            const float alpha = shadow_alpha[std::size_t(y) * std::size_t(scene.input.width()) + std::size_t(x)];
            const Colour shadow{kShadowColour[0], kShadowColour[1], kShadowColour[2],
                                std::clamp(alpha, 0.0f, 1.0f) * kShadowStrength};
            const long layer_x = lx - long{scene.layer.origin_x()}, layer_y = ly - long{scene.layer.origin_y()};
            const bool on_layer =
                layer_x >= 0 && layer_y >= 0 && layer_x < scene.layer.width() && layer_y < scene.layer.height();
            const Colour top = on_layer ? Get(scene.layer, static_cast<A_long>(layer_x), static_cast<A_long>(layer_y))
                                        : Colour{0, 0, 0, 0};
            Set(scene.input, x, y, Over(shadow, top));
        }
    }
    return scene;
}

void RunDemo(const DemoSettings &settings) {
    namespace fs = std::filesystem;
    General();  // the demo draws with it: nothing is made without it
    std::error_code ec;
    fs::create_directories(settings.folder, ec);
    if (ec) throw RunError(FileMessage(settings.folder, "cannot create the folder: " + ec.message()));
    const auto file = [&](const char *name) { return (fs::path(settings.folder) / name).string(); };

    DemoScene scene = BuildDemoScene();
    WriteWorld(file("layer.exr"), scene.layer, ExrSpec());
    Log(settings, file("layer.exr"));
    WriteWorld(file("input.exr"), scene.input, ExrSpec());
    Log(settings, file("input.exr"));

    // The renders go through the files, exactly as on the command line.
    struct Render {
        const char *name;
        PF_Fixed slider;
        const char *label;
    };
    const Render renders[] = {{"output-000.exr", 0, "Opacity 0%"},
                              {"output-050.exr", 50 * 65536, "Opacity 50%"},
                              {"output-100.exr", 100 * 65536, "Opacity 100%"}};
    Renderer renderer(settings.plugin, settings.threads);
    for (const Render &render : renders) {
        FrameFiles files{file("input.exr"), file("layer.exr"), file(render.name), 0};
        FrameSettings frame;
        frame.slider = render.slider;
        RenderFiles(renderer, files, frame);
        Log(settings, files.output);
    }
    renderer.Finish();

    // The sheet shows the files as written.
    std::vector<std::pair<std::string, std::string>> shown = {{"Layer", "layer.exr"},
                                                              {"Input: layer over shadow", "input.exr"}};
    for (const Render &render : renders) shown.emplace_back(render.label, render.name);
    std::vector<World> images;
    for (const auto &entry : shown)
        images.push_back(ImageReader(file(entry.second.c_str()), AlphaMode::kAuto).ReadWorld(Depth::k32));
    std::vector<SheetPanel> panels;
    for (std::size_t i = 0; i < shown.size(); ++i) panels.push_back(SheetPanel{shown[i].first, &images[i]});
    General().write_contact_sheet(file("contact.png"), panels, kInputWindow, kLayerWindow);
    Log(settings, file("contact.png"));
}

}  // namespace veilshadow
