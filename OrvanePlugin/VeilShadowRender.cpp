// Smart pre-render and smart render.
#include <climits>

#include "AEGP_SuiteHandler.h"
#include "PF_Host.h"
#include "Smart_Utils.h"
#include "VeilShadowCommands.h"
#include "VeilShadowGuards.h"
#include "VeilShadowKernels.h"

namespace orvane {

namespace {

constexpr const char kWorldSuiteName[] = "PF World Suite";
constexpr A_long kWorldSuiteVersion = 2;

// Parameter indices: the layer itself, then the Opacity slider.
constexpr PF_ParamIndex kLayerParam = 0;
constexpr PF_ParamIndex kOpacityParam = 1;
constexpr A_long kInputCheckoutId = 0;

// The row kernel for a pixel-format code, or null for an unknown format.
PF_IterateGenericFunc KernelFor(PF_PixelFormat format) {
    switch (format) {
        case PF_PixelFormat_ARGB32:
            return CopyData8;
        case PF_PixelFormat_ARGB64:
            return CopyData16;
        case PF_PixelFormat_ARGB128:
            return CopyData32;
        default:
            return nullptr;
    }
}

SourceArea AreaOf(const PF_EffectWorld &output, const PF_EffectWorld &source) {
    return SourceArea{output.origin_x - source.origin_x, output.origin_y - source.origin_y, source.width,
                      source.height};
}

// The layer's size at the frame's downsampling: size * num / den, plus 0.5,
// truncated. A host sends no zero denominator, but should one come, the
// conversion stays defined: a product that is not a number (0/0, or a size
// of 0 times 1/0) gives 0, and a size beyond the 32-bit range (n/0 among
// them) is limited to that range.
A_long ScaledSize(A_long size, const PF_RationalScale &scale) {
    const double factor = double(scale.num) / double(scale.den);
    const double scaled = double(size) * factor + 0.5;
    if (scaled != scaled) return 0;  // NaN
    if (scaled >= double(INT_MAX)) return INT_MAX;
    if (scaled <= double(INT_MIN)) return INT_MIN;
    return A_long(scaled);
}

// Tells the host which rectangles the effect produces: the input's result
// rectangle, and its maximum rectangle widened where needed to cover the
// whole layer at this downsampling (widening it means returning pixels
// beyond the input, which the extra-pixels flag says).
void ReportRectangles(const PF_InData &in_data, PF_CheckoutResult &result, PF_PreRenderOutput &output) {
    const A_long width = ScaledSize(result.ref_width, in_data.downsample_x);
    const A_long height = ScaledSize(result.ref_height, in_data.downsample_y);
    PF_LRect &max_rect = result.max_result_rect;
    if (!IsEmptyRect(&result.result_rect) &&
        (max_rect.left > 0 || max_rect.top > 0 || max_rect.right < width || max_rect.bottom < height)) {
        if (max_rect.left > 0) max_rect.left = 0;
        if (max_rect.top > 0) max_rect.top = 0;
        if (max_rect.right < width) max_rect.right = width;
        if (max_rect.bottom < height) max_rect.bottom = height;
        output.flags |= PF_RenderOutputFlag_RETURNS_EXTRA_PIXELS;
    }
    UnionLRect(&result.result_rect, &output.result_rect);
    UnionLRect(&result.max_result_rect, &output.max_result_rect);
}

// The input's pixel format, asked of "PF World Suite" 2, which is held for
// the question alone (if `err` is still 0) and released before the answer
// is used. Stays "badf" when the suite or the question failed.
PF_PixelFormat InputFormat(PF_InData *in_data, PF_OutData *out_data, PF_EffectWorld *input, PF_Err &err) {
    PF_PixelFormat format = PF_PixelFormat_INVALID;
    const HelperSuite<PF_WorldSuite2> world(in_data, out_data, kWorldSuiteName, kWorldSuiteVersion,
                                            "Couldn't load suite.", "Couldn't release suite.", err);
    if (err == PF_Err_NONE) err = world->PF_GetPixelFormat(input, &format);
    return format;
}

}  // namespace

PF_Err SmartPreRender(PF_InData *in_data, PF_OutData *, PF_PreRenderExtra *extra) {
    AEGP_SuiteHandler suites(in_data->pica_basicP);
    PF_RenderRequest request = extra->input->output_request;

    PF_HandleSuite2 *handles = suites.HandleSuiteV2();
    OwnedHandle handle(handles, sizeof(PreRenderData));
    if (handle.get() == nullptr) return PF_Err_OUT_OF_MEMORY;
    // Locked for good: the host carries the handle to the render, which only
    // reads it. The render does not release it either: once the frame is
    // done, the host unlocks the handle and disposes of it.
    PreRenderData *data = static_cast<PreRenderData *>(handles->host_lock_handle(handle.get()));
    if (data == nullptr) return PF_Err_OUT_OF_MEMORY;  // not handed over: disposed of here
    extra->output->pre_render_data = handle.Release();

    PF_Err err = PF_Err_NONE;
    {
        ParamCheckout slider(in_data, kOpacityParam, err);
        request.preserve_rgb_of_zero_alpha = 1;
        PF_CheckoutResult result;
        Clear(result);
        if (err == PF_Err_NONE)
            err = extra->cb->checkout_layer(in_data->effect_ref, kLayerParam, kInputCheckoutId, &request,
                                            in_data->current_time, in_data->time_step, in_data->time_scale, &result);
        if (err == PF_Err_NONE) {
            data->opacity = OpacityFromSlider(slider.def().u.fd.value);
            ReportRectangles(*in_data, result, *extra->output);
        }
    }  // the slider is checked in here, before the result is returned
    return err;
}

PF_Err SmartRender(PF_InData *in_data, PF_OutData *out_data, PF_SmartRenderExtra *extra) {
    AEGP_SuiteHandler suites(in_data->pica_basicP);
    const PF_ProgPtr effect = in_data->effect_ref;

    // Locked again and left locked, as the pre-render left it: the host
    // unlocks and disposes of it. Without pre-render data there is no handle
    // to lock, and so no lock call and no handle suite: a host's lock takes
    // a handle it gave out, and null is none. The answer is the one a failed
    // lock gives, and nothing has been checked out.
    PF_Handle pre_render = static_cast<PF_Handle>(extra->input->pre_render_data);
    const PreRenderData *data =
        pre_render == nullptr
            ? nullptr
            : static_cast<const PreRenderData *>(suites.HandleSuiteV2()->host_lock_handle(pre_render));
    if (data == nullptr) return PF_Err_BAD_CALLBACK_PARAM;

    // From here on each host call is made only while the result is 0.
    PF_EffectWorld *input = nullptr;
    PF_EffectWorld *output = nullptr;
    PF_Err err = extra->cb->checkout_layer_pixels(effect, kInputCheckoutId, &input);
    if (err == PF_Err_NONE) err = extra->cb->checkout_output(effect, &output);
    // A host that reports success without a world gets the same answer as
    // one that reports the failure.
    if (err == PF_Err_NONE && (input == nullptr || output == nullptr)) err = PF_Err_BAD_CALLBACK_PARAM;

    const PF_IterateGenericFunc kernel = KernelFor(InputFormat(in_data, out_data, input, err));
    // Without a kernel the result is 516 in place of whatever error came
    // before, on purpose: a failed checkout of either world or a missing
    // world suite (the format then stays "badf"), and a format the kernels
    // do not draw, whatever the question returned, all tell the host the
    // same thing: no frame can be drawn from what it gave.
    if (kernel == nullptr) return PF_Err_BAD_CALLBACK_PARAM;

    const PF_Pixel transparent_black = {0, 0, 0, 0};
    if (err == PF_Err_NONE) err = in_data->utils->fill(effect, &transparent_black, nullptr, output);

    {
        // The layer's own pixels. Checked out until the iteration has
        // returned, since the row context points at the world inside the
        // record; without pixels the output stays cleared.
        ParamCheckout layer(in_data, kLayerParam, err);
        PF_LayerDef &pixels = layer.def().u.ld;
        if (err == PF_Err_NONE && pixels.data != nullptr) {
            CopyDataInfo info;
            info.input = input;
            info.input_area = AreaOf(*output, *input);
            info.layer = &pixels;
            info.layer_area = AreaOf(*output, pixels);
            info.output = output;
            info.opacity = data->opacity;
            err = suites.Iterate8SuiteV1()->iterate_generic(output->height, &info, kernel);
        }
    }  // the layer is checked in here, also when a missing iterate suite unwinds the command
    return err;
}

}  // namespace orvane
