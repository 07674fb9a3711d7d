// A loaded plug-in module in a fresh render host, and frames to render.
#pragma once

#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "../common/ExpectedFrame.h"
#include "RenderHost/RenderHost.h"
#include "VeilShadowKernels.h"
#include "VeilShadowPixels.h"

namespace plugin_test {

using renderhost::Depth;
using renderhost::HostOp;
using renderhost::World;

// The module is loaded once per test program, like a host keeps a plug-in.
inline renderhost::PluginModule &Module() {
    static renderhost::PluginModule module = renderhost::PluginModule::Load(ORVANE_PLUGIN_PATH);
    return module;
}

// A host with the effect loaded, set up and its parameters registered. The
// journal starts empty after setup; at the end every handle, suite and
// checkout must be back.
class PluginTest : public testing::Test {
protected:
    void SetUp() override {
        effect_ = std::make_unique<renderhost::Effect>(host_, Module());
        ASSERT_EQ(effect_->GlobalSetup(), PF_Err_NONE);
        ASSERT_EQ(effect_->ParamsSetup(), PF_Err_NONE);
        host_.ClearJournal();
    }
    void TearDown() override {
        if (effect_) {
            host_.ClearFaults();
            EXPECT_EQ(effect_->GlobalSetdown(), PF_Err_NONE);
            effect_.reset();
        }
        EXPECT_TRUE(host_.IsClean()) << host_.LeakReport();
    }

