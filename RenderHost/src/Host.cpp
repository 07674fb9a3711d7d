#include "HostImpl.h"

#include <algorithm>
#include <atomic>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <sstream>
#include <stdexcept>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace renderhost {
namespace {

// The host that is dispatching a command; see Host::Scope.
std::atomic<Host::Impl *> g_active{nullptr};
std::atomic<long> g_calls_without_host{0};

Host::Impl *ActiveHost() {
    Host::Impl *host = g_active.load();
    if (host == nullptr)
        ++g_calls_without_host;
    return host;
}

std::mutex &EffectRegistryMutex() {
    static std::mutex mutex;
    return mutex;
}
std::vector<Effect::State *> &EffectRegistry() {
    static std::vector<Effect::State *> registry;
    return registry;
}

std::string SuiteName(const char *name, A_long version) {
    return (name ? std::string(name) : std::string("(null)")) + " " + std::to_string(version);
}

std::string RectText(const PF_LRect &r) {
    return "(" + std::to_string(r.left) + ", " + std::to_string(r.top) + ", " + std::to_string(r.right) +
           ", " + std::to_string(r.bottom) + ")";
}

const char *FormatName(PF_PixelFormat code) {
    switch (code) {
    case PF_PixelFormat_ARGB32:
        return "argb";
    case PF_PixelFormat_ARGB64:
        return "ae16";
    case PF_PixelFormat_ARGB128:
        return "ae32";
    case PF_PixelFormat_INVALID:
        return "badf";
    default:
        return "unknown";
    }
}

// The effect behind an effect_ref, and its host; null (and the misuse
// noted where a host is dispatching) for anything else.
Effect::State *ResolveEffect(PF_ProgPtr effect_ref, HostOp op) {
    Effect::State *effect = FindEffect(effect_ref);
    if (effect == nullptr) {
        if (Host::Impl *host = ActiveHost()) {
            std::lock_guard<std::mutex> lock(host->mutex);
            host->Misuse(std::string(HostOpName(op)) + " with an effect_ref that is no live effect");
            host->Record(op, "bad effect_ref", PF_Err_BAD_CALLBACK_PARAM);
        }
    }
    return effect;
}

// ---- "PF Handle Suite" 2 ----------------------------------------------

PF_Handle NewHandle(A_u_longlong size) {
    Host::Impl *host = ActiveHost();
    if (host == nullptr)
        return nullptr;
    std::lock_guard<std::mutex> lock(host->mutex);
    const std::string detail = "size " + std::to_string(size);
    if (auto fault = host->TakeFault(HostOp::NewHandle)) {
        host->Record(HostOp::NewHandle, detail, *fault);
        return nullptr;
    }
    if (size > kMaxHandleBytes) {
        host->Record(HostOp::NewHandle, detail, PF_Err_OUT_OF_MEMORY);
        return nullptr;
    }
    auto block = std::make_unique<Host::Impl::HandleBlock>();
    const std::size_t blocks =
        std::max<std::size_t>(1, (static_cast<std::size_t>(size) + sizeof(std::max_align_t) - 1) /
                                     sizeof(std::max_align_t));
    try {
        block->memory.reset(new std::max_align_t[blocks]);
    } catch (const std::bad_alloc &) {
        host->Record(HostOp::NewHandle, detail, PF_Err_OUT_OF_MEMORY);
        return nullptr;
    }
    // New blocks hold a pattern, not zeros: a plug-in must not rely on
    // reading what it has not written.
    std::memset(block->memory.get(), 0xA5, blocks * sizeof(std::max_align_t));
    block->data = block->memory.get();
    block->id = host->next_handle_id++;
    block->size = size;
    PF_Handle handle = &block->data;
    host->handles.emplace(handle, std::move(block));
    host->Record(HostOp::NewHandle, detail + " -> " + host->HandleName(handle), PF_Err_NONE);
    return handle;
}

void *LockHandle(PF_Handle handle) {
    Host::Impl *host = ActiveHost();
    if (host == nullptr)
        return nullptr;
    std::lock_guard<std::mutex> lock(host->mutex);
    const std::string detail = host->HandleName(handle);
    if (auto fault = host->TakeFault(HostOp::LockHandle)) {
        host->Record(HostOp::LockHandle, detail, *fault);
        return nullptr;
    }
    Host::Impl::HandleBlock *block = host->FindBlock(handle);
    if (block == nullptr) {
        host->Misuse("lock of " + detail + ", which is not live");
        host->Record(HostOp::LockHandle, detail, PF_Err_BAD_CALLBACK_PARAM);
        return nullptr;
    }
    ++block->lock_count;
    host->Record(HostOp::LockHandle, detail, PF_Err_NONE);
    return block->data;
}

void UnlockHandle(PF_Handle handle) {
    Host::Impl *host = ActiveHost();
    if (host == nullptr)
        return;
    std::lock_guard<std::mutex> lock(host->mutex);
    const std::string detail = host->HandleName(handle);
    const PF_Err fault = host->TakeFault(HostOp::UnlockHandle).value_or(PF_Err_NONE);
    Host::Impl::HandleBlock *block = host->FindBlock(handle);
    if (block == nullptr) {
        host->Misuse("unlock of " + detail + ", which is not live");
        host->Record(HostOp::UnlockHandle, detail, fault ? fault : PF_Err_BAD_CALLBACK_PARAM);
        return;
    }
    if (block->lock_count == 0) {
        host->Misuse("unlock of " + detail + ", which is not locked");
        host->Record(HostOp::UnlockHandle, detail, fault ? fault : PF_Err_BAD_CALLBACK_PARAM);
        return;
    }
    --block->lock_count;
    host->Record(HostOp::UnlockHandle, detail, fault);
}

void DisposeHandle(PF_Handle handle) {
    Host::Impl *host = ActiveHost();
    if (host == nullptr)
        return;
    std::lock_guard<std::mutex> lock(host->mutex);
    const std::string detail = host->HandleName(handle);
    const PF_Err fault = host->TakeFault(HostOp::DisposeHandle).value_or(PF_Err_NONE);
    if (host->FindBlock(handle) == nullptr) {
        host->Misuse("disposal of " + detail + ", which is not live");
        host->Record(HostOp::DisposeHandle, detail, fault ? fault : PF_Err_BAD_CALLBACK_PARAM);
        return;
    }
    host->handles.erase(handle);
    host->Record(HostOp::DisposeHandle, detail, fault);
}

// ---- "PF World Suite" 2 -----------------------------------------------

PF_Err GetPixelFormat(const PF_EffectWorld *world, PF_PixelFormat *pixel_format) {
    Host::Impl *host = ActiveHost();
    if (host == nullptr)
        return PF_Err_BAD_CALLBACK_PARAM;
    std::lock_guard<std::mutex> lock(host->mutex);
    if (auto fault = host->TakeFault(HostOp::GetPixelFormat))
        return host->Record(HostOp::GetPixelFormat, "", *fault);
    if (world == nullptr || pixel_format == nullptr) {
        host->Misuse("PF_GetPixelFormat without a world or an out pointer");
        return host->Record(HostOp::GetPixelFormat, "", PF_Err_BAD_CALLBACK_PARAM);
    }
    if (host->pixel_format_answer) {
        *pixel_format = host->pixel_format_answer->first;
        return host->Record(HostOp::GetPixelFormat, FormatName(*pixel_format),
                            host->pixel_format_answer->second);
    }
    switch (world->world_flags & (PF_WorldFlag_DEEP | PF_WorldFlag_FLOAT)) {
    case 0:
        *pixel_format = PF_PixelFormat_ARGB32;
        break;
    case PF_WorldFlag_DEEP:
        *pixel_format = PF_PixelFormat_ARGB64;
        break;
    case PF_WorldFlag_FLOAT:
        *pixel_format = PF_PixelFormat_ARGB128;
        break;
    default:
        *pixel_format = PF_PixelFormat_INVALID;
        break;
    }
    return host->Record(HostOp::GetPixelFormat, FormatName(*pixel_format), PF_Err_NONE);
}

// ---- "PF Iterate8 Suite" 1 --------------------------------------------

PF_Err IterateGeneric(A_long iterations, void *refcon, PF_IterateGenericFunc fn) {
    Host::Impl *host = ActiveHost();
    if (host == nullptr)
        return PF_Err_BAD_CALLBACK_PARAM;
    std::size_t entry = 0;
    {
        std::lock_guard<std::mutex> lock(host->mutex);
        const std::string detail = "iterations " + std::to_string(iterations);
        if (auto fault = host->TakeFault(HostOp::IterateGeneric))
            return host->Record(HostOp::IterateGeneric, detail, *fault);
        if (fn == nullptr || iterations < 0) {
            host->Misuse("iterate_generic with " + detail + (fn ? "" : " and no callback"));
            return host->Record(HostOp::IterateGeneric, detail, PF_Err_BAD_CALLBACK_PARAM);
        }
        // The entry takes its place now; its result is known at the end.
        entry = host->journal.size();
        host->Record(HostOp::IterateGeneric, detail, PF_Err_NONE);
    }
    const PF_Err result = host->pool.Run(iterations, refcon, fn);
    std::lock_guard<std::mutex> lock(host->mutex);
    if (entry < host->journal.size() && host->journal[entry].op == HostOp::IterateGeneric)
        host->journal[entry].result = result;
    return result;
}

// ---- "AEGP Utility Suite" 7 -------------------------------------------

PF_Err RegisterWithAEGP(AEGP_GlobalRefcon, const A_char *plugin_name, AEGP_PluginID *plugin_id) {
    Host::Impl *host = ActiveHost();
    if (host == nullptr)
        return PF_Err_BAD_CALLBACK_PARAM;
    std::lock_guard<std::mutex> lock(host->mutex);
    const std::string detail = plugin_name ? plugin_name : "(no name)";
    if (auto fault = host->TakeFault(HostOp::RegisterWithAEGP))
        return host->Record(HostOp::RegisterWithAEGP, detail, *fault);
    if (plugin_id == nullptr) {
        host->Misuse("AEGP_RegisterWithAEGP without a place for the ID");
        return host->Record(HostOp::RegisterWithAEGP, detail, PF_Err_BAD_CALLBACK_PARAM);
    }
    *plugin_id = host->plugin_id;
    return host->Record(HostOp::RegisterWithAEGP, detail, PF_Err_NONE);
}

// ---- SPBasicSuite -----------------------------------------------------

SPErr AcquireSuite(const char *name, A_long version, const void **suite) {
    Host::Impl *host = ActiveHost();
    if (host == nullptr) {
        if (suite)
            *suite = nullptr;
        return kErrSuiteUnavailable;
    }
    std::lock_guard<std::mutex> lock(host->mutex);
    const std::string detail = SuiteName(name, version);
    if (auto fault = host->TakeFault(HostOp::AcquireSuite, name)) {
        if (suite)
            *suite = nullptr;
        return host->Record(HostOp::AcquireSuite, detail, *fault);
    }
    if (name == nullptr || suite == nullptr) {
        host->Misuse("AcquireSuite without a name or an out pointer");
        if (suite)
            *suite = nullptr;
        return host->Record(HostOp::AcquireSuite, detail, kErrSuiteUnavailable);
    }
    auto entry = std::find_if(host->catalogue.begin(), host->catalogue.end(),
                              [&](const Host::Impl::SuiteEntry &e) {
                                  return e.version == version && e.name == name;
                              });
    if (entry == host->catalogue.end()) {
        *suite = nullptr;
        return host->Record(HostOp::AcquireSuite, detail, kErrSuiteUnavailable);
    }
    SPErr result = PF_Err_NONE;
    switch (entry->answer) {
    case SuiteAnswer::kServe:
        *suite = entry->table;
        break;
    case SuiteAnswer::kRefuse:
        *suite = nullptr;
        result = entry->code;
        break;
    case SuiteAnswer::kNullWithoutError:
        *suite = nullptr;
        break;
    case SuiteAnswer::kServeWithError:
        *suite = entry->table;
        result = entry->code;
        break;
    }
    if (*suite != nullptr)
        ++host->Use(entry->name, version).acquired;
    return host->Record(HostOp::AcquireSuite, detail, result);
}

SPErr ReleaseSuite(const char *name, A_long version) {
    Host::Impl *host = ActiveHost();
    if (host == nullptr)
        return kErrSuiteUnavailable;
    std::lock_guard<std::mutex> lock(host->mutex);
    const std::string detail = SuiteName(name, version);
    const PF_Err fault = host->TakeFault(HostOp::ReleaseSuite, name).value_or(PF_Err_NONE);
    auto use = std::find_if(host->suite_uses.begin(), host->suite_uses.end(), [&](const SuiteUse &u) {
        return name != nullptr && u.version == version && u.name == name;
    });
    if (use == host->suite_uses.end() || use->outstanding() <= 0) {
        host->Misuse("release of " + detail + ", which is not acquired");
        return host->Record(HostOp::ReleaseSuite, detail, fault);
    }
    ++use->released;
    return host->Record(HostOp::ReleaseSuite, detail, fault);
}

// ---- PF_UtilCallbacks -------------------------------------------------

// Worlds from this size on (rowbytes x height) are filled with streaming
// stores, which write memory without first reading each cache line and
// without keeping the lines in the caches: a frame that large will not stay
// in them until the effect writes it again anyway, and the clear costs
// about half as much.
constexpr std::uint64_t kStreamingFillBytes = 16ull << 20;

template <class P> struct FillJob {
    PF_EffectWorld *world;
    PF_LRect rect;
    P value;
    bool stream;
    A_long rows_per_task;
};

// count pixels from `row` set to value: the pixels up to the first 16-byte
// boundary and after the last one by ordinary stores, the blocks between
// by streaming stores. (Where no pixel starts on a boundary, every pixel
// takes an ordinary store.)
template <class P> void StreamFill(P *row, std::ptrdiff_t count, const P &value) {
#if defined(__SSE2__)
    constexpr std::ptrdiff_t kPerBlock = 16 / static_cast<std::ptrdiff_t>(sizeof(P));
    static_assert(16 % sizeof(P) == 0, "a pixel divides a 16-byte block");
    P *p = row;
    P *const end = row + count;
    while (p < end && reinterpret_cast<std::uintptr_t>(p) % 16 != 0)
        *p++ = value;
    alignas(16) P block[kPerBlock];
    std::fill(block, block + kPerBlock, value);
    const __m128i pattern = _mm_load_si128(reinterpret_cast<const __m128i *>(block));
    for (; end - p >= kPerBlock; p += kPerBlock)
        _mm_stream_si128(reinterpret_cast<__m128i *>(p), pattern);
    std::fill(p, end, value);
#else
    std::fill(row, row + count, value);
#endif
}

// One task: rows_per_task rows of the rectangle (fewer in the last task).
template <class P> PF_Err FillTask(void *refcon, A_long, A_long task, A_long) {
    const FillJob<P> &job = *static_cast<const FillJob<P> *>(refcon);
    const A_long first = job.rect.top + task * job.rows_per_task;
    const A_long last = std::min<A_long>(job.rect.bottom, first + job.rows_per_task);
    for (A_long y = first; y < last; ++y) {
        P *row = reinterpret_cast<P *>(static_cast<char *>(job.world->data) +
                                       static_cast<std::ptrdiff_t>(y) * job.world->rowbytes);
        if (job.stream)
            StreamFill(row + job.rect.left, static_cast<std::ptrdiff_t>(job.rect.right) - job.rect.left,
                       job.value);
        else
            std::fill(row + job.rect.left, row + job.rect.right, job.value);
    }
#if defined(__SSE2__)
    // Streaming stores are weakly ordered: fenced before the task counts as done.
    if (job.stream)
        _mm_sfence();
#endif
    return PF_Err_NONE;
}

// A fill is as wide as a frame, so it runs on the same pool as the
// iteration: a single-threaded clear would cost more than the effect. Its
// tasks are blocks of rows of about 512 KB: each task ends with a fence,
// which waits for the task's last stores to reach memory, so a task is
// made long enough for that wait to count for little, and short enough to
// keep every thread busy to the end.
template <class P>
void FillRows(ThreadPool &pool, PF_EffectWorld &world, const PF_LRect &r, const P &value) {
    const std::uint64_t bytes = static_cast<std::uint64_t>(world.rowbytes) * static_cast<std::uint64_t>(world.height);
    const std::uint64_t row_bytes = static_cast<std::uint64_t>(r.right - r.left) * sizeof(P);
    const A_long rows = r.bottom - r.top;
    const A_long rows_per_task = static_cast<A_long>(
        std::clamp<std::uint64_t>((512u << 10) / std::max<std::uint64_t>(row_bytes, 1), 1, static_cast<std::uint64_t>(rows)));
    FillJob<P> job{&world, r, value, bytes >= kStreamingFillBytes, rows_per_task};
    pool.Run((rows + rows_per_task - 1) / rows_per_task, &job, &FillTask<P>);
}

PF_Err Fill(PF_ProgPtr effect_ref, const PF_Pixel *color, const PF_LRect *rect, PF_EffectWorld *world) {
    Effect::State *effect = ResolveEffect(effect_ref, HostOp::Fill);
    if (effect == nullptr)
        return PF_Err_BAD_CALLBACK_PARAM;
    Host::Impl *host = effect->host;
    std::lock_guard<std::mutex> lock(host->mutex);
    const std::string detail = rect ? "rect " + RectText(*rect) : "whole world";
    if (auto fault = host->TakeFault(HostOp::Fill))
        return host->Record(HostOp::Fill, detail, *fault);
    if (color == nullptr || world == nullptr) {
        host->Misuse("fill without a colour or a world");
        return host->Record(HostOp::Fill, detail, PF_Err_BAD_CALLBACK_PARAM);
    }
    const std::string problem = WorldProblem(*world);
    if (!problem.empty()) {
        host->Misuse("fill of an invalid world: " + problem);
        return host->Record(HostOp::Fill, detail, PF_Err_BAD_CALLBACK_PARAM);
    }
    PF_LRect r{0, 0, world->width, world->height};
    if (rect != nullptr) {
        r.left = std::max(r.left, rect->left);
        r.top = std::max(r.top, rect->top);
        r.right = std::min(r.right, rect->right);
        r.bottom = std::min(r.bottom, rect->bottom);
    }
    if (r.left < r.right && r.top < r.bottom) {
        switch (world->world_flags & (PF_WorldFlag_DEEP | PF_WorldFlag_FLOAT)) {
        case PF_WorldFlag_FLOAT: {
            const PF_PixelFloat value{color->alpha / 255.0f, color->red / 255.0f, color->green / 255.0f,
                                      color->blue / 255.0f};
            FillRows(host->pool, *world, r, value);
            break;
        }
        case PF_WorldFlag_DEEP: {
            auto widen = [](A_u_char c) {
                return static_cast<A_u_short>((c * PF_MAX_CHAN16 + PF_MAX_CHAN8 / 2) / PF_MAX_CHAN8);
            };
            const PF_Pixel16 value{widen(color->alpha), widen(color->red), widen(color->green),
                                   widen(color->blue)};
            FillRows(host->pool, *world, r, value);
            break;
        }
        default:
            FillRows(host->pool, *world, r, *color);
            break;
        }
    }
    return host->Record(HostOp::Fill, detail, PF_Err_NONE);
}

// How many bytes may be written at buffer: the rest of a return-message
// buffer of one of the host's effects, or 0 when it is none (unbounded:
// the plug-in answers for the size of its own buffers).
std::size_t WritableBytes(Host::Impl *host, const A_char *buffer) {
    std::lock_guard<std::mutex> registry_lock(EffectRegistryMutex());
    for (Effect::State *effect : EffectRegistry()) {
        if (effect->host != host)
            continue;
        const A_char *begin = effect->out.return_msg;
        const A_char *end = begin + sizeof(effect->out.return_msg);
        if (std::less_equal<const A_char *>()(begin, buffer) && std::less<const A_char *>()(buffer, end))
            return static_cast<std::size_t>(end - buffer);
    }
    return 0;
}

int HostSprintf(A_char *buffer, const A_char *format, ...) {
    Host::Impl *host = ActiveHost();
    if (host == nullptr)
        return -1;
    std::lock_guard<std::mutex> lock(host->mutex);
    if (auto fault = host->TakeFault(HostOp::Sprintf)) {
        host->Record(HostOp::Sprintf, "", *fault);
        return -1;
    }
    if (buffer == nullptr || format == nullptr) {
        host->Misuse("sprintf without a buffer or a format");
        host->Record(HostOp::Sprintf, "", PF_Err_BAD_CALLBACK_PARAM);
        return -1;
    }
    const std::size_t room = WritableBytes(host, buffer);
    std::va_list args;
    va_start(args, format);
    int written;
    if (room > 0) {
        written = std::vsnprintf(buffer, room, format, args);
        if (written >= static_cast<int>(room))
            written = static_cast<int>(room) - 1;
    } else {
        written = std::vsprintf(buffer, format, args);
    }
    va_end(args);
    host->Record(HostOp::Sprintf, written >= 0 ? std::string(buffer) : std::string(), PF_Err_NONE);
    return written;
}

A_char *HostStrcpy(A_char *dest, const A_char *src) {
    Host::Impl *host = ActiveHost();
    if (host == nullptr)
        return nullptr;
    std::lock_guard<std::mutex> lock(host->mutex);
    if (auto fault = host->TakeFault(HostOp::Strcpy)) {
        host->Record(HostOp::Strcpy, src ? src : "", *fault);
        return nullptr;
    }
    if (dest == nullptr || src == nullptr) {
        host->Misuse("strcpy without a destination or a source");
        host->Record(HostOp::Strcpy, "", PF_Err_BAD_CALLBACK_PARAM);
        return nullptr;
    }
    std::size_t length = std::strlen(src);
    const std::size_t room = WritableBytes(host, dest);
    if (room > 0 && length >= room)
        length = room - 1;
    std::memmove(dest, src, length);
    dest[length] = '\0';
    host->Record(HostOp::Strcpy, std::string(dest), PF_Err_NONE);
    return dest;
}

// ---- PF_InteractCallbacks ---------------------------------------------

PF_Err AddParam(PF_ProgPtr effect_ref, PF_ParamIndex index, PF_ParamDef *def) {
    Effect::State *effect = ResolveEffect(effect_ref, HostOp::AddParam);
    if (effect == nullptr)
        return PF_Err_BAD_CALLBACK_PARAM;
    Host::Impl *host = effect->host;
    std::lock_guard<std::mutex> lock(host->mutex);
    std::string detail = "index " + std::to_string(index);
    if (def != nullptr)
        detail += " \"" + std::string(def->name, std::find(def->name, def->name + sizeof(def->name), '\0')) + "\"";
    if (auto fault = host->TakeFault(HostOp::AddParam))
        return host->Record(HostOp::AddParam, detail, *fault);
    if (def == nullptr) {
        host->Misuse("add_param without a parameter record");
        return host->Record(HostOp::AddParam, detail, PF_Err_BAD_CALLBACK_PARAM);
    }
    if (effect->command != PF_Cmd_PARAMS_SETUP) {
        host->Misuse("add_param outside params setup");
        return host->Record(HostOp::AddParam, detail, PF_Err_BAD_CALLBACK_PARAM);
    }
    effect->added_params.push_back(AddedParam{index, *def});
    return host->Record(HostOp::AddParam, detail, PF_Err_NONE);
}

PF_Err CheckoutParam(PF_ProgPtr effect_ref, PF_ParamIndex index, A_long what_time, A_long time_step,
                     A_u_long time_scale, PF_ParamDef *param) {
    Effect::State *effect = ResolveEffect(effect_ref, HostOp::CheckoutParam);
    if (effect == nullptr)
        return PF_Err_BAD_CALLBACK_PARAM;
    Host::Impl *host = effect->host;
    std::lock_guard<std::mutex> lock(host->mutex);
    const std::string detail = "index " + std::to_string(index) + " at " + std::to_string(what_time) +
                               "/" + std::to_string(time_step) + "/" + std::to_string(time_scale);
    if (auto fault = host->TakeFault(HostOp::CheckoutParam))
        return host->Record(HostOp::CheckoutParam, detail, *fault);
    if (param == nullptr) {
        host->Misuse("checkout_param without a parameter record");
        return host->Record(HostOp::CheckoutParam, detail, PF_Err_BAD_CALLBACK_PARAM);
    }
    if (index == 0) {
        *param = PF_ParamDef{};
        param->param_type = PF_Param_LAYER;
        if (effect->frame.layer != nullptr)
            param->u.ld = effect->frame.layer->descriptor();
    } else if (index == 1) {
        *param = PF_ParamDef{};
        param->param_type = PF_Param_FIX_SLIDER;
        param->u.fd.value = effect->frame.slider;
    } else {
        host->Misuse("checkout_param of index " + std::to_string(index) + ", which the effect lacks");
        return host->Record(HostOp::CheckoutParam, detail, PF_Err_BAD_CALLBACK_PARAM);
    }
    host->checkouts.push_back(Host::Impl::Checkout{effect, param, index});
    return host->Record(HostOp::CheckoutParam, detail, PF_Err_NONE);
}

PF_Err CheckinParam(PF_ProgPtr effect_ref, PF_ParamDef *param) {
    Effect::State *effect = ResolveEffect(effect_ref, HostOp::CheckinParam);
    if (effect == nullptr)
        return PF_Err_BAD_CALLBACK_PARAM;
    Host::Impl *host = effect->host;
    std::lock_guard<std::mutex> lock(host->mutex);
    const PF_Err fault = host->TakeFault(HostOp::CheckinParam).value_or(PF_Err_NONE);
    // The latest checkout made into this record.
    auto checkout = std::find_if(host->checkouts.rbegin(), host->checkouts.rend(),
                                 [&](const Host::Impl::Checkout &c) {
                                     return c.effect == effect && c.record == param;
                                 });
    if (checkout == host->checkouts.rend()) {
        // Tolerated, as a host would, but counted against the plug-in.
        host->Misuse("check-in of a parameter record that is not checked out");
        return host->Record(HostOp::CheckinParam, "not checked out", fault);
    }
    const std::string detail = "index " + std::to_string(checkout->index);
    host->checkouts.erase(std::next(checkout).base());
    return host->Record(HostOp::CheckinParam, detail, fault);
}

// ---- Pre-render and smart-render callbacks ----------------------------

PF_Err CheckoutLayer(PF_ProgPtr effect_ref, PF_ParamIndex index, A_long checkout_id,
                     const PF_RenderRequest *request, A_long what_time, A_long time_step,
                     A_u_long time_scale, PF_CheckoutResult *result) {
    Effect::State *effect = ResolveEffect(effect_ref, HostOp::CheckoutLayer);
    if (effect == nullptr)
        return PF_Err_BAD_CALLBACK_PARAM;
    Host::Impl *host = effect->host;
    std::lock_guard<std::mutex> lock(host->mutex);
    const std::string detail = "layer " + std::to_string(index) + " id " + std::to_string(checkout_id) +
                               " at " + std::to_string(what_time) + "/" + std::to_string(time_step) +
                               "/" + std::to_string(time_scale);
    if (auto fault = host->TakeFault(HostOp::CheckoutLayer))
        return host->Record(HostOp::CheckoutLayer, detail, *fault);
    std::string wrong;
    if (effect->command != PF_Cmd_SMART_PRE_RENDER)
        wrong = "checkout_layer outside smart pre-render";
    else if (request == nullptr || result == nullptr)
        wrong = "checkout_layer without a request or a result record";
    else if (index != 0)
        wrong = "checkout_layer of parameter " + std::to_string(index) + ", which is no layer";
    else if (effect->frame.input == nullptr)
        wrong = "checkout_layer with no input in the frame";
    if (!wrong.empty()) {
        host->Misuse(wrong);
        return host->Record(HostOp::CheckoutLayer, detail, PF_Err_BAD_CALLBACK_PARAM);
    }
    const World &input = *effect->frame.input;
    *result = PF_CheckoutResult{};
    result->result_rect = input.LayerRect();
    result->max_result_rect = input.LayerRect();
    result->par = PF_RationalScale{1, 1};
    result->ref_width = effect->frame.ref_width.value_or(input.width());
    result->ref_height = effect->frame.ref_height.value_or(input.height());
    if (std::find(effect->requested_layers.begin(), effect->requested_layers.end(), checkout_id) ==
        effect->requested_layers.end())
        effect->requested_layers.push_back(checkout_id);
    effect->layer_request = *request;
    return host->Record(HostOp::CheckoutLayer, detail, PF_Err_NONE);
}

PF_Err CheckoutLayerPixels(PF_ProgPtr effect_ref, A_long checkout_id, PF_EffectWorld **pixels) {
    Effect::State *effect = ResolveEffect(effect_ref, HostOp::CheckoutLayerPixels);
    if (effect == nullptr)
        return PF_Err_BAD_CALLBACK_PARAM;
    Host::Impl *host = effect->host;
    std::lock_guard<std::mutex> lock(host->mutex);
    const std::string detail = "id " + std::to_string(checkout_id);
    if (pixels != nullptr)
        *pixels = nullptr;
    if (auto fault = host->TakeFault(HostOp::CheckoutLayerPixels))
        return host->Record(HostOp::CheckoutLayerPixels, detail, *fault);
    std::string wrong;
    if (pixels == nullptr)
        wrong = "checkout_layer_pixels without an out pointer";
    else if (effect->command != PF_Cmd_SMART_RENDER)
        wrong = "checkout_layer_pixels outside smart render";
    else if (effect->frame.input == nullptr)
        wrong = "checkout_layer_pixels with no input in the frame";
    else if (std::find(effect->requested_layers.begin(), effect->requested_layers.end(), checkout_id) ==
             effect->requested_layers.end())
        wrong = "checkout_layer_pixels of id " + std::to_string(checkout_id) +
                ", which the pre-render did not check out";
    if (!wrong.empty()) {
        host->Misuse(wrong);
        return host->Record(HostOp::CheckoutLayerPixels, detail, PF_Err_BAD_CALLBACK_PARAM);
    }
    effect->lent_input = effect->frame.input->descriptor();
    *pixels = &effect->lent_input;
    return host->Record(HostOp::CheckoutLayerPixels, detail, PF_Err_NONE);
}

PF_Err CheckinLayerPixels(PF_ProgPtr effect_ref, A_long checkout_id) {
    Effect::State *effect = ResolveEffect(effect_ref, HostOp::CheckinLayerPixels);
    if (effect == nullptr)
        return PF_Err_BAD_CALLBACK_PARAM;
    Host::Impl *host = effect->host;
    std::lock_guard<std::mutex> lock(host->mutex);
    const std::string detail = "id " + std::to_string(checkout_id);
    if (auto fault = host->TakeFault(HostOp::CheckinLayerPixels))
        return host->Record(HostOp::CheckinLayerPixels, detail, *fault);
    if (effect->command != PF_Cmd_SMART_RENDER ||
        std::find(effect->requested_layers.begin(), effect->requested_layers.end(), checkout_id) ==
            effect->requested_layers.end()) {
        host->Misuse("checkin_layer_pixels of id " + std::to_string(checkout_id) + " outside its render");
        return host->Record(HostOp::CheckinLayerPixels, detail, PF_Err_BAD_CALLBACK_PARAM);
    }
    return host->Record(HostOp::CheckinLayerPixels, detail, PF_Err_NONE);
}

PF_Err CheckoutOutput(PF_ProgPtr effect_ref, PF_EffectWorld **output) {
    Effect::State *effect = ResolveEffect(effect_ref, HostOp::CheckoutOutput);
    if (effect == nullptr)
        return PF_Err_BAD_CALLBACK_PARAM;
    Host::Impl *host = effect->host;
    std::lock_guard<std::mutex> lock(host->mutex);
    if (output != nullptr)
        *output = nullptr;
    if (auto fault = host->TakeFault(HostOp::CheckoutOutput))
        return host->Record(HostOp::CheckoutOutput, "", *fault);
    std::string wrong;
    if (output == nullptr)
        wrong = "checkout_output without an out pointer";
    else if (effect->command != PF_Cmd_SMART_RENDER)
        wrong = "checkout_output outside smart render";
    else if (effect->frame.output == nullptr)
        wrong = "checkout_output with no output in the frame";
    if (!wrong.empty()) {
        host->Misuse(wrong);
        return host->Record(HostOp::CheckoutOutput, "", PF_Err_BAD_CALLBACK_PARAM);
    }
    effect->lent_output = effect->frame.output->descriptor();
    *output = &effect->lent_output;
    return host->Record(HostOp::CheckoutOutput, "", PF_Err_NONE);
}

} // namespace

