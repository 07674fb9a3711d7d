#include "AEFX_SuiteHelper.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "FakeBasicSuite.h"

namespace {

using orvane_test::Acquired;
using orvane_test::AcquireFault;
using orvane_test::FakeBasicSuite;
using orvane_test::HostCall;
using orvane_test::Released;

constexpr char kAcquireDefault[] = "Not able to acquire AEFX Suite.";
constexpr char kReleaseDefault[] = "Not able to release AEFX Suite.";
constexpr char kUntouchedMsg[] = "(untouched)";
constexpr PF_OutFlags kOtherFlags = PF_OutFlag_DEEP_COLOR_AWARE | 0x1;
constexpr PF_OutFlags2 kFlags2Sentinel = 0x5A5A;

// Every call of the host's sprintf, as the helpers made it.
struct SprintfCall {
    A_char *buffer;
    const A_char *format;
};
std::vector<SprintfCall> g_sprintf_calls;

int RecordingSprintf(A_char *buffer, const A_char *format, ...) {
    g_sprintf_calls.push_back({buffer, format});
    va_list args;
    va_start(args, format);
    const int written = std::vsnprintf(buffer, PF_MAX_EFFECT_MSG_LEN + 1, format, args);
    va_end(args);
    return written;
}

// A stale pointer value, distinct from every served table.
int g_stale_object;
const void *const kStale = &g_stale_object;

// In and out records as the host would pass them, with the host's sprintf
// recorded and sentinels in every field the helpers might touch.
class SuiteHelperTest : public ::testing::Test {
protected:
    void SetUp() override {
        g_sprintf_calls.clear();
        utils_.ansi.sprintf = &RecordingSprintf;
        in_.utils = &utils_;
        in_.pica_basicP = host_.basic();
        out_.out_flags = kOtherFlags;
        out_.out_flags2 = kFlags2Sentinel;
        std::snprintf(out_.return_msg, sizeof out_.return_msg, "%s", kUntouchedMsg);
    }

    void ExpectNoReport() const {
        EXPECT_EQ(out_.out_flags, kOtherFlags);
        EXPECT_STREQ(out_.return_msg, kUntouchedMsg);
        EXPECT_TRUE(g_sprintf_calls.empty());
    }

    void ExpectReport(const char *message, size_t sprintf_calls = 1) const {
        EXPECT_EQ(out_.out_flags, kOtherFlags | PF_OutFlag_DISPLAY_ERROR_MESSAGE);
        EXPECT_STREQ(out_.return_msg, message);
        ASSERT_EQ(g_sprintf_calls.size(), sprintf_calls);
        for (const SprintfCall &call : g_sprintf_calls) {
            EXPECT_EQ(call.buffer, out_.return_msg);
            EXPECT_STREQ(call.format, message);
        }
        EXPECT_EQ(out_.out_flags2, kFlags2Sentinel);
    }

