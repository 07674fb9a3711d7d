#include "sequence_scene.h"

#include "Demo.h"
#include "Geometry.h"

#include <OpenImageIO/imagebufalgo.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <stdexcept>
#include <string>

namespace benchscene {
namespace {

namespace fs = std::filesystem;
using renderhost::World;

// The scene's world (straight colour) as associated RGBA over `window`,
// transparent where the world does not reach.
OIIO::ImageBuf Associated(const World &world, const veilshadow::Window &window) {
    OIIO::ImageSpec spec(window.width, window.height, 4, OIIO::TypeDesc::FLOAT);
    spec.x = spec.full_x = window.x;
    spec.y = spec.full_y = window.y;
    spec.full_width = window.width;
    spec.full_height = window.height;
    spec.alpha_channel = 3;
    OIIO::ImageBuf buf(spec);
    OIIO::ImageBufAlgo::zero(buf);
    for (A_long y = 0; y < world.height(); ++y)
        for (A_long x = 0; x < world.width(); ++x) {
            const PF_PixelFloat &p = world.At<PF_PixelFloat>(x, y);
            const float rgba[4] = {p.red * p.alpha, p.green * p.alpha, p.blue * p.alpha, p.alpha};
            buf.setpixel(world.origin_x() + x, world.origin_y() + y, rgba, 4);
        }
    return buf;
}

// The shadow drawn by the scene's layer, as `veilshadow demo` draws it:
// the layer's alpha moved by 14 pixels, blurred, tinted dark blue at 80 %.
OIIO::ImageBuf Shadow(const OIIO::ImageBuf &layer) {
    const int alpha_only[] = {3};
    OIIO::ImageBuf moved = OIIO::ImageBufAlgo::channels(layer, 1, alpha_only);
    moved.set_origin(layer.spec().x + 14, layer.spec().y + 14);
    const OIIO::ImageBuf kernel = OIIO::ImageBufAlgo::make_kernel("gaussian", 21.0f, 21.0f);
    const OIIO::ImageBuf blurred = OIIO::ImageBufAlgo::convolve(moved, kernel, true, layer.roi());
    const int spread[] = {0, 0, 0, 0};
    const float tint[] = {0.02f * 0.8f, 0.03f * 0.8f, 0.12f * 0.8f, 0.8f};
    OIIO::ImageBuf shadow =
        OIIO::ImageBufAlgo::mul(OIIO::ImageBufAlgo::channels(blurred, 4, spread), OIIO::cspan<float>(tint));
    OIIO::ImageBufAlgo::clamp(shadow, shadow, 0.0f, 1.0f);
    return shadow;
}

// `soft`: the demo's icon over a glow that covers most of the frame, its
// alpha falling smoothly from 0.75 in the middle to 0 at the edges, its
// colour changing across it.
SceneImages SoftScene(const World &icon_layer, const veilshadow::Window &window) {
    const OIIO::ImageBuf icon = Associated(icon_layer, window);
    OIIO::ImageBuf glow(icon.spec());
    for (int y = window.y; y < window.y + window.height; ++y)
        for (int x = window.x; x < window.x + window.width; ++x) {
            const float u = (x + 0.5f - window.x) / window.width * 2.0f - 1.0f;
            const float v = (y + 0.5f - window.y) / window.height * 2.0f - 1.0f;
            const float d = std::min(1.0f, std::sqrt(u * u + v * v));
            const float a = 0.75f * (1.0f - d * d * (3.0f - 2.0f * d));
            const float rgba[4] = {(0.5f + 0.4f * u) * a, 0.6f * a, (0.5f - 0.4f * v) * a, a};
            glow.setpixel(x, y, rgba, 4);
        }
    OIIO::ImageBuf layer = OIIO::ImageBufAlgo::over(icon, glow);
    OIIO::ImageBuf comp = OIIO::ImageBufAlgo::over(layer, Shadow(layer));
    if (layer.has_error() || comp.has_error())
        throw std::runtime_error("cannot draw the soft scene: " + layer.geterror() + comp.geterror());
    return SceneImages{"soft", std::move(layer), std::move(comp)};
}

}  // namespace

std::vector<SceneImages> Scenes() {
    const veilshadow::DemoScene demo = veilshadow::BuildDemoScene();
    const veilshadow::Window window{demo.input.origin_x(), demo.input.origin_y(), demo.input.width(),
                                    demo.input.height()};
    std::vector<SceneImages> scenes;
    scenes.push_back(SceneImages{"demo", Associated(demo.layer, window), Associated(demo.input, window)});
    scenes.push_back(SoftScene(demo.layer, window));
    return scenes;
}

// Writes frame 1 of the scene's COMP and LAYER in both formats, resampled
// to UHD, and copies it to the other frames.
void MakeFrames(const SceneImages &scene, const fs::path &dir, int exr_frames, int png_frames) {
    const OIIO::ROI uhd(0, kWidth, 0, kHeight, 0, 1, 0, 4);
    const std::pair<const char *, const OIIO::ImageBuf *> images[] = {{"comp", &scene.comp}, {"layer", &scene.layer}};
    for (const auto &image : images) {
        OIIO::ImageBuf big = OIIO::ImageBufAlgo::resize(*image.second, "", 0.0f, uhd);
        if (big.has_error()) throw std::runtime_error("cannot resample the scene: " + big.geterror());
        big.specmod().attribute("compression", "zip");
        const std::pair<const char *, OIIO::TypeDesc> formats[] = {{"exr", OIIO::TypeDesc::HALF},
                                                                   {"png", OIIO::TypeDesc::UINT8}};
        for (const auto &format : formats) {
            const fs::path first = dir / (std::string(image.first) + ".0001." + format.first);
            big.set_write_format(format.second);
            if (!big.write(first.string()))
                throw std::runtime_error("cannot write " + first.string() + ": " + big.geterror());
            const int frames = std::string(format.first) == "exr" ? exr_frames : png_frames;
            for (int frame = 2; frame <= frames; ++frame) {
                char name[64];
                std::snprintf(name, sizeof name, "%s.%04d.%s", image.first, frame, format.first);
                fs::copy_file(first, dir / name, fs::copy_options::overwrite_existing);
            }
        }
    }
}

}  // namespace benchscene
