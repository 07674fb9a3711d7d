// The one path of every host operation: find the host, take its lock,
// name the call for the journal, fail it when a fault is armed, run the
// operation's own body, record the call. Each operation then states only
// what it does. Not installed.
#ifndef ORVANE_RENDERHOST_HOSTCALL_H
#define ORVANE_RENDERHOST_HOSTCALL_H

#include "HostImpl.h"

#include <functional>
#include <mutex>
#include <string>
#include <type_traits>
#include <utility>

namespace renderhost {

// One host operation under way, with its host's lock held.
struct Call {
    Host::Impl &host;
    Effect::State *effect;  // whose callback this is; null in a suite function
    std::string detail;     // what the journal entry names; the body may change it

    // Work to do after the call is recorded, with the lock released: the
    // callbacks of iterate_generic and the rows of a fill run on the pool,
    // and those callbacks may call the host. Its result becomes the call's
    // (and its journal entry's).
    std::function<PF_Err()> unlocked;

    // Notes a wrong use by the plug-in; returns the code the call answers.
    PF_Err Refuse(std::string what, PF_Err code = PF_Err_BAD_CALLBACK_PARAM) {
        host.Misuse(std::move(what));
        return code;
    }
};

// What an armed fault does to a call.
enum class OnFault {
    kFail,    // the call answers the fault's code and does nothing else
    kReport,  // the call still gives back what it is given, and answers the
              // fault's code (where it is not 0) in place of its own
};

// What sets one operation's call apart.
struct Op {
    HostOp id;
    PF_Err without_host = PF_Err_BAD_CALLBACK_PARAM;  // when no host is dispatching
    OnFault on_fault = OnFault::kFail;
    const char *suite = nullptr;  // the suite name faults may be narrowed to
};

// The journal detail of a call: a string, or a function of the call.
template <class Detail>
std::string Describe(Detail &&describe, const Call &call) {
    if constexpr (std::is_invocable_v<Detail, const Call &>)
        return describe(call);
    else
        return std::string(std::forward<Detail>(describe));
}

// A callback whose effect_ref is no live effect: noted and recorded on the
// dispatching host, if there is one (HostCallbacks.cpp).
void RefuseStrayEffect(HostOp op);

// The shared steps, on a host already found. describe is the entry's
// detail: a string, or a function of the call for details that read the
// host's books. body does the operation and returns its code.
template <class Detail, class Body>
PF_Err Perform(Host::Impl &host, Effect::State *effect, const Op &op, Detail &&describe, Body &&body) {
    std::unique_lock<std::mutex> lock(host.mutex);
    Call call{host, effect, std::string(), nullptr};
    call.detail = Describe(std::forward<Detail>(describe), call);
    const std::optional<PF_Err> fault = host.TakeFault(op.id, op.suite);
    PF_Err result;
    if (fault && op.on_fault == OnFault::kFail) {
        result = *fault;
    } else {
        result = body(call);
        if (fault && *fault != PF_Err_NONE) result = *fault;
    }
    const std::size_t entry = host.Record(op.id, std::move(call.detail), result);
    if (!call.unlocked) return result;
    lock.unlock();
    result = call.unlocked();
    lock.lock();
    host.Amend(entry, op.id, result);
    return result;
}

// A suite function: it takes no reference to its host and is served by
// the dispatching one.
template <class Detail, class Body>
PF_Err Operate(const Op &op, Detail &&describe, Body &&body) {
    Host::Impl *host = ActiveHost();
    if (host == nullptr) return op.without_host;
    return Perform(*host, nullptr, op, std::forward<Detail>(describe), std::forward<Body>(body));
}

// A callback: served by the host of the effect it names.
template <class Detail, class Body>
PF_Err Operate(PF_ProgPtr effect_ref, const Op &op, Detail &&describe, Body &&body) {
    Effect::State *effect = FindEffect(effect_ref);
    if (effect == nullptr) {
        RefuseStrayEffect(op.id);
        return PF_Err_BAD_CALLBACK_PARAM;
    }
    return Perform(*effect->host, effect, op, std::forward<Detail>(describe), std::forward<Body>(body));
}

}  // namespace renderhost

#endif