// ---- Registry of live effects -----------------------------------------

void RegisterEffect(Effect::State *effect) {
    std::lock_guard<std::mutex> lock(EffectRegistryMutex());
    EffectRegistry().push_back(effect);
}

void UnregisterEffect(Effect::State *effect) {
    std::lock_guard<std::mutex> lock(EffectRegistryMutex());
    auto &registry = EffectRegistry();
    registry.erase(std::remove(registry.begin(), registry.end(), effect), registry.end());
}

Effect::State *FindEffect(PF_ProgPtr effect_ref) {
    std::lock_guard<std::mutex> lock(EffectRegistryMutex());
    for (Effect::State *effect : EffectRegistry())
        if (reinterpret_cast<PF_ProgPtr>(effect) == effect_ref)
            return effect->magic == Effect::State::kMagic ? effect : nullptr;
    return nullptr;
}

// ---- HostOp -----------------------------------------------------------

const char *HostOpName(HostOp op) {
    switch (op) {
    case HostOp::AcquireSuite: return "AcquireSuite";
    case HostOp::ReleaseSuite: return "ReleaseSuite";
    case HostOp::NewHandle: return "NewHandle";
    case HostOp::LockHandle: return "LockHandle";
    case HostOp::UnlockHandle: return "UnlockHandle";
    case HostOp::DisposeHandle: return "DisposeHandle";
    case HostOp::GetPixelFormat: return "GetPixelFormat";
    case HostOp::RegisterWithAEGP: return "RegisterWithAEGP";
    case HostOp::AddParam: return "AddParam";
    case HostOp::CheckoutParam: return "CheckoutParam";
    case HostOp::CheckinParam: return "CheckinParam";
    case HostOp::CheckoutLayer: return "CheckoutLayer";
    case HostOp::CheckoutLayerPixels: return "CheckoutLayerPixels";
    case HostOp::CheckinLayerPixels: return "CheckinLayerPixels";
    case HostOp::CheckoutOutput: return "CheckoutOutput";
    case HostOp::Fill: return "Fill";
    case HostOp::IterateGeneric: return "IterateGeneric";
    case HostOp::Sprintf: return "Sprintf";
    case HostOp::Strcpy: return "Strcpy";
    }
    return "UnknownHostOp";
}

