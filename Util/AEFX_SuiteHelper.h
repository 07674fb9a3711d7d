/*
 * Acquire and release one host suite at a time, reporting failure to the
 * host instead of throwing.
 *
 * On failure these functions set PF_OutFlag_DISPLAY_ERROR_MESSAGE (0x100) in
 * out_data->out_flags, write the message into out_data->return_msg with the
 * host's utils->ansi.sprintf (the message is the format string, so it must
 * not contain conversion specifications) and return 516. The caller owns
 * what it acquires and releases it itself. Nothing here throws or keeps
 * state.
 *
 * Plain C linkage, so the symbol names are undecorated.
 */
#ifndef ORVANE_UTIL_AEFX_SUITEHELPER_H
#define ORVANE_UTIL_AEFX_SUITEHELPER_H

#include "PF_Host.h"

#if defined(__GNUC__) && !defined(_WIN32)
#pragma GCC visibility push(hidden)
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* The four drawing suites, version 1, in acquisition order. */
typedef struct AEFX_DrawbotSuites {
    DRAWBOT_DrawSuite1 *draw_suiteP;
    DRAWBOT_SupplierSuite1 *supplier_suiteP;
    DRAWBOT_SurfaceSuite1 *surface_suiteP;
    DRAWBOT_PathSuite1 *path_suiteP;
} AEFX_DrawbotSuites;

/* Acquires `name` in `version` into *suite. Success is judged by the suite
 * pointer the host hands back, not by its code. Returns 0, or 516 with the
 * message (default "Not able to acquire AEFX Suite.") when there is no basic
 * suite (then *suite is left as it was) or the host gives no suite (then
 * *suite is null). `message` may be null. */
PF_Err AEFX_AcquireSuite(PF_InData *in_data, PF_OutData *out_data, const char *name, A_long version,
                         const char *message, const void **suite);

/* Releases `name` in `version`; the host's code is ignored. Returns 0, or 516
 * with the message (default "Not able to release AEFX Suite.") when there is
 * no basic suite. `message` may be null. */
PF_Err AEFX_ReleaseSuite(PF_InData *in_data, PF_OutData *out_data, const char *name, A_long version,
                         const char *message);

/* Acquires the draw, supplier, surface and path suites in that order, each as
 * AEFX_AcquireSuite with the default message. Stops at the first failure and
 * returns 516, leaving the later pointers untouched; 0 when all four are
 * held. */
PF_Err AEFX_AcquireDrawbotSuites(PF_InData *in_data, PF_OutData *out_data, AEFX_DrawbotSuites *suites);

/* Releases the four drawing suites in the same order, each as
 * AEFX_ReleaseSuite with the default message, going on after a failure.
 * Always returns 0. */
PF_Err AEFX_ReleaseDrawbotSuites(PF_InData *in_data, PF_OutData *out_data);

#ifdef __cplusplus
} /* extern "C" */
#endif

#if defined(__GNUC__) && !defined(_WIN32)
#pragma GCC visibility pop
#endif

#endif
