#include "VeilShadowPixels.h"

namespace orvane {

namespace {

// Integer "over" shared by the 8-bit and 16-bit depths. Channels are at most
// `kFull`; every product stays below 2^31 (kFull * kFull <= 2^30).
template <class Pixel, A_u_long kFull>
Pixel BlendInteger(const Pixel &under, const Pixel &top) {
    if (under.alpha == 0) return top;
    if (top.alpha == kFull) return top;
    if (top.alpha == 0) return under;

    using Chan = decltype(top.alpha);
    const A_u_long ta = top.alpha;
    const A_u_long k = A_u_long(under.alpha) * (kFull - ta) / kFull;
    const A_u_long ra = ta + k;  // at least ta, so never zero here
    auto colour = [&](A_u_long tc, A_u_long bc) -> Chan {
        const A_u_long c = (ta * tc + k * bc) / ra;
        return Chan(c > kFull ? kFull : c);
    };
    Pixel out;
    out.alpha = Chan(ra > kFull ? kFull : ra);
    out.red = colour(top.red, under.red);
    out.green = colour(top.green, under.green);
    out.blue = colour(top.blue, under.blue);
    return out;
}

}  // namespace

PF_Pixel blend8(const PF_Pixel &under, const PF_Pixel &top) { return BlendInteger<PF_Pixel, PF_MAX_CHAN8>(under, top); }

PF_Pixel16 blend16(const PF_Pixel16 &under, const PF_Pixel16 &top) {
    return BlendInteger<PF_Pixel16, PF_MAX_CHAN16>(LimitPixel16(under), LimitPixel16(top));
}

PF_PixelFloat blend32(const PF_PixelFloat &under, const PF_PixelFloat &top) {
    // Exact comparisons: a NaN alpha fails each test it takes part in.
    if (under.alpha == 0.0f) return top;
    if (top.alpha == 1.0f) return top;
    if (top.alpha == 0.0f) return under;

    // Every product, sum and quotient rounds to single precision in order;
    // the build forbids contraction into fused multiply-adds.
    const float ta = top.alpha;
    const float k = under.alpha * (1.0f - ta);
    const float ra = k + ta;
    auto colour = [&](float tc, float bc) -> float {
        const float t = ta * tc;
        const float b = k * bc;
        const float sum = t + b;
        return sum / ra;
    };
    return PF_PixelFloat{ra, colour(top.red, under.red), colour(top.green, under.green), colour(top.blue, under.blue)};
}

}  // namespace orvane
