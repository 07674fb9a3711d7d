#include "Downsample.h"

#include <cstdint>
#include <stdexcept>
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

template <class Pixel>
void Reduce(const World &in, World &out, int factor) {
    using Channel = std::remove_reference_t<decltype(Pixel{}.alpha)>;
    constexpr bool kFloat = std::is_same_v<Channel, float>;
    using Sum = std::conditional_t<kFloat, double, std::uint64_t>;
    const std::int64_t block = std::int64_t{factor} * factor;
    for (A_long oy = 0; oy < out.height(); ++oy) {
        for (A_long ox = 0; ox < out.width(); ++ox) {
            Sum alpha = 0, red = 0, green = 0, blue = 0;         // alpha-weighted colour
            Sum plain_red = 0, plain_green = 0, plain_blue = 0;  // for fully transparent blocks
            // The block in the input world's own pixel positions.
            const std::int64_t x0 = (std::int64_t{out.origin_x()} + ox) * factor - in.origin_x();
            const std::int64_t y0 = (std::int64_t{out.origin_y()} + oy) * factor - in.origin_y();
            for (std::int64_t y = y0; y < y0 + factor; ++y) {
                if (y < 0 || y >= in.height()) continue;
                const Pixel *row = in.Row<Pixel>(static_cast<A_long>(y));
                for (std::int64_t x = x0; x < x0 + factor; ++x) {
                    if (x < 0 || x >= in.width()) continue;
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
            Pixel &o = out.At<Pixel>(ox, oy);
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

World BoxDownsample(const World &world, int factor) {
    const Window reduced =
        DownsampledWindow(Window{world.origin_x(), world.origin_y(), world.width(), world.height()}, factor);
    World out(world.depth(), reduced.width, reduced.height, reduced.x, reduced.y);
    switch (world.depth()) {
        case Depth::k8:
            Reduce<PF_Pixel>(world, out, factor);
            break;
        case Depth::k16:
            Reduce<PF_Pixel16>(world, out, factor);
            break;
        case Depth::k32:
            Reduce<PF_PixelFloat>(world, out, factor);
            break;
    }
    return out;
}

}  // namespace veilshadow
