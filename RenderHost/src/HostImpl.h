// The render host's state, shared by the files that make up Host
// (HostSuites.cpp, HostCallbacks.cpp, HostFill.cpp, HostAccounting.cpp,
// HostJournal.cpp, Host.cpp) and the command lifecycle (Effect.cpp). Not
// installed.
#ifndef ORVANE_RENDERHOST_HOSTIMPL_H
#define ORVANE_RENDERHOST_HOSTIMPL_H

#include <RenderHost/Effect.h>
#include <RenderHost/Host.h>
#include <RenderHost/ThreadPool.h>

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace renderhost {

// What effect_ref points to. The magic word lets a callback tell a live
// instance from a stray pointer before it trusts anything else.
struct Effect::State {
    static constexpr std::uint64_t kMagic = 0x4f5256454646ull;  // "ORVEFF"
    std::uint64_t magic = kMagic;
    Host::Impl *host = nullptr;
    PF_EntryPointFunc entry = nullptr;
    PF_InData in{};
    PF_OutData out{};

    // The command being dispatched, or -1.
    PF_Cmd command = -1;
    FrameSpec frame;
    // Checkout ids the last pre-render asked checkout_layer for.
    std::vector<A_long> requested_layers;
    std::optional<PF_RenderRequest> layer_request;
    // Copies of the worlds lent during a smart render: the plug-in may
    // scribble on a descriptor without touching the World's own.
    PF_EffectWorld lent_input{};
    PF_EffectWorld lent_output{};
    std::vector<AddedParam> added_params;
};

struct Host::Impl {
    explicit Impl(HostOptions options);

    struct SuiteEntry {
        std::string name;
        A_long version;
        const void *table;
        SuiteAnswer answer;
        SPErr code;
    };
    struct Fault {
        HostOp op;
        std::string suite;  // empty: any
        int nth;
        PF_Err code;
        int seen = 0;
    };
    struct HandleBlock {
        void *data = nullptr;  // first: the handle is the address of this pointer
        std::unique_ptr<std::max_align_t[]> memory;
        int id = 0;
        A_u_longlong size = 0;
        int lock_count = 0;
    };
    struct Checkout {
        Effect::State *effect;
        const PF_ParamDef *record;
        PF_ParamIndex index;
    };

    // ---- Called with mutex held -------------------------------------
    // Whether the next call of op (of this suite) is to fail, and with
    // what. Counts the call for every fault that matches it.
    std::optional<PF_Err> TakeFault(HostOp op, const char *suite = nullptr);
    // Counts a call of op and, when the journal is kept, appends its
    // entry. Returns the entry's place for Amend, or kNoEntry.
    std::size_t Record(HostOp op, std::string detail, PF_Err result);
    // Sets the result of the entry Record placed at entry, if the journal
    // has not been cleared since.
    void Amend(std::size_t entry, HostOp op, PF_Err result);
    static constexpr std::size_t kNoEntry = static_cast<std::size_t>(-1);
    void Misuse(std::string what);
    HandleBlock *FindBlock(PF_Handle handle);
    std::string HandleName(PF_Handle handle);
    SuiteUse &Use(const std::string &name, A_long version);

    // Host-side disposal of a handle (no journal, no faults).
    void DisposeQuietly(PF_Handle handle);

    mutable std::mutex mutex;
    const bool keeps_journal;
    ThreadPool pool;

    SPBasicSuite basic{};
    PF_HandleSuite2 handle_suite{};
    PF_WorldSuite2 world_suite{};
    PF_Iterate8Suite1 iterate_suite{};
    AEGP_UtilitySuite7 utility_suite{};
    PF_UtilCallbacks utils{};
    PF_InteractCallbacks inter{};
    PF_PreRenderCallbacks pre_render_cb{};
    PF_SmartRenderCallbacks smart_render_cb{};

    std::vector<SuiteEntry> catalogue;
    std::vector<SuiteUse> suite_uses;  // in order of first acquisition
    std::vector<Fault> faults;
    std::optional<std::pair<PF_PixelFormat, PF_Err>> pixel_format_answer;
    AEGP_PluginID plugin_id = kDefaultPluginId;

    std::vector<JournalEntry> journal;
    std::array<int, kHostOpCount> calls{};

    std::map<PF_Handle, std::unique_ptr<HandleBlock>> handles;
    int next_handle_id = 1;
    std::vector<Checkout> checkouts;
    std::vector<std::string> misuses;

    // Open scopes of this host.
    std::atomic<int> scope_depth{0};
};

// The host that is dispatching a command (see Host::Scope), or null; a
// call without one is counted in Host::CallsWithoutHost.
Host::Impl *ActiveHost();

// Live effect instances of every host, so that a callback can tell a real
// effect_ref from a stray pointer before it reads through it.
void RegisterEffect(Effect::State *effect);
void UnregisterEffect(Effect::State *effect);
Effect::State *FindEffect(PF_ProgPtr effect_ref);
// How many bytes may be written at buffer: the rest of a return-message
// buffer of one of host's effects, or 0 when it is none (unbounded: the
// plug-in answers for the size of its own buffers).
std::size_t ReturnMessageRoom(const Host::Impl *host, const A_char *buffer);
// Which world a smart render of one of host's effects was lent at this
// address: "input", "output", or null when it is neither.
const char *LentWorldName(const Host::Impl &host, const PF_EffectWorld *world);

// The functions the host lends, each put into its table by the file that
// holds it.
void InstallSuites(Host::Impl &host);     // HostSuites.cpp
void InstallCallbacks(Host::Impl &host);  // HostCallbacks.cpp
PF_Err Fill(PF_ProgPtr effect_ref, const PF_Pixel *color, const PF_LRect *rect,
            PF_EffectWorld *world);  // HostFill.cpp

}  // namespace renderhost

#endif
