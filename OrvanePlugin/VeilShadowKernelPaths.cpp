// The table of the fast kernels' code paths, the processor features they
// are checked against, and the choice of path.
#include "VeilShadowKernelPaths.h"

#include "VeilShadowSpans.h"

#if ORVANE_KERNELS_X86
#include <cpuid.h>
#endif

namespace orvane {

namespace {

struct Implementation {
    KernelPath path;
    const char *name;
    unsigned features;          // CpuFeature bits, every one of them needed
    const spans::SpanOps *ops;  // null where this build does not have the path
};

#if ORVANE_KERNELS_X86
constexpr const spans::SpanOps *kSse2Ops = &spans::kSse2Spans;
constexpr const spans::SpanOps *kAvx2Ops = &spans::kAvx2Spans;
#else
constexpr const spans::SpanOps *kSse2Ops = nullptr;
constexpr const spans::SpanOps *kAvx2Ops = nullptr;
#endif

// Narrowest first: the widest path a processor runs is the last row it has
// every feature of.
constexpr Implementation kImplementations[] = {
    {KernelPath::kScalar, "scalar", 0, &spans::kScalarSpans},
    {KernelPath::kSse2, "sse2", kCpuSse2, kSse2Ops},
    // The fused multiply-adds are a feature of their own, though processors
    // with AVX2 have them as a rule.
    {KernelPath::kAvx2, "avx2", kCpuSse2 | kCpuAvx2 | kCpuFma | kCpuAvxState, kAvx2Ops},
};
static_assert(sizeof(kImplementations) / sizeof(kImplementations[0]) == kKernelPathCount, "one row per kernel path");

const Implementation *Find(KernelPath path) {
    for (const Implementation &row : kImplementations)
        if (row.path == path) return &row;
    return nullptr;
}

bool Runs(const Implementation &row, unsigned features) {
    return row.ops != nullptr && (row.features & ~features) == 0;
}

const Implementation &Widest(unsigned features) {
    const Implementation *widest = &kImplementations[0];
    for (const Implementation &row : kImplementations)
        if (Runs(row, features)) widest = &row;
    return *widest;
}

unsigned DetectFeatures() {
    unsigned features = 0;
#if ORVANE_KERNELS_X86
    unsigned a = 0, b = 0, c = 0, d = 0;
    if (!__get_cpuid(1, &a, &b, &c, &d)) return features;
    const unsigned kSse2Bit = 1u << 26;                                       // EDX
    const unsigned kFmaBit = 1u << 12, kOsxsave = 1u << 27, kAvx = 1u << 28;  // ECX
    if ((d & kSse2Bit) != 0) features |= kCpuSse2;
    if ((c & kFmaBit) != 0) features |= kCpuFma;
    // The 256-bit registers are usable where the system says it saves them
    // (OSXSAVE) and XCR0 has the SSE and AVX state bits.
    if ((c & kOsxsave) != 0 && (c & kAvx) != 0) {
        unsigned xcr0_low = 0, xcr0_high = 0;
        __asm__ volatile("xgetbv" : "=a"(xcr0_low), "=d"(xcr0_high) : "c"(0));
        if ((xcr0_low & 0x6u) == 0x6u) features |= kCpuAvxState;
    }
    if (__get_cpuid_max(0, nullptr) >= 7) {
        __cpuid_count(7, 0, a, b, c, d);
        const unsigned kAvx2Bit = 1u << 5;  // EBX
        if ((b & kAvx2Bit) != 0) features |= kCpuAvx2;
    }
#endif
    return features;
}

// The kernels' only state is the features and the chosen row, each a
// static local worked out on first use: the language initialises it
// exactly once even when several threads ask at once. (Not a std::atomic:
// libc++'s <atomic> needs <ctime>, which the freestanding macOS build does
// not have.)
const Implementation &Preferred() {
    static const Implementation &chosen = Widest(DetectedCpuFeatures());
    return chosen;
}

}  // namespace

unsigned DetectedCpuFeatures() {
    static const unsigned features = DetectFeatures();
    return features;
}

const char *KernelPathName(KernelPath path) {
    const Implementation *row = Find(path);
    return row != nullptr ? row->name : "none";
}

bool KernelPathAvailable(KernelPath path) {
    const Implementation *row = Find(path);
    return row != nullptr && Runs(*row, DetectedCpuFeatures());
}

KernelPath WidestKernelPath(unsigned features) { return Widest(features).path; }

KernelPath PreferredKernelPath() { return Preferred().path; }

namespace spans {

const SpanOps *SpansOn(KernelPath path) { return KernelPathAvailable(path) ? Find(path)->ops : nullptr; }

const SpanOps &PreferredSpans() { return *Preferred().ops; }

}  // namespace spans

PF_Err Quotients8On(KernelPath path, const A_long *num, const A_long *den, A_long *q, ptrdiff_t count) {
    const spans::SpanOps *ops = spans::SpansOn(path);
    if (ops == nullptr) return PF_Err_BAD_CALLBACK_PARAM;
    ops->quotients8(num, den, q, count);
    return PF_Err_NONE;
}

PF_Err Quotients16On(KernelPath path, const A_long *num, const A_long *den, A_long *q, ptrdiff_t count) {
    const spans::SpanOps *ops = spans::SpansOn(path);
    if (ops == nullptr) return PF_Err_BAD_CALLBACK_PARAM;
    ops->quotients16(num, den, q, count);
    return PF_Err_NONE;
}

}  // namespace orvane
