// Whole frames through the exported entry point, compared with digests
// recorded from the x86-64 build: the plug-in must give the same bits on
// every processor it is built for (the arm64 build runs this suite under
// qemu, the Windows build under Wine). The frames come from a fixed
// integer hash, so that no library's random numbers or conversions enter;
// the digest covers every pixel byte of the output.
//
// One exception, in the 32-bit depth only: NaN. A NaN made by arithmetic
// has its sign bit set on x86-64 and clear on arm64, so the digest counts
// every NaN as one value, as the kernel suites compare them.
#include <cmath>
#include <cstdint>

#include "plugin_test_support.h"

namespace {

using plugin_test::Depth;
using plugin_test::Percent;
using plugin_test::World;

std::uint32_t Hash(std::uint32_t x) {
    x ^= x >> 16;
    x *= 0x7feb352du;
    x ^= x >> 15;
    x *= 0x846ca68bu;
    x ^= x >> 16;
    return x;
}

// A channel as a fraction of 2^16 from the hash, with the ends of the range
// (0 and full) and the middle common, since the rules branch there.
std::uint32_t Level(std::uint32_t h) {
    switch (h & 7u) {
        case 0:
            return 0;
        case 1:
            return 65536;
        case 2:
            return 32768;
        default:
            return (h >> 8) & 0xffffu;
    }
}

const float kSpecials[] = {0.0f, -0.0f, 1.0f, NAN, INFINITY, -INFINITY, 1e-40f, 1.5f, -0.25f, 0.99999994f};

float FloatChannel(std::uint32_t h) {
    if ((h & 15u) == 0) return kSpecials[(h >> 4) % 10];
    return float(Level(h >> 4)) / 65536.0f * 1.25f - 0.05f;
}

// Input and layer of the same size and place: every pixel of the two is
// hashed from its place, the source and the seed.
void Fill(World &w, std::uint32_t seed) {
    for (A_long y = 0; y < w.height(); ++y)
        for (A_long x = 0; x < w.width(); ++x) {
            std::uint32_t h[4];
            for (std::uint32_t c = 0; c < 4; ++c)
                h[c] = Hash((seed * 0x9e3779b9u) ^ (std::uint32_t(y * 4096 + x) * 4u + c));
            switch (w.depth()) {
                case Depth::k8: {
                    auto v = [&](int c) { return A_u_char((Level(h[c]) * 255u + 32768u) >> 16); };
                    w.At<PF_Pixel>(x, y) = {v(0), v(1), v(2), v(3)};
                    break;
                }
                case Depth::k16: {
                    auto v = [&](int c) { return A_u_short((Level(h[c]) + 1u) >> 1); };
                    w.At<PF_Pixel16>(x, y) = {v(0), v(1), v(2), v(3)};
                    break;
                }
                case Depth::k32:
                    w.At<PF_PixelFloat>(x, y) = {FloatChannel(h[0]), FloatChannel(h[1]), FloatChannel(h[2]),
                                                 FloatChannel(h[3])};
                    break;
            }
        }
}

// FNV-1a, 64 bits, over the pixel bytes row by row (not the padding).
std::uint64_t Digest(const World &w) {
    std::uint64_t d = 14695981039346656037ull;
    auto add = [&d](const unsigned char *p, size_t n) {
        for (size_t i = 0; i < n; ++i) d = (d ^ p[i]) * 1099511628211ull;
    };
    const size_t row_bytes = size_t(w.width()) * renderhost::PixelBytes(w.depth());
    for (A_long y = 0; y < w.height(); ++y) {
        const unsigned char *row = static_cast<const unsigned char *>(w.data()) + size_t(y) * size_t(w.rowbytes());
        if (w.depth() != Depth::k32) {
            add(row, row_bytes);
            continue;
        }
        for (size_t i = 0; i < row_bytes; i += sizeof(float)) {
            float v;
            std::memcpy(&v, row + i, sizeof v);
            if (std::isnan(v)) v = NAN;
            unsigned char bytes[sizeof v];
            std::memcpy(bytes, &v, sizeof v);
            add(bytes, sizeof bytes);
        }
    }
    return d;
}

struct DigestCase {
    Depth depth;
    PF_Fixed slider;
    std::uint64_t digest;  // recorded from the x86-64 build
};
void PrintTo(const DigestCase &c, std::ostream *os) { *os << "depth " << int(c.depth) << ", slider " << c.slider; }

const DigestCase kDigests[] = {
    {Depth::k8, Percent(0), 0xb898f5af5e5f04d0ull},      {Depth::k8, Percent(12.5), 0xec1ad27c8d02976eull},
    {Depth::k8, Percent(50), 0x24ebb4a193eddfa0ull},     {Depth::k8, Percent(73.11), 0x88980c6a478410ecull},
    {Depth::k8, Percent(100), 0xdf03d3060d9f82fdull},    {Depth::k16, Percent(0), 0x28523e6bef6f0044ull},
    {Depth::k16, Percent(12.5), 0xe151a49ea645499cull},  {Depth::k16, Percent(50), 0x503cf3b60125f5c2ull},
    {Depth::k16, Percent(73.11), 0xab2d3f47ef539c3bull}, {Depth::k16, Percent(100), 0x4e9dba92cab1e477ull},
    {Depth::k32, Percent(0), 0x76ab55d72959e97cull},     {Depth::k32, Percent(12.5), 0x5ea32e0b00a57897ull},
    {Depth::k32, Percent(50), 0xb4bb0028541a27a2ull},    {Depth::k32, Percent(73.11), 0x1b95e0023840fd18ull},
    {Depth::k32, Percent(100), 0xf2360a8944ba0b21ull},
};

class FrameDigest : public plugin_test::PluginTest, public testing::WithParamInterface<DigestCase> {};

// 67 x 41: rows of an odd length, so every path's tail code runs too.
TEST_P(FrameDigest, SameBitsAsTheRecordedBuild) {
    const DigestCase &c = GetParam();
    World input(c.depth, 67, 41), layer(c.depth, 67, 41), output(c.depth, 67, 41);
    Fill(input, 1);
    Fill(layer, 2);
    renderhost::FrameSpec f;
    f.input = &input;
    f.layer = &layer;
    f.output = &output;
    f.slider = c.slider;
    const renderhost::FrameResult r = effect_->RenderFrame(f);
    ASSERT_EQ(r.pre_render, PF_Err_NONE);
    ASSERT_EQ(r.render, PF_Err_NONE);
    EXPECT_EQ(Digest(output), c.digest) << std::hex << "digest 0x" << Digest(output);
}

INSTANTIATE_TEST_SUITE_P(Frames, FrameDigest, testing::ValuesIn(kDigests));

}  // namespace