std::string ToString(const JournalEntry &entry) {
    std::string text = HostOpName(entry.op);
    if (!entry.detail.empty())
        text += "(" + entry.detail + ")";
    if (entry.result != PF_Err_NONE)
        text += " -> " + std::to_string(entry.result);
    return text;
}

// ---- Host::Impl -------------------------------------------------------

Host::Impl::Impl(HostOptions opts) : options(opts), pool(opts.threads) {
    basic.AcquireSuite = &AcquireSuite;
    basic.ReleaseSuite = &ReleaseSuite;
    handle_suite.host_new_handle = &NewHandle;
    handle_suite.host_lock_handle = &LockHandle;
    handle_suite.host_unlock_handle = &UnlockHandle;
    handle_suite.host_dispose_handle = &DisposeHandle;
    world_suite.PF_GetPixelFormat = &GetPixelFormat;
    iterate_suite.iterate_generic = &IterateGeneric;
    utility_suite.AEGP_RegisterWithAEGP = &RegisterWithAEGP;
    utils.fill = &Fill;
    // Parenthesised: some C libraries define sprintf and strcpy as macros.
    (utils.ansi.sprintf) = &HostSprintf;
    (utils.ansi.strcpy) = &HostStrcpy;
    inter.add_param = &AddParam;
    inter.checkout_param = &CheckoutParam;
    inter.checkin_param = &CheckinParam;
    pre_render_cb.checkout_layer = &CheckoutLayer;
    smart_render_cb.checkout_layer_pixels = &CheckoutLayerPixels;
    smart_render_cb.checkin_layer_pixels = &CheckinLayerPixels;
    smart_render_cb.checkout_output = &CheckoutOutput;

    catalogue = {
        {"PF Handle Suite", 2, &handle_suite, SuiteAnswer::kServe, kErrSuiteUnavailable},
        {"PF World Suite", 2, &world_suite, SuiteAnswer::kServe, kErrSuiteUnavailable},
        {"PF Iterate8 Suite", 1, &iterate_suite, SuiteAnswer::kServe, kErrSuiteUnavailable},
        {"AEGP Utility Suite", 7, &utility_suite, SuiteAnswer::kServe, kErrSuiteUnavailable},
    };
}

