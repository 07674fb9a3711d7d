// A small plug-in module written against the host API alone, to run the
// render host through a whole lifecycle: it acquires and releases suites,
// keeps a global handle, adds a slider, carries its value from the
// pre-render to the render in a handle, and copies its input to its output
// through iterate_generic. Every failure is returned and everything
// acquired is given back, so the host's accounting stays clean.
#include <PF_Host.h>

#include <cstring>

namespace {

constexpr A_long kProbeMagic = 0x50524f42;  // "PROB"
constexpr PF_Err kDamagedPreRenderData = PF_Err_INTERNAL_STRUCT_DAMAGED;

struct ProbeData {
    A_long magic;
    PF_Fixed slider;
};

// Acquires one suite and releases it when it goes out of scope.
template <class Suite>
class SuiteRef {
public:
    SuiteRef(const SPBasicSuite *basic, const char *name, A_long version)
        : basic_(basic), name_(name), version_(version) {
        const void *table = nullptr;
        if (basic_ != nullptr && basic_->AcquireSuite(name, version, &table) == PF_Err_NONE)
            suite_ = static_cast<const Suite *>(table);
    }
    ~SuiteRef() {
        if (suite_ != nullptr) basic_->ReleaseSuite(name_, version_);
    }
    SuiteRef(const SuiteRef &) = delete;
    SuiteRef &operator=(const SuiteRef &) = delete;
    const Suite *operator->() const { return suite_; }
    explicit operator bool() const { return suite_ != nullptr; }

private:
    const SPBasicSuite *basic_;
    const char *name_;
    A_long version_;
    const Suite *suite_ = nullptr;
};

PF_Err About(PF_InData *in_data, PF_OutData *out_data) {
    in_data->utils->ansi.sprintf(out_data->return_msg, "%s v%d.%d", "RenderHostProbe", 1, 2);
    return PF_Err_NONE;
}

PF_Err GlobalSetup(PF_InData *in_data, PF_OutData *out_data) {
    out_data->my_version = 0x10002;
    out_data->out_flags |= PF_OutFlag_DEEP_COLOR_AWARE;
    out_data->out_flags2 |= PF_OutFlag2_SUPPORTS_SMART_RENDER | PF_OutFlag2_FLOAT_COLOR_AWARE;
    SuiteRef<PF_HandleSuite2> handles(in_data->pica_basicP, "PF Handle Suite", 2);
    if (!handles) return PF_Err_BAD_CALLBACK_PARAM;
    SuiteRef<AEGP_UtilitySuite7> utility(in_data->pica_basicP, "AEGP Utility Suite", 7);
    if (!utility) return PF_Err_BAD_CALLBACK_PARAM;
    PF_Handle global = handles->host_new_handle(sizeof(AEGP_PluginID));
    if (global == nullptr) return PF_Err_OUT_OF_MEMORY;
    auto *id = static_cast<AEGP_PluginID *>(handles->host_lock_handle(global));
    PF_Err err = id ? utility->AEGP_RegisterWithAEGP(nullptr, "RenderHostProbe", id) : PF_Err_OUT_OF_MEMORY;
    if (id != nullptr) handles->host_unlock_handle(global);
    if (err == PF_Err_NONE)
        out_data->global_data = global;
    else
        handles->host_dispose_handle(global);
    return err;
}

PF_Err GlobalSetdown(PF_InData *in_data) {
    if (in_data->global_data == nullptr) return PF_Err_NONE;
    SuiteRef<PF_HandleSuite2> handles(in_data->pica_basicP, "PF Handle Suite", 2);
    if (!handles) return PF_Err_BAD_CALLBACK_PARAM;
    handles->host_dispose_handle(in_data->global_data);
    return PF_Err_NONE;
}

PF_Err ParamsSetup(PF_InData *in_data, PF_OutData *out_data) {
    PF_ParamDef def;
    std::memset(&def, 0, sizeof(def));
    def.id = 1;
    def.param_type = PF_Param_FIX_SLIDER;
    in_data->utils->ansi.strcpy(def.name, "Gain");
    def.u.fd.valid_max = def.u.fd.slider_max = 100 << 16;
    def.u.fd.precision = 1;
    PF_Err err = in_data->inter.add_param(in_data->effect_ref, -1, &def);
    if (err == PF_Err_NONE) out_data->num_params = 2;
    return err;
}

PF_Err SmartPreRender(PF_InData *in_data, PF_PreRenderExtra *extra) {
    SuiteRef<PF_HandleSuite2> handles(in_data->pica_basicP, "PF Handle Suite", 2);
    if (!handles) return PF_Err_BAD_CALLBACK_PARAM;
    PF_Handle handle = handles->host_new_handle(sizeof(ProbeData));
    if (handle == nullptr) return PF_Err_OUT_OF_MEMORY;
    auto *data = static_cast<ProbeData *>(handles->host_lock_handle(handle));
    if (data == nullptr) {
        handles->host_dispose_handle(handle);
        return PF_Err_OUT_OF_MEMORY;
    }
    // From here the host carries the handle, locked, to the render.
    extra->output->pre_render_data = handle;

    PF_ParamDef slider;
    std::memset(&slider, 0, sizeof(slider));
    PF_Err err = in_data->inter.checkout_param(in_data->effect_ref, 1, in_data->current_time, in_data->time_step,
                                               in_data->time_scale, &slider);
    if (err != PF_Err_NONE) return err;
    PF_RenderRequest request = extra->input->output_request;
    request.preserve_rgb_of_zero_alpha = 1;
    PF_CheckoutResult result;
    std::memset(&result, 0, sizeof(result));
    err = extra->cb->checkout_layer(in_data->effect_ref, 0, 0, &request, in_data->current_time, in_data->time_step,
                                    in_data->time_scale, &result);
    if (err == PF_Err_NONE) {
        data->magic = kProbeMagic;
        data->slider = slider.u.fd.value;
        extra->output->result_rect = result.result_rect;
        extra->output->max_result_rect = result.max_result_rect;
    }
    const PF_Err checkin = in_data->inter.checkin_param(in_data->effect_ref, &slider);
    return err != PF_Err_NONE ? err : checkin;
}

// Copies one output row from the input at the same layer coordinates.
struct CopyContext {
    const PF_EffectWorld *input;
    PF_EffectWorld *output;
    A_long pixel_bytes;
};

PF_Err CopyRow(void *refcon, A_long, A_long y, A_long) {
    const auto &c = *static_cast<const CopyContext *>(refcon);
    const A_long in_y = y + c.output->origin_y - c.input->origin_y;
    if (in_y < 0 || in_y >= c.input->height) return PF_Err_NONE;
    const A_long shift = c.output->origin_x - c.input->origin_x;  // input column of output column 0
    A_long first = shift < 0 ? -shift : 0;
    A_long last = c.input->width - shift;
    if (last > c.output->width) last = c.output->width;
    if (first >= last) return PF_Err_NONE;
    const char *src = static_cast<const char *>(c.input->data) + static_cast<long>(in_y) * c.input->rowbytes +
                      static_cast<long>(first + shift) * c.pixel_bytes;
    char *dst = static_cast<char *>(c.output->data) + static_cast<long>(y) * c.output->rowbytes +
                static_cast<long>(first) * c.pixel_bytes;
    std::memcpy(dst, src, static_cast<size_t>(last - first) * static_cast<size_t>(c.pixel_bytes));
    return PF_Err_NONE;
}

PF_Err SmartRender(PF_InData *in_data, PF_OutData *out_data, PF_SmartRenderExtra *extra) {
    SuiteRef<PF_HandleSuite2> handles(in_data->pica_basicP, "PF Handle Suite", 2);
    if (!handles) return PF_Err_BAD_CALLBACK_PARAM;
    auto *data = static_cast<const ProbeData *>(
        handles->host_lock_handle(static_cast<PF_Handle>(extra->input->pre_render_data)));
    if (data == nullptr) return PF_Err_BAD_CALLBACK_PARAM;
    if (data->magic != kProbeMagic) return kDamagedPreRenderData;
    // Shows what the pre-render carried over, for the tests to read.
    in_data->utils->ansi.sprintf(out_data->return_msg, "gain %d", static_cast<int>(data->slider));

    PF_EffectWorld *input = nullptr;
    PF_EffectWorld *output = nullptr;
    PF_Err err = extra->cb->checkout_layer_pixels(in_data->effect_ref, 0, &input);
    if (err == PF_Err_NONE) err = extra->cb->checkout_output(in_data->effect_ref, &output);
    if (err != PF_Err_NONE) return err;

    PF_PixelFormat format = PF_PixelFormat_INVALID;
    {
        SuiteRef<PF_WorldSuite2> worlds(in_data->pica_basicP, "PF World Suite", 2);
        if (!worlds) return PF_Err_BAD_CALLBACK_PARAM;
        err = worlds->PF_GetPixelFormat(input, &format);
        if (err != PF_Err_NONE) return err;
    }
    CopyContext context{input, output, 0};
    switch (format) {
        case PF_PixelFormat_ARGB32:
            context.pixel_bytes = sizeof(PF_Pixel);
            break;
        case PF_PixelFormat_ARGB64:
            context.pixel_bytes = sizeof(PF_Pixel16);
            break;
        case PF_PixelFormat_ARGB128:
            context.pixel_bytes = sizeof(PF_PixelFloat);
            break;
        default:
            return PF_Err_BAD_CALLBACK_PARAM;
    }

    const PF_Pixel transparent = {0, 0, 0, 0};
    err = in_data->utils->fill(in_data->effect_ref, &transparent, nullptr, output);
    if (err != PF_Err_NONE) return err;

    PF_ParamDef layer;
    std::memset(&layer, 0, sizeof(layer));
    err = in_data->inter.checkout_param(in_data->effect_ref, 0, in_data->current_time, in_data->time_step,
                                        in_data->time_scale, &layer);
    if (err != PF_Err_NONE) return err;
    if (layer.u.ld.data != nullptr) {
        SuiteRef<PF_Iterate8Suite1> iterate(in_data->pica_basicP, "PF Iterate8 Suite", 1);
        err = iterate ? iterate->iterate_generic(output->height, &context, &CopyRow) : PF_Err_BAD_CALLBACK_PARAM;
    }
    const PF_Err checkin = in_data->inter.checkin_param(in_data->effect_ref, &layer);
    return err != PF_Err_NONE ? err : checkin;
}

}  // namespace

extern "C" PF_PLUGIN_EXPORT PF_Err EntryPointFunc(PF_Cmd cmd, PF_InData *in_data, PF_OutData *out_data, PF_ParamDef *[],
                                                  PF_LayerDef *, void *extra) {
    switch (cmd) {
        case PF_Cmd_ABOUT:
            return About(in_data, out_data);
        case PF_Cmd_GLOBAL_SETUP:
            return GlobalSetup(in_data, out_data);
        case PF_Cmd_GLOBAL_SETDOWN:
            return GlobalSetdown(in_data);
        case PF_Cmd_PARAMS_SETUP:
            return ParamsSetup(in_data, out_data);
        case PF_Cmd_SMART_PRE_RENDER:
            return SmartPreRender(in_data, static_cast<PF_PreRenderExtra *>(extra));
        case PF_Cmd_SMART_RENDER:
            return SmartRender(in_data, out_data, static_cast<PF_SmartRenderExtra *>(extra));
        default:
            return PF_Err_NONE;
    }
}
