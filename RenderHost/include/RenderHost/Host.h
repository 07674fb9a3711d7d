// The render host: every host operation the plug-in uses, with fault
// injection, accounting of what it lends out and, when asked for, a journal
// of calls.
#ifndef ORVANE_RENDERHOST_HOST_H
#define ORVANE_RENDERHOST_HOST_H

#include <PF_Host.h>

#include <cstddef>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace renderhost {

// Every host operation, for the journal, the call counters and faults.
enum class HostOp {
    AcquireSuite,
    ReleaseSuite,
    NewHandle,
    LockHandle,
    UnlockHandle,
    DisposeHandle,
    GetPixelFormat,
    RegisterWithAEGP,
    AddParam,
    CheckoutParam,
    CheckinParam,
    CheckoutLayer,
    CheckoutLayerPixels,
    CheckinLayerPixels,
    CheckoutOutput,
    Fill,
    IterateGeneric,
    Sprintf,
    Strcpy,
};
inline constexpr int kHostOpCount = static_cast<int>(HostOp::Strcpy) + 1;
const char *HostOpName(HostOp op);

// One call the plug-in made, in call order. detail names what the call was
// about: "PF Handle Suite 2", "handle #3", "index 1", "iterations 480",
// "ae16 of the input" (the format answered, and which lent world was
// asked), the text written by sprintf, ...
struct JournalEntry {
    HostOp op;
    std::string detail;
    PF_Err result;
};
std::string ToString(const JournalEntry &entry);

// What the basic suite answers for a suite it does not serve.
inline constexpr SPErr kErrSuiteUnavailable = 2001;
// What RegisterWithAEGP writes unless told otherwise.
inline constexpr AEGP_PluginID kDefaultPluginId = 7;
// The largest block host_new_handle allocates; larger requests get null.
inline constexpr A_u_longlong kMaxHandleBytes = A_u_longlong{256} << 20;

// How AcquireSuite answers for one suite of the catalogue.
enum class SuiteAnswer {
    kServe,             // 0 and the suite
    kRefuse,            // an error code and null
    kNullWithoutError,  // 0 and null
    kServeWithError,    // an error code and the suite
};

// Acquisitions and releases of one suite. A suite counts as acquired
// whenever AcquireSuite handed out a non-null pointer, whatever code came
// with it.
struct SuiteUse {
    std::string name;
    A_long version = 0;
    int acquired = 0;
    int released = 0;
    int outstanding() const { return acquired - released; }
};

struct HandleInfo {
    int id = 0;  // 1, 2, 3, ... in order of allocation; the journal's "#id"
    A_u_longlong size = 0;
    int lock_count = 0;
};

// Whether a host keeps the journal of its calls.
enum class CallJournal { kOff, kOn };

struct HostOptions {
    // Threads of iterate_generic and the fill, the calling thread
    // included; 0: one per hardware thread of the machine.
    int threads = 0;
    // The journal holds an entry for every call, so it grows with every
    // frame: off, a long sequence renders in constant memory; on, for
    // tests that check which calls were made and in what order.
    CallJournal journal = CallJournal::kOff;
};

class Effect;
class ThreadPool;

// Stands in for the host. One Host dispatches at a time in a process: the
// suites' functions take no reference to their host (only the callbacks
// reached through in_data get the effect_ref), so the host that is
// dispatching a command is found through a process-wide pointer set by
// Host::Scope. Effect sets it for each command; tests that call suite
// functions directly open a Scope themselves. The row callbacks of
// iterate_generic run on pool threads; they may call the host, which keeps
// its bookkeeping under a lock.
class Host {
public:
    explicit Host(HostOptions options = {});
    ~Host();  // every effect must be gone first
    Host(const Host &) = delete;
    Host &operator=(const Host &) = delete;

    // Makes this host the dispatching one for its lifetime. Scopes of one
    // host nest; a scope of another host while one is open throws
    // std::logic_error.
    class Scope {
    public:
        explicit Scope(Host &host);
        ~Scope();
        Scope(const Scope &) = delete;
        Scope &operator=(const Scope &) = delete;

    private:
        Host &host_;
    };