std::optional<PF_Err> Host::Impl::TakeFault(HostOp op, const char *suite) {
    std::optional<PF_Err> fired;
    for (Fault &fault : faults) {
        if (fault.op != op)
            continue;
        if (!fault.suite.empty() && (suite == nullptr || fault.suite != suite))
            continue;
        if (++fault.seen == fault.nth && !fired)
            fired = fault.code;
    }
    return fired;
}

PF_Err Host::Impl::Record(HostOp op, std::string detail, PF_Err result) {
    ++calls[static_cast<std::size_t>(op)];
    journal.push_back(JournalEntry{op, std::move(detail), result});
    return result;
}

void Host::Impl::Misuse(std::string what) { misuses.push_back(std::move(what)); }

Host::Impl::HandleBlock *Host::Impl::FindBlock(PF_Handle handle) {
    auto it = handles.find(handle);
    return it == handles.end() ? nullptr : it->second.get();
}

std::string Host::Impl::HandleName(PF_Handle handle) {
    if (handle == nullptr)
        return "null handle";
    const HandleBlock *block = FindBlock(handle);
    return block ? "handle #" + std::to_string(block->id) : "unknown handle";
}

SuiteUse &Host::Impl::Use(const std::string &name, A_long version) {
    for (SuiteUse &use : suite_uses)
        if (use.name == name && use.version == version)
            return use;
    suite_uses.push_back(SuiteUse{name, version, 0, 0});
    return suite_uses.back();
}

