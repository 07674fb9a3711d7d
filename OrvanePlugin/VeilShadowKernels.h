// Row kernels and their row context.
//
// Internal to the plug-in: the smart render and the tests include this
// header; the kernels have hidden visibility and are not exported.
#ifndef ORVANE_PLUGIN_VEILSHADOW_KERNELS_H
#define ORVANE_PLUGIN_VEILSHADOW_KERNELS_H

#include "PF_Host.h"

namespace orvane {

// Where a source world lies relative to the output.
struct SourceArea {
    A_long offset_x;  // added to an output column to give the source column
    A_long offset_y;  // added to an output row to give the source row
    A_long width;     // the source's columns
    A_long height;    // the source's rows
};

// The row context: filled once by the smart render, read by every row call.
struct CopyDataInfo {
    PF_EffectWorld *input;  // layer over the shadow, as it arrives
    SourceArea input_area;
    PF_EffectWorld *layer;  // the layer's own untouched pixels
    SourceArea layer_area;
    PF_EffectWorld *output;  // its width is the row length
    double opacity;          // strength of the shadow put back, 0.0..1.0
};

// An opacity not greater than this counts as zero (strict comparison).
constexpr double kOpacityEpsilon = 0.000001;

// Callbacks for iterate_generic: produce output row `row` (0 = first row of
// the output) from the CopyDataInfo in `refcon`. Always return PF_Err_NONE.
// The thread index and the row count are not used. Any number of rows may
// run at once on several threads with one CopyDataInfo.
//
// These are the fast kernels: source ranges worked out once per row,
// copies for runs that need no arithmetic, and the separation done on
// several pixels at once with the widest vector instructions the processor
// offers. Their output is bit for bit that of the reference kernels below
// (in the float depth, where a recomposited pixel's layer colour channel
// is NaN and the separated shadow's is NaN as well, the result is NaN but
// may be the other of those two NaNs).
PF_Err CopyData8(void *refcon, A_long thread_index, A_long row, A_long row_count);
PF_Err CopyData16(void *refcon, A_long thread_index, A_long row, A_long row_count);
PF_Err CopyData32(void *refcon, A_long thread_index, A_long row, A_long row_count);

// The reference kernels: the decision table applied pixel by pixel, with
// two bounds tests per pixel. Same contract as above; kept as the plain
// statement of the rules that the fast kernels are tested against.
PF_Err CopyData8Reference(void *refcon, A_long thread_index, A_long row, A_long row_count);
PF_Err CopyData16Reference(void *refcon, A_long thread_index, A_long row, A_long row_count);
PF_Err CopyData32Reference(void *refcon, A_long thread_index, A_long row, A_long row_count);

}  // namespace orvane

#endif