    // ---- What the plug-in is given ----------------------------------
    const SPBasicSuite *BasicSuite() const;
    PF_UtilCallbacks *Utils();
    PF_InteractCallbacks Interact() const;
    PF_PreRenderCallbacks *PreRenderCallbacks();
    PF_SmartRenderCallbacks *SmartRenderCallbacks();
    int threads() const;
    // The pool iterate_generic and the fill run on, lent for other row
    // work of the same frames; its runs take turns (see ThreadPool::Run).
    ThreadPool &pool();

    // ---- Suite catalogue --------------------------------------------
    // Served from the start, exact names and versions only: "PF Handle
    // Suite" 2, "PF World Suite" 2, "PF Iterate8 Suite" 1, "AEGP Utility
    // Suite" 7. Anything else is refused with kErrSuiteUnavailable and null.
    void SetSuiteAnswer(const std::string &name, A_long version, SuiteAnswer answer, SPErr code = kErrSuiteUnavailable);
    void RemoveSuite(const std::string &name, A_long version);
    // Serves another suite; the table must outlive the host.
    void AddSuite(const std::string &name, A_long version, const void *table);

    // ---- Fault injection --------------------------------------------
    // The nth call of op (1-based, counted from now) fails with code. What
    // failing means per operation:
    //  - an operation that returns a pointer returns null (AcquireSuite:
    //    code and null, so code 0 gives "0 and null"; NewHandle and
    //    LockHandle: null; checkout_layer_pixels and checkout_output: code
    //    and a null world; Strcpy: null, nothing copied);
    //  - Sprintf writes nothing and returns -1;
    //  - any other operation returns code and does nothing;
    //  - operations that give something back (ReleaseSuite, CheckinParam,
    //    CheckinLayerPixels, UnlockHandle, DisposeHandle) still take it
    //    back and only report code; UnlockHandle and DisposeHandle return
    //    nothing, so for them only the journal shows the fault.
    void FailOn(HostOp op, int nth, PF_Err code);
    // As FailOn, counting only the calls of AcquireSuite or ReleaseSuite
    // for this suite name (any version).
    void FailOnSuite(HostOp op, const std::string &suite_name, int nth, PF_Err code);
    void ClearFaults();
    // PF_GetPixelFormat then answers this code and returns this result,
    // whatever the world, until cleared.
    void SetPixelFormatAnswer(PF_PixelFormat code, PF_Err result = PF_Err_NONE);
    void ClearPixelFormatAnswer();
    void SetPluginId(AEGP_PluginID id);

    // ---- Journal ----------------------------------------------------
    // The entries since the host was made or last cleared. A host made
    // with the journal off keeps none: these two throw std::logic_error
    // there rather than answer an empty journal.
    std::vector<JournalEntry> Journal() const;
    std::vector<HostOp> JournalOps() const;
    // Empties the journal (nothing to do when it is off).
    void ClearJournal();
    // Calls of op since the host was made (failed ones included). Counted
    // whether or not the journal is kept: a counter per operation costs
    // nothing as frames add up.
    int Calls(HostOp op) const;

    // ---- Accounting -------------------------------------------------
    std::size_t LiveHandles() const;
    std::size_t LockedHandles() const;
    // Null when the handle is not live.
    std::optional<HandleInfo> FindHandle(PF_Handle handle) const;
    std::vector<SuiteUse> SuiteUses() const;
    int OutstandingSuites() const;
    int OutstandingCheckouts() const;
    int OutstandingCheckouts(PF_ParamIndex index) const;
    // Calls the host refused or tolerated as wrong use: a check-in without
    // a checkout, a lock of a dead handle, a second disposal, a release of
    // a suite not held, a callback outside its command, ...
    std::vector<std::string> Misuses() const;
    // Everything still lent out and every misuse, one per line; empty when
    // clean.
    std::string LeakReport() const;
    bool IsClean() const;

    // Suite and handle calls made while no host was dispatching (they fail
    // and are counted here, in the whole process).
    static long CallsWithoutHost();

    // The host's state; defined in the library only.
    struct Impl;

private:
    friend class Effect;
    Impl &impl() { return *impl_; }

    std::unique_ptr<Impl> impl_;
};

}  // namespace renderhost

#endif