void Host::Impl::DisposeQuietly(PF_Handle handle) { handles.erase(handle); }

// ---- Host -------------------------------------------------------------

Host::Host(HostOptions options) : impl_(std::make_unique<Impl>(options)) {}

Host::~Host() {
    Impl *self = impl_.get();
    g_active.compare_exchange_strong(self, nullptr);
}

Host::Scope::Scope(Host &host) : host_(host) {
    Impl *mine = host.impl_.get();
    Impl *expected = nullptr;
    if (!g_active.compare_exchange_strong(expected, mine) && expected != mine)
        throw std::logic_error("another render host is dispatching: one host at a time per process");
    ++mine->scope_depth;
}

Host::Scope::~Scope() {
    Impl *mine = host_.impl_.get();
    if (--mine->scope_depth == 0)
        g_active.store(nullptr);
}

const SPBasicSuite *Host::BasicSuite() const { return &impl_->basic; }
PF_UtilCallbacks *Host::Utils() { return &impl_->utils; }
PF_InteractCallbacks Host::Interact() const { return impl_->inter; }
PF_PreRenderCallbacks *Host::PreRenderCallbacks() { return &impl_->pre_render_cb; }
PF_SmartRenderCallbacks *Host::SmartRenderCallbacks() { return &impl_->smart_render_cb; }
int Host::threads() const { return impl_->pool.threads(); }

