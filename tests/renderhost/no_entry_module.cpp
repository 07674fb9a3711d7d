// A loadable module that exports no EntryPointFunc: loading it as a plug-in
// must fail with a message naming the file.
#include <PF_Host.h>

extern "C" PF_PLUGIN_EXPORT PF_Err NotTheEntryPoint(PF_Cmd) { return PF_Err_NONE; }
