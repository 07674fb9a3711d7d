#include "AEFX_SuiteHelper.h"

namespace {

const char kAcquireFailed[] = "Not able to acquire AEFX Suite.";
const char kReleaseFailed[] = "Not able to release AEFX Suite.";

const char kDrawSuiteName[] = "DRAWBOT Draw Suite";
const char kSupplierSuiteName[] = "DRAWBOT Supplier Suite";
const char kSurfaceSuiteName[] = "DRAWBOT Surface Suite";
const char kPathSuiteName[] = "DRAWBOT Path Suite";
constexpr A_long kDrawbotVersion = 1;

const SPBasicSuite *BasicSuite(const PF_InData *in_data) { return in_data != nullptr ? in_data->pica_basicP : nullptr; }

/* Sets the display-error flag and leaves the message for the host. Without
 * the host's sprintf the flag is still set; only the text is missing. */
void ReportFailure(PF_InData *in_data, PF_OutData *out_data, const char *message) {
    if (out_data == nullptr) {
        return;
    }
    out_data->out_flags |= PF_OutFlag_DISPLAY_ERROR_MESSAGE;
    if (in_data == nullptr || in_data->utils == nullptr || in_data->utils->ansi.sprintf == nullptr) {
        return;
    }
    constexpr size_t kCapacity = sizeof out_data->return_msg;
    size_t length = 0;
    while (length < kCapacity && message[length] != '\0') {
        ++length;
    }
    if (length < kCapacity) {
        in_data->utils->ansi.sprintf(out_data->return_msg, message);
        return;
    }
    /* Too long for the host's buffer: sprintf would run past it, so the
     * message goes in cut to fit. */
    size_t i = 0;
    for (; i + 1 < kCapacity && message[i] != '\0'; ++i) {
        out_data->return_msg[i] = message[i];
    }
    out_data->return_msg[i] = '\0';
}

/* Acquires one drawing suite through a local untyped pointer, so the
 * record's typed field is never written through a `const void *` lvalue. */
template <typename SuiteT>
PF_Err AcquireDrawbotSuite(PF_InData *in_data, PF_OutData *out_data, const char *name, SuiteT **field) {
    if (field == nullptr) {
        return AEFX_AcquireSuite(in_data, out_data, name, kDrawbotVersion, nullptr, nullptr);
    }
    const void *suite = *field;
    const PF_Err err = AEFX_AcquireSuite(in_data, out_data, name, kDrawbotVersion, nullptr, &suite);
    *field = static_cast<SuiteT *>(const_cast<void *>(suite));
    return err;
}

}  // namespace

extern "C" PF_Err AEFX_AcquireSuite(PF_InData *in_data, PF_OutData *out_data, const char *name, A_long version,
                                    const char *message, const void **suite) {
    const SPBasicSuite *basic = BasicSuite(in_data);
    if (basic != nullptr && suite != nullptr) {
        /* A stale value the host leaves in place must not pass for a suite. */
        *suite = nullptr;
        if (basic->AcquireSuite != nullptr) {
            (void)basic->AcquireSuite(name, version, suite);
        }
        if (*suite != nullptr) {
            return PF_Err_NONE;
        }
    }
    ReportFailure(in_data, out_data, message != nullptr ? message : kAcquireFailed);
    return PF_Err_BAD_CALLBACK_PARAM;
}

extern "C" PF_Err AEFX_ReleaseSuite(PF_InData *in_data, PF_OutData *out_data, const char *name, A_long version,
                                    const char *message) {
    const SPBasicSuite *basic = BasicSuite(in_data);
    if (basic != nullptr) {
        if (basic->ReleaseSuite != nullptr) {
            (void)basic->ReleaseSuite(name, version);
        }
        return PF_Err_NONE;
    }
    ReportFailure(in_data, out_data, message != nullptr ? message : kReleaseFailed);
    return PF_Err_BAD_CALLBACK_PARAM;
}

extern "C" PF_Err AEFX_AcquireDrawbotSuites(PF_InData *in_data, PF_OutData *out_data, AEFX_DrawbotSuites *suites) {
    PF_Err err =
        AcquireDrawbotSuite(in_data, out_data, kDrawSuiteName, suites != nullptr ? &suites->draw_suiteP : nullptr);
    if (err == PF_Err_NONE) {
        err = AcquireDrawbotSuite(in_data, out_data, kSupplierSuiteName, &suites->supplier_suiteP);
    }
    if (err == PF_Err_NONE) {
        err = AcquireDrawbotSuite(in_data, out_data, kSurfaceSuiteName, &suites->surface_suiteP);
    }
    if (err == PF_Err_NONE) {
        err = AcquireDrawbotSuite(in_data, out_data, kPathSuiteName, &suites->path_suiteP);
    }
    return err;
}

extern "C" PF_Err AEFX_ReleaseDrawbotSuites(PF_InData *in_data, PF_OutData *out_data) {
    (void)AEFX_ReleaseSuite(in_data, out_data, kDrawSuiteName, kDrawbotVersion, nullptr);
    (void)AEFX_ReleaseSuite(in_data, out_data, kSupplierSuiteName, kDrawbotVersion, nullptr);
    (void)AEFX_ReleaseSuite(in_data, out_data, kSurfaceSuiteName, kDrawbotVersion, nullptr);
    (void)AEFX_ReleaseSuite(in_data, out_data, kPathSuiteName, kDrawbotVersion, nullptr);
    return PF_Err_NONE;
}