void Host::SetSuiteAnswer(const std::string &name, A_long version, SuiteAnswer answer, SPErr code) {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    for (Impl::SuiteEntry &entry : impl_->catalogue) {
        if (entry.name == name && entry.version == version) {
            entry.answer = answer;
            entry.code = code;
            return;
        }
    }
    throw std::invalid_argument("no suite \"" + name + "\" " + std::to_string(version) + " in the catalogue");
}

void Host::RemoveSuite(const std::string &name, A_long version) {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    auto &catalogue = impl_->catalogue;
    catalogue.erase(std::remove_if(catalogue.begin(), catalogue.end(),
                                   [&](const Impl::SuiteEntry &e) {
                                       return e.name == name && e.version == version;
                                   }),
                    catalogue.end());
}

void Host::AddSuite(const std::string &name, A_long version, const void *table) {
    if (table == nullptr)
        throw std::invalid_argument("a suite needs a function table");
    RemoveSuite(name, version);
    std::lock_guard<std::mutex> lock(impl_->mutex);
    impl_->catalogue.push_back(Impl::SuiteEntry{name, version, table, SuiteAnswer::kServe, kErrSuiteUnavailable});
}

void Host::FailOn(HostOp op, int nth, PF_Err code) { FailOnSuite(op, std::string(), nth, code); }

