/*
 * The host's effect API, as this plug-in relies on it.
 *
 * Plain C-compatible records, command and error numbers, pixel records and
 * the function tables of the suites the plug-in calls. Both sides include
 * this one header: the plug-in, and the render host that stands in for the
 * host on machines without it. Only freestanding headers are used, so the
 * plug-in can be compiled without a C library.
 */
#ifndef ORVANE_HOSTAPI_PF_HOST_H
#define ORVANE_HOSTAPI_PF_HOST_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* ------------------------------------------------------------------ */
/* Basic types                                                          */

typedef int32_t A_long;
typedef uint32_t A_u_long;
typedef int16_t A_short;
typedef uint16_t A_u_short;
typedef char A_char;
typedef uint8_t A_u_char;
typedef uint64_t A_u_longlong;
typedef unsigned char PF_Boolean;

typedef A_long PF_Err;
typedef A_long PF_Fixed; /* signed 16.16 fixed point */
typedef A_long PF_ParamIndex;
typedef A_long PF_OutFlags;
typedef A_long PF_OutFlags2;
typedef A_long PF_RenderOutputFlags;

/* A host handle: a pointer to the host's pointer to a movable block. */
typedef void **PF_Handle;

/* The host's opaque reference to one effect instance. */
typedef struct PF_ProgressInfo *PF_ProgPtr;

/* ------------------------------------------------------------------ */
/* Error codes                                                          */

enum {
    PF_Err_NONE = 0,
    PF_Err_OUT_OF_MEMORY = 4,
    PF_Err_INTERNAL_STRUCT_DAMAGED = 512,
    PF_Err_BAD_CALLBACK_PARAM = 516
};

/* ------------------------------------------------------------------ */
/* Commands                                                             */

typedef A_long PF_Cmd;
enum {
    PF_Cmd_ABOUT = 0,
    PF_Cmd_GLOBAL_SETUP = 1,
    PF_Cmd_UNUSED_0 = 2,
    PF_Cmd_GLOBAL_SETDOWN = 3,
    PF_Cmd_PARAMS_SETUP = 4,
    PF_Cmd_SEQUENCE_SETUP = 5,
    PF_Cmd_FRAME_SETUP = 11,
    PF_Cmd_SMART_PRE_RENDER = 23,
    PF_Cmd_SMART_RENDER = 24
};

/* ------------------------------------------------------------------ */
/* Flag bits                                                            */

enum { PF_OutFlag_DISPLAY_ERROR_MESSAGE = 0x100, PF_OutFlag_DEEP_COLOR_AWARE = 0x02000000 };
enum { PF_OutFlag2_SUPPORTS_SMART_RENDER = 0x400, PF_OutFlag2_FLOAT_COLOR_AWARE = 0x1000 };
enum { PF_RenderOutputFlag_RETURNS_EXTRA_PIXELS = 0x1 };

/* ------------------------------------------------------------------ */
/* Pixels: alpha first, straight colour.                                */

typedef struct PF_Pixel {
    A_u_char alpha, red, green, blue; /* 0..255 */
} PF_Pixel;

typedef struct PF_Pixel16 {
    A_u_short alpha, red, green, blue; /* 0..32768 */
} PF_Pixel16;

typedef struct PF_PixelFloat {
    float alpha, red, green, blue; /* nominally 0.0..1.0 */
} PF_PixelFloat;

enum { PF_MAX_CHAN8 = 255, PF_MAX_CHAN16 = 32768 };

/* ------------------------------------------------------------------ */
/* Geometry                                                             */

/* Right and bottom are exclusive; empty when left >= right or top >= bottom. */
typedef struct PF_LRect {
    A_long left, top, right, bottom;
} PF_LRect;

typedef struct PF_RationalScale {
    A_long num;
    A_u_long den;
} PF_RationalScale;

/* ------------------------------------------------------------------ */
/* Worlds (images)                                                      */

/* Pixel layout of a world, in world_flags. 8-bit worlds set neither bit. */
enum {
    PF_WorldFlag_DEEP = 0x1, /* PF_Pixel16 */
    PF_WorldFlag_FLOAT = 0x4 /* PF_PixelFloat */
};

typedef struct PF_LayerDef {
    void *reserved0;
    A_long world_flags;
    void *data;      /* first pixel of the first row */
    A_long rowbytes; /* row stride in bytes */
    A_long width;
    A_long height;
    PF_LRect extent_hint;
    A_long origin_x; /* position of column 0 in the layer's coordinates */
    A_long origin_y;
    PF_RationalScale pix_aspect_ratio;
} PF_LayerDef;

typedef PF_LayerDef PF_EffectWorld;

/* Pixel-format codes answered by "PF World Suite" 2's PF_GetPixelFormat.
 * Four characters stored as a little-endian number, so the bytes in memory
 * spell the name. */
