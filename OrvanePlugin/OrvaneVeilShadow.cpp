// The plug-in's entry point and its setup commands.
#include "AEGP_SuiteHandler.h"
#include "OrvaneVersion.h"
#include "PF_Host.h"
#include "VeilShadowCommands.h"
#include "VeilShadowGuards.h"

static_assert(orvane::kOutFlags == PF_OutFlag_DEEP_COLOR_AWARE, "out flags");
static_assert(orvane::kOutFlags2 == (PF_OutFlag2_SUPPORTS_SMART_RENDER | PF_OutFlag2_FLOAT_COLOR_AWARE), "out flags 2");

namespace orvane {

namespace {

constexpr const char kNotice[] = "Takes the see-through out of drop shadows.";
// The name the plug-in registers its ID under. It reads like a message,
// but it is the exact string every release has handed the host at
// registration, which the host may key the ID on: it stays byte for byte.
constexpr const char kLegacyRegistrationName[] = "Error!";
constexpr const char kOpacityName[] = "Opacity";
constexpr PF_Fixed kHundredPercent = 100 << 16;  // 0x640000

}  // namespace

PF_Err About(PF_InData *in_data, PF_OutData *out_data) {
    in_data->utils->ansi.sprintf(out_data->return_msg, "%s, v%d.%d%d\r%s", kPluginName, kMajorVersion, kMinorVersion,
                                 kBugVersion, kNotice);
    return PF_Err_NONE;
}

PF_Err GlobalSetup(PF_InData *in_data, PF_OutData *out_data) {
    out_data->my_version = kPluginVersion;
    out_data->out_flags |= kOutFlags;
    out_data->out_flags2 |= kOutFlags2;

    AEGP_SuiteHandler suites(in_data->pica_basicP);
    PF_HandleSuite2 *handles = suites.HandleSuiteV2();
    // The global data: disposed of on every way out that does not store
    // it, after its lock below has been undone.
    OwnedHandle global(handles, sizeof(AEGP_PluginID));
    if (global.get() == nullptr) return PF_Err_INTERNAL_STRUCT_DAMAGED;
    const HandleLock lock(handles, global.get());
    // Without a block there is nothing to register the ID in: the setup
    // succeeds, without global data.
    if (lock.block() == nullptr) return PF_Err_NONE;

    const PF_Err err = suites.UtilitySuiteV7()->AEGP_RegisterWithAEGP(nullptr, kLegacyRegistrationName,
                                                                      static_cast<AEGP_PluginID *>(lock.block()));
    if (err == PF_Err_NONE) out_data->global_data = global.Release();
    return err;
}

PF_Err GlobalSetdown(PF_InData *in_data) {
    AEGP_SuiteHandler suites(in_data->pica_basicP);
    if (in_data->global_data != nullptr) suites.HandleSuiteV2()->host_dispose_handle(in_data->global_data);
    return PF_Err_NONE;
}

PF_Err ParamsSetup(PF_InData *in_data, PF_OutData *out_data) {
    PF_ParamDef def = {};
    def.param_type = PF_Param_FIX_SLIDER;
    in_data->utils->ansi.strcpy(def.name, kOpacityName);
    def.id = 1;
    def.flags = PF_ParamFlag_COLLAPSE_TWIRLY;
    def.u.fd.value = 0;
    def.u.fd.dephault = 0;
    def.u.fd.valid_min = 0;
    def.u.fd.valid_max = kHundredPercent;
    def.u.fd.slider_min = 0;
    def.u.fd.slider_max = kHundredPercent;
    def.u.fd.precision = 1;
    def.u.fd.display_flags = PF_ValueDisplayFlag_PERCENT;

    const PF_Err err = in_data->inter.add_param(in_data->effect_ref, -1, &def);
    if (err != PF_Err_NONE) return err;
    out_data->num_params = 2;
    return PF_Err_NONE;
}

}  // namespace orvane

extern "C" PF_PLUGIN_EXPORT PF_Err EntryPointFunc(PF_Cmd cmd, PF_InData *in_data, PF_OutData *out_data,
                                                  PF_ParamDef *params[], PF_LayerDef *output, void *extra) {
    (void)params;
    (void)output;
    PF_Err err = PF_Err_NONE;
    // A suite the host cannot supply is thrown as 516 by the suite handler
    // and becomes the command's result here; the handlers' guards have given
    // back what they held on the way. Nothing else is caught.
    try {
        switch (cmd) {
            case PF_Cmd_ABOUT:
                err = orvane::About(in_data, out_data);
                break;
            case PF_Cmd_GLOBAL_SETUP:
                err = orvane::GlobalSetup(in_data, out_data);
                break;
            case PF_Cmd_GLOBAL_SETDOWN:
                err = orvane::GlobalSetdown(in_data);
                break;
            case PF_Cmd_PARAMS_SETUP:
                err = orvane::ParamsSetup(in_data, out_data);
                break;
            case PF_Cmd_SMART_PRE_RENDER:
                err = orvane::SmartPreRender(in_data, out_data, static_cast<PF_PreRenderExtra *>(extra));
                break;
            case PF_Cmd_SMART_RENDER:
                err = orvane::SmartRender(in_data, out_data, static_cast<PF_SmartRenderExtra *>(extra));
                break;
            default:
                break;
        }
    } catch (PF_Err thrown) {
        err = thrown;
    }
    return err;
}
