// Straight-alpha "over" for the host's three pixel depths.
//
// Internal to the plug-in: the effect's code and its tests include this
// header; nothing here is exported from the module.
#ifndef ORVANE_PLUGIN_VEILSHADOW_PIXELS_H
#define ORVANE_PLUGIN_VEILSHADOW_PIXELS_H

#include "PF_Host.h"

namespace orvane {

// Each blend lays `top` over `under` (the first argument is underneath).
// Pure functions: no state, safe on any number of threads.
PF_Pixel blend8(const PF_Pixel &under, const PF_Pixel &top);

// 16-bit channels run 0..32768. Values above 32768 never come from the host;
// should one arrive anyway, every channel is first limited to 32768, so the
// arithmetic stays in range (no wrapped-around divisor) and the result is a
// valid 16-bit pixel.
PF_Pixel16 blend16(const PF_Pixel16 &under, const PF_Pixel16 &top);

// Single precision throughout, no limiting: out-of-range values pass through.
PF_PixelFloat blend32(const PF_PixelFloat &under, const PF_PixelFloat &top);

// Limits every channel of a 16-bit pixel to the host's full scale, 32768.
inline PF_Pixel16 LimitPixel16(const PF_Pixel16 &p) {
    auto lim = [](A_u_short c) -> A_u_short { return c > PF_MAX_CHAN16 ? A_u_short(PF_MAX_CHAN16) : c; };
    return PF_Pixel16{lim(p.alpha), lim(p.red), lim(p.green), lim(p.blue)};
}

}  // namespace orvane

#endif
