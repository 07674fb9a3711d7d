// The basic suite's catalogue and the suites' and utility callbacks' work.
#include "rh_test_support.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string>

namespace {

using renderhost::Depth;
using renderhost::Effect;
using renderhost::Host;
using renderhost::HostOp;
using renderhost::SuiteAnswer;
using renderhost::World;

// Tests that read the calls back keep the journal.
const renderhost::HostOptions kJournaled{0, renderhost::CallJournal::kOn};

struct CatalogueCase {
    const char *name;
    A_long version;
    bool served;
};
void PrintTo(const CatalogueCase &c, std::ostream *os) { *os << '"' << c.name << "\" " << c.version; }

class Catalogue : public ::testing::TestWithParam<CatalogueCase> {};

TEST_P(Catalogue, ServesExactNamesAndVersionsOnly) {
    const CatalogueCase &c = GetParam();
    Host host{kJournaled};
    Host::Scope scope(host);
    const void *table = reinterpret_cast<const void *>(&host);  // must be overwritten
    const SPErr err = host.BasicSuite()->AcquireSuite(c.name, c.version, &table);
    if (c.served) {
        EXPECT_EQ(err, PF_Err_NONE);
        EXPECT_NE(table, nullptr);
        EXPECT_EQ(host.OutstandingSuites(), 1);
        EXPECT_EQ(host.BasicSuite()->ReleaseSuite(c.name, c.version), PF_Err_NONE);
    } else {
        EXPECT_EQ(err, renderhost::kErrSuiteUnavailable);
        EXPECT_EQ(table, nullptr);
    }
    EXPECT_TRUE(host.IsClean()) << host.LeakReport();
    EXPECT_EQ(host.Journal().front().detail, std::string(c.name) + " " + std::to_string(c.version));
}

INSTANTIATE_TEST_SUITE_P(
    Cases, Catalogue,
    ::testing::Values(CatalogueCase{"PF Handle Suite", 2, true}, CatalogueCase{"PF World Suite", 2, true},
                      CatalogueCase{"PF Iterate8 Suite", 1, true}, CatalogueCase{"AEGP Utility Suite", 7, true},
                      CatalogueCase{"PF Handle Suite", 1, false}, CatalogueCase{"PF World Suite", 1, false},
                      CatalogueCase{"AEGP Utility Suite", 6, false}, CatalogueCase{"PF Handle suite", 2, false},
                      CatalogueCase{"PF Handle Suite ", 2, false}, CatalogueCase{"PF iterate16 Suite", 1, false},
                      CatalogueCase{"", 0, false}));

struct AnswerCase {
    SuiteAnswer answer;
    SPErr expected_code;
    bool expect_table;
};

class CatalogueAnswers : public ::testing::TestWithParam<AnswerCase> {};

TEST_P(CatalogueAnswers, AreConfigurable) {
    const AnswerCase &c = GetParam();
    Host host;
    host.SetSuiteAnswer("PF World Suite", 2, c.answer, 1234);
    Host::Scope scope(host);
    SPErr code = -1;
    const auto *suite = rhtest::Acquire<PF_WorldSuite2>(host.BasicSuite(), "PF World Suite", 2, &code);
    EXPECT_EQ(code, c.expected_code);
    EXPECT_EQ(suite != nullptr, c.expect_table);
    // A suite handed out counts as lent, whatever code came with it.
    EXPECT_EQ(host.OutstandingSuites(), c.expect_table ? 1 : 0);
}

INSTANTIATE_TEST_SUITE_P(Cases, CatalogueAnswers,
                         ::testing::Values(AnswerCase{SuiteAnswer::kServe, PF_Err_NONE, true},
                                           AnswerCase{SuiteAnswer::kRefuse, 1234, false},
                                           AnswerCase{SuiteAnswer::kNullWithoutError, PF_Err_NONE, false},
                                           AnswerCase{SuiteAnswer::kServeWithError, 1234, true}));

TEST(Catalogue, SuitesCanBeRemovedAndAdded) {
    Host host;
    host.RemoveSuite("AEGP Utility Suite", 7);
    static const int extra_table = 42;
    host.AddSuite("PF Path Data Suite", 1, &extra_table);
    EXPECT_THROW(host.SetSuiteAnswer("No Such Suite", 1, SuiteAnswer::kRefuse), std::invalid_argument);
    Host::Scope scope(host);
    EXPECT_EQ(rhtest::Acquire<AEGP_UtilitySuite7>(host.BasicSuite(), "AEGP Utility Suite", 7), nullptr);
    EXPECT_EQ(rhtest::Acquire<int>(host.BasicSuite(), "PF Path Data Suite", 1), &extra_table);
    EXPECT_EQ(rhtest::Acquire<int>(host.BasicSuite(), "PF Path Data Suite", 1), &extra_table);
    ASSERT_EQ(host.SuiteUses().size(), 1u);
    EXPECT_EQ(host.SuiteUses()[0].acquired, 2);
}

TEST(Scope, OneHostDispatchesAtATime) {
    Host first;
    Host second;
    Host::Scope outer(first);
    EXPECT_NO_THROW(Host::Scope inner(first));  // scopes of one host nest
    EXPECT_THROW(Host::Scope other(second), std::logic_error);
}

TEST(Scope, SuiteCallsWithoutADispatchingHostFail) {
    Host host{kJournaled};
    const long before = Host::CallsWithoutHost();
    const void *table = &host;
    EXPECT_NE(host.BasicSuite()->AcquireSuite("PF Handle Suite", 2, &table), PF_Err_NONE);
    EXPECT_EQ(table, nullptr);
    EXPECT_EQ(Host::CallsWithoutHost(), before + 1);
    EXPECT_EQ(host.Journal().size(), 0u);
}

PF_Err FailRow(void *, A_long, A_long, A_long) { return 7; }

// Off (the default) the host keeps no entries and refuses to answer for
// them; the counters and the results are the same either way.
TEST(Journal, IsKeptOnlyWhenAskedFor) {
    for (const bool keep : {false, true}) {
        SCOPED_TRACE(keep ? "journal on" : "journal off");
        Host host{keep ? kJournaled : renderhost::HostOptions{}};
        Host::Scope scope(host);
        const SPBasicSuite *basic = host.BasicSuite();
        const auto *handles = rhtest::Acquire<PF_HandleSuite2>(basic, "PF Handle Suite", 2);
        const auto *iterate = rhtest::Acquire<PF_Iterate8Suite1>(basic, "PF Iterate8 Suite", 1);
        ASSERT_TRUE(handles && iterate);
        handles->host_dispose_handle(handles->host_new_handle(8));
        EXPECT_EQ(iterate->iterate_generic(3, nullptr, &FailRow), 7);
        EXPECT_EQ(host.Calls(HostOp::AcquireSuite), 2);
        EXPECT_EQ(host.Calls(HostOp::IterateGeneric), 1);
        if (keep) {
            const auto journal = host.Journal();
            ASSERT_EQ(journal.size(), 5u);
            EXPECT_EQ(renderhost::ToString(journal[2]), "NewHandle(size 8 -> handle #1)");
            EXPECT_EQ(renderhost::ToString(journal[4]), "IterateGeneric(iterations 3) -> 7");
            host.ClearJournal();
            EXPECT_TRUE(host.JournalOps().empty());
        } else {
            EXPECT_THROW(host.Journal(), std::logic_error);
            EXPECT_THROW(host.JournalOps(), std::logic_error);
            EXPECT_NO_THROW(host.ClearJournal());
        }
        basic->ReleaseSuite("PF Handle Suite", 2);
        basic->ReleaseSuite("PF Iterate8 Suite", 1);
        EXPECT_TRUE(host.IsClean()) << host.LeakReport();
    }
}

TEST(HandleSuite, NewLockUnlockDispose) {
    Host host{kJournaled};
    Host::Scope scope(host);
    const auto *handles = rhtest::Acquire<PF_HandleSuite2>(host.BasicSuite(), "PF Handle Suite", 2);
    ASSERT_NE(handles, nullptr);
    PF_Handle h = handles->host_new_handle(24);
    ASSERT_NE(h, nullptr);
    EXPECT_EQ(host.FindHandle(h)->size, 24u);
    EXPECT_EQ(host.FindHandle(h)->id, 1);
    auto *p = static_cast<unsigned char *>(handles->host_lock_handle(h));
    ASSERT_EQ(p, *h);
    std::memset(p, 0x11, 24);  // the whole block is writable
    EXPECT_EQ(host.LockedHandles(), 1u);
    EXPECT_EQ(handles->host_lock_handle(h), p);  // locks nest
    EXPECT_EQ(host.FindHandle(h)->lock_count, 2);
    handles->host_unlock_handle(h);
    handles->host_unlock_handle(h);
    EXPECT_EQ(host.LockedHandles(), 0u);
    PF_Handle empty = handles->host_new_handle(0);
    ASSERT_NE(empty, nullptr);
    EXPECT_NE(*empty, nullptr);
    EXPECT_EQ(handles->host_new_handle(renderhost::kMaxHandleBytes + 1), nullptr);
    handles->host_dispose_handle(h);
    handles->host_dispose_handle(empty);
    EXPECT_FALSE(host.FindHandle(h).has_value());
    EXPECT_EQ(host.BasicSuite()->ReleaseSuite("PF Handle Suite", 2), PF_Err_NONE);
    EXPECT_TRUE(host.IsClean()) << host.LeakReport();
    const auto journal = host.Journal();
    EXPECT_EQ(journal[1].detail, "size 24 -> handle #1");
    EXPECT_EQ(journal[2].detail, "handle #1");
}

struct FormatCase {
    Depth depth;
    PF_PixelFormat expected;
};

class PixelFormat : public ::testing::TestWithParam<FormatCase> {};

TEST_P(PixelFormat, FollowsTheWorldsDepthUnlessOverridden) {
    Host host;
    Host::Scope scope(host);
    const auto *worlds = rhtest::Acquire<PF_WorldSuite2>(host.BasicSuite(), "PF World Suite", 2);
    ASSERT_NE(worlds, nullptr);
    World world(GetParam().depth, 2, 2);
    PF_PixelFormat format = 0;
    EXPECT_EQ(worlds->PF_GetPixelFormat(&world.descriptor(), &format), PF_Err_NONE);
    EXPECT_EQ(format, GetParam().expected);

    host.SetPixelFormatAnswer(PF_PixelFormat_INVALID);
    EXPECT_EQ(worlds->PF_GetPixelFormat(&world.descriptor(), &format), PF_Err_NONE);
    EXPECT_EQ(format, PF_PixelFormat_INVALID);
    host.SetPixelFormatAnswer(PF_PixelFormat_ARGB64, 99);  // a known code together with an error
    EXPECT_EQ(worlds->PF_GetPixelFormat(&world.descriptor(), &format), 99);
    EXPECT_EQ(format, PF_PixelFormat_ARGB64);
    host.ClearPixelFormatAnswer();
    EXPECT_EQ(worlds->PF_GetPixelFormat(&world.descriptor(), &format), PF_Err_NONE);
    EXPECT_EQ(format, GetParam().expected);
    EXPECT_EQ(worlds->PF_GetPixelFormat(nullptr, &format), PF_Err_BAD_CALLBACK_PARAM);
}

INSTANTIATE_TEST_SUITE_P(Depths, PixelFormat,
                         ::testing::Values(FormatCase{Depth::k8, PF_PixelFormat_ARGB32},
                                           FormatCase{Depth::k16, PF_PixelFormat_ARGB64},
                                           FormatCase{Depth::k32, PF_PixelFormat_ARGB128}));

TEST(UtilitySuite, RegisterWritesThePluginId) {
    Host host{kJournaled};
    host.SetPluginId(31337);
    Host::Scope scope(host);
    const auto *utility = rhtest::Acquire<AEGP_UtilitySuite7>(host.BasicSuite(), "AEGP Utility Suite", 7);
    ASSERT_NE(utility, nullptr);
    AEGP_PluginID id = 0;
    EXPECT_EQ(utility->AEGP_RegisterWithAEGP(nullptr, "Error!", &id), PF_Err_NONE);
    EXPECT_EQ(id, 31337);
    EXPECT_EQ(utility->AEGP_RegisterWithAEGP(nullptr, "Error!", nullptr), PF_Err_BAD_CALLBACK_PARAM);
    EXPECT_EQ(host.Journal()[1].detail, "Error!");
}

// ---- Utility callbacks: they need an effect, reached through a command ---

class Callbacks : public ::testing::Test {
protected:
    // Runs fn inside a command sent to an in-process effect.
    template <class Fn>
    void InCommand(Fn fn, PF_Cmd cmd = PF_Cmd_SMART_RENDER) {
        rhtest::ScriptGuard guard([&](PF_Cmd, PF_InData *in, PF_OutData *out, void *) -> PF_Err {
            fn(in, out);
            return PF_Err_NONE;
        });
        effect.Send(cmd, nullptr, nullptr, nullptr);
    }
    Host host{renderhost::HostOptions{2, renderhost::CallJournal::kOn}};
    Effect effect{host, &rhtest::ScriptedEntry};
};

TEST_F(Callbacks, SprintfIntoReturnMessageIsBounded) {
    std::string long_text(1000, 'x');
    int written = 0;
    InCommand([&](PF_InData *in, PF_OutData *out) {
        out->out_flags2 = 0x5A5A;
        written = in->utils->ansi.sprintf(out->return_msg, "%s|%d", long_text.c_str(), 7);
    });
    EXPECT_EQ(written, PF_MAX_EFFECT_MSG_LEN);
    EXPECT_EQ(std::strlen(effect.out_data().return_msg), static_cast<std::size_t>(PF_MAX_EFFECT_MSG_LEN));
    EXPECT_EQ(effect.out_data().out_flags2, 0x5A5A);  // the field after the buffer is untouched
}

TEST_F(Callbacks, SprintfAndStrcpyFormatAndCopy) {
    char own[64] = {};
    char name[32] = {};
    A_char *copied = nullptr;
    InCommand([&](PF_InData *in, PF_OutData *out) {
        in->utils->ansi.sprintf(out->return_msg, "%s, v%d.%d%d\r%s", "Probe", 1, 0, 0, "notice");
        in->utils->ansi.sprintf(own, "%05d", 42);
        copied = in->utils->ansi.strcpy(name, "Opacity");
        in->utils->ansi.strcpy(out->return_msg + 250, "0123456789");  // 6 bytes of room left
    });
    EXPECT_STREQ(effect.out_data().return_msg, "Probe, v1.00\rnotice");
    EXPECT_STREQ(own, "00042");
    EXPECT_STREQ(name, "Opacity");
    EXPECT_EQ(copied, name);
    EXPECT_STREQ(effect.out_data().return_msg + 250, "01234");
    const auto journal = host.Journal();
    ASSERT_EQ(journal.size(), 4u);
    EXPECT_EQ(journal[0].op, HostOp::Sprintf);
    EXPECT_EQ(journal[0].detail, "Probe, v1.00\rnotice");
    EXPECT_EQ(journal[2].op, HostOp::Strcpy);
    EXPECT_EQ(journal[2].detail, "Opacity");
}

struct FillCase {
    Depth depth;
    bool whole;            // else `rect`, clipped to the world
    A_long width, height;  // the world; two pixels of padding per row
    PF_LRect rect;
};

// The colour {255, 0, 128, 255} as the fill gives it in each depth.
bool IsFillColour(const World &world, A_long x, A_long y) {
    switch (world.depth()) {
        case Depth::k8: {
            const PF_Pixel p = world.At<PF_Pixel>(x, y);
            return p.alpha == 255 && p.red == 0 && p.green == 128 && p.blue == 255;
        }
        case Depth::k16: {
            const PF_Pixel16 p = world.At<PF_Pixel16>(x, y);
            return p.alpha == 32768 && p.red == 0 && p.green == 16448 && p.blue == 32768;  // 128 * 32768 / 255, rounded
        }
        case Depth::k32: {
            const PF_PixelFloat p = world.At<PF_PixelFloat>(x, y);
            return p.alpha == 1.0f && p.red == 0.0f && p.green == 128 / 255.0f && p.blue == 1.0f;
        }
    }
    return false;
}
bool IsTransparentBlack(const World &world, A_long x, A_long y) {
    const std::size_t pixel = renderhost::PixelBytes(world.depth());
    const auto *bytes = static_cast<const unsigned char *>(world.data()) +
                        static_cast<std::size_t>(y) * static_cast<std::size_t>(world.rowbytes()) +
                        static_cast<std::size_t>(x) * pixel;
    return std::all_of(bytes, bytes + pixel, [](unsigned char b) { return b == 0; });
}

class Fill : public Callbacks, public ::testing::WithParamInterface<FillCase> {};

// Small worlds take ordinary stores; worlds of 16 MiB and more streaming
// ones, with the pixels before the first 16-byte boundary of a row and
// after the last one written one by one.
TEST_P(Fill, FillsTheWorldOrTheClippedRect) {
    const FillCase &c = GetParam();
    World world(c.depth, c.width, c.height, 0, 0,
                static_cast<A_long>(renderhost::PixelBytes(c.depth) * static_cast<std::size_t>(c.width + 2)));
    PF_EffectWorld lent = world.descriptor();
    const PF_Pixel color{255, 0, 128, 255};
    PF_Err err = -1;
    InCommand([&](PF_InData *in, PF_OutData *) {
        err = in->utils->fill(in->effect_ref, &color, c.whole ? nullptr : &c.rect, &lent);
    });
    ASSERT_EQ(err, PF_Err_NONE);
    long long wrong_inside = 0, wrong_outside = 0;
    for (A_long y = 0; y < c.height; ++y) {
        for (A_long x = 0; x < c.width; ++x) {
            const bool inside =
                c.whole || (y >= c.rect.top && y < c.rect.bottom && x >= c.rect.left && x < c.rect.right);
            if (inside ? !IsFillColour(world, x, y) : !IsTransparentBlack(world, x, y))
                ++(inside ? wrong_inside : wrong_outside);
        }
    }
    EXPECT_EQ(wrong_inside, 0) << "pixels inside the rectangle not filled";
    EXPECT_EQ(wrong_outside, 0) << "pixels outside the rectangle changed";
    EXPECT_TRUE(world.PaddingIntact());
}

constexpr PF_LRect kSmallRect{1, 1, 99, 2};
constexpr PF_LRect kLargeRect{3, 1, 99999, 2049};  // odd first column, clipped on the right

INSTANTIATE_TEST_SUITE_P(
    Cases, Fill,
    ::testing::Values(FillCase{Depth::k8, true, 4, 3, {}}, FillCase{Depth::k8, false, 4, 3, kSmallRect},
                      FillCase{Depth::k16, true, 4, 3, {}}, FillCase{Depth::k16, false, 4, 3, kSmallRect},
                      FillCase{Depth::k32, true, 4, 3, {}}, FillCase{Depth::k32, false, 4, 3, kSmallRect},
                      // Past the streaming size: 2050 rows of 2055, 1033 and 517 pixels' stride.
                      FillCase{Depth::k8, true, 2053, 2050, {}}, FillCase{Depth::k8, false, 2053, 2050, kLargeRect},
                      FillCase{Depth::k16, true, 1031, 2050, {}}, FillCase{Depth::k16, false, 1031, 2050, kLargeRect},
                      FillCase{Depth::k32, true, 515, 2050, {}}, FillCase{Depth::k32, false, 515, 2050, kLargeRect}));

// Frame buffers start on a cache-line boundary.
TEST(WorldMemory, PixelsStartOnACacheLine) {
    for (Depth depth : {Depth::k8, Depth::k16, Depth::k32})
        for (A_long width : {1, 3, 640}) {
            World world(depth, width, 2);
            EXPECT_EQ(reinterpret_cast<std::uintptr_t>(world.descriptor().data) % 64, 0u)
                << "width " << width << ", " << renderhost::PixelBytes(depth) << "-byte pixels";
        }
    // From 16 MiB on, on a huge-page boundary (and still zeroed).
    World frame(Depth::k32, 1024, 1024);
    EXPECT_EQ(reinterpret_cast<std::uintptr_t>(frame.descriptor().data) % (std::uintptr_t{2} << 20), 0u);
    EXPECT_EQ(frame.At<PF_PixelFloat>(1023, 1023).alpha, 0.0f);
}

TEST_F(Callbacks, FillRefusesAnInvalidWorldAndAStrayEffectRef) {
    PF_EffectWorld bad{};
    bad.width = 2;
    bad.height = 2;
    bad.rowbytes = 8;  // and no data
    const PF_Pixel black{0, 0, 0, 0};
    World good(Depth::k8, 1, 1);
    PF_EffectWorld lent = good.descriptor();
    PF_Err invalid_world = 0;
    PF_Err stray_ref = 0;
    InCommand([&](PF_InData *in, PF_OutData *) {
        invalid_world = in->utils->fill(in->effect_ref, &black, nullptr, &bad);
        stray_ref = in->utils->fill(reinterpret_cast<PF_ProgPtr>(&lent), &black, nullptr, &lent);
    });
    EXPECT_EQ(invalid_world, PF_Err_BAD_CALLBACK_PARAM);
    EXPECT_EQ(stray_ref, PF_Err_BAD_CALLBACK_PARAM);
    EXPECT_EQ(host.Misuses().size(), 2u);
}

}  // namespace
