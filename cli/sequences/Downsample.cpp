#include "Downsample.h"

#include <RenderHost/ThreadPool.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <type_traits>

namespace veilshadow {
namespace {

using renderhost::Depth;
using renderhost::World;

std::int64_t FloorDiv(std::int64_t value, std::int64_t divisor) {
    const std::int64_t quotient = value / divisor;
    return quotient * divisor > value ? quotient - 1 : quotient;
}

std::int64_t CeilDiv(std::int64_t value, std::int64_t divisor) { return -FloorDiv(-value, divisor); }

Window WindowOf(const World &world) {
    return Window{world.origin_x(), world.origin_y(), world.width(), world.height()};
}

// Output row `oy` of `out` from `in`. The block's rows and columns outside
// `in` are left out of the sums; the ones inside are added row by row, left
// to right. Reads and writes through the descriptors, so that it cannot
// throw on a pool thread.
template <class Pixel>
void ReduceRow(const World &in, World &out, int factor, A_long oy) noexcept {
    using Channel = std::remove_reference_t<decltype(Pixel{}.alpha)>;
    constexpr bool kFloat = std::is_same_v<Channel, float>;
    using Sum = std::conditional_t<kFloat, double, std::uint64_t>;
    const std::int64_t block = std::int64_t{factor} * factor;
    const auto *in_base = static_cast<const unsigned char *>(in.data());
    Pixel *const out_row = reinterpret_cast<Pixel *>(static_cast<unsigned char *>(out.data()) +
                                                     static_cast<std::ptrdiff_t>(oy) * out.rowbytes());
    // The block's rows in the input world's own pixel positions.
    const std::int64_t y0 = (std::int64_t{out.origin_y()} + oy) * factor - in.origin_y();
    const std::int64_t y_first = std::max<std::int64_t>(y0, 0);
    const std::int64_t y_last = std::min<std::int64_t>(y0 + factor, in.height());
    for (A_long ox = 0; ox < out.width(); ++ox) {
        Sum alpha = 0, red = 0, green = 0, blue = 0;         // alpha-weighted colour
        Sum plain_red = 0, plain_green = 0, plain_blue = 0;  // for fully transparent blocks
        const std::int64_t x0 = (std::int64_t{out.origin_x()} + ox) * factor - in.origin_x();
        const std::int64_t x_first = std::max<std::int64_t>(x0, 0);
        const std::int64_t x_last = std::min<std::int64_t>(x0 + factor, in.width());
        for (std::int64_t y = y_first; y < y_last; ++y) {
            const auto *row = reinterpret_cast<const Pixel *>(in_base + y * in.rowbytes());
            for (std::int64_t x = x_first; x < x_last; ++x) {
                const Pixel &p = row[x];
                const Sum a = static_cast<Sum>(p.alpha);
                alpha += a;
                red += a * static_cast<Sum>(p.red);
                green += a * static_cast<Sum>(p.green);
                blue += a * static_cast<Sum>(p.blue);
                plain_red += static_cast<Sum>(p.red);
                plain_green += static_cast<Sum>(p.green);
                plain_blue += static_cast<Sum>(p.blue);
            }
        }
        Pixel &o = out_row[ox];
        if constexpr (kFloat) {
            o.alpha = static_cast<float>(alpha / double(block));
            const bool weighted = alpha > 0.0;
            o.red = static_cast<float>(weighted ? red / alpha : plain_red / double(block));
            o.green = static_cast<float>(weighted ? green / alpha : plain_green / double(block));
            o.blue = static_cast<float>(weighted ? blue / alpha : plain_blue / double(block));
        } else {
            const auto block_sum = static_cast<std::uint64_t>(block);
            o.alpha = static_cast<Channel>((alpha + block_sum / 2) / block_sum);
            if (alpha > 0) {
                o.red = static_cast<Channel>((red + alpha / 2) / alpha);
                o.green = static_cast<Channel>((green + alpha / 2) / alpha);
                o.blue = static_cast<Channel>((blue + alpha / 2) / alpha);
            } else {
                o.red = static_cast<Channel>((plain_red + block_sum / 2) / block_sum);
                o.green = static_cast<Channel>((plain_green + block_sum / 2) / block_sum);
                o.blue = static_cast<Channel>((plain_blue + block_sum / 2) / block_sum);
            }
        }
    }
}

struct ReduceJob {
    const World *in;
    World *out;
    int factor;
    void (*row)(const World &, World &, int, A_long) noexcept;
};

// One index of the pool's run: one output row.
PF_Err ReduceTask(void *refcon, A_long, A_long row, A_long) {
    const ReduceJob &job = *static_cast<const ReduceJob *>(refcon);
    job.row(*job.in, *job.out, job.factor, row);
    return PF_Err_NONE;
}

template <class Pixel>
void Reduce(const World &in, World &out, int factor, renderhost::ThreadPool *pool) {
    ReduceJob job{&in, &out, factor, &ReduceRow<Pixel>};
    if (pool != nullptr) {
        pool->Run(out.height(), &job, &ReduceTask);  // the rows cannot fail
    } else {
        for (A_long oy = 0; oy < out.height(); ++oy) ReduceRow<Pixel>(in, out, factor, oy);
    }
}

}  // namespace

Window DownsampledWindow(const Window &window, int factor) {
    if (factor < 1) throw std::invalid_argument("a downsampling factor must be at least 1");
    const std::int64_t left = FloorDiv(window.x, factor), top = FloorDiv(window.y, factor);
    const std::int64_t right = CeilDiv(std::int64_t{window.x} + window.width, factor);
    const std::int64_t bottom = CeilDiv(std::int64_t{window.y} + window.height, factor);
    return Window{static_cast<A_long>(left), static_cast<A_long>(top), static_cast<A_long>(right - left),
                  static_cast<A_long>(bottom - top)};
}

void BoxDownsampleInto(const World &world, int factor, World &out, renderhost::ThreadPool *pool) {
    const Window reduced = DownsampledWindow(WindowOf(world), factor);
    const Window given = WindowOf(out);
    if (out.depth() != world.depth() || given.x != reduced.x || given.y != reduced.y || given.width != reduced.width ||
        given.height != reduced.height)
        throw std::invalid_argument("a box filter's output must be a world of its input's depth on its window at 1/" +
                                    std::to_string(factor));
    switch (world.depth()) {
        case Depth::k8:
            Reduce<PF_Pixel>(world, out, factor, pool);
            break;
        case Depth::k16:
            Reduce<PF_Pixel16>(world, out, factor, pool);
            break;
        case Depth::k32:
            Reduce<PF_PixelFloat>(world, out, factor, pool);
            break;
    }
}

World BoxDownsample(const World &world, int factor) {
    const Window reduced = DownsampledWindow(WindowOf(world), factor);
    World out(world.depth(), reduced.width, reduced.height, reduced.x, reduced.y);
    BoxDownsampleInto(world, factor, out);
    return out;
}

}  // namespace veilshadow