typedef A_long PF_PixelFormat;
enum {
    PF_PixelFormat_ARGB32 = 0x62677261,  /* "argb" */
    PF_PixelFormat_ARGB64 = 0x36316561,  /* "ae16" */
    PF_PixelFormat_ARGB128 = 0x32336561, /* "ae32" */
    PF_PixelFormat_INVALID = 0x66646162  /* "badf" */
};

/* ------------------------------------------------------------------ */
/* Parameters                                                           */

typedef A_long PF_ParamType;
enum { PF_Param_LAYER = 0, PF_Param_FIX_SLIDER = 2 };

enum { PF_ParamFlag_COLLAPSE_TWIRLY = 0x20 };
enum { PF_ValueDisplayFlag_PERCENT = 0x1 };

enum { PF_MAX_EFFECT_PARAM_NAME_LEN = 31, PF_MAX_PARAM_VALUE_LEN = 31 };

typedef struct PF_FixedSliderDef {
    PF_Fixed value;
    A_char value_str[PF_MAX_PARAM_VALUE_LEN + 1];
    A_char value_desc[PF_MAX_PARAM_VALUE_LEN + 1];
    PF_Fixed valid_min, valid_max;
    PF_Fixed slider_min, slider_max;
    PF_Fixed dephault;
    A_short precision;
    A_short display_flags;
} PF_FixedSliderDef;

typedef struct PF_ParamDef {
    A_long id;
    PF_ParamType param_type;
    A_char name[PF_MAX_EFFECT_PARAM_NAME_LEN + 1];
    A_long flags;
    A_long ui_flags;
    union {
        PF_LayerDef ld;       /* layer parameter (index 0): the layer's own pixels */
        PF_FixedSliderDef fd; /* fixed-point slider */
    } u;
} PF_ParamDef;

typedef PF_ParamDef *PF_ParamList[];

/* ------------------------------------------------------------------ */
/* Host callbacks reached through PF_InData                             */

typedef struct PF_InteractCallbacks {
    PF_Err (*add_param)(PF_ProgPtr effect_ref, PF_ParamIndex index, PF_ParamDef *def);
    PF_Err (*checkout_param)(PF_ProgPtr effect_ref, PF_ParamIndex index, A_long what_time, A_long time_step,
                             A_u_long time_scale, PF_ParamDef *param);
    PF_Err (*checkin_param)(PF_ProgPtr effect_ref, PF_ParamDef *param);
} PF_InteractCallbacks;

typedef struct PF_ANSICallbacks {
    int (*sprintf)(A_char *buffer, const A_char *format, ...);
    A_char *(*strcpy)(A_char *dest, const A_char *src);
} PF_ANSICallbacks;

typedef struct PF_UtilCallbacks {
    /* Fills rect of world (the whole world when rect is null) with color. */
    PF_Err (*fill)(PF_ProgPtr effect_ref, const PF_Pixel *color, const PF_LRect *rect, PF_EffectWorld *world);
    PF_ANSICallbacks ansi;
} PF_UtilCallbacks;

/* ------------------------------------------------------------------ */
/* Suites                                                               */

typedef A_long SPErr;

typedef struct SPBasicSuite {
    SPErr (*AcquireSuite)(const char *name, A_long version, const void **suite);
    SPErr (*ReleaseSuite)(const char *name, A_long version);
} SPBasicSuite;

/* "PF Handle Suite" version 2 */
typedef struct PF_HandleSuite2 {
    PF_Handle (*host_new_handle)(A_u_longlong size);
    void *(*host_lock_handle)(PF_Handle handle);
    void (*host_unlock_handle)(PF_Handle handle);
    void (*host_dispose_handle)(PF_Handle handle);
} PF_HandleSuite2;

/* "PF World Suite" version 2 */
typedef struct PF_WorldSuite2 {
    PF_Err (*PF_GetPixelFormat)(const PF_EffectWorld *world, PF_PixelFormat *pixel_format);
} PF_WorldSuite2;

/* "PF Iterate8 Suite" version 1 */
typedef PF_Err (*PF_IterateGenericFunc)(void *refcon, A_long thread_index, A_long i, A_long iterations);
typedef struct PF_Iterate8Suite1 {
    /* Calls fn once for every i in 0..iterations-1, possibly on several
     * threads; returns when all calls are done, with the first nonzero
     * result. */
    PF_Err (*iterate_generic)(A_long iterations, void *refcon, PF_IterateGenericFunc fn);
} PF_Iterate8Suite1;

/* "AEGP Utility Suite" version 7 */
typedef A_long AEGP_PluginID;
typedef void *AEGP_GlobalRefcon;
typedef struct AEGP_UtilitySuite7 {
    PF_Err (*AEGP_RegisterWithAEGP)(AEGP_GlobalRefcon global_refcon, const A_char *plugin_name,
                                    AEGP_PluginID *plugin_id);
} AEGP_UtilitySuite7;

