// The code paths of the fast row kernels. One table of implementations
// (VeilShadowKernelPaths.cpp) gives each path its name, the processor
// features it needs and its span operations; the features are detected
// once, and the kernels take the widest path that this build has and this
// processor runs. Tests, fuzzing and benchmarks can ask for any path.
//
// Internal to the plug-in: nothing here is exported from the module.
#ifndef ORVANE_PLUGIN_VEILSHADOW_KERNEL_PATHS_H
#define ORVANE_PLUGIN_VEILSHADOW_KERNEL_PATHS_H

#include <cstddef>

#include "PF_Host.h"
#include "StreamingStores.h"
#include "VeilShadowKernels.h"

namespace orvane {

enum class KernelPath : int {
    kScalar = 0,  // portable C++, on every processor
    kSse2 = 1,    // x86-64 baseline: 4 pixels at a time
    kAvx2 = 2,    // AVX2 with FMA: 8 pixels at a time
};
constexpr int kKernelPathCount = 3;

// The processor features a path can need, as bits of a mask.
enum CpuFeature : unsigned {
    kCpuSse2 = 1u << 0,
    kCpuAvx2 = 1u << 1,
    kCpuFma = 1u << 2,
    kCpuAvxState = 1u << 3,  // the operating system saves the 256-bit registers
};

// This processor's features (CpuFeature bits), detected on first use;
// every thread finds the same.
unsigned DetectedCpuFeatures();

// "scalar", "sse2" or "avx2"; "none" for a value that names no path.
const char *KernelPathName(KernelPath path);

// Whether this build has the path and the processor has every feature it
// needs.
bool KernelPathAvailable(KernelPath path);

// The widest path this build has whose features are all in `features`.
KernelPath WidestKernelPath(unsigned features);

// The path CopyData8/16/32 take: WidestKernelPath(DetectedCpuFeatures()),
// chosen once.
KernelPath PreferredKernelPath();

// How the fast kernels write output rows. Either way every output byte is
// the same; only the memory traffic differs.
enum class OutputWrites : int {
    // As the store policy decides (StreamsRow in VeilShadowKernelsFast.cpp):
    // what CopyData8/16/32 do.
    kBySize = 0,
    kCached = 1,     // ordinary stores
    kStreaming = 2,  // streaming stores, on the paths that have them (not scalar)
};

// The fast kernels on a given path, with the arguments of iterate_generic's
// callback after the path. A path that is not available is refused with
// PF_Err_BAD_CALLBACK_PARAM, and nothing is written.
PF_Err CopyData8On(KernelPath path, void *refcon, A_long row, OutputWrites writes = OutputWrites::kBySize);
PF_Err CopyData16On(KernelPath path, void *refcon, A_long row, OutputWrites writes = OutputWrites::kBySize);
PF_Err CopyData32On(KernelPath path, void *refcon, A_long row, OutputWrites writes = OutputWrites::kBySize);

// The same as iterate_generic callbacks, one per pixel type, path and way
// of writing: what tests, fuzzing and benchmarks hand the host.
template <class Pixel, KernelPath kPath, OutputWrites kWrites = OutputWrites::kBySize>
PF_Err CopyDataOn(void *refcon, A_long, A_long row, A_long) {
    if constexpr (sizeof(Pixel) == sizeof(PF_Pixel)) {
        return CopyData8On(kPath, refcon, row, kWrites);
    } else if constexpr (sizeof(Pixel) == sizeof(PF_Pixel16)) {
        return CopyData16On(kPath, refcon, row, kWrites);
    } else {
        return CopyData32On(kPath, refcon, row, kWrites);
    }
}

// The 8-bit kernels' exact division, for exhaustive checking: q[i] =
// num[i] / den[i] truncated, for 0 <= num[i] <= 65535 and 1 <= den[i] <= 255,
// computed on `path` exactly as the kernels divide by an alpha.
// PF_Err_BAD_CALLBACK_PARAM, and q untouched, where the path is not
// available.
PF_Err Quotients8On(KernelPath path, const A_long *num, const A_long *den, A_long *q, ptrdiff_t count);
// The same for the 16-bit kernels: 0 <= num[i] < 2^31 with num[i] / den[i]
// at most 32768, and 1 <= den[i] <= 32768.
PF_Err Quotients16On(KernelPath path, const A_long *num, const A_long *den, A_long *q, ptrdiff_t count);

}  // namespace orvane

#endif
