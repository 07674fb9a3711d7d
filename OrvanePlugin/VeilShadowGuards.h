// Guards for what a command must give back to the host: a handle not yet
// handed over, a locked handle, a checked-out parameter, a suite taken
// through the suite helper. Each gives back when its scope ends, also when
// a missing suite (the suite handler's thrown 516) unwinds the command, so
// things go back in the reverse order of their taking, and before the
// command's suite handler (built first) releases its suites.
//
// The command's result stays a plain error code. A guard whose give-back
// reports an error adds it with KeepFirstError: it counts only while the
// result is still 0, so a give-back after a failure never replaces the
// first error.
#ifndef ORVANE_PLUGIN_VEILSHADOW_GUARDS_H
#define ORVANE_PLUGIN_VEILSHADOW_GUARDS_H

#include <cstddef>

#include "AEFX_SuiteHelper.h"
#include "PF_Host.h"

namespace orvane {

inline void KeepFirstError(PF_Err &result, PF_Err err) {
    if (result == PF_Err_NONE) result = err;
}

// Records the host reads are cleared in full, so no field is ever undefined.
template <class Record>
void Clear(Record &record) {
    unsigned char *bytes = reinterpret_cast<unsigned char *>(&record);
    for (size_t i = 0; i < sizeof record; ++i) bytes[i] = 0;
}

// A new handle, the command's own until Release() hands it over (the
// caller stores it where the host keeps it); disposed of when the scope
// ends otherwise, since nobody else would ever dispose of it.
class OwnedHandle {
public:
    OwnedHandle(PF_HandleSuite2 *suite, size_t size) : suite_(suite), handle_(suite->host_new_handle(size)) {}
    ~OwnedHandle() {
        if (handle_ != nullptr) suite_->host_dispose_handle(handle_);
    }
    OwnedHandle(const OwnedHandle &) = delete;
    OwnedHandle &operator=(const OwnedHandle &) = delete;

    PF_Handle get() const { return handle_; }
    PF_Handle Release() {
        PF_Handle handle = handle_;
        handle_ = nullptr;
        return handle;
    }

private:
    PF_HandleSuite2 *suite_;
    PF_Handle handle_;
};

// A handle locked for the length of a scope. A lock that gave no block
// locked nothing, so nothing is unlocked for it.
class HandleLock {
public:
    HandleLock(PF_HandleSuite2 *suite, PF_Handle handle)
        : suite_(suite), handle_(handle), block_(suite->host_lock_handle(handle)) {}
    ~HandleLock() {
        if (block_ != nullptr) suite_->host_unlock_handle(handle_);
    }
    HandleLock(const HandleLock &) = delete;
    HandleLock &operator=(const HandleLock &) = delete;

    void *block() const { return block_; }

private:
    PF_HandleSuite2 *suite_;
    PF_Handle handle_;
    void *block_;
};

// A parameter checked out at the command's time (current_time, time_step,
// time_scale) for the length of a scope. Like every step of a command, the
// checkout is made only while `result` is 0, and its error becomes the
// result. The check-in follows a checkout that succeeded, whatever happened
// since; where nothing was checked out there is nothing to give back. The
// record is cleared in full first, so a layer parameter's data pointer is
// null until a checkout gives pixels.
class ParamCheckout {
public:
    ParamCheckout(PF_InData *in_data, PF_ParamIndex index, PF_Err &result) : in_data_(in_data), result_(result) {
        Clear(def_);
        if (result_ != PF_Err_NONE) return;
        result_ = in_data_->inter.checkout_param(in_data_->effect_ref, index, in_data_->current_time,
                                                 in_data_->time_step, in_data_->time_scale, &def_);
        held_ = result_ == PF_Err_NONE;
    }
    ~ParamCheckout() {
        if (held_) KeepFirstError(result_, in_data_->inter.checkin_param(in_data_->effect_ref, &def_));
    }
    ParamCheckout(const ParamCheckout &) = delete;
    ParamCheckout &operator=(const ParamCheckout &) = delete;

    PF_ParamDef &def() { return def_; }

private:
    PF_InData *in_data_;
    PF_Err &result_;
    PF_ParamDef def_;
    bool held_ = false;
};

// A suite taken with AEFX_AcquireSuite, only while `result` is 0 (its
// error becomes the result), and given back with AEFX_ReleaseSuite when the
// scope ends, if it was acquired. The suite helper judges a suite by its
// pointer, so a null pointer means nothing is held.
template <class Suite>
class HelperSuite {
public:
    HelperSuite(PF_InData *in_data, PF_OutData *out_data, const char *name, A_long version, const char *acquire_message,
                const char *release_message, PF_Err &result)
        : in_data_(in_data),
          out_data_(out_data),
          name_(name),
          version_(version),
          release_message_(release_message),
          result_(result) {
        if (result_ == PF_Err_NONE)
            result_ = AEFX_AcquireSuite(in_data_, out_data_, name_, version_, acquire_message, &suite_);
    }
    ~HelperSuite() {
        if (suite_ != nullptr)
            KeepFirstError(result_, AEFX_ReleaseSuite(in_data_, out_data_, name_, version_, release_message_));
    }
    HelperSuite(const HelperSuite &) = delete;
    HelperSuite &operator=(const HelperSuite &) = delete;

    const Suite *operator->() const { return static_cast<const Suite *>(suite_); }

private:
    PF_InData *in_data_;
    PF_OutData *out_data_;
    const char *name_;
    A_long version_;
    const char *release_message_;
    PF_Err &result_;
    const void *suite_ = nullptr;
};

}  // namespace orvane

#endif
