// The code paths of the fast row kernels, named so that tests and
// benchmarks can run each one the processor supports.
//
// Internal to the plug-in: nothing here is exported from the module.
#ifndef ORVANE_PLUGIN_VEILSHADOW_KERNEL_PATHS_H
#define ORVANE_PLUGIN_VEILSHADOW_KERNEL_PATHS_H

#include "PF_Host.h"
#include "VeilShadowKernels.h"

namespace orvane {

enum class KernelPath : int {
    kScalar = 0,  // portable C++, on every processor
    kSse2 = 1,    // x86-64 baseline: 4 pixels at a time
    kAvx2 = 2,    // AVX2 with FMA, chosen at run time when the processor and system offer it: 8 pixels at a time
};
constexpr int kKernelPathCount = 3;

// "scalar", "sse2" or "avx2".
const char *KernelPathName(KernelPath path);

// Whether this build has the path and this processor can run it.
bool KernelPathAvailable(KernelPath path);

// The path CopyData8/16/32 take: the widest available. Found once, on first
// use, from the processor's feature bits; every thread finds the same.
KernelPath PreferredKernelPath();

// How the fast kernels write output rows. Either way every output byte is
// the same; only the memory traffic differs.
enum class OutputWrites : int {
    // Streaming stores (no read of the output's lines from memory, and the
    // lines not kept in the caches) for outputs of kStreamingOutputBytes or
    // more, except 8-bit and 16-bit rows that are mostly recomposited;
    // ordinary stores for the rest: what CopyData8/16/32 do.
    kBySize = 0,
    kCached = 1,     // ordinary stores
    kStreaming = 2,  // streaming stores, on the paths that have them (not scalar)
};
// From this size on (rowbytes x height) an output is taken to be too large
// to stay in the caches until the next effect reads it.
constexpr unsigned long long kStreamingOutputBytes = 16ull << 20;

// The fast kernels on a given path (which must be available), with the
// arguments of iterate_generic's callback after the path.
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
void Quotients8On(KernelPath path, const A_long *num, const A_long *den, A_long *q, ptrdiff_t count);
// The same for the 16-bit kernels: 0 <= num[i] < 2^31 with num[i] / den[i]
// at most 32768, and 1 <= den[i] <= 32768.
void Quotients16On(KernelPath path, const A_long *num, const A_long *den, A_long *q, ptrdiff_t count);

}  // namespace orvane

#endif
