// veilshadow's PNG codec against OpenImageIO's, on one thread: CPU ms to
// write and read one UHD RGBA frame (the least of several runs), and the
// files' sizes, on a busy frame (a gradient, noise, shapes, a soft shadow)
// and a smooth one (a gradient under a soft glow).
//
//   png_codec_bench [FOLDER] [RUNS] [uint16]
//
// Prints, per frame and sample type:
//   png_codec <frame> <bits> write_ms oiio <a> ours <b> read_ms oiio <c> ours <d> bytes oiio <e> ours <f> ratio <f/e>
// and the size at each libdeflate level:
//   png_level <frame> <bits> <level> bytes <n> ratio <n/oiio> write_ms <ms>
#include "ImageIO.h"
#include "ImageIOCommon.h"
#include "PngCodec.h"

#include <OpenImageIO/imageio.h>
#include <RenderHost/World.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;
using renderhost::World;

constexpr int kWidth = 3840, kHeight = 2160;

double ThreadMs() {
    timespec t{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return t.tv_sec * 1e3 + t.tv_nsec / 1e6;
}

double LeastMs(int runs, const std::function<void()> &step) {
    double best = 1e30;
    for (int i = 0; i < runs; ++i) {
        const double start = ThreadMs();
        step();
        best = std::min(best, ThreadMs() - start);
    }
    return best;
}

std::uint32_t Noise(std::uint32_t &state) {
    state = state * 1664525u + 1013904223u;
    return state >> 24;
}

float Smooth(float edge0, float edge1, float x) {
    const float t = std::clamp((x - edge0) / (edge1 - edge0), 0.0f, 1.0f);
    return t * t * (3 - 2 * t);
}

// A frame of 8 or 16-bit pixels: straight colour, alpha first.
World Frame(bool busy, renderhost::Depth depth) {
    World world(depth, kWidth, kHeight);
    std::uint32_t state = 7;
    for (A_long y = 0; y < kHeight; ++y) {
        for (A_long x = 0; x < kWidth; ++x) {
            const float u = float(x) / kWidth, v = float(y) / kHeight;
            float r = 0.2f + 0.6f * u, g = 0.3f + 0.4f * v, b = 0.8f - 0.5f * u * v;
            const float dx = u - 0.55f, dy = v - 0.5f;
            const float glow = 1 - Smooth(0.0f, 0.45f, std::sqrt(dx * dx + dy * dy));
            float a = busy ? 1.0f : 0.15f + 0.85f * glow;
            if (busy) {
                // Shapes with their soft shadow, then noise over all.
                const bool box = (x / 240 + y / 180) % 3 == 0 && x % 240 < 200 && y % 180 < 140;
                const float ring = std::fabs(std::sqrt(dx * dx * 3.2f + dy * dy) - 0.3f);
                const float shadow = 1 - 0.5f * Smooth(0.0f, 0.03f, ring - 0.01f);
                r *= shadow, g *= shadow, b *= shadow;
                if (box) r = 0.9f - r * 0.5f, g = 0.1f + 0.3f * u, b = 0.2f;
                if (ring < 0.01f) r = g = b = 0.95f;
                const float n = (float(Noise(state)) - 127.5f) / 2550.0f;
                r += n, g += n, b += n;
            }
            const auto q = [](float c, float scale) { return std::lround(std::clamp(c, 0.0f, 1.0f) * scale); };
            if (depth == renderhost::Depth::k16)
                world.Row<PF_Pixel16>(y)[x] = PF_Pixel16{A_u_short(q(a, 32768)), A_u_short(q(r, 32768)),
                                                         A_u_short(q(g, 32768)), A_u_short(q(b, 32768))};
            else
                world.Row<PF_Pixel>(y)[x] =
                    PF_Pixel{A_u_char(q(a, 255)), A_u_char(q(r, 255)), A_u_char(q(g, 255)), A_u_char(q(b, 255))};
        }
    }
    return world;
}

}  // namespace

