// The effect's command handlers. Internal to the plug-in: EntryPointFunc
// dispatches to them inside its guard.
#ifndef ORVANE_PLUGIN_VEILSHADOW_COMMANDS_H
#define ORVANE_PLUGIN_VEILSHADOW_COMMANDS_H

#include "PF_Host.h"

namespace orvane {

// Carried from the smart pre-render to the smart render in a host handle.
struct PreRenderData {
    double opacity;  // the Opacity slider as a fraction, 0.0..1.0
};

PF_Err About(PF_InData *in_data, PF_OutData *out_data);
PF_Err GlobalSetup(PF_InData *in_data, PF_OutData *out_data);
PF_Err GlobalSetdown(PF_InData *in_data);
PF_Err ParamsSetup(PF_InData *in_data, PF_OutData *out_data);
PF_Err SmartPreRender(PF_InData *in_data, PF_OutData *out_data, PF_PreRenderExtra *extra);
PF_Err SmartRender(PF_InData *in_data, PF_OutData *out_data, PF_SmartRenderExtra *extra);

// Opacity fraction from the slider's signed 16.16 value: divided by 65536
// and then multiplied (not divided) by 100's reciprocal, as the host's own
// arithmetic does.
inline double OpacityFromSlider(PF_Fixed value) { return double(value) / 65536.0 * 0.01; }

}  // namespace orvane

#endif
