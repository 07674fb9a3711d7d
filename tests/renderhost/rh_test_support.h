// Shared pieces of the render host's tests: an in-process plug-in whose
// behaviour each test scripts, and typed suite acquisition.
#ifndef ORVANE_TESTS_RENDERHOST_SUPPORT_H
#define ORVANE_TESTS_RENDERHOST_SUPPORT_H

#include <RenderHost/RenderHost.h>

#include <functional>

namespace rhtest {

using Script = std::function<PF_Err(PF_Cmd, PF_InData *, PF_OutData *, void *extra)>;

// The script the scripted entry point runs; one at a time (tests run on one
// thread).
inline Script &CurrentScript() {
    static Script script;
    return script;
}

inline PF_Err ScriptedEntry(PF_Cmd cmd, PF_InData *in_data, PF_OutData *out_data, PF_ParamDef *[], PF_LayerDef *,
                            void *extra) {
    return CurrentScript() ? CurrentScript()(cmd, in_data, out_data, extra) : PF_Err_NONE;
}

// Installs a script for its lifetime.
class ScriptGuard {
public:
    explicit ScriptGuard(Script script) { CurrentScript() = std::move(script); }
    ~ScriptGuard() { CurrentScript() = nullptr; }
    ScriptGuard(const ScriptGuard &) = delete;
    ScriptGuard &operator=(const ScriptGuard &) = delete;
};

// The suite, or null; the host's code goes to *code when asked for.
template <class Suite>
const Suite *Acquire(const SPBasicSuite *basic, const char *name, A_long version, SPErr *code = nullptr) {
    const void *table = nullptr;
    const SPErr err = basic->AcquireSuite(name, version, &table);
    if (code != nullptr) *code = err;
    return static_cast<const Suite *>(table);
}

}  // namespace rhtest

#endif
