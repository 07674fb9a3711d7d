// One effect instance: sends the host's commands to a plug-in entry point.
#ifndef ORVANE_RENDERHOST_EFFECT_H
#define ORVANE_RENDERHOST_EFFECT_H

#include <PF_Host.h>

#include <RenderHost/Host.h>
#include <RenderHost/World.h>

#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace renderhost {

class PluginModule;

// What one frame is made of. The worlds are the caller's and must outlive
// the call; input, layer and output must have one depth, and the output
// must be a world of its own.
struct FrameSpec {
    World *input = nullptr;   // the layer as it arrives (earlier effects applied); required
    World *layer = nullptr;   // the layer's untouched pixels; null: it has none (u.ld.data null)
    World *output = nullptr;  // required
    PF_Fixed slider = 0;      // parameter 1, 16.16 fixed point

    A_long current_time = 0;
    A_long time_step = 1;
    A_long total_time = 1;
    A_u_long time_scale = 1;
    PF_RationalScale downsample_x{1, 1};
    PF_RationalScale downsample_y{1, 1};
    // The layer's full-resolution size; the input's size when not given.
    std::optional<A_long> ref_width;
    std::optional<A_long> ref_height;

    // The host's request sent in the pre-render; when not given: the
    // output's rectangle in layer coordinates, all four channels, field 0.
    std::optional<PF_RenderRequest> request;
    // The pre-render output record as the host hands it over: empty
    // rectangles and no flags unless set here.
    PF_PreRenderOutput initial_output{};
};

struct FrameResult {
    PF_Err pre_render = PF_Err_NONE;
    PF_Err render = PF_Err_NONE;
    // The render is sent only after a pre-render that returned 0.
    bool render_sent = false;
    // The pre-render output record as the plug-in left it. Its
    // pre_render_data has been disposed of by the host since: compare it,
    // don't use it.
    PF_PreRenderOutput pre_render_output{};
    // The host's request, and the same record after the pre-render (a
    // plug-in must not change it).
    PF_RenderRequest request{};
    PF_RenderRequest request_after_pre_render{};
    // What the plug-in asked checkout_layer for, when it asked.
    std::optional<PF_RenderRequest> layer_request;
};

struct AddedParam {
    PF_ParamIndex index;
    PF_ParamDef def;
};

// Holds PF_InData and PF_OutData of one instance of the effect, and the
// per-command state the host's callbacks need; effect_ref points to it.
// The host must outlive the effect, and so must the module.
class Effect {
public:
    Effect(Host &host, PF_EntryPointFunc entry);
    Effect(Host &host, const PluginModule &module);
    ~Effect();
    Effect(const Effect &) = delete;
    Effect &operator=(const Effect &) = delete;

    // About: the text left in return_msg goes to *text (when not null).
    PF_Err About(std::string *text);
    PF_Err GlobalSetup();
    PF_Err ParamsSetup();
    // Smart pre-render, then (when it returned 0) smart render, then the
    // host disposes of the pre-render data. Throws std::invalid_argument
    // for a frame the host would never send (see FrameSpec). The frame is
    // forgotten when the call returns.
    FrameResult RenderFrame(const FrameSpec &frame);
    PF_Err GlobalSetdown();

    // Sends any command with the records given; the callbacks answer from
    // the frame set by SetFrame (none: no input or output, parameter 0
    // without pixels, slider 0). Before each
    // command the host clears return_msg and the display-error flag and
    // hands the plug-in the current global data; afterwards it keeps what
    // the plug-in left in out_data->global_data (nothing after a global
    // setdown).
    PF_Err Send(PF_Cmd cmd, PF_ParamDef *params[], PF_LayerDef *output, void *extra);
    // Makes checkouts answer from this frame and forgets the layers
    // checked out by an earlier pre-render.
    void SetFrame(const FrameSpec &frame);
    // The host's rule for pre-render data once the render is done: calls
    // the plug-in's deletion function when it installed one; otherwise the
    // data is a handle of the handle suite, which the host unlocks (the
    // plug-in leaves it locked) and disposes of. RenderFrame does this
    // itself; tests that send the two commands by hand call it.
    void DisposePreRenderData(const PF_PreRenderOutput &output);

    PF_InData &in_data();
    PF_OutData &out_data();
    PF_ProgPtr effect_ref() const;
    // Parameters the plug-in added, in order.
    std::vector<AddedParam> added_params() const;
    Host &host() { return host_; }

    struct State;

private:
    Host &host_;
    std::unique_ptr<State> state_;
};

}  // namespace renderhost

#endif
