// The suites the basic suite serves, and the basic suite itself. Suite
// functions take no reference to their host: the dispatching one serves
// them.
#include "HostCall.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <new>

namespace renderhost {
namespace {

std::string SuiteName(const char *name, A_long version) {
    return (name ? std::string(name) : std::string("(null)")) + " " + std::to_string(version);
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

PF_PixelFormat FormatOf(const PF_EffectWorld &world) {
    switch (world.world_flags & (PF_WorldFlag_DEEP | PF_WorldFlag_FLOAT)) {
        case 0:
            return PF_PixelFormat_ARGB32;
        case PF_WorldFlag_DEEP:
            return PF_PixelFormat_ARGB64;
        case PF_WorldFlag_FLOAT:
            return PF_PixelFormat_ARGB128;
        default:
            return PF_PixelFormat_INVALID;
    }
}

// The journal's name of a handle, read under the lock.
auto HandleDetail(PF_Handle handle) {
    return [handle](const Call &call) { return call.host.HandleName(handle); };
}

// ---- "PF Handle Suite" 2 ----------------------------------------------

PF_Handle NewHandle(A_u_longlong size) {
    PF_Handle handle = nullptr;
    Operate({HostOp::NewHandle}, "size " + std::to_string(size), [&](Call &call) -> PF_Err {
        if (size > kMaxHandleBytes) return PF_Err_OUT_OF_MEMORY;
        auto block = std::make_unique<Host::Impl::HandleBlock>();
        const std::size_t blocks = std::max<std::size_t>(
            1, (static_cast<std::size_t>(size) + sizeof(std::max_align_t) - 1) / sizeof(std::max_align_t));
        try {
            block->memory.reset(new std::max_align_t[blocks]);
        } catch (const std::bad_alloc &) {
            return PF_Err_OUT_OF_MEMORY;
        }
        // New blocks hold a pattern, not zeros: a plug-in must not rely on
        // reading what it has not written.
        std::memset(block->memory.get(), 0xA5, blocks * sizeof(std::max_align_t));
        block->data = block->memory.get();
        block->id = call.host.next_handle_id++;
        block->size = size;
        handle = &block->data;
        call.host.handles.emplace(handle, std::move(block));
        call.detail += " -> " + call.host.HandleName(handle);
        return PF_Err_NONE;
    });
    return handle;
}

void *LockHandle(PF_Handle handle) {
    void *data = nullptr;
    Operate({HostOp::LockHandle}, HandleDetail(handle), [&](Call &call) -> PF_Err {
        Host::Impl::HandleBlock *block = call.host.FindBlock(handle);
        if (block == nullptr) return call.Refuse("lock of " + call.detail + ", which is not live");
        ++block->lock_count;
        data = block->data;
        return PF_Err_NONE;
    });
    return data;
}

void UnlockHandle(PF_Handle handle) {
    Operate({HostOp::UnlockHandle, PF_Err_BAD_CALLBACK_PARAM, OnFault::kReport}, HandleDetail(handle),
            [&](Call &call) -> PF_Err {
                Host::Impl::HandleBlock *block = call.host.FindBlock(handle);
                if (block == nullptr) return call.Refuse("unlock of " + call.detail + ", which is not live");
                if (block->lock_count == 0) return call.Refuse("unlock of " + call.detail + ", which is not locked");
                --block->lock_count;
                return PF_Err_NONE;
            });
}

void DisposeHandle(PF_Handle handle) {
    Operate({HostOp::DisposeHandle, PF_Err_BAD_CALLBACK_PARAM, OnFault::kReport}, HandleDetail(handle),
            [&](Call &call) -> PF_Err {
                if (call.host.FindBlock(handle) == nullptr)
                    return call.Refuse("disposal of " + call.detail + ", which is not live");
                call.host.handles.erase(handle);
                return PF_Err_NONE;
            });
}

// ---- "PF World Suite" 2 -----------------------------------------------

PF_Err GetPixelFormat(const PF_EffectWorld *world, PF_PixelFormat *pixel_format) {
    return Operate({HostOp::GetPixelFormat}, "", [&](Call &call) -> PF_Err {
        if (world == nullptr || pixel_format == nullptr)
            return call.Refuse("PF_GetPixelFormat without a world or an out pointer");
        PF_Err result = PF_Err_NONE;
        if (const auto &answer = call.host.pixel_format_answer) {
            *pixel_format = answer->first;
            result = answer->second;
        } else {
            *pixel_format = FormatOf(*world);
        }
        // The journal names the world asked about, so that a test can tell
        // which of the worlds the plug-in holds it asked.
        call.detail = FormatName(*pixel_format);
        if (const char *name = LentWorldName(call.host, world)) call.detail += std::string(" of the ") + name;
        return result;
    });
}

// ---- "PF Iterate8 Suite" 1 --------------------------------------------

PF_Err IterateGeneric(A_long iterations, void *refcon, PF_IterateGenericFunc fn) {
    return Operate({HostOp::IterateGeneric}, "iterations " + std::to_string(iterations), [&](Call &call) -> PF_Err {
        if (fn == nullptr || iterations < 0)
            return call.Refuse("iterate_generic with " + call.detail + (fn ? "" : " and no callback"));
        // The entry takes its place now; its result is known at the end.
        ThreadPool &pool = call.host.pool;
        call.unlocked = [&pool, iterations, refcon, fn] { return pool.Run(iterations, refcon, fn); };
        return PF_Err_NONE;
    });
}

// ---- "AEGP Utility Suite" 7 -------------------------------------------

PF_Err RegisterWithAEGP(AEGP_GlobalRefcon, const A_char *plugin_name, AEGP_PluginID *plugin_id) {
    return Operate({HostOp::RegisterWithAEGP}, plugin_name ? plugin_name : "(no name)", [&](Call &call) -> PF_Err {
        if (plugin_id == nullptr) return call.Refuse("AEGP_RegisterWithAEGP without a place for the ID");
        *plugin_id = call.host.plugin_id;
        return PF_Err_NONE;
    });
}

// ---- SPBasicSuite -----------------------------------------------------

SPErr AcquireSuite(const char *name, A_long version, const void **suite) {
    if (suite != nullptr) *suite = nullptr;
    const Op op{HostOp::AcquireSuite, kErrSuiteUnavailable, OnFault::kFail, name};
    return Operate(op, SuiteName(name, version), [&](Call &call) -> PF_Err {
        if (name == nullptr || suite == nullptr)
            return call.Refuse("AcquireSuite without a name or an out pointer", kErrSuiteUnavailable);
        const auto &catalogue = call.host.catalogue;
        auto entry = std::find_if(catalogue.begin(), catalogue.end(), [&](const Host::Impl::SuiteEntry &e) {
            return e.version == version && e.name == name;
        });
        if (entry == catalogue.end()) return kErrSuiteUnavailable;
        const bool served = entry->answer == SuiteAnswer::kServe || entry->answer == SuiteAnswer::kServeWithError;
        const bool coded = entry->answer == SuiteAnswer::kRefuse || entry->answer == SuiteAnswer::kServeWithError;
        *suite = served ? entry->table : nullptr;
        if (*suite != nullptr) ++call.host.Use(entry->name, version).acquired;
        return coded ? entry->code : PF_Err_NONE;
    });
}

SPErr ReleaseSuite(const char *name, A_long version) {
    const Op op{HostOp::ReleaseSuite, kErrSuiteUnavailable, OnFault::kReport, name};
    return Operate(op, SuiteName(name, version), [&](Call &call) -> PF_Err {
        auto &uses = call.host.suite_uses;
        auto use = std::find_if(uses.begin(), uses.end(), [&](const SuiteUse &u) {
            return name != nullptr && u.version == version && u.name == name;
        });
        // Tolerated, as a host would, but counted against the plug-in.
        if (use == uses.end() || use->outstanding() <= 0)
            return call.Refuse("release of " + call.detail + ", which is not acquired", PF_Err_NONE);
        ++use->released;
        return PF_Err_NONE;
    });
}

}  // namespace

// In the order of each table's fields (HostAPI/PF_Host.h).
void InstallSuites(Host::Impl &host) {
    host.basic = {&AcquireSuite, &ReleaseSuite};
    host.handle_suite = {&NewHandle, &LockHandle, &UnlockHandle, &DisposeHandle};
    host.world_suite = {&GetPixelFormat};
    host.iterate_suite = {&IterateGeneric};
    host.utility_suite = {&RegisterWithAEGP};
}

}  // namespace renderhost