void Host::FailOnSuite(HostOp op, const std::string &suite_name, int nth, PF_Err code) {
    if (nth < 1)
        throw std::invalid_argument("calls are counted from 1");
    if (!suite_name.empty() && op != HostOp::AcquireSuite && op != HostOp::ReleaseSuite)
        throw std::invalid_argument("a suite name narrows only AcquireSuite and ReleaseSuite");
    std::lock_guard<std::mutex> lock(impl_->mutex);
    impl_->faults.push_back(Impl::Fault{op, suite_name, nth, code});
}

void Host::ClearFaults() {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    impl_->faults.clear();
}

void Host::SetPixelFormatAnswer(PF_PixelFormat code, PF_Err result) {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    impl_->pixel_format_answer = std::make_pair(code, result);
}

void Host::ClearPixelFormatAnswer() {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    impl_->pixel_format_answer.reset();
}

void Host::SetPluginId(AEGP_PluginID id) {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    impl_->plugin_id = id;
}

std::vector<JournalEntry> Host::Journal() const {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    return impl_->journal;
}

std::vector<HostOp> Host::JournalOps() const {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    std::vector<HostOp> ops;
    ops.reserve(impl_->journal.size());
    for (const JournalEntry &entry : impl_->journal)
        ops.push_back(entry.op);
    return ops;
}

