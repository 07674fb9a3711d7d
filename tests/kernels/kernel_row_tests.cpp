// Whole rows through the row kernels (the reference and every fast path):
// which pixels a call reads and writes, source placement by the origins,
// clipping, and addressing of very large worlds.
#include <climits>
#include <cstring>
#include <random>

#if !defined(_WIN32)
#include <sys/mman.h>
#include <unistd.h>
#endif

#include "kernel_test_support.h"

namespace {

using orvane_test::AllKernels;
using orvane_test::ContextFor;
using orvane_test::Image;
using orvane_test::KernelSet;
using orvane_test::kReferenceKernels;
using orvane_test::RunOne;

// Expected output pixel at (x, y), found by placing the sources by their
// origins and asking the reference kernel for that one pixel.
template <class Pixel>
Pixel ExpectedAt(Image<Pixel> &input, Image<Pixel> &layer, const PF_EffectWorld &out, A_long x, A_long y,
                 double opacity, const Pixel &before) {
    auto source = [&](Image<Pixel> &img) -> std::optional<Pixel> {
        const PF_EffectWorld &w = *img.world();
        const long long sx = (long long)x + out.origin_x - w.origin_x;
        const long long sy = (long long)y + out.origin_y - w.origin_y;
        if (sx < 0 || sy < 0 || sx >= w.width || sy >= w.height) return std::nullopt;
        return img.at(A_long(sx), A_long(sy));
    };
    return RunOne<Pixel>(kReferenceKernels, source(input), source(layer), opacity, before);
}

template <class Pixel>
Pixel Noise(std::mt19937 &rng);
template <>
PF_Pixel Noise<PF_Pixel>(std::mt19937 &rng) {
    std::uniform_int_distribution<int> d(0, 255);
    return PF_Pixel{A_u_char(d(rng)), A_u_char(d(rng)), A_u_char(d(rng)), A_u_char(d(rng))};
}
template <>
PF_Pixel16 Noise<PF_Pixel16>(std::mt19937 &rng) {
    std::uniform_int_distribution<int> d(0, 32768);
    return PF_Pixel16{A_u_short(d(rng)), A_u_short(d(rng)), A_u_short(d(rng)), A_u_short(d(rng))};
}
template <>
PF_PixelFloat Noise<PF_PixelFloat>(std::mt19937 &rng) {
    std::uniform_real_distribution<float> d(0.0f, 1.0f);
    return PF_PixelFloat{d(rng), d(rng), d(rng), d(rng)};
}

template <class Pixel>
void FillNoise(Image<Pixel> &img, std::mt19937 &rng, int transparent_every) {
    const PF_EffectWorld &w = *img.world();
    for (A_long y = 0; y < w.height; ++y)
        for (A_long x = 0; x < w.width; ++x) {
            Pixel p = Noise<Pixel>(rng);
            if ((x + y) % transparent_every == 0) p.alpha = 0;
            img.at(x, y) = p;
        }
}

template <class Pixel>
class RowGeometry : public testing::Test {};
using Depths = testing::Types<PF_Pixel, PF_Pixel16, PF_PixelFloat>;
TYPED_TEST_SUITE(RowGeometry, Depths);

struct Placement {
    const char *what;
    // origin x, origin y, width, height of input, layer, output
    A_long in[4], layer[4], out[4];
};

const Placement kPlacements[] = {
    {"all aligned", {0, 0, 9, 5}, {0, 0, 9, 5}, {0, 0, 9, 5}},
    {"input wider than the layer (drop shadow)", {-4, -3, 17, 11}, {0, 0, 9, 5}, {-4, -3, 17, 11}},
    {"output offset into the layer", {0, 0, 9, 5}, {0, 0, 9, 5}, {5, 7, 6, 4}},
    {"output at -10,-10 against a layer at 0,0", {-12, -12, 30, 30}, {0, 0, 9, 5}, {-10, -10, 25, 20}},
    {"sources partly outside on every side", {3, -2, 5, 4}, {-2, 2, 6, 9}, {0, 0, 8, 8}},
    {"input wholly left of the output", {-20, 0, 5, 5}, {0, 0, 9, 5}, {0, 0, 9, 5}},
    {"layer wholly right of the output", {0, 0, 9, 5}, {40, 0, 9, 5}, {0, 0, 9, 5}},
    {"layer wholly below the output", {0, 0, 9, 5}, {0, 30, 9, 5}, {0, 0, 9, 5}},
    {"empty input", {0, 0, 0, 0}, {0, 0, 9, 5}, {0, 0, 9, 5}},
    {"width 0 output", {0, 0, 9, 5}, {0, 0, 9, 5}, {0, 0, 0, 5}},
};

TYPED_TEST(RowGeometry, EveryPixelMatchesItsPlacedSources) {
    using Pixel = TypeParam;
    std::mt19937 rng(1234);
    for (const Placement &p : kPlacements) {
        for (double opacity : {0.0, 0.5, 1.0}) {
            SCOPED_TRACE(testing::Message() << p.what << ", opacity " << opacity);
            Image<Pixel> input(p.in[2], p.in[3], p.in[0], p.in[1], 3);
            Image<Pixel> layer(p.layer[2], p.layer[3], p.layer[0], p.layer[1], 1);
            Image<Pixel> output(p.out[2], p.out[3], p.out[0], p.out[1], 2);
            FillNoise(input, rng, 7);
            FillNoise(layer, rng, 3);
            Pixel marker{};
            marker.alpha = 3;
            marker.red = 4;
            for (const KernelSet &kernels : AllKernels()) {
                SCOPED_TRACE(kernels.name);
                output.Fill(marker);
                orvane::CopyDataInfo info = ContextFor(input.world(), layer.world(), output.world(), opacity);
                orvane_test::RunAllRows<Pixel>(kernels, info);
                const PF_EffectWorld &ow = *output.world();
                for (A_long y = 0; y < ow.height; ++y) {
                    for (A_long x = 0; x < ow.width; ++x)
                        ASSERT_EQ(output.at(x, y), ExpectedAt(input, layer, ow, x, y, opacity, marker))
                            << "at " << x << "," << y;
                    // Row padding beyond the width is never written.
                    for (A_long x = ow.width; x < ow.width + 2; ++x) ASSERT_EQ(output.at(x, y), marker);
                }
                EXPECT_TRUE(output.GuardsIntact());
            }
        }
    }
}

// One call writes its own row and nothing else. The row is long enough for
// whole vectors and a tail on every path.
TYPED_TEST(RowGeometry, CallWritesOnlyItsOwnRow) {
    using Pixel = TypeParam;
    constexpr A_long kWidth = 19;
    std::mt19937 rng(99);
    Image<Pixel> input(kWidth, 4), layer(kWidth, 4), output(kWidth, 4);
    FillNoise(input, rng, 5);
    FillNoise(layer, rng, 4);
    Pixel marker{};
    marker.alpha = 9;
    for (const KernelSet &kernels : AllKernels()) {
        SCOPED_TRACE(kernels.name);
        output.Fill(marker);
        orvane::CopyDataInfo info = ContextFor(input.world(), layer.world(), output.world(), 1.0);
        ASSERT_EQ(kernels.For<Pixel>()(&info, 3, 2, 4), PF_Err_NONE);
        for (A_long y = 0; y < 4; ++y)
            for (A_long x = 0; x < kWidth; ++x) {
                if (y == 2) {
                    // Every source pixel of the row is present, so each is written.
                    EXPECT_NE(output.at(x, y), marker) << x;
                } else {
                    EXPECT_EQ(output.at(x, y), marker) << x << "," << y;
                }
            }
        EXPECT_TRUE(output.GuardsIntact());
    }
}

// The six decisions side by side in one 8-bit row.
TEST(Row8, SixDecisionsInOneRow) {
    // Columns 0..4 have an input pixel; 5..7 do not. Column 7 has no layer.
    Image<PF_Pixel> input(5, 1), layer(7, 1), output(8, 1);
    const PF_Pixel in_px[5] = {{200, 60, 90, 120}, {50, 1, 2, 3}, {100, 1, 2, 3}, {255, 128, 128, 128}, {10, 0, 0, 0}};
    const PF_Pixel layer_px[7] = {{100, 200, 100, 50}, {100, 9, 9, 9}, {0, 9, 9, 9}, {128, 255, 255, 255},
                                  {0, 0, 0, 0},        {128, 1, 1, 1}, {0, 5, 5, 5}};
    for (int x = 0; x < 5; ++x) input.at(x, 0) = in_px[x];
    for (int x = 0; x < 7; ++x) layer.at(x, 0) = layer_px[x];
    const PF_Pixel marker{1, 2, 3, 4};

    struct Run {
        double opacity;
        PF_Pixel expected[8];
    };
    const Run runs[] = {
        // row 4, row 3, row 5, row 4, row 5, row 2, row 6, row 6
        {0.5,
         {{149, 134, 93, 96},
          {50, 1, 2, 3},
          {100, 1, 2, 3},
          {191, 170, 170, 170},
          {10, 0, 0, 0},
          marker,
          marker,
          marker}},
        // row 1 wherever the layer is visible (input or not), else rows 5/6
        {0.0,
         {{100, 200, 100, 50},
          {100, 9, 9, 9},
          {100, 1, 2, 3},
          {128, 255, 255, 255},
          {10, 0, 0, 0},
          {128, 1, 1, 1},
          marker,
          marker}},
    };
    for (const KernelSet &kernels : AllKernels()) {
        for (const Run &r : runs) {
            output.Fill(marker);
            orvane::CopyDataInfo info = ContextFor(input.world(), layer.world(), output.world(), r.opacity);
            ASSERT_EQ(kernels.k8(&info, 0, 0, 1), PF_Err_NONE);
            for (int x = 0; x < 8; ++x)
                EXPECT_EQ(output.at(x, 0), r.expected[x]) << kernels.name << ", opacity " << r.opacity << " col " << x;
            EXPECT_TRUE(output.GuardsIntact());
        }
    }
}

// Offsets near the ends of the 32-bit range place a source far away; they
// must not wrap around into a present pixel.
TEST(Row8, ExtremeOffsetsMakeSourcesAbsent) {
    Image<PF_Pixel> input(4, 1), layer(4, 1), output(4, 1);
    input.Fill({200, 1, 2, 3});
    layer.Fill({100, 4, 5, 6});
    const PF_Pixel marker{1, 1, 1, 1};
    const A_long offsets[] = {INT_MAX, INT_MAX - 2, INT_MIN, INT_MIN + 1};
    for (const KernelSet &kernels : AllKernels())
        for (A_long off : offsets) {
            output.Fill(marker);
            orvane::CopyDataInfo info = ContextFor(input.world(), layer.world(), output.world(), 0.5);
            info.input_area.offset_x = off;
            info.layer_area.offset_y = off;
            ASSERT_EQ(kernels.k8(&info, 0, 0, 1), PF_Err_NONE);
            for (int x = 0; x < 4; ++x) EXPECT_EQ(output.at(x, 0), marker) << kernels.name << " " << off;
        }
}

#if !defined(_WIN32)
// A world whose stride times height exceeds 2^31 pixels, backed by a sparse
// reservation: only the pages of the rows the test touches are made usable.
template <class Pixel>
class SparseWorld {
public:
    SparseWorld(A_long rowbytes, A_long height, A_long width) {
        size_ = size_t(rowbytes) * size_t(height);
        base_ = mmap(nullptr, size_, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
        world_ = PF_EffectWorld{};
        world_.data = base_;
        world_.rowbytes = rowbytes;
        world_.width = width;
        world_.height = height;
    }
    ~SparseWorld() {
        if (base_ != MAP_FAILED) munmap(base_, size_);
    }
    bool ok() const { return base_ != MAP_FAILED; }
    // Makes `count` pixels of row `row` readable and writable.
    Pixel *Row(A_long row, A_long count) {
        const size_t page = size_t(sysconf(_SC_PAGESIZE));
        const size_t begin = size_t(row) * size_t(world_.rowbytes);
        const size_t first = begin / page * page;
        const size_t end = begin + size_t(count) * sizeof(Pixel);
        if (mprotect(static_cast<char *>(base_) + first, end - first, PROT_READ | PROT_WRITE) != 0) return nullptr;
        return reinterpret_cast<Pixel *>(static_cast<char *>(base_) + begin);
    }
    PF_EffectWorld *world() { return &world_; }

private:
    void *base_ = MAP_FAILED;
    size_t size_ = 0;
    PF_EffectWorld world_;
};

TYPED_TEST(RowGeometry, StrideTimesHeightBeyond32Bits) {
    using Pixel = TypeParam;
    // Largest stride a 32-bit rowbytes allows; the last row's pixel number
    // lies beyond 2^31 - 1.
    const A_long rowbytes = A_long(INT_MAX / A_long(sizeof(Pixel)) * A_long(sizeof(Pixel)));
    const A_long stride = rowbytes / A_long(sizeof(Pixel));
    const A_long row = A_long(((1LL << 31) + stride - 1) / stride);
    ASSERT_GT((long long)row * stride, (long long)INT_MAX);
    const A_long width = 21;  // whole vectors and a tail on every path
    SparseWorld<Pixel> input(rowbytes, row + 1, width), layer(rowbytes, row + 1, width),
        output(rowbytes, row + 1, width);
    ASSERT_TRUE(input.ok() && layer.ok() && output.ok());
    Pixel *in_row = input.Row(row, width);
    Pixel *layer_row = layer.Row(row, width);
    Pixel *out_row = output.Row(row, width);
    ASSERT_TRUE(in_row && layer_row && out_row);

    std::mt19937 rng(7);
    for (int x = 0; x < width; ++x) {
        in_row[x] = Noise<Pixel>(rng);
        layer_row[x] = Noise<Pixel>(rng);
        out_row[x] = Pixel{};
    }
    for (const KernelSet &kernels : AllKernels()) {
        for (int x = 0; x < width; ++x) out_row[x] = Pixel{};
        orvane::CopyDataInfo info = ContextFor(input.world(), layer.world(), output.world(), 0.5);
        ASSERT_EQ(kernels.For<Pixel>()(&info, 0, row, row + 1), PF_Err_NONE);
        for (int x = 0; x < width; ++x)
            EXPECT_EQ(out_row[x], RunOne<Pixel>(kReferenceKernels, in_row[x], layer_row[x], 0.5))
                << kernels.name << " " << x;
    }
}
#endif

}  // namespace