int main(int argc, char **argv) {
    // An option here is a mistake, not a folder to fill.
    for (int i = 1; i < argc; ++i)
        if (argv[i][0] == '-') {
            const bool help = std::string(argv[i]) == "--help" || std::string(argv[i]) == "-h";
            std::fprintf(help ? stdout : stderr, "usage: %s [FOLDER] [RUNS] [uint16]\n", argv[0]);
            return help ? 0 : 2;
        }
    const fs::path dir = argc > 1 ? fs::path(argv[1]) : fs::temp_directory_path() / "png_codec_bench";
    const int runs = argc > 2 ? std::max(1, std::atoi(argv[2])) : 5;
    const bool sixteen = argc > 3 && std::string(argv[3]) == "uint16";
    fs::create_directories(dir);
    OIIO::attribute("threads", 1);
    const veilshadow::SampleType sample = sixteen ? veilshadow::SampleType::kUInt16 : veilshadow::SampleType::kUInt8;
    const renderhost::Depth depth = sixteen ? renderhost::Depth::k16 : renderhost::Depth::k8;
    for (const bool busy : {true, false}) {
        const char *name = busy ? "busy" : "smooth";
        const World frame = Frame(busy, depth);
        veilshadow::OutputSpec spec;
        spec.format = "png";
        spec.sample = sample;
        spec.display = veilshadow::Window{0, 0, kWidth, kHeight};
        const std::string oiio_path = (dir / (std::string(name) + "-oiio.png")).string();
        const std::string ours_path = (dir / (std::string(name) + "-ours.png")).string();
        const auto write = [&](const std::string &path, bool ours) {
            veilshadow::SetPngCodecEnabled(ours);
            return LeastMs(runs, [&] { veilshadow::WriteWorld(path, frame, spec); });
        };
        const auto read = [&](const std::string &path, bool ours) {
            veilshadow::SetPngCodecEnabled(ours);
            // With the spare bytes the program gives a world its codec decodes in.
            const std::size_t spare = veilshadow::ImageReader(path, veilshadow::AlphaMode::kAuto).InPlaceSpare(depth);
            World into(depth, kWidth, kHeight, 0, 0, std::nullopt, spare);
            return LeastMs(runs, [&] {
                veilshadow::ImageReader reader(path, veilshadow::AlphaMode::kAuto);
                reader.ReadInto(into);
            });
        };
        const double write_oiio = write(oiio_path, false), write_ours = write(ours_path, true);
        const double read_oiio = read(oiio_path, false), read_ours = read(oiio_path, true);
        const auto oiio_bytes = fs::file_size(oiio_path), ours_bytes = fs::file_size(ours_path);
        std::printf(
            "png_codec %s %d write_ms oiio %.1f ours %.1f read_ms oiio %.1f ours %.1f bytes oiio %ju ours %ju ratio "
            "%.3f\n",
            name, sixteen ? 16 : 8, write_oiio, write_ours, read_oiio, read_ours, std::uintmax_t(oiio_bytes),
            std::uintmax_t(ours_bytes), double(ours_bytes) / double(oiio_bytes));
        std::fflush(stdout);
        veilshadow::SetPngCodecEnabled(true);
        for (const char *level : {"zip:1", "zip:2", "zip:3", "zip:4", "zip:5", "zip:6", "zip:7", "zip:8", "zip:9"}) {
            spec.compression = level;
            const double ms = LeastMs(1, [&] { veilshadow::WriteWorld(ours_path, frame, spec); });
            const auto bytes = fs::file_size(ours_path);
            std::printf("png_level %s %d %s bytes %ju ratio %.3f write_ms %.1f\n", name, sixteen ? 16 : 8, level,
                        std::uintmax_t(bytes), double(bytes) / double(oiio_bytes), ms);
            std::fflush(stdout);
        }
        spec.compression.clear();
    }
    return 0;
}