    renderhost::Host host_{renderhost::HostOptions{2, renderhost::CallJournal::kOn}};
    std::unique_ptr<renderhost::Effect> effect_;
};

using expected_frame::ComputeExpected;
using expected_frame::OpacityOf;

// Byte-for-byte equality of the pixels (not the padding) of two worlds.
inline bool SamePixels(const World &a, const World &b) {
    if (a.width() != b.width() || a.height() != b.height() || a.depth() != b.depth()) return false;
    const size_t row_bytes = size_t(a.width()) * renderhost::PixelBytes(a.depth());
    for (A_long y = 0; y < a.height(); ++y) {
        const char *ra = static_cast<const char *>(a.data()) + size_t(y) * size_t(a.rowbytes());
        const char *rb = static_cast<const char *>(b.data()) + size_t(y) * size_t(b.rowbytes());
        if (std::memcmp(ra, rb, row_bytes) != 0) return false;
    }
    return true;
}

inline bool AllBytesAre(const World &w, unsigned char value) {
    const size_t row_bytes = size_t(w.width()) * renderhost::PixelBytes(w.depth());
    for (A_long y = 0; y < w.height(); ++y) {
        const unsigned char *r = static_cast<const unsigned char *>(w.data()) + size_t(y) * size_t(w.rowbytes());
        for (size_t i = 0; i < row_bytes; ++i)
            if (r[i] != value) return false;
    }
    return true;
}

inline void FillBytes(World &w, unsigned char value) {
    const size_t row_bytes = size_t(w.width()) * renderhost::PixelBytes(w.depth());
    for (A_long y = 0; y < w.height(); ++y)
        std::memset(static_cast<unsigned char *>(w.data()) + size_t(y) * size_t(w.rowbytes()), value, row_bytes);
}

// Channel scale of a depth, as a double: 255, 32768 or 1.
inline double FullScale(Depth d) { return d == Depth::k8 ? 255.0 : d == Depth::k16 ? 32768.0 : 1.0; }

// Writes a pixel given in 0..1 channel values into any depth.
inline void Put(World &w, A_long x, A_long y, double a, double r, double g, double b) {
    const double f = FullScale(w.depth());
    auto q = [&](double v) { return v * f + 0.5; };
    switch (w.depth()) {
        case Depth::k8:
            w.At<PF_Pixel>(x, y) = {A_u_char(q(a)), A_u_char(q(r)), A_u_char(q(g)), A_u_char(q(b))};
            break;
        case Depth::k16:
            w.At<PF_Pixel16>(x, y) = {A_u_short(q(a)), A_u_short(q(r)), A_u_short(q(g)), A_u_short(q(b))};
            break;
        case Depth::k32:
            w.At<PF_PixelFloat>(x, y) = {float(a), float(r), float(g), float(b)};
            break;
    }
}

// A layer with empty, opaque and partly transparent areas, and the input an
// earlier drop-shadow effect makes of it: a soft dark shadow, offset, under
// the layer, over an input area larger than the layer.
struct Scene {
    World layer;
    World input;
};

inline Scene MakeScene(Depth depth, A_long layer_w, A_long layer_h, A_long grow, unsigned seed) {
    std::mt19937 rng(seed);
    std::uniform_real_distribution<double> u(0.0, 1.0);
    Scene s{World(depth, layer_w, layer_h, 0, 0), World(depth, layer_w + 2 * grow, layer_h + 2 * grow, -grow, -grow)};
    for (A_long y = 0; y < layer_h; ++y)
        for (A_long x = 0; x < layer_w; ++x) {
            const double pick = u(rng);
            const double a = pick < 0.4 ? 0.0 : pick < 0.7 ? 1.0 : u(rng);
            Put(s.layer, x, y, a, u(rng), u(rng), u(rng));
        }
    // The input: shadow (alpha falling off with distance, offset by 3,2)
    // with the layer laid over it by the over operation of the depth.
    for (A_long y = 0; y < s.input.height(); ++y)
        for (A_long x = 0; x < s.input.width(); ++x) {
            const A_long lx = x - grow, ly = y - grow;  // layer coordinates
            const bool in_layer = lx >= 0 && ly >= 0 && lx < layer_w && ly < layer_h;
            const double sx = lx - 3, sy = ly - 2;
            const bool under_shadow = sx >= -2 && sy >= -2 && sx < layer_w + 2 && sy < layer_h + 2;
            Put(s.input, x, y, under_shadow ? 0.2 + 0.6 * u(rng) : 0.0, 0.05, 0.02, 0.1 * u(rng));
            if (!in_layer) continue;
            switch (depth) {
                case Depth::k8: {
                    PF_Pixel &p = s.input.At<PF_Pixel>(x, y);
                    p = orvane::blend8(p, s.layer.At<PF_Pixel>(lx, ly));
                    break;
                }
                case Depth::k16: {
                    PF_Pixel16 &p = s.input.At<PF_Pixel16>(x, y);
                    p = orvane::blend16(p, s.layer.At<PF_Pixel16>(lx, ly));
                    break;
                }
                case Depth::k32: {
                    PF_PixelFloat &p = s.input.At<PF_PixelFloat>(x, y);
                    p = orvane::blend32(p, s.layer.At<PF_PixelFloat>(lx, ly));
                    break;
                }
            }
        }
    return s;
}

constexpr PF_Fixed Percent(double pct) { return PF_Fixed(pct * 65536.0 + 0.5); }

// A frame's time as the host gives it: current_time, time_step, time_scale.
struct FrameTime {
    A_long current_time;
    A_long time_step;
    A_u_long time_scale;
};
// The host's default frame, and one whose three values all differ, so that
// a checkout given them in another order asks for another frame.
inline const FrameTime kFrameTimes[] = {{0, 1, 1}, {48, 2, 24}};
// As the journal writes them: "48/2/24".
inline std::string TimeText(const FrameTime &t) {
    return std::to_string(t.current_time) + "/" + std::to_string(t.time_step) + "/" + std::to_string(t.time_scale);
}
inline void PrintTo(const FrameTime &t, std::ostream *os) { *os << TimeText(t); }
inline std::string FrameTimeName(const testing::TestParamInfo<FrameTime> &i) {
    return "at_" + std::to_string(i.param.current_time) + "_" + std::to_string(i.param.time_step) + "_" +
           std::to_string(i.param.time_scale);
}

}  // namespace plugin_test
