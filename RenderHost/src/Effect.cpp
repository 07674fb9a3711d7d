#include "HostImpl.h"

#include <RenderHost/PluginModule.h>

#include <algorithm>
#include <cstring>
#include <stdexcept>

namespace renderhost {
namespace {

// The effect API version the host reports in in_data.
constexpr A_long kHostApiVersion = 0x000D0001;

// All four channels.
constexpr A_long kAllChannels = 0xF;

A_short BitDepth(Depth depth) {
    switch (depth) {
        case Depth::k8:
            return 8;
        case Depth::k16:
            return 16;
        case Depth::k32:
            return 32;
    }
    return 0;
}

void CheckLendable(const World *world, const char *role) {
    if (world == nullptr) return;
    const std::string problem = WorldProblem(world->descriptor());
    if (!problem.empty())  // a World keeps its descriptor valid; this is a host bug
        throw std::logic_error(std::string("the ") + role + " world cannot be lent: " + problem);
}

// Refuses frames a host never sends.
void CheckFrame(const FrameSpec &frame) {
    if (frame.input == nullptr || frame.output == nullptr)
        throw std::invalid_argument("a frame needs an input world and an output world");
    if (frame.output == frame.input || frame.output == frame.layer)
        throw std::invalid_argument("the output must be a world of its own, not the input or the layer");
    if (frame.output->depth() != frame.input->depth() ||
        (frame.layer != nullptr && frame.layer->depth() != frame.input->depth()))
        throw std::invalid_argument("input, layer and output of a frame must have one pixel depth");
    if (frame.downsample_x.num <= 0 || frame.downsample_x.den == 0 || frame.downsample_y.num <= 0 ||
        frame.downsample_y.den == 0)
        throw std::invalid_argument("downsampling factors must be positive fractions");
    if (frame.ref_width.value_or(0) < 0 || frame.ref_height.value_or(0) < 0)
        throw std::invalid_argument("the layer's reference size cannot be negative");
    if (frame.time_scale == 0) throw std::invalid_argument("the time scale cannot be zero");
    CheckLendable(frame.input, "input");
    CheckLendable(frame.layer, "layer");
    CheckLendable(frame.output, "output");
}

PF_RenderRequest RequestFor(const FrameSpec &frame) {
    if (frame.request) return *frame.request;
    PF_RenderRequest request{};
    request.rect = frame.output->LayerRect();
    request.channel_mask = kAllChannels;
    return request;
}

// The parameter array the host passes with render commands.
struct ParamArray {
    explicit ParamArray(const FrameSpec &frame) {
        layer.param_type = PF_Param_LAYER;
        if (frame.layer != nullptr) layer.u.ld = frame.layer->descriptor();
        slider.id = 1;
        slider.param_type = PF_Param_FIX_SLIDER;
        slider.u.fd.value = frame.slider;
        list[0] = &layer;
        list[1] = &slider;
    }
    PF_ParamDef layer{};
    PF_ParamDef slider{};
    PF_ParamDef *list[2]{};
};

}  // namespace

Effect::Effect(Host &host, PF_EntryPointFunc entry) : host_(host), state_(std::make_unique<State>()) {
    if (entry == nullptr) throw std::invalid_argument("an effect needs an entry point");
    State &s = *state_;
    s.host = &host.impl();
    s.entry = entry;
    s.in.inter = host.Interact();
    s.in.utils = host.Utils();
    s.in.effect_ref = reinterpret_cast<PF_ProgPtr>(state_.get());
    s.in.version = kHostApiVersion;
    s.in.time_step = 1;
    s.in.total_time = 1;
    s.in.time_scale = 1;
    s.in.downsample_x = PF_RationalScale{1, 1};
    s.in.downsample_y = PF_RationalScale{1, 1};
    s.in.pixel_aspect_ratio = PF_RationalScale{1, 1};
    s.in.pica_basicP = host.BasicSuite();
    RegisterEffect(state_.get());
}

Effect::Effect(Host &host, const PluginModule &module) : Effect(host, module.entry()) {}

Effect::~Effect() {
    UnregisterEffect(state_.get());
    Host::Impl &h = *state_->host;
    std::lock_guard<std::mutex> lock(h.mutex);
    // Checkouts the plug-in never checked in outlive the instance only as
    // a misuse; the records they point to are gone.
    auto mine = [&](const Host::Impl::Checkout &c) { return c.effect == state_.get(); };
    for (const Host::Impl::Checkout &c : h.checkouts)
        if (mine(c)) h.Misuse("parameter " + std::to_string(c.index) + " still checked out when its effect went away");
    h.checkouts.erase(std::remove_if(h.checkouts.begin(), h.checkouts.end(), mine), h.checkouts.end());
    state_->magic = 0;
}

PF_InData &Effect::in_data() { return state_->in; }
PF_OutData &Effect::out_data() { return state_->out; }
PF_ProgPtr Effect::effect_ref() const { return state_->in.effect_ref; }

std::vector<AddedParam> Effect::added_params() const {
    std::lock_guard<std::mutex> lock(state_->host->mutex);
    return state_->added_params;
}

PF_Err Effect::Send(PF_Cmd cmd, PF_ParamDef *params[], PF_LayerDef *output, void *extra) {
    State &s = *state_;
    if (s.command != -1) throw std::logic_error("a command is already being sent to this effect");
    Host::Scope scope(host_);

    std::memset(s.out.return_msg, 0, sizeof(s.out.return_msg));
    s.out.out_flags &= ~PF_OutFlag_DISPLAY_ERROR_MESSAGE;
    s.out.global_data = s.in.global_data;

    struct Dispatching {
        State &s;
        ~Dispatching() { s.command = -1; }
    } dispatching{s};
    s.command = cmd;
    const PF_Err err = s.entry(cmd, &s.in, &s.out, params, output, extra);

    if (cmd == PF_Cmd_GLOBAL_SETDOWN) {
        // The plug-in has disposed of its global data.
        s.in.global_data = nullptr;
        s.out.global_data = nullptr;
    } else {
        s.in.global_data = s.out.global_data;
    }
    return err;
}

PF_Err Effect::About(std::string *text) {
    const PF_Err err = Send(PF_Cmd_ABOUT, nullptr, nullptr, nullptr);
    if (text != nullptr) {
        const char *msg = state_->out.return_msg;
        *text = std::string(msg, std::find(msg, msg + sizeof(state_->out.return_msg), '\0'));
    }
    return err;
}

PF_Err Effect::GlobalSetup() { return Send(PF_Cmd_GLOBAL_SETUP, nullptr, nullptr, nullptr); }

PF_Err Effect::ParamsSetup() { return Send(PF_Cmd_PARAMS_SETUP, nullptr, nullptr, nullptr); }

PF_Err Effect::GlobalSetdown() { return Send(PF_Cmd_GLOBAL_SETDOWN, nullptr, nullptr, nullptr); }

void Effect::SetFrame(const FrameSpec &frame) {
    CheckFrame(frame);
    State &s = *state_;
    std::lock_guard<std::mutex> lock(s.host->mutex);
    s.frame = frame;
    s.requested_layers.clear();
    s.layer_request.reset();
    s.in.current_time = frame.current_time;
    s.in.time_step = frame.time_step;
    s.in.total_time = frame.total_time;
    s.in.time_scale = frame.time_scale;
    s.in.width = frame.input->width();
    s.in.height = frame.input->height();
    s.in.downsample_x = frame.downsample_x;
    s.in.downsample_y = frame.downsample_y;
}

FrameResult Effect::RenderFrame(const FrameSpec &frame) {
    SetFrame(frame);
    State &s = *state_;
    FrameResult result;
    result.request = RequestFor(frame);
    const A_short bitdepth = BitDepth(frame.input->depth());

    PF_PreRenderInput pre_input{};
    pre_input.output_request = result.request;
    pre_input.bitdepth = bitdepth;
    PF_PreRenderOutput pre_output = frame.initial_output;
    PF_PreRenderExtra pre_extra{&pre_input, &pre_output, host_.PreRenderCallbacks()};
    {
        ParamArray params(frame);
        result.pre_render = Send(PF_Cmd_SMART_PRE_RENDER, params.list, nullptr, &pre_extra);
    }
    result.pre_render_output = pre_output;
    result.request_after_pre_render = pre_input.output_request;
    {
        std::lock_guard<std::mutex> lock(s.host->mutex);
        result.layer_request = s.layer_request;
    }

    if (result.pre_render == PF_Err_NONE) {
        PF_SmartRenderInput render_input{};
        render_input.output_request = result.request;
        render_input.bitdepth = bitdepth;
        render_input.pre_render_data = pre_output.pre_render_data;
        PF_SmartRenderExtra render_extra{&render_input, host_.SmartRenderCallbacks()};
        ParamArray params(frame);
        result.render = Send(PF_Cmd_SMART_RENDER, params.list, nullptr, &render_extra);
        result.render_sent = true;
    }

    // Host rule: the pre-render data is the host's once the pre-render has
    // returned, whatever it returned. The plug-in leaves its handle locked
    // and installs no deletion function, so the host unlocks it and
    // disposes of it when the frame is done (at once when no render
    // follows).
    DisposePreRenderData(pre_output);

    // The worlds are the caller's and may go away now: later commands see
    // no frame until the next SetFrame or RenderFrame.
    std::lock_guard<std::mutex> lock(s.host->mutex);
    s.frame = FrameSpec{};
    s.requested_layers.clear();
    s.layer_request.reset();
    return result;
}

void Effect::DisposePreRenderData(const PF_PreRenderOutput &output) {
    if (output.pre_render_data == nullptr) return;
    if (output.delete_pre_render_data_func != nullptr) {
        Host::Scope scope(host_);
        output.delete_pre_render_data_func(output.pre_render_data);
        return;
    }
    Host::Impl &h = *state_->host;
    std::lock_guard<std::mutex> lock(h.mutex);
    const auto handle = static_cast<PF_Handle>(output.pre_render_data);
    if (h.FindBlock(handle) != nullptr)
        h.DisposeQuietly(handle);
    else
        h.Misuse("pre-render data that is no live handle and comes without a deletion function");
}

}  // namespace renderhost