/* Drawing suites, acquired together by AEFX_AcquireDrawbotSuites. Their
 * function tables are opaque here: the effect never calls them. */
typedef struct DRAWBOT_DrawSuite1 DRAWBOT_DrawSuite1;
typedef struct DRAWBOT_SupplierSuite1 DRAWBOT_SupplierSuite1;
typedef struct DRAWBOT_SurfaceSuite1 DRAWBOT_SurfaceSuite1;
typedef struct DRAWBOT_PathSuite1 DRAWBOT_PathSuite1;

/* ------------------------------------------------------------------ */
/* Command records                                                      */

typedef struct PF_InData {
    PF_InteractCallbacks inter;
    PF_UtilCallbacks *utils;
    PF_ProgPtr effect_ref;
    A_long version;
    A_long current_time;
    A_long time_step;
    A_long total_time;
    A_u_long time_scale;
    A_long width, height;
    PF_RationalScale downsample_x;
    PF_RationalScale downsample_y;
    PF_RationalScale pixel_aspect_ratio;
    PF_Handle global_data;
    PF_Handle sequence_data;
    const SPBasicSuite *pica_basicP;
} PF_InData;

enum { PF_MAX_EFFECT_MSG_LEN = 255 };

typedef struct PF_OutData {
    A_u_long my_version;
    A_char name[32];
    PF_Handle global_data;
    PF_Handle sequence_data;
    A_long num_params;
    PF_OutFlags out_flags;
    A_char return_msg[PF_MAX_EFFECT_MSG_LEN + 1];
    PF_OutFlags2 out_flags2;
} PF_OutData;

/* What the effect asks of its input, and what the host answers. */
typedef struct PF_RenderRequest {
    PF_LRect rect;
    A_long field;
    A_long channel_mask;
    PF_Boolean preserve_rgb_of_zero_alpha;
    A_char unused[3];
    A_long reserved[4];
} PF_RenderRequest;

typedef struct PF_CheckoutResult {
    PF_LRect result_rect;
    PF_LRect max_result_rect;
    PF_RationalScale par;
    A_long solid;
    A_long ref_width; /* the layer's full-resolution size */
    A_long ref_height;
    A_long reserved[6];
} PF_CheckoutResult;

typedef void (*PF_DeletePreRenderDataFunc)(void *pre_render_data);

typedef struct PF_PreRenderInput {
    PF_RenderRequest output_request;
    A_short bitdepth;
} PF_PreRenderInput;

typedef struct PF_PreRenderOutput {
    PF_LRect result_rect;
    PF_LRect max_result_rect;
    PF_Boolean solid;
    PF_Boolean reserved;
    PF_RenderOutputFlags flags;
    void *pre_render_data; /* carried by the host to the smart render */
    PF_DeletePreRenderDataFunc delete_pre_render_data_func;
} PF_PreRenderOutput;

typedef struct PF_PreRenderCallbacks {
    PF_Err (*checkout_layer)(PF_ProgPtr effect_ref, PF_ParamIndex index, A_long checkout_id,
                             const PF_RenderRequest *request, A_long what_time, A_long time_step, A_u_long time_scale,
                             PF_CheckoutResult *result);
} PF_PreRenderCallbacks;

typedef struct PF_PreRenderExtra {
    PF_PreRenderInput *input;
    PF_PreRenderOutput *output;
    PF_PreRenderCallbacks *cb;
} PF_PreRenderExtra;

typedef struct PF_SmartRenderInput {
    PF_RenderRequest output_request;
    A_short bitdepth;
    void *pre_render_data; /* what the smart pre-render stored */
} PF_SmartRenderInput;

typedef struct PF_SmartRenderCallbacks {
    PF_Err (*checkout_layer_pixels)(PF_ProgPtr effect_ref, A_long checkout_id, PF_EffectWorld **pixels);
    PF_Err (*checkin_layer_pixels)(PF_ProgPtr effect_ref, A_long checkout_id);
    PF_Err (*checkout_output)(PF_ProgPtr effect_ref, PF_EffectWorld **output);
} PF_SmartRenderCallbacks;

typedef struct PF_SmartRenderExtra {
    PF_SmartRenderInput *input;
    PF_SmartRenderCallbacks *cb;
} PF_SmartRenderExtra;

/* ------------------------------------------------------------------ */
/* The plug-in's one exported function                                  */

#if defined(_WIN32)
#define PF_PLUGIN_EXPORT __declspec(dllexport)
#else
#define PF_PLUGIN_EXPORT __attribute__((visibility("default")))
#endif

typedef PF_Err (*PF_EntryPointFunc)(PF_Cmd cmd, PF_InData *in_data, PF_OutData *out_data, PF_ParamDef *params[],
                                    PF_LayerDef *output, void *extra);

#define PF_ENTRY_POINT_NAME "EntryPointFunc"

#ifdef __cplusplus
} /* extern "C" */
#endif

#endif
