// A plug-in module that sets up and renders nothing: its smart pre-render
// and its global setdown fail with a message of their own, so the Python
// tests can see a plug-in's failure arrive as a RuntimeError, and see
// close() send the setdown.
#include <PF_Host.h>

#include <cstring>

namespace {

PF_Err Fail(PF_OutData *out_data, const char *message) {
    std::strncpy(out_data->return_msg, message, sizeof out_data->return_msg - 1);
    out_data->out_flags |= PF_OutFlag_DISPLAY_ERROR_MESSAGE;
    return PF_Err_OUT_OF_MEMORY;
}

} // namespace

extern "C" PF_PLUGIN_EXPORT PF_Err EntryPointFunc(PF_Cmd cmd, PF_InData *, PF_OutData *out_data, PF_ParamDef *[],
                                                  PF_LayerDef *, void *) {
    switch (cmd) {
    case PF_Cmd_GLOBAL_SETUP:
        out_data->my_version = (2u << 19) | (3u << 15) | (4u << 11); // 2.3.4
        return PF_Err_NONE;
    case PF_Cmd_SMART_PRE_RENDER:
        return Fail(out_data, "no memory for the shadow");
    case PF_Cmd_GLOBAL_SETDOWN:
        return Fail(out_data, "setdown refused");
    default:
        return PF_Err_NONE;
    }
}