void Host::ClearJournal() {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    impl_->journal.clear();
}

int Host::Calls(HostOp op) const {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    return impl_->calls[static_cast<std::size_t>(op)];
}

std::size_t Host::LiveHandles() const {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    return impl_->handles.size();
}

std::size_t Host::LockedHandles() const {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    return static_cast<std::size_t>(std::count_if(impl_->handles.begin(), impl_->handles.end(),
                                                  [](const auto &h) { return h.second->lock_count > 0; }));
}

std::optional<HandleInfo> Host::FindHandle(PF_Handle handle) const {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    const Impl::HandleBlock *block = impl_->FindBlock(handle);
    if (block == nullptr)
        return std::nullopt;
    return HandleInfo{block->id, block->size, block->lock_count};
}

std::vector<SuiteUse> Host::SuiteUses() const {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    return impl_->suite_uses;
}

int Host::OutstandingSuites() const {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    int total = 0;
    for (const SuiteUse &use : impl_->suite_uses)
        total += std::max(0, use.outstanding());
    return total;
}

int Host::OutstandingCheckouts() const {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    return static_cast<int>(impl_->checkouts.size());
}

int Host::OutstandingCheckouts(PF_ParamIndex index) const {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    return static_cast<int>(std::count_if(impl_->checkouts.begin(), impl_->checkouts.end(),
                                          [&](const Impl::Checkout &c) { return c.index == index; }));
}

std::vector<std::string> Host::Misuses() const {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    return impl_->misuses;
}

std::string Host::LeakReport() const {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    std::ostringstream report;
    std::vector<const Impl::HandleBlock *> blocks;
    for (const auto &entry : impl_->handles)
        blocks.push_back(entry.second.get());
    std::sort(blocks.begin(), blocks.end(), [](auto *a, auto *b) { return a->id < b->id; });
    for (const Impl::HandleBlock *block : blocks) {
        report << "handle #" << block->id << " (" << block->size << " bytes) not disposed of";
        if (block->lock_count > 0)
            report << ", locked " << block->lock_count << (block->lock_count == 1 ? " time" : " times");
        report << '\n';
    }
    for (const SuiteUse &use : impl_->suite_uses)
        if (use.outstanding() > 0)
            report << "suite \"" << use.name << "\" " << use.version << " acquired " << use.acquired
                   << " times, released " << use.released << '\n';
    for (const Impl::Checkout &checkout : impl_->checkouts)
        report << "parameter " << checkout.index << " checked out and not checked in\n";
    for (const std::string &misuse : impl_->misuses)
        report << "misuse: " << misuse << '\n';
    return report.str();
}

bool Host::IsClean() const { return LeakReport().empty(); }

long Host::CallsWithoutHost() { return g_calls_without_host.load(); }

} // namespace renderhost
