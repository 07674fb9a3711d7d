// Modules that the Windows module check must reject: built only to prove
// that check_windows_module.sh notices an extra export or an import of a DLL
// that Windows does not have.
#include <PF_Host.h>

#if defined(PROBE_HELPER)
extern "C" __declspec(dllexport) int ProbeHelper(int x) { return x + 1; }
#else
#if defined(PROBE_FOREIGN_IMPORT)
extern "C" __declspec(dllimport) int ProbeHelper(int x);
#endif

extern "C" PF_PLUGIN_EXPORT PF_Err EntryPointFunc(PF_Cmd cmd, PF_InData *, PF_OutData *, PF_ParamDef *[], PF_LayerDef *,
                                                  void *) {
#if defined(PROBE_FOREIGN_IMPORT)
    return ProbeHelper(cmd);
#else
    return cmd;
#endif
}

#if defined(PROBE_EXTRA_EXPORT)
extern "C" __declspec(dllexport) int ExtraExport() { return 1; }
#endif
#endif
