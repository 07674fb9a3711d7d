// Smart pre-render and smart render.
#include <climits>

#include "AEFX_SuiteHelper.h"
#include "AEGP_SuiteHandler.h"
#include "PF_Host.h"
#include "Smart_Utils.h"
#include "VeilShadowCommands.h"
#include "VeilShadowKernels.h"

namespace orvane {

namespace {

constexpr const char kWorldSuiteName[] = "PF World Suite";
constexpr A_long kWorldSuiteVersion = 2;

// Parameter indices: the layer itself, then the Opacity slider.
constexpr PF_ParamIndex kLayerParam = 0;
constexpr PF_ParamIndex kOpacityParam = 1;
constexpr A_long kInputCheckoutId = 0;

// Records the host reads are cleared in full, so no field is ever undefined.
template <class Record>
void Clear(Record &record) {
    unsigned char *bytes = reinterpret_cast<unsigned char *>(&record);
    for (size_t i = 0; i < sizeof record; ++i) bytes[i] = 0;
}

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

}  // namespace

A_long ScaledSize(A_long size, const PF_RationalScale &scale) {
    const double factor = double(scale.num) / double(scale.den);
    const double scaled = double(size) * factor + 0.5;
    if (scaled != scaled) return 0;  // NaN
    if (scaled >= double(INT_MAX)) return INT_MAX;
    if (scaled <= double(INT_MIN)) return INT_MIN;
    return A_long(scaled);
}

PF_Err SmartPreRender(PF_InData *in_data, PF_OutData *, PF_PreRenderExtra *extra) {
    AEGP_SuiteHandler suites(in_data->pica_basicP);
    PF_RenderRequest request = extra->input->output_request;

    PF_HandleSuite2 *handles = suites.HandleSuiteV2();
    PF_Handle handle = handles->host_new_handle(sizeof(PreRenderData));
    if (handle == nullptr) return PF_Err_OUT_OF_MEMORY;
    PreRenderData *data = static_cast<PreRenderData *>(handles->host_lock_handle(handle));
    if (data == nullptr) {
        // Never handed to the host, so it is ours to give back.
        handles->host_dispose_handle(handle);
        return PF_Err_OUT_OF_MEMORY;
    }
    // From here on the host carries the handle to the render and owns it.
    extra->output->pre_render_data = handle;

    PF_ParamDef param;
    Clear(param);
    PF_Err err = in_data->inter.checkout_param(in_data->effect_ref, kOpacityParam, in_data->current_time,
                                               in_data->time_step, in_data->time_scale, &param);
    if (err != PF_Err_NONE) return err;  // nothing checked out, nothing to check in

    request.preserve_rgb_of_zero_alpha = 1;
    PF_CheckoutResult result;
    Clear(result);
    err = extra->cb->checkout_layer(in_data->effect_ref, 0, kInputCheckoutId, &request, in_data->current_time,
                                    in_data->time_step, in_data->time_scale, &result);
    if (err == PF_Err_NONE) {
        data->opacity = OpacityFromSlider(param.u.fd.value);

        // The maximum rectangle covers at least the whole layer at this
        // downsampling; widening it means returning pixels beyond the input.
        const A_long width = ScaledSize(result.ref_width, in_data->downsample_x);
        const A_long height = ScaledSize(result.ref_height, in_data->downsample_y);
        PF_LRect &max_rect = result.max_result_rect;
        if (!IsEmptyRect(&result.result_rect) &&
            (max_rect.left > 0 || max_rect.top > 0 || max_rect.right < width || max_rect.bottom < height)) {
            if (max_rect.left > 0) max_rect.left = 0;
            if (max_rect.top > 0) max_rect.top = 0;
            if (max_rect.right < width) max_rect.right = width;
            if (max_rect.bottom < height) max_rect.bottom = height;
            extra->output->flags |= PF_RenderOutputFlag_RETURNS_EXTRA_PIXELS;
        }
        UnionLRect(&result.result_rect, &extra->output->result_rect);
        UnionLRect(&result.max_result_rect, &extra->output->max_result_rect);
    }

    const PF_Err checkin_err = in_data->inter.checkin_param(in_data->effect_ref, &param);
    if (err == PF_Err_NONE) err = checkin_err;
    return err;
}

PF_Err SmartRender(PF_InData *in_data, PF_OutData *out_data, PF_SmartRenderExtra *extra) {
    AEGP_SuiteHandler suites(in_data->pica_basicP);
    const PF_ProgPtr effect = in_data->effect_ref;

    PF_Handle pre_render = static_cast<PF_Handle>(extra->input->pre_render_data);
    const PreRenderData *data =
        pre_render == nullptr ? nullptr
                              : static_cast<const PreRenderData *>(suites.HandleSuiteV2()->host_lock_handle(pre_render));
    if (data == nullptr) return PF_Err_BAD_CALLBACK_PARAM;

    PF_Err err = PF_Err_NONE;
    PF_EffectWorld *input = nullptr;
    PF_EffectWorld *output = nullptr;
    const PF_WorldSuite2 *world_suite = nullptr;

    if (err == PF_Err_NONE) err = extra->cb->checkout_layer_pixels(effect, kInputCheckoutId, &input);
    if (err == PF_Err_NONE) err = extra->cb->checkout_output(effect, &output);
    // A host that reports success without a world gets the same answer as
    // one that reports the failure.
    if (err == PF_Err_NONE && (input == nullptr || output == nullptr)) err = PF_Err_BAD_CALLBACK_PARAM;
    if (err == PF_Err_NONE) {
        const void *suite = nullptr;
        err = AEFX_AcquireSuite(in_data, out_data, kWorldSuiteName, kWorldSuiteVersion, "Couldn't load suite.",
                                &suite);
        world_suite = static_cast<const PF_WorldSuite2 *>(suite);
    }
    PF_PixelFormat format = PF_PixelFormat_INVALID;
    if (err == PF_Err_NONE) err = world_suite->PF_GetPixelFormat(input, &format);

    const PF_IterateGenericFunc kernel = KernelFor(format);
    if (kernel == nullptr) {
        if (world_suite != nullptr)
            AEFX_ReleaseSuite(in_data, out_data, kWorldSuiteName, kWorldSuiteVersion, "Couldn't release suite.");
        return PF_Err_BAD_CALLBACK_PARAM;
    }
    const PF_Err release_err =
        AEFX_ReleaseSuite(in_data, out_data, kWorldSuiteName, kWorldSuiteVersion, "Couldn't release suite.");
    if (err == PF_Err_NONE) err = release_err;

    const PF_Pixel transparent_black = {0, 0, 0, 0};
    if (err == PF_Err_NONE) err = in_data->utils->fill(effect, &transparent_black, nullptr, output);

    // The layer's own pixels. The record stays alive until the iteration has
    // returned, since the row context points at the world inside it.
    PF_ParamDef layer_param;
    Clear(layer_param);  // u.ld.data is null until a checkout gives pixels
    bool checked_out = false;
    if (err == PF_Err_NONE) {
        err = in_data->inter.checkout_param(effect, kLayerParam, in_data->current_time, in_data->time_step,
                                            in_data->time_scale, &layer_param);
        checked_out = err == PF_Err_NONE;
    }

    if (layer_param.u.ld.data != nullptr && err == PF_Err_NONE) {
        CopyDataInfo info;
        info.input = input;
        info.input_area = AreaOf(*output, *input);
        info.layer = &layer_param.u.ld;
        info.layer_area = AreaOf(*output, layer_param.u.ld);
        info.output = output;
        info.opacity = data->opacity;
        try {
            err = suites.Iterate8SuiteV1()->iterate_generic(output->height, &info, kernel);
        } catch (PF_Err) {
            // The iterate suite is missing: the layer goes back before the
            // error leaves the command.
            in_data->inter.checkin_param(effect, &layer_param);
            throw;
        }
    }

    // A check-in follows every checkout that succeeded, whatever happened
    // since; where nothing was checked out there is nothing to give back,
    // as in the pre-render.
    if (checked_out) {
        const PF_Err checkin_err = in_data->inter.checkin_param(effect, &layer_param);
        if (err == PF_Err_NONE) err = checkin_err;
    }
    return err;
}

}  // namespace orvane
