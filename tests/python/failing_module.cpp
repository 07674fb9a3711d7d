// A plug-in module that sets up and renders nothing: its smart pre-render
// and its global setdown fail with a message of their own, so the Python
// tests can see a plug-in's failure arrive as a RuntimeError, and see
// close() send the setdown.
//
// With VEILSHADOW_TEST_HANDSHAKE=PATH set, the pre-render first creates
// PATH.waiting and waits (at most a minute) for PATH.go to appear: only a
// caller that lets other Python threads run during the render sees it.
#include <PF_Host.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

namespace {

PF_Err Fail(PF_OutData *out_data, const char *message) {
    std::strncpy(out_data->return_msg, message, sizeof out_data->return_msg - 1);
    out_data->out_flags |= PF_OutFlag_DISPLAY_ERROR_MESSAGE;
    return PF_Err_OUT_OF_MEMORY;
}

bool Exists(const std::string &path) {
    std::FILE *file = std::fopen(path.c_str(), "r");
    if (file != nullptr) std::fclose(file);
    return file != nullptr;
}

// False when nobody answered.
bool Handshake() {
    const char *path = std::getenv("VEILSHADOW_TEST_HANDSHAKE");
    if (path == nullptr) return true;
    std::FILE *waiting = std::fopen((std::string(path) + ".waiting").c_str(), "w");
    if (waiting == nullptr) return false;
    std::fclose(waiting);
    for (int waited_ms = 0; waited_ms < 60000; ++waited_ms) {
        if (Exists(std::string(path) + ".go")) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return false;
}

}  // namespace

extern "C" PF_PLUGIN_EXPORT PF_Err EntryPointFunc(PF_Cmd cmd, PF_InData *, PF_OutData *out_data, PF_ParamDef *[],
                                                  PF_LayerDef *, void *) {
    switch (cmd) {
        case PF_Cmd_GLOBAL_SETUP:
            out_data->my_version = (2u << 19) | (3u << 15) | (4u << 11);  // 2.3.4
            return PF_Err_NONE;
        case PF_Cmd_SMART_PRE_RENDER:
            return Fail(out_data, Handshake() ? "no memory for the shadow" : "nobody answered the handshake");
        case PF_Cmd_GLOBAL_SETDOWN:
            return Fail(out_data, "setdown refused");
        default:
            return PF_Err_NONE;
    }
}
