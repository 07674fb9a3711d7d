// A stand-in for the host's SPBasicSuite: serves dummy function tables under
// (name, version), records every AcquireSuite/ReleaseSuite call in order and
// can be told to fail particular acquisitions.
#ifndef ORVANE_TESTS_UTIL_FAKEBASICSUITE_H
#define ORVANE_TESTS_UTIL_FAKEBASICSUITE_H

#include <map>
#include <ostream>
#include <string>
#include <utility>
#include <vector>

#include "PF_Host.h"

namespace orvane_test {

// How the fake answers AcquireSuite for one suite.
enum class AcquireFault {
    kNone,              // code 0, the served table
    kCodeWithSuite,     // nonzero code, but the served table is handed out anyway
    kZeroWithoutSuite,  // code 0, suite pointer set to null
    kRefuse,            // nonzero code, suite pointer left as the caller had it
};

const char *FaultLabel(AcquireFault fault);
inline void PrintTo(AcquireFault fault, std::ostream *os) { *os << FaultLabel(fault); }

struct HostCall {
    enum Kind { kAcquire, kRelease };
    Kind kind;
    std::string name;
    A_long version;

    bool operator==(const HostCall &other) const {
        return kind == other.kind && name == other.name && version == other.version;
    }
};
std::ostream &operator<<(std::ostream &os, const HostCall &call);

HostCall Acquired(const std::string &name, A_long version);
HostCall Released(const std::string &name, A_long version);

class FakeBasicSuite {
public:
    static constexpr SPErr kNotFoundCode = 0x2A;
    static constexpr SPErr kFaultCode = 0x2B;

    // Only one fake is active at a time: the C callbacks have no context
    // pointer, so they reach the fake through a static.
    FakeBasicSuite();
    ~FakeBasicSuite();
    FakeBasicSuite(const FakeBasicSuite &) = delete;
    FakeBasicSuite &operator=(const FakeBasicSuite &) = delete;

    // Publishes a dummy table under (name, version). Serving twice is harmless.
    void Serve(const std::string &name, A_long version);
    void SetFault(const std::string &name, A_long version, AcquireFault fault);
    // The code every ReleaseSuite returns (the callers must ignore it).
    void SetReleaseCode(SPErr code) { release_code_ = code; }

    const SPBasicSuite *basic() const { return &basic_; }

    // The dummy table served under (name, version); null if not served.
    const void *Table(const std::string &name, A_long version) const;

    const std::vector<HostCall> &calls() const { return calls_; }
    void ClearCalls() { calls_.clear(); }

    // Successful acquisitions minus releases, per suite, for suites where
    // this is not zero. Empty when everything lent out came back; a negative
    // count means a release of something never lent.
    std::map<std::pair<std::string, A_long>, int> Outstanding() const;

private:
    struct Served {
        alignas(16) unsigned char table[64] = {};
        AcquireFault fault = AcquireFault::kNone;
        int held = 0;
    };
    using Key = std::pair<std::string, A_long>;

    static SPErr AcquireThunk(const char *name, A_long version, const void **suite);
    static SPErr ReleaseThunk(const char *name, A_long version);
    SPErr Acquire(const char *name, A_long version, const void **suite);
    SPErr Release(const char *name, A_long version);

    static FakeBasicSuite *active_;

    SPBasicSuite basic_;
    std::map<Key, Served> served_;  // map nodes stay put, so tables keep their address
    std::map<Key, int> unserved_releases_;
    std::vector<HostCall> calls_;
    SPErr release_code_ = 0;
};

}  // namespace orvane_test

#endif
