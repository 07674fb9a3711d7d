// The callbacks the host lends through in_data and the render commands'
// extra records: the ANSI utility callbacks, parameter registration and
// checkout, and the layer and output checkouts of a smart render. Each
// names its effect; a stray effect_ref is refused before anything is read
// through it. The fill is in HostFill.cpp.
#include "HostCall.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstring>

namespace renderhost {

void RefuseStrayEffect(HostOp op) {
    if (Host::Impl *host = ActiveHost()) {
        std::lock_guard<std::mutex> lock(host->mutex);
        host->Misuse(std::string(HostOpName(op)) + " with an effect_ref that is no live effect");
        host->Record(op, "bad effect_ref", PF_Err_BAD_CALLBACK_PARAM);
    }
}

namespace {

bool Requested(const Effect::State &effect, A_long checkout_id) {
    const auto &ids = effect.requested_layers;
    return std::find(ids.begin(), ids.end(), checkout_id) != ids.end();
}

std::string TimeText(A_long what_time, A_long time_step, A_u_long time_scale) {
    return std::to_string(what_time) + "/" + std::to_string(time_step) + "/" + std::to_string(time_scale);
}

// What is wrong with a smart render's checkout of one of the frame's
// worlds into out (the call named `call`, the world in the role `role`);
// empty when it may be lent.
std::string LendingProblem(const std::string &call, const void *out, const Effect::State &effect, const World *world,
                           const char *role) {
    if (out == nullptr) return call + " without an out pointer";
    if (effect.command != PF_Cmd_SMART_RENDER) return call + " outside smart render";
    if (world == nullptr) return call + " with no " + role + " in the frame";
    return std::string();
}

// ---- ANSI callbacks ---------------------------------------------------

int HostSprintf(A_char *buffer, const A_char *format, ...) {
    int written = -1;
    std::va_list args;
    va_start(args, format);
    Operate({HostOp::Sprintf}, "", [&](Call &call) -> PF_Err {
        if (buffer == nullptr || format == nullptr) return call.Refuse("sprintf without a buffer or a format");
        const std::size_t room = ReturnMessageRoom(&call.host, buffer);
        if (room > 0) {
            written = std::vsnprintf(buffer, room, format, args);
            if (written >= static_cast<int>(room)) written = static_cast<int>(room) - 1;
        } else {
            written = std::vsprintf(buffer, format, args);
        }
        call.detail = written >= 0 ? std::string(buffer) : std::string();
        return PF_Err_NONE;
    });
    va_end(args);
    return written;
}

A_char *HostStrcpy(A_char *dest, const A_char *src) {
    A_char *copied = nullptr;
    Operate({HostOp::Strcpy}, src ? src : "", [&](Call &call) -> PF_Err {
        if (dest == nullptr || src == nullptr) {
            call.detail.clear();
            return call.Refuse("strcpy without a destination or a source");
        }
        std::size_t length = std::strlen(src);
        const std::size_t room = ReturnMessageRoom(&call.host, dest);
        if (room > 0 && length >= room) length = room - 1;
        std::memmove(dest, src, length);
        dest[length] = '\0';
        call.detail = dest;
        copied = dest;
        return PF_Err_NONE;
    });
    return copied;
}

// ---- PF_InteractCallbacks ---------------------------------------------

PF_Err AddParam(PF_ProgPtr effect_ref, PF_ParamIndex index, PF_ParamDef *def) {
    std::string detail = "index " + std::to_string(index);
    if (def != nullptr)
        detail += " \"" + std::string(def->name, std::find(def->name, def->name + sizeof(def->name), '\0')) + "\"";
    return Operate(effect_ref, {HostOp::AddParam}, std::move(detail), [&](Call &call) -> PF_Err {
        if (def == nullptr) return call.Refuse("add_param without a parameter record");
        if (call.effect->command != PF_Cmd_PARAMS_SETUP) return call.Refuse("add_param outside params setup");
        call.effect->added_params.push_back(AddedParam{index, *def});
        return PF_Err_NONE;
    });
}

PF_Err CheckoutParam(PF_ProgPtr effect_ref, PF_ParamIndex index, A_long what_time, A_long time_step,
                     A_u_long time_scale, PF_ParamDef *param) {
    const std::string detail = "index " + std::to_string(index) + " at " + TimeText(what_time, time_step, time_scale);
    return Operate(effect_ref, {HostOp::CheckoutParam}, detail, [&](Call &call) -> PF_Err {
        if (param == nullptr) return call.Refuse("checkout_param without a parameter record");
        const FrameSpec &frame = call.effect->frame;
        if (index == 0) {
            *param = PF_ParamDef{};
            param->param_type = PF_Param_LAYER;
            if (frame.layer != nullptr) param->u.ld = frame.layer->descriptor();
        } else if (index == 1) {
            *param = PF_ParamDef{};
            param->param_type = PF_Param_FIX_SLIDER;
            param->u.fd.value = frame.slider;
        } else {
            return call.Refuse("checkout_param of index " + std::to_string(index) + ", which the effect lacks");
        }
        call.host.checkouts.push_back(Host::Impl::Checkout{call.effect, param, index});
        return PF_Err_NONE;
    });
}

PF_Err CheckinParam(PF_ProgPtr effect_ref, PF_ParamDef *param) {
    const Op op{HostOp::CheckinParam, PF_Err_BAD_CALLBACK_PARAM, OnFault::kReport};
    return Operate(effect_ref, op, "", [&](Call &call) -> PF_Err {
        auto &checkouts = call.host.checkouts;
        // The latest checkout made into this record.
        auto checkout = std::find_if(checkouts.rbegin(), checkouts.rend(), [&](const Host::Impl::Checkout &c) {
            return c.effect == call.effect && c.record == param;
        });
        if (checkout == checkouts.rend()) {
            // Tolerated, as a host would, but counted against the plug-in.
            call.detail = "not checked out";
            return call.Refuse("check-in of a parameter record that is not checked out", PF_Err_NONE);
        }
        call.detail = "index " + std::to_string(checkout->index);
        checkouts.erase(std::next(checkout).base());
        return PF_Err_NONE;
    });
}

// ---- Pre-render and smart-render callbacks ----------------------------

PF_Err CheckoutLayer(PF_ProgPtr effect_ref, PF_ParamIndex index, A_long checkout_id, const PF_RenderRequest *request,
                     A_long what_time, A_long time_step, A_u_long time_scale, PF_CheckoutResult *result) {
    const std::string detail = "layer " + std::to_string(index) + " id " + std::to_string(checkout_id) + " at " +
                               TimeText(what_time, time_step, time_scale);
    return Operate(effect_ref, {HostOp::CheckoutLayer}, detail, [&](Call &call) -> PF_Err {
        Effect::State &effect = *call.effect;
        if (effect.command != PF_Cmd_SMART_PRE_RENDER) return call.Refuse("checkout_layer outside smart pre-render");
        if (request == nullptr || result == nullptr)
            return call.Refuse("checkout_layer without a request or a result record");
        if (index != 0)
            return call.Refuse("checkout_layer of parameter " + std::to_string(index) + ", which is no layer");
        if (effect.frame.input == nullptr) return call.Refuse("checkout_layer with no input in the frame");
        const World &input = *effect.frame.input;
        *result = PF_CheckoutResult{};
        result->result_rect = input.LayerRect();
        result->max_result_rect = input.LayerRect();
        result->par = PF_RationalScale{1, 1};
        result->ref_width = effect.frame.ref_width.value_or(input.width());
        result->ref_height = effect.frame.ref_height.value_or(input.height());
        if (!Requested(effect, checkout_id)) effect.requested_layers.push_back(checkout_id);
        effect.layer_request = *request;
        return PF_Err_NONE;
    });
}

PF_Err CheckoutLayerPixels(PF_ProgPtr effect_ref, A_long checkout_id, PF_EffectWorld **pixels) {
    if (pixels != nullptr) *pixels = nullptr;
    return Operate(
        effect_ref, {HostOp::CheckoutLayerPixels}, "id " + std::to_string(checkout_id), [&](Call &call) -> PF_Err {
            Effect::State &effect = *call.effect;
            std::string wrong = LendingProblem("checkout_layer_pixels", pixels, effect, effect.frame.input, "input");
            if (wrong.empty() && !Requested(effect, checkout_id))
                wrong = "checkout_layer_pixels of id " + std::to_string(checkout_id) +
                        ", which the pre-render did not check out";
            if (!wrong.empty()) return call.Refuse(wrong);
            effect.lent_input = effect.frame.input->descriptor();
            *pixels = &effect.lent_input;
            return PF_Err_NONE;
        });
}

PF_Err CheckinLayerPixels(PF_ProgPtr effect_ref, A_long checkout_id) {
    return Operate(
        effect_ref, {HostOp::CheckinLayerPixels}, "id " + std::to_string(checkout_id), [&](Call &call) -> PF_Err {
            if (call.effect->command != PF_Cmd_SMART_RENDER || !Requested(*call.effect, checkout_id))
                return call.Refuse("checkin_layer_pixels of id " + std::to_string(checkout_id) + " outside its render");
            return PF_Err_NONE;
        });
}

PF_Err CheckoutOutput(PF_ProgPtr effect_ref, PF_EffectWorld **output) {
    if (output != nullptr) *output = nullptr;
    return Operate(effect_ref, {HostOp::CheckoutOutput}, "", [&](Call &call) -> PF_Err {
        Effect::State &effect = *call.effect;
        const std::string wrong = LendingProblem("checkout_output", output, effect, effect.frame.output, "output");
        if (!wrong.empty()) return call.Refuse(wrong);
        effect.lent_output = effect.frame.output->descriptor();
        *output = &effect.lent_output;
        return PF_Err_NONE;
    });
}

}  // namespace

// In the order of each table's fields (HostAPI/PF_Host.h).
void InstallCallbacks(Host::Impl &host) {
    host.utils = {&Fill, {&HostSprintf, &HostStrcpy}};
    host.inter = {&AddParam, &CheckoutParam, &CheckinParam};
    host.pre_render_cb = {&CheckoutLayer};
    host.smart_render_cb = {&CheckoutLayerPixels, &CheckinLayerPixels, &CheckoutOutput};
}

}  // namespace renderhost
