#include "FakeBasicSuite.h"

#include <stdexcept>

namespace orvane_test {

FakeBasicSuite *FakeBasicSuite::active_ = nullptr;

const char *FaultLabel(AcquireFault fault) {
    switch (fault) {
        case AcquireFault::kNone:
            return "None";
        case AcquireFault::kCodeWithSuite:
            return "CodeWithSuite";
        case AcquireFault::kZeroWithoutSuite:
            return "ZeroWithoutSuite";
        case AcquireFault::kRefuse:
            return "Refuse";
    }
    return "?";
}

std::ostream &operator<<(std::ostream &os, const HostCall &call) {
    return os << (call.kind == HostCall::kAcquire ? "Acquire(" : "Release(") << '"' << call.name << "\", "
              << call.version << ')';
}

HostCall Acquired(const std::string &name, A_long version) { return HostCall{HostCall::kAcquire, name, version}; }

HostCall Released(const std::string &name, A_long version) { return HostCall{HostCall::kRelease, name, version}; }

FakeBasicSuite::FakeBasicSuite() : basic_{&AcquireThunk, &ReleaseThunk} {
    if (active_ != nullptr) {
        throw std::logic_error("only one FakeBasicSuite may be active");
    }
    active_ = this;
}

FakeBasicSuite::~FakeBasicSuite() { active_ = nullptr; }

void FakeBasicSuite::Serve(const std::string &name, A_long version) { served_[Key(name, version)]; }

void FakeBasicSuite::SetFault(const std::string &name, A_long version, AcquireFault fault) {
    served_[Key(name, version)].fault = fault;
}

const void *FakeBasicSuite::Table(const std::string &name, A_long version) const {
    auto it = served_.find(Key(name, version));
    return it == served_.end() ? nullptr : it->second.table;
}

std::map<std::pair<std::string, A_long>, int> FakeBasicSuite::Outstanding() const {
    std::map<Key, int> result = unserved_releases_;
    for (const auto &[key, served] : served_) {
        if (served.held != 0) {
            result[key] += served.held;
        }
    }
    return result;
}

SPErr FakeBasicSuite::AcquireThunk(const char *name, A_long version, const void **suite) {
    return active_->Acquire(name, version, suite);
}

SPErr FakeBasicSuite::ReleaseThunk(const char *name, A_long version) { return active_->Release(name, version); }

SPErr FakeBasicSuite::Acquire(const char *name, A_long version, const void **suite) {
    calls_.push_back(Acquired(name, version));
    auto it = served_.find(Key(name, version));
    if (it == served_.end()) {
        return kNotFoundCode;
    }
    Served &served = it->second;
    switch (served.fault) {
        case AcquireFault::kNone:
            *suite = served.table;
            ++served.held;
            return 0;
        case AcquireFault::kCodeWithSuite:
            // The table is handed out, so it counts as lent despite the code.
            *suite = served.table;
            ++served.held;
            return kFaultCode;
        case AcquireFault::kZeroWithoutSuite:
            *suite = nullptr;
            return 0;
        case AcquireFault::kRefuse:
            return kFaultCode;
    }
    return kFaultCode;
}

SPErr FakeBasicSuite::Release(const char *name, A_long version) {
    calls_.push_back(Released(name, version));
    auto it = served_.find(Key(name, version));
    if (it == served_.end()) {
        --unserved_releases_[Key(name, version)];
    } else {
        --it->second.held;
    }
    return release_code_;
}

}  // namespace orvane_test
