// The output a frame must have, by the plain rules: shared by the suites
// that render whole frames through the plug-in module.
#pragma once

#include <RenderHost/World.h>

#include "VeilShadowKernels.h"

namespace expected_frame {

using renderhost::Depth;
using renderhost::World;

// The slider's 16.16 value as the fraction the plug-in hands its kernels.
inline double OpacityOf(PF_Fixed slider) { return double(slider) / 65536.0 * 0.01; }

// The plain kernel of a depth: the rules applied pixel by pixel.
inline PF_IterateGenericFunc ReferenceKernel(Depth depth) {
    switch (depth) {
        case Depth::k8:
            return orvane::CopyData8Reference;
        case Depth::k16:
            return orvane::CopyData16Reference;
        case Depth::k32:
            return orvane::CopyData32Reference;
    }
    return nullptr;
}

// Transparent black, then, when the layer has pixels, every row of the
// output by the plain rules with the sources placed by their origins.
inline void ComputeExpected(const World &input, const World *layer, World &expected, double opacity) {
    expected.Clear();
    if (layer == nullptr) return;
    PF_EffectWorld in = input.descriptor(), ly = layer->descriptor(), out = expected.descriptor();
    orvane::CopyDataInfo info{};
    info.input = &in;
    info.input_area = {out.origin_x - in.origin_x, out.origin_y - in.origin_y, in.width, in.height};
    info.layer = &ly;
    info.layer_area = {out.origin_x - ly.origin_x, out.origin_y - ly.origin_y, ly.width, ly.height};
    info.output = &out;
    info.opacity = opacity;
    const PF_IterateGenericFunc kernel = ReferenceKernel(expected.depth());
    for (A_long y = 0; y < out.height; ++y) kernel(&info, 0, y, out.height);
}

}  // namespace expected_frame
