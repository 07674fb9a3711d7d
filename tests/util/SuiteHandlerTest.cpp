#include "AEGP_SuiteHandler.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <numeric>
#include <random>
#include <string>
#include <type_traits>
#include <vector>

#include "FakeBasicSuite.h"

namespace {

using orvane_test::Acquired;
using orvane_test::AcquireFault;
using orvane_test::FakeBasicSuite;
using orvane_test::HostCall;
using orvane_test::Released;

static_assert(!std::is_copy_constructible_v<AEGP_SuiteHandler>, "a handler owns its suites");
static_assert(!std::is_copy_assignable_v<AEGP_SuiteHandler>, "a handler owns its suites");
static_assert(!std::is_move_constructible_v<AEGP_SuiteHandler>, "a handler owns its suites");
static_assert(
    std::is_same_v<decltype(std::declval<const AEGP_SuiteHandler &>().UtilitySuiteV7()), AEGP_UtilitySuite7 *>);
static_assert(std::is_same_v<decltype(std::declval<const AEGP_SuiteHandler &>().HandleSuiteV2()), PF_HandleSuite2 *>);
static_assert(
    std::is_same_v<decltype(std::declval<const AEGP_SuiteHandler &>().Iterate8SuiteV1()), PF_Iterate8Suite1 *>);

struct ExpectedRow {
    const char *name;
    A_long version;
};

// The suite table as the host publishes it, row 1 first, kept here apart
// from the handler's own copy so that a slip in either shows up.
const ExpectedRow kExpectedTable[] = {
    {"AEGP Marker Suite", 1},                        // 1
    {"AEGP Marker Suite", 2},                        // 2
    {"AEGP Layer Suite", 8},                         // 3
    {"AEGP Layer Suite", 10},                        // 4
    {"AEGP Stream Suite", 9},                        // 5
    {"AEGP Stream Suite", 8},                        // 6
    {"AEGP Stream Suite", 7},                        // 7
    {"AEGP Stream Suite", 4},                        // 8
    {"AEGP Dynamic Stream Suite", 2},                // 9
    {"AEGP Dynamic Stream Suite", 3},                // 10
    {"AEGP Dynamic Stream Suite", 5},                // 11
    {"AEGP Keyframe Suite", 4},                      // 12
    {"AEGP Keyframe Suite", 3},                      // 13
    {"AEGP Keyframe Suite", 1},                      // 14
    {"AEGP Comp Suite", 9},                          // 15
    {"AEGP Comp Suite", 11},                         // 16
    {"AEGP Comp Suite", 14},                         // 17
    {"AEGP Canvas Suite", 10},                       // 18
    {"AEGP Canvas Suite", 11},                       // 19
    {"AEGP Camera Suite", 2},                        // 20
    {"AEGP Register Suite", 6},                      // 21
    {"AEGP Item Suite", 13},                         // 22
    {"AEGP Item Suite", 11},                         // 23
    {"AEGP Item Suite", 10},                         // 24
    {"AEGP Item Suite", 7},                          // 25
    {"AEGP Item Suite", 3},                          // 26
    {"AEGP PF Interface Suite", 1},                  // 27
    {"PF Path Query Suite", 1},                      // 28
    {"AEGP Memory Suite", 1},                        // 29
    {"PF Path Data Suite", 1},                       // 30
    {"PF Path Data Suite", 1},                       // 31
    {"PF AE App Suite", 6},                          // 32
    {"PF AE Adv App Suite", 2},                      // 33
    {"AEGP Light Suite", 1},                         // 34
    {"AEGP Light Suite", 2},                         // 35
    {"AEGP Effect Suite", 1},                        // 36
    {"AEGP Effect Suite", 2},                        // 37
    {"AEGP Effect Suite", 3},                        // 38
    {"AEGP Layer Mask Suite", 5},                    // 39
    {"AEGP Mask Outline Suite", 3},                  // 40
    {"AEGP Command Suite", 1},                       // 41
    {"AEGP Utility Suite", 7},                       // 42
    {"AEGP Render Suite", 1},                        // 43
    {"AEGP Render Suite", 2},                        // 44
    {"PF ANSI Suite", 1},                            // 45
    {"PF Handle Suite", 2},                          // 46
    {"PF Fill Matte Suite", 2},                      // 47
    {"PF World Transform Suite", 1},                 // 48
    {"AEGP QueryXform Suite", 4},                    // 49
    {"AEGP Composite Suite", 4},                     // 50
    {"PF World Suite", 1},                           // 51
    {"AEGP IO In Suite", 5},                         // 52
    {"AEGP IO Out Suite", 7},                        // 53
    {"AEGP Render Queue Suite", 1},                  // 54
    {"AEGP Render Queue Item Suite", 3},             // 55
    {"AEGP Output Module Suite", 4},                 // 56
    {"AEGP File Import Manager Suite", 3},           // 57
    {"PF Sampling8 Suite", 1},                       // 58
    {"PF Sampling16 Suite", 1},                      // 59
    {"PF Iterate8 Suite", 1},                        // 60
    {"PF iterate16 Suite", 1},                       // 61
    {"PF iterateFloat Suite", 1},                    // 62
    {"AEGP Collection Suite", 2},                    // 63
    {"AEGP Text Document Suite", 1},                 // 64
    {"AEGP Sound Data Suite", 1},                    // 65
    {"AEGP Text Layer Suite", 1},                    // 66
    {"AEGP Artisan Util Suite", 1},                  // 67
    {"AEGP World Suite", 2},                         // 68
    {"AEGP World Suite", 3},                         // 69
    {"AEGP Render Options Suite", 1},                // 70
    {"AEGP Tracker Suite", 1},                       // 71
    {"AEGP Tracker Utility Suite", 1},               // 72
    {"AE Plugin Helper Suite2", 2},                  // 73
    {"AEGP Layer Suite", 11},                        // 74
    {"AEGP Layer Suite", 12},                        // 75
    {"AEGP Layer Suite", 13},                        // 76
    {"PF AE Adv Item Suite", 1},                     // 77
    {"AEGP Layer Suite", 5},                         // 78
    {"AEGP Layer Mask Suite", 2},                    // 79
    {"AEGP Comp Suite", 4},                          // 80
    {"AEGP Collection Suite", 1},                    // 81
    {"AEGP Mask Outline Suite", 2},                  // 82
    {"PF AE Adv App Suite", 1},                      // 83
    {"AEGP Utility Suite", 3},                       // 84
    {"AEGP Render Options Suite", 2},                // 85
    {"AEGP Proj Suite", 8},                          // 86
    {"AEGP Footage Suite", 11},                      // 87
    {"AEGP Render Queue Item Suite", 4},             // 88
    {"AEGP Utility Suite", 10},                      // 89
    {"AEGP Persistent Data Suite", 3},               // 90
    {"PF Color Settings Suite", 3},                  // 91
    {"PF Color Settings Suite", 1},                  // 92
    {"PF ColorParamSuite", 1},                       // 93
    {"PF SamplingFloat Suite", 1},                   // 94
    {"AEGP Utility Suite", 11},                      // 95
    {"PF Effect Custom UI Suite", 1},                // 96
    {"PF Effect Custom UI Overlay Theme Suite", 1},  // 97
    {"DRAWBOT Draw Suite", 1},                       // 98
    {"DRAWBOT Supplier Suite", 1},                   // 99
    {"DRAWBOT Surface Suite", 1},                    // 100
    {"DRAWBOT Path Suite", 1},                       // 101
};
constexpr int kRows = sizeof kExpectedTable / sizeof kExpectedTable[0];
static_assert(kRows == AEGP_SuiteHandler::kSuiteCount);

// Runs f and returns the PF_Err it throws, or PF_Err_NONE if it returns.
// Any other exception escapes and fails the test.
template <typename F>
PF_Err ThrownError(F &&f) {
    try {
        f();
    } catch (PF_Err err) {
        return err;
    }
    return PF_Err_NONE;
}

class SuiteHandlerTest : public ::testing::Test {
protected:
    void SetUp() override {
        for (const ExpectedRow &row : kExpectedTable) {
            host_.Serve(row.name, row.version);
        }
    }

