// The fill callback: clears a world, or a rectangle of it, to one colour,
// on the host's pool. Outputs from the size at which the plug-in streams
// its rows on are written with streaming stores as well.
#include "HostCall.h"

#include <StreamingStores.h>

#include <algorithm>
#include <cstdint>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace renderhost {
namespace {

std::string RectText(const PF_LRect &r) {
    return "(" + std::to_string(r.left) + ", " + std::to_string(r.top) + ", " + std::to_string(r.right) + ", " +
           std::to_string(r.bottom) + ")";
}

template <class P>
struct FillJob {
    PF_EffectWorld *world;
    PF_LRect rect;
    P value;
    bool stream;
    A_long rows_per_task;
};

// count pixels from `row` set to value: the pixels up to the first 16-byte
// boundary and after the last one by ordinary stores, the blocks between
// by streaming stores. (Where no pixel starts on a boundary, every pixel
// takes an ordinary store.) Streaming stores write memory without reading
// each cache line first and without keeping the lines in the caches: a
// world that large would not stay in them until the effect writes it
// again anyway.
template <class P>
void StreamFill(P *row, std::ptrdiff_t count, const P &value) {
#if defined(__SSE2__)
    constexpr std::ptrdiff_t kPerBlock = 16 / static_cast<std::ptrdiff_t>(sizeof(P));
    static_assert(16 % sizeof(P) == 0, "a pixel divides a 16-byte block");
    P *p = row;
    P *const end = row + count;
    while (p < end && reinterpret_cast<std::uintptr_t>(p) % 16 != 0) *p++ = value;
    alignas(16) P block[kPerBlock];
    std::fill(block, block + kPerBlock, value);
    const __m128i pattern = _mm_load_si128(reinterpret_cast<const __m128i *>(block));
    for (; end - p >= kPerBlock; p += kPerBlock) _mm_stream_si128(reinterpret_cast<__m128i *>(p), pattern);
    std::fill(p, end, value);
#else
    std::fill(row, row + count, value);
#endif
}

// One task: rows_per_task rows of the rectangle (fewer in the last task).
template <class P>
PF_Err FillTask(void *refcon, A_long, A_long task, A_long) {
    const FillJob<P> &job = *static_cast<const FillJob<P> *>(refcon);
    const A_long first = job.rect.top + task * job.rows_per_task;
    const A_long last = std::min<A_long>(job.rect.bottom, first + job.rows_per_task);
    for (A_long y = first; y < last; ++y) {
        P *row = reinterpret_cast<P *>(static_cast<char *>(job.world->data) +
                                       static_cast<std::ptrdiff_t>(y) * job.world->rowbytes);
        if (job.stream)
            StreamFill(row + job.rect.left, static_cast<std::ptrdiff_t>(job.rect.right) - job.rect.left, job.value);
        else
            std::fill(row + job.rect.left, row + job.rect.right, job.value);
    }
#if defined(__SSE2__)
    // Streaming stores are weakly ordered: fenced before the task counts as done.
    if (job.stream) _mm_sfence();
#endif
    return PF_Err_NONE;
}

// A fill is as wide as a frame, so it runs on the same pool as the
// iteration. Its tasks are blocks of rows of about 512 KB: each task ends
// with a fence, which waits for the task's last stores to reach memory,
// so a task is made long enough for that wait to count for little, and
// short enough to keep every thread busy to the end.
template <class P>
void FillRows(ThreadPool &pool, PF_EffectWorld &world, const PF_LRect &r, const P &value) {
    const std::uint64_t bytes = static_cast<std::uint64_t>(world.rowbytes) * static_cast<std::uint64_t>(world.height);
    const std::uint64_t row_bytes = static_cast<std::uint64_t>(r.right - r.left) * sizeof(P);
    const A_long rows = r.bottom - r.top;
    const A_long rows_per_task = static_cast<A_long>(std::clamp<std::uint64_t>(
        (512u << 10) / std::max<std::uint64_t>(row_bytes, 1), 1, static_cast<std::uint64_t>(rows)));
    FillJob<P> job{&world, r, value, bytes >= orvane::kStreamingOutputBytes, rows_per_task};
    pool.Run((rows + rows_per_task - 1) / rows_per_task, &job, &FillTask<P>);
}

// Sets the rectangle r of world to color, in the world's depth.
void FillWorld(ThreadPool &pool, PF_EffectWorld &world, const PF_LRect &r, const PF_Pixel &color) {
    switch (world.world_flags & (PF_WorldFlag_DEEP | PF_WorldFlag_FLOAT)) {
        case PF_WorldFlag_FLOAT: {
            const PF_PixelFloat value{color.alpha / 255.0f, color.red / 255.0f, color.green / 255.0f,
                                      color.blue / 255.0f};
            FillRows(pool, world, r, value);
            break;
        }
        case PF_WorldFlag_DEEP: {
            auto widen = [](A_u_char c) {
                return static_cast<A_u_short>((c * PF_MAX_CHAN16 + PF_MAX_CHAN8 / 2) / PF_MAX_CHAN8);
            };
            const PF_Pixel16 value{widen(color.alpha), widen(color.red), widen(color.green), widen(color.blue)};
            FillRows(pool, world, r, value);
            break;
        }
        default:
            FillRows(pool, world, r, color);
            break;
    }
}

}  // namespace

PF_Err Fill(PF_ProgPtr effect_ref, const PF_Pixel *color, const PF_LRect *rect, PF_EffectWorld *world) {
    const std::string detail = rect ? "rect " + RectText(*rect) : "whole world";
    return Operate(effect_ref, {HostOp::Fill}, detail, [&](Call &call) -> PF_Err {
        if (color == nullptr || world == nullptr) return call.Refuse("fill without a colour or a world");
        const std::string problem = WorldProblem(*world);
        if (!problem.empty()) return call.Refuse("fill of an invalid world: " + problem);
        PF_LRect r{0, 0, world->width, world->height};
        if (rect != nullptr) {
            r.left = std::max(r.left, rect->left);
            r.top = std::max(r.top, rect->top);
            r.right = std::min(r.right, rect->right);
            r.bottom = std::min(r.bottom, rect->bottom);
        }
        if (r.left < r.right && r.top < r.bottom) {
            // The rows run on the pool with the host's lock released, as
            // iterate_generic's do.
            ThreadPool &pool = call.host.pool;
            call.unlocked = [&pool, world, r, value = *color]() -> PF_Err {
                FillWorld(pool, *world, r, value);
                return PF_Err_NONE;
            };
        }
        return PF_Err_NONE;
    });
}

}  // namespace renderhost