    FakeBasicSuite host_;
    PF_UtilCallbacks utils_{};
    PF_InData in_{};
    PF_OutData out_{};
};

// ---------------------------------------------------------------------------
// AEFX_AcquireSuite

enum class PointerAfter { kServed, kNull, kStale };

struct AcquireCase {
    const char *label;
    bool with_basic;
    AcquireFault fault;
    const char *message;  // null: the default
    PF_Err expected_err;
    const char *expected_msg;  // null: no report expected
    PointerAfter pointer;
    size_t host_calls;
};

const AcquireCase kAcquireCases[] = {
    {"Served", true, AcquireFault::kNone, nullptr, PF_Err_NONE, nullptr, PointerAfter::kServed, 1},
    {"ServedWithMessage", true, AcquireFault::kNone, "Couldn't load suite.", PF_Err_NONE, nullptr,
     PointerAfter::kServed, 1},
    // The pointer alone decides: a nonzero code with a suite is success.
    {"CodeWithSuite", true, AcquireFault::kCodeWithSuite, "Couldn't load suite.", PF_Err_NONE, nullptr,
     PointerAfter::kServed, 1},
    {"ZeroWithoutSuite", true, AcquireFault::kZeroWithoutSuite, nullptr, PF_Err_BAD_CALLBACK_PARAM, kAcquireDefault,
     PointerAfter::kNull, 1},
    {"ZeroWithoutSuiteOwnMessage", true, AcquireFault::kZeroWithoutSuite, "Couldn't load suite.",
     PF_Err_BAD_CALLBACK_PARAM, "Couldn't load suite.", PointerAfter::kNull, 1},
    // The host leaves the caller's stale value in place; it must not count.
    {"RefusedStaleIgnored", true, AcquireFault::kRefuse, nullptr, PF_Err_BAD_CALLBACK_PARAM, kAcquireDefault,
     PointerAfter::kNull, 1},
    {"NoBasicSuite", false, AcquireFault::kNone, nullptr, PF_Err_BAD_CALLBACK_PARAM, kAcquireDefault,
     PointerAfter::kStale, 0},
    {"NoBasicSuiteOwnMessage", false, AcquireFault::kNone, "Couldn't load suite.", PF_Err_BAD_CALLBACK_PARAM,
     "Couldn't load suite.", PointerAfter::kStale, 0},
};

void PrintTo(const AcquireCase &c, std::ostream *os) { *os << c.label; }

class AcquireSuiteTest : public SuiteHelperTest, public ::testing::WithParamInterface<AcquireCase> {};

TEST_P(AcquireSuiteTest, ResultReportAndPointer) {
    const AcquireCase &c = GetParam();
    host_.Serve("PF World Suite", 2);
    host_.SetFault("PF World Suite", 2, c.fault);
    if (!c.with_basic) {
        in_.pica_basicP = nullptr;
    }
    const void *suite = kStale;

    EXPECT_EQ(AEFX_AcquireSuite(&in_, &out_, "PF World Suite", 2, c.message, &suite), c.expected_err);

    switch (c.pointer) {
        case PointerAfter::kServed:
            EXPECT_EQ(suite, host_.Table("PF World Suite", 2));
            break;
        case PointerAfter::kNull:
            EXPECT_EQ(suite, nullptr);
            break;
        case PointerAfter::kStale:
            EXPECT_EQ(suite, kStale);
            break;
    }
    if (c.expected_msg == nullptr) {
        ExpectNoReport();
    } else {
        ExpectReport(c.expected_msg);
        if (c.message != nullptr) {
            // The caller's text itself is the format.
            EXPECT_EQ(g_sprintf_calls[0].format, c.message);
        }
    }
    EXPECT_EQ(host_.calls().size(), c.host_calls);
    if (c.host_calls == 1) {
        EXPECT_EQ(host_.calls()[0], Acquired("PF World Suite", 2));
    }
}

INSTANTIATE_TEST_SUITE_P(Cases, AcquireSuiteTest, ::testing::ValuesIn(kAcquireCases),
                         [](const ::testing::TestParamInfo<AcquireCase> &info) {
                             return std::string(info.param.label);
                         });

TEST_F(SuiteHelperTest, AcquireOfUnservedSuiteFails) {
    const void *suite = nullptr;
    EXPECT_EQ(AEFX_AcquireSuite(&in_, &out_, "PF World Suite", 3, nullptr, &suite), PF_Err_BAD_CALLBACK_PARAM);
    EXPECT_EQ(suite, nullptr);
    ExpectReport(kAcquireDefault);
}

TEST_F(SuiteHelperTest, AcquireWithoutSuiteAddressFailsWithoutHostCall) {
    host_.Serve("PF World Suite", 2);
    EXPECT_EQ(AEFX_AcquireSuite(&in_, &out_, "PF World Suite", 2, nullptr, nullptr), PF_Err_BAD_CALLBACK_PARAM);
    ExpectReport(kAcquireDefault);
    EXPECT_TRUE(host_.calls().empty());
}

TEST_F(SuiteHelperTest, AcquireThenReleaseBalances) {
    host_.Serve("PF World Suite", 2);
    const void *suite = nullptr;
    ASSERT_EQ(AEFX_AcquireSuite(&in_, &out_, "PF World Suite", 2, nullptr, &suite), PF_Err_NONE);
    EXPECT_FALSE(host_.Outstanding().empty());
    EXPECT_EQ(AEFX_ReleaseSuite(&in_, &out_, "PF World Suite", 2, nullptr), PF_Err_NONE);
    EXPECT_TRUE(host_.Outstanding().empty());
    ExpectNoReport();
}

// ---------------------------------------------------------------------------
// AEFX_ReleaseSuite

struct ReleaseCase {
    const char *label;
    bool with_basic;
    SPErr host_code;
    const char *message;
    PF_Err expected_err;
    const char *expected_msg;  // null: no report expected
};

const ReleaseCase kReleaseCases[] = {
    {"Released", true, 0, nullptr, PF_Err_NONE, nullptr},
    {"HostCodeIgnored", true, FakeBasicSuite::kFaultCode, "Couldn't release suite.", PF_Err_NONE, nullptr},
    {"NoBasicSuite", false, 0, nullptr, PF_Err_BAD_CALLBACK_PARAM, kReleaseDefault},
    {"NoBasicSuiteOwnMessage", false, 0, "Couldn't release suite.", PF_Err_BAD_CALLBACK_PARAM,
     "Couldn't release suite."},
};

void PrintTo(const ReleaseCase &c, std::ostream *os) { *os << c.label; }

class ReleaseSuiteTest : public SuiteHelperTest, public ::testing::WithParamInterface<ReleaseCase> {};

TEST_P(ReleaseSuiteTest, ResultAndReport) {
    const ReleaseCase &c = GetParam();
    host_.SetReleaseCode(c.host_code);
    if (!c.with_basic) {
        in_.pica_basicP = nullptr;
    }
    EXPECT_EQ(AEFX_ReleaseSuite(&in_, &out_, "PF World Suite", 2, c.message), c.expected_err);
    if (c.expected_msg == nullptr) {
        ExpectNoReport();
        EXPECT_EQ(host_.calls(), std::vector<HostCall>{Released("PF World Suite", 2)});
    } else {
        ExpectReport(c.expected_msg);
        EXPECT_TRUE(host_.calls().empty());
    }
}

INSTANTIATE_TEST_SUITE_P(Cases, ReleaseSuiteTest, ::testing::ValuesIn(kReleaseCases),
                         [](const ::testing::TestParamInfo<ReleaseCase> &info) {
                             return std::string(info.param.label);
                         });

// ---------------------------------------------------------------------------
// Failure reports without the host's text functions, or without records.

enum class MissingPart { kUtils, kSprintf };

struct NoTextCase {
    const char *label;
    MissingPart missing;
    bool acquire;
};

const NoTextCase kNoTextCases[] = {
    {"AcquireNoUtils", MissingPart::kUtils, true},
    {"AcquireNoSprintf", MissingPart::kSprintf, true},
    {"ReleaseNoUtils", MissingPart::kUtils, false},
    {"ReleaseNoSprintf", MissingPart::kSprintf, false},
};

void PrintTo(const NoTextCase &c, std::ostream *os) { *os << c.label; }

class NoTextTest : public SuiteHelperTest, public ::testing::WithParamInterface<NoTextCase> {};

TEST_P(NoTextTest, FlagSetAndCodeReturnedWithoutMessage) {
    const NoTextCase &c = GetParam();
    if (c.missing == MissingPart::kUtils) {
        in_.utils = nullptr;
    } else {
        utils_.ansi.sprintf = nullptr;
    }
    in_.pica_basicP = nullptr;
    const void *suite = kStale;
    const PF_Err err = c.acquire ? AEFX_AcquireSuite(&in_, &out_, "PF World Suite", 2, nullptr, &suite)
                                 : AEFX_ReleaseSuite(&in_, &out_, "PF World Suite", 2, nullptr);
    EXPECT_EQ(err, PF_Err_BAD_CALLBACK_PARAM);
    EXPECT_EQ(out_.out_flags, kOtherFlags | PF_OutFlag_DISPLAY_ERROR_MESSAGE);
    EXPECT_STREQ(out_.return_msg, kUntouchedMsg);
    EXPECT_EQ(suite, kStale);
}

INSTANTIATE_TEST_SUITE_P(Cases, NoTextTest, ::testing::ValuesIn(kNoTextCases),
                         [](const ::testing::TestParamInfo<NoTextCase> &info) {
                             return std::string(info.param.label);
                         });

TEST_F(SuiteHelperTest, NullRecordsFailWithoutCrashing) {
    const void *suite = kStale;
    EXPECT_EQ(AEFX_AcquireSuite(nullptr, &out_, "PF World Suite", 2, nullptr, &suite), PF_Err_BAD_CALLBACK_PARAM);
    EXPECT_EQ(suite, kStale);
    EXPECT_EQ(out_.out_flags, kOtherFlags | PF_OutFlag_DISPLAY_ERROR_MESSAGE);
    EXPECT_EQ(AEFX_ReleaseSuite(nullptr, nullptr, "PF World Suite", 2, nullptr), PF_Err_BAD_CALLBACK_PARAM);
    in_.pica_basicP = nullptr;
    EXPECT_EQ(AEFX_AcquireSuite(&in_, nullptr, "PF World Suite", 2, nullptr, &suite), PF_Err_BAD_CALLBACK_PARAM);
    EXPECT_TRUE(g_sprintf_calls.empty());
    EXPECT_TRUE(host_.calls().empty());
}

// A message longer than the host's buffer is cut to fit instead of running
// past it; one that fits goes through the host's sprintf unchanged.
struct MessageLengthCase {
    size_t length;
    bool through_sprintf;
};

const MessageLengthCase kMessageLengths[] = {
    {PF_MAX_EFFECT_MSG_LEN - 1, true},
    {PF_MAX_EFFECT_MSG_LEN, true},
    {PF_MAX_EFFECT_MSG_LEN + 1, false},
    {1000, false},
};

TEST_F(SuiteHelperTest, MessageIsKeptWithinReturnBuffer) {
    in_.pica_basicP = nullptr;
    for (const MessageLengthCase &c : kMessageLengths) {
        SCOPED_TRACE(c.length);
        g_sprintf_calls.clear();
        std::string message;
        for (size_t i = 0; i < c.length; ++i) {
            message.push_back(static_cast<char>('a' + i % 26));
        }
        std::memset(out_.return_msg, '#', sizeof out_.return_msg);
        out_.out_flags2 = kFlags2Sentinel;

        EXPECT_EQ(AEFX_ReleaseSuite(&in_, &out_, "PF World Suite", 2, message.c_str()), PF_Err_BAD_CALLBACK_PARAM);

        const size_t kept = std::min<size_t>(c.length, PF_MAX_EFFECT_MSG_LEN);
        EXPECT_EQ(std::string(out_.return_msg), message.substr(0, kept));
        EXPECT_EQ(out_.out_flags2, kFlags2Sentinel);
        EXPECT_EQ(g_sprintf_calls.size(), c.through_sprintf ? 1u : 0u);
    }
}

// ---------------------------------------------------------------------------
// Drawing suites

const char *const kDrawbotNames[] = {"DRAWBOT Draw Suite", "DRAWBOT Supplier Suite", "DRAWBOT Surface Suite",
                                     "DRAWBOT Path Suite"};

const void *Field(const AEFX_DrawbotSuites &suites, int index) {
    switch (index) {
        case 0:
            return suites.draw_suiteP;
        case 1:
            return suites.supplier_suiteP;
        case 2:
            return suites.surface_suiteP;
        default:
            return suites.path_suiteP;
    }
}

AEFX_DrawbotSuites StaleRecord() {
    void *stale = const_cast<void *>(kStale);
    return AEFX_DrawbotSuites{static_cast<DRAWBOT_DrawSuite1 *>(stale), static_cast<DRAWBOT_SupplierSuite1 *>(stale),
                              static_cast<DRAWBOT_SurfaceSuite1 *>(stale), static_cast<DRAWBOT_PathSuite1 *>(stale)};
}

class DrawbotTest : public SuiteHelperTest {
protected:
    void SetUp() override {
        SuiteHelperTest::SetUp();
        for (const char *name : kDrawbotNames) {
            host_.Serve(name, 1);
        }
    }
};

TEST_F(DrawbotTest, AcquiresAllFourInOrder) {
    AEFX_DrawbotSuites suites = StaleRecord();
    EXPECT_EQ(AEFX_AcquireDrawbotSuites(&in_, &out_, &suites), PF_Err_NONE);
    std::vector<HostCall> expected;
    for (int i = 0; i < 4; ++i) {
        EXPECT_EQ(Field(suites, i), host_.Table(kDrawbotNames[i], 1)) << kDrawbotNames[i];
        expected.push_back(Acquired(kDrawbotNames[i], 1));
    }
    EXPECT_EQ(host_.calls(), expected);
    ExpectNoReport();

    host_.ClearCalls();
    EXPECT_EQ(AEFX_ReleaseDrawbotSuites(&in_, &out_), PF_Err_NONE);
    expected.clear();
    for (const char *name : kDrawbotNames) {
        expected.push_back(Released(name, 1));
    }
    EXPECT_EQ(host_.calls(), expected);
    EXPECT_TRUE(host_.Outstanding().empty());
    ExpectNoReport();
}

struct DrawbotFailureCase {
    int failing;  // index of the suite the host will not give
    AcquireFault fault;
};

void PrintTo(const DrawbotFailureCase &c, std::ostream *os) {
    *os << kDrawbotNames[c.failing] << ' ' << orvane_test::FaultLabel(c.fault);
}

class DrawbotFailureTest : public DrawbotTest, public ::testing::WithParamInterface<DrawbotFailureCase> {};

TEST_P(DrawbotFailureTest, StopsAtFirstFailure) {
    const DrawbotFailureCase &c = GetParam();
    host_.SetFault(kDrawbotNames[c.failing], 1, c.fault);
    AEFX_DrawbotSuites suites = StaleRecord();

    EXPECT_EQ(AEFX_AcquireDrawbotSuites(&in_, &out_, &suites), PF_Err_BAD_CALLBACK_PARAM);

    std::vector<HostCall> expected;
    for (int i = 0; i < 4; ++i) {
        SCOPED_TRACE(kDrawbotNames[i]);
        if (i < c.failing) {
            EXPECT_EQ(Field(suites, i), host_.Table(kDrawbotNames[i], 1));
        } else if (i == c.failing) {
            EXPECT_EQ(Field(suites, i), nullptr);
        } else {
            EXPECT_EQ(Field(suites, i), kStale);
        }
        if (i <= c.failing) {
            expected.push_back(Acquired(kDrawbotNames[i], 1));
        }
    }
    EXPECT_EQ(host_.calls(), expected);
    ExpectReport(kAcquireDefault);
}

std::vector<DrawbotFailureCase> AllDrawbotFailures() {
    std::vector<DrawbotFailureCase> cases;
    for (int i = 0; i < 4; ++i) {
        for (AcquireFault fault : {AcquireFault::kZeroWithoutSuite, AcquireFault::kRefuse}) {
            cases.push_back({i, fault});
        }
    }
    return cases;
}

INSTANTIATE_TEST_SUITE_P(EachSuite, DrawbotFailureTest, ::testing::ValuesIn(AllDrawbotFailures()),
                         [](const ::testing::TestParamInfo<DrawbotFailureCase> &info) {
                             return "Suite" + std::to_string(info.param.failing) +
                                    orvane_test::FaultLabel(info.param.fault);
                         });

TEST_F(DrawbotTest, AcquireWithoutBasicSuiteLeavesRecordUntouched) {
    in_.pica_basicP = nullptr;
    AEFX_DrawbotSuites suites = StaleRecord();
    EXPECT_EQ(AEFX_AcquireDrawbotSuites(&in_, &out_, &suites), PF_Err_BAD_CALLBACK_PARAM);
    for (int i = 0; i < 4; ++i) {
        EXPECT_EQ(Field(suites, i), kStale) << kDrawbotNames[i];
    }
    ExpectReport(kAcquireDefault);  // stopped after the first
    EXPECT_TRUE(host_.calls().empty());
}

TEST_F(DrawbotTest, AcquireIntoNullRecordFailsWithoutHostCall) {
    EXPECT_EQ(AEFX_AcquireDrawbotSuites(&in_, &out_, nullptr), PF_Err_BAD_CALLBACK_PARAM);
    ExpectReport(kAcquireDefault);
    EXPECT_TRUE(host_.calls().empty());
}

TEST_F(DrawbotTest, ReleaseWithoutBasicSuiteGoesOnAndReturnsZero) {
    in_.pica_basicP = nullptr;
    EXPECT_EQ(AEFX_ReleaseDrawbotSuites(&in_, &out_), PF_Err_NONE);
    ExpectReport(kReleaseDefault, 4);
    EXPECT_TRUE(host_.calls().empty());
}

TEST_F(DrawbotTest, ReleaseIgnoresHostCodes) {
    host_.SetReleaseCode(FakeBasicSuite::kFaultCode);
    EXPECT_EQ(AEFX_ReleaseDrawbotSuites(&in_, &out_), PF_Err_NONE);
    EXPECT_EQ(host_.calls().size(), 4u);
    ExpectNoReport();
}

}  // namespace