    static const ExpectedRow &Row(int row) { return kExpectedTable[row - 1]; }
    const void *ServedTable(int row) const { return host_.Table(Row(row).name, Row(row).version); }
    static HostCall AcquiredRow(int row) { return Acquired(Row(row).name, Row(row).version); }
    static HostCall ReleasedRow(int row) { return Released(Row(row).name, Row(row).version); }

    FakeBasicSuite host_;
};

TEST_F(SuiteHandlerTest, TableRowsMatchTheHostNames) {
    for (int row = 1; row <= kRows; ++row) {
        const AEGP_SuiteHandler::SuiteRow *entry = AEGP_SuiteHandler::TableRow(row);
        ASSERT_NE(entry, nullptr) << "row " << row;
        EXPECT_EQ(std::string(entry->name), Row(row).name) << "row " << row;
        EXPECT_EQ(entry->version, Row(row).version) << "row " << row;
    }
    for (int row : {-1, 0, kRows + 1}) {
        EXPECT_EQ(AEGP_SuiteHandler::TableRow(row), nullptr) << "row " << row;
    }
}

TEST_F(SuiteHandlerTest, UnusedHandlerMakesNoHostCall) {
    { AEGP_SuiteHandler suites(host_.basic()); }
    EXPECT_TRUE(host_.calls().empty());
}

TEST_F(SuiteHandlerTest, RepeatedAccessorAcquiresOnceAndReleasesOnce) {
    {
        AEGP_SuiteHandler suites(host_.basic());
        const PF_HandleSuite2 *first = suites.HandleSuiteV2();
        EXPECT_EQ(first, ServedTable(46));
        for (int i = 0; i < 4; ++i) {
            EXPECT_EQ(suites.HandleSuiteV2(), first);
        }
        EXPECT_EQ(suites.Suite(46), first);
        EXPECT_EQ(host_.calls(), std::vector<HostCall>{AcquiredRow(46)});
    }
    EXPECT_EQ(host_.calls(), (std::vector<HostCall>{AcquiredRow(46), ReleasedRow(46)}));
    EXPECT_TRUE(host_.Outstanding().empty());
}

TEST_F(SuiteHandlerTest, ReleasesInTableOrderNotAcquisitionOrder) {
    {
        AEGP_SuiteHandler suites(host_.basic());
        suites.HandleSuiteV2();
        suites.UtilitySuiteV7();
    }
    const std::vector<HostCall> expected = {Acquired("PF Handle Suite", 2), Acquired("AEGP Utility Suite", 7),
                                            Released("AEGP Utility Suite", 7), Released("PF Handle Suite", 2)};
    EXPECT_EQ(host_.calls(), expected);
}

struct TypedAccessorCase {
    const char *label;
    int row;
    const void *(*call)(const AEGP_SuiteHandler &);
};

const TypedAccessorCase kTypedAccessors[] = {
    {"UtilitySuiteV7", 42, [](const AEGP_SuiteHandler &s) -> const void * { return s.UtilitySuiteV7(); }},
    {"HandleSuiteV2", 46, [](const AEGP_SuiteHandler &s) -> const void * { return s.HandleSuiteV2(); }},
    {"Iterate8SuiteV1", 60, [](const AEGP_SuiteHandler &s) -> const void * { return s.Iterate8SuiteV1(); }},
};

TEST_F(SuiteHandlerTest, TypedAccessorsServeTheirOwnRow) {
    for (const TypedAccessorCase &c : kTypedAccessors) {
        SCOPED_TRACE(c.label);
        host_.ClearCalls();
        {
            AEGP_SuiteHandler suites(host_.basic());
            EXPECT_EQ(c.call(suites), ServedTable(c.row));
            // The untyped accessor shares the slot: no second acquisition.
            EXPECT_EQ(suites.Suite(c.row), ServedTable(c.row));
        }
        EXPECT_EQ(host_.calls(), (std::vector<HostCall>{AcquiredRow(c.row), ReleasedRow(c.row)}));
    }
    EXPECT_TRUE(host_.Outstanding().empty());
}

TEST_F(SuiteHandlerTest, EveryRowAcquiredInScrambledOrderIsReleasedInTableOrder) {
    std::vector<int> order(kRows);
    std::iota(order.begin(), order.end(), 1);
    std::shuffle(order.begin(), order.end(), std::mt19937(20240611u));
    ASSERT_FALSE(std::is_sorted(order.begin(), order.end()));

    {
        AEGP_SuiteHandler suites(host_.basic());
        for (int row : order) {
            EXPECT_EQ(suites.Suite(row), ServedTable(row)) << "row " << row;
        }
        // A second round is served from the slots.
        for (int row : order) {
            suites.Suite(row);
        }
        ASSERT_EQ(host_.calls().size(), static_cast<size_t>(kRows));
        for (int i = 0; i < kRows; ++i) {
            EXPECT_EQ(host_.calls()[i], AcquiredRow(order[i])) << "acquisition " << i;
        }
        host_.ClearCalls();
    }
    ASSERT_EQ(host_.calls().size(), static_cast<size_t>(kRows));
    for (int row = 1; row <= kRows; ++row) {
        EXPECT_EQ(host_.calls()[row - 1], ReleasedRow(row)) << "release " << row;
    }
    EXPECT_TRUE(host_.Outstanding().empty());
}

TEST_F(SuiteHandlerTest, BothPathDataSlotsAreHeldAndReleasedSeparately) {
    {
        AEGP_SuiteHandler suites(host_.basic());
        EXPECT_EQ(suites.Suite(30), ServedTable(30));
        EXPECT_EQ(suites.Suite(31), ServedTable(31));
        suites.Suite(30);
        suites.Suite(31);
        EXPECT_EQ(host_.calls(), (std::vector<HostCall>{AcquiredRow(30), AcquiredRow(31)}));
        host_.ClearCalls();
    }
    const std::vector<HostCall> expected = {Released("PF Path Data Suite", 1), Released("PF Path Data Suite", 1)};
    EXPECT_EQ(host_.calls(), expected);
    EXPECT_TRUE(host_.Outstanding().empty());
}

TEST_F(SuiteHandlerTest, OnePathDataSlotReleasesOnce) {
    for (int row : {30, 31}) {
        host_.ClearCalls();
        { AEGP_SuiteHandler(host_.basic()).Suite(row); }
        EXPECT_EQ(host_.calls(), (std::vector<HostCall>{AcquiredRow(row), ReleasedRow(row)})) << "row " << row;
    }
}

TEST_F(SuiteHandlerTest, NullBasicSuiteThrows516WithoutHostCall) {
    EXPECT_EQ(ThrownError([] { AEGP_SuiteHandler suites(nullptr); }), PF_Err_BAD_CALLBACK_PARAM);
    EXPECT_TRUE(host_.calls().empty());
}

TEST_F(SuiteHandlerTest, RowOutsideTableThrows516WithoutHostCall) {
    {
        AEGP_SuiteHandler suites(host_.basic());
        for (int row : {-5, 0, kRows + 1, 1000}) {
            EXPECT_EQ(ThrownError([&] { suites.Suite(row); }), PF_Err_BAD_CALLBACK_PARAM) << row;
        }
    }
    EXPECT_TRUE(host_.calls().empty());
}

TEST_F(SuiteHandlerTest, MissingSuiteErrorThrowsPfErr516) {
    AEGP_SuiteHandler suites(host_.basic());
    EXPECT_THROW(suites.MissingSuiteError(), PF_Err);
    EXPECT_EQ(ThrownError([&] { suites.MissingSuiteError(); }), PF_Err_BAD_CALLBACK_PARAM);
    EXPECT_TRUE(host_.calls().empty());
}

TEST_F(SuiteHandlerTest, HostReleaseCodeIsIgnored) {
    host_.SetReleaseCode(FakeBasicSuite::kFaultCode);
    {
        AEGP_SuiteHandler suites(host_.basic());
        suites.UtilitySuiteV7();
        suites.Iterate8SuiteV1();
    }
    EXPECT_EQ(host_.calls(),
              (std::vector<HostCall>{AcquiredRow(42), AcquiredRow(60), ReleasedRow(42), ReleasedRow(60)}));
    EXPECT_TRUE(host_.Outstanding().empty());
}

TEST_F(SuiteHandlerTest, MissingReleaseCallbackIsSkipped) {
    const SPBasicSuite acquire_only = {host_.basic()->AcquireSuite, nullptr};
    {
        AEGP_SuiteHandler suites(&acquire_only);
        EXPECT_EQ(suites.HandleSuiteV2(), ServedTable(46));
    }
    EXPECT_EQ(host_.calls(), std::vector<HostCall>{AcquiredRow(46)});
}

// Host answers that make an acquisition fail.
class SuiteHandlerFaultTest : public SuiteHandlerTest, public ::testing::WithParamInterface<AcquireFault> {
protected:
    // The host calls of one failed acquisition of `row`: a suite handed out
    // together with an error code is given straight back.
    std::vector<HostCall> FailedAcquisition(int row) const {
        if (GetParam() == AcquireFault::kCodeWithSuite) return {AcquiredRow(row), ReleasedRow(row)};
        return {AcquiredRow(row)};
    }
    static std::vector<HostCall> Then(std::vector<HostCall> a, const std::vector<HostCall> &b) {
        a.insert(a.end(), b.begin(), b.end());
        return a;
    }
};

TEST_P(SuiteHandlerFaultTest, FailedAcquisitionThrows516AndLeavesSlotEmpty) {
    host_.SetFault("PF Handle Suite", 2, GetParam());
    {
        AEGP_SuiteHandler suites(host_.basic());
        EXPECT_EQ(ThrownError([&] { suites.HandleSuiteV2(); }), PF_Err_BAD_CALLBACK_PARAM);
        // The slot stayed empty, so the next call asks the host again.
        host_.SetFault("PF Handle Suite", 2, AcquireFault::kNone);
        EXPECT_EQ(suites.HandleSuiteV2(), ServedTable(46));
    }
    EXPECT_EQ(host_.calls(), Then(FailedAcquisition(46), {AcquiredRow(46), ReleasedRow(46)}));
}

TEST_P(SuiteHandlerFaultTest, FailedAcquisitionLeavesNothingLent) {
    host_.SetFault("AEGP Utility Suite", 7, GetParam());
    EXPECT_EQ(ThrownError([&] { AEGP_SuiteHandler(host_.basic()).UtilitySuiteV7(); }), PF_Err_BAD_CALLBACK_PARAM);
    EXPECT_EQ(host_.calls(), FailedAcquisition(42));
    EXPECT_TRUE(host_.Outstanding().empty());
}

TEST_P(SuiteHandlerFaultTest, SecondSuiteMissingStillReleasesFirstOnce) {
    host_.SetFault("PF Iterate8 Suite", 1, GetParam());
    bool reached_end_of_scope = false;
    const PF_Err err = ThrownError([&] {
        AEGP_SuiteHandler suites(host_.basic());
        suites.HandleSuiteV2();
        suites.Iterate8SuiteV1();
        reached_end_of_scope = true;
    });
    EXPECT_EQ(err, PF_Err_BAD_CALLBACK_PARAM);
    EXPECT_FALSE(reached_end_of_scope);
    EXPECT_EQ(host_.calls(), Then(Then({AcquiredRow(46)}, FailedAcquisition(60)), {ReleasedRow(46)}));
}

INSTANTIATE_TEST_SUITE_P(HostFaults, SuiteHandlerFaultTest,
                         ::testing::Values(AcquireFault::kCodeWithSuite, AcquireFault::kZeroWithoutSuite,
                                           AcquireFault::kRefuse),
                         [](const ::testing::TestParamInfo<AcquireFault> &info) {
                             return std::string(orvane_test::FaultLabel(info.param));
                         });

TEST(SuiteHandlerUnservedTest, SuiteUnknownToHostThrows516) {
    FakeBasicSuite host;  // serves nothing
    EXPECT_EQ(ThrownError([&] {
                  AEGP_SuiteHandler suites(host.basic());
                  suites.UtilitySuiteV7();
              }),
              PF_Err_BAD_CALLBACK_PARAM);
    EXPECT_EQ(host.calls(), std::vector<HostCall>{Acquired("AEGP Utility Suite", 7)});
}

TEST(SuiteHandlerMissingCallbackTest, NoAcquireCallbackThrows516) {
    const SPBasicSuite basic = {nullptr, nullptr};
    AEGP_SuiteHandler suites(&basic);
    EXPECT_EQ(ThrownError([&] { suites.HandleSuiteV2(); }), PF_Err_BAD_CALLBACK_PARAM);
}

}  // namespace
