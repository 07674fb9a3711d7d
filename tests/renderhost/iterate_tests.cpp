// iterate_generic: every index once, on a persistent pool, the first error
// returned only after every call has finished.
#include "rh_test_support.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <set>
#include <thread>
#include <tuple>
#include <vector>

namespace {

using renderhost::Host;
using renderhost::HostOp;
using renderhost::HostOptions;

const PF_Iterate8Suite1 *IterateSuite(Host &host) {
    const auto *suite = rhtest::Acquire<PF_Iterate8Suite1>(host.BasicSuite(), "PF Iterate8 Suite", 1);
    EXPECT_NE(suite, nullptr);
    return suite;
}

struct Tally {
    explicit Tally(A_long count) : hits(static_cast<std::size_t>(count)) {}
    std::vector<std::atomic<int>> hits;
    std::atomic<int> bad_thread_index{0};
    std::atomic<int> bad_count{0};
    int threads = 0;
    A_long count = 0;
};

PF_Err CountHit(void *refcon, A_long thread_index, A_long i, A_long iterations) {
    auto &tally = *static_cast<Tally *>(refcon);
    if (thread_index < 0 || thread_index >= tally.threads) ++tally.bad_thread_index;
    if (iterations != tally.count) ++tally.bad_count;
    ++tally.hits[static_cast<std::size_t>(i)];
    return PF_Err_NONE;
}

class IterateEveryIndex : public ::testing::TestWithParam<std::tuple<int, A_long>> {};

TEST_P(IterateEveryIndex, CallsEachIndexExactlyOnce) {
    const auto [threads, count] = GetParam();
    Host host(HostOptions{threads, renderhost::CallJournal::kOn});
    ASSERT_EQ(host.threads(), threads);
    Host::Scope scope(host);
    const PF_Iterate8Suite1 *suite = IterateSuite(host);
    ASSERT_NE(suite, nullptr);

    // Several runs on one pool: the pool is reused, not rebuilt.
    for (int run = 0; run < 3; ++run) {
        Tally tally(count);
        tally.threads = threads;
        tally.count = count;
        EXPECT_EQ(suite->iterate_generic(count, &tally, &CountHit), PF_Err_NONE);
        for (A_long i = 0; i < count; ++i)
            ASSERT_EQ(tally.hits[static_cast<std::size_t>(i)].load(), 1) << "index " << i << ", run " << run;
        EXPECT_EQ(tally.bad_thread_index.load(), 0);
        EXPECT_EQ(tally.bad_count.load(), 0);
    }
    EXPECT_EQ(host.Calls(HostOp::IterateGeneric), 3);
    EXPECT_EQ(host.Journal().back().detail, "iterations " + std::to_string(count));
    EXPECT_TRUE(host.Misuses().empty());
}

INSTANTIATE_TEST_SUITE_P(ThreadsAndCounts, IterateEveryIndex,
                         ::testing::Combine(::testing::Values(1, 2, 3, 8),
                                            ::testing::Values(A_long{0}, A_long{1}, A_long{7}, A_long{1000},
                                                              // rows of a UHD frame, plus a last short claim
                                                              A_long{2163})));

struct Failing {
    std::vector<std::pair<A_long, PF_Err>> errors;  // index, result
    std::atomic<int> finished{0};
};

PF_Err FailSome(void *refcon, A_long, A_long i, A_long) {
    auto &f = *static_cast<Failing *>(refcon);
    std::this_thread::sleep_for(std::chrono::microseconds(200));
    PF_Err result = PF_Err_NONE;
    for (const auto &e : f.errors)
        if (e.first == i) result = e.second;
    ++f.finished;
    return result;
}

struct ErrorCase {
    int threads;
    A_long count;
    std::vector<std::pair<A_long, PF_Err>> errors;
    std::set<PF_Err> allowed;  // results that count as "the first error"
};
void PrintTo(const ErrorCase &c, std::ostream *os) {
    *os << c.threads << " threads, " << c.count << " indices, " << c.errors.size() << " failing";
}

class IterateFirstError : public ::testing::TestWithParam<ErrorCase> {};

TEST_P(IterateFirstError, ReturnsFirstErrorAfterAllCallsFinished) {
    const ErrorCase &c = GetParam();
    Host host(HostOptions{c.threads, renderhost::CallJournal::kOn});
    Host::Scope scope(host);
    const PF_Iterate8Suite1 *suite = IterateSuite(host);
    ASSERT_NE(suite, nullptr);
    Failing f;
    f.errors = c.errors;
    const PF_Err result = suite->iterate_generic(c.count, &f, &FailSome);
    // Every call has finished by the time the result is returned.
    EXPECT_EQ(f.finished.load(), c.count);
    EXPECT_EQ(c.allowed.count(result), 1u) << "result " << result;
    EXPECT_EQ(host.Journal().back().result, result);
}

INSTANTIATE_TEST_SUITE_P(Cases, IterateFirstError,
                         ::testing::Values(ErrorCase{1, 20, {{5, 77}}, {77}},
                                           // One thread runs in index order: the lower index fails first.
                                           ErrorCase{1, 20, {{3, 11}, {7, 22}}, {11}}, ErrorCase{2, 40, {{0, 9}}, {9}},
                                           ErrorCase{3, 40, {{39, -5}}, {-5}},
                                           ErrorCase{8, 100, {{10, 1}, {90, 2}}, {1, 2}},
                                           ErrorCase{8, 30, {}, {PF_Err_NONE}}));

TEST(Iterate, RefusesNegativeCountAndMissingCallback) {
    Host host(HostOptions{2});
    Host::Scope scope(host);
    const PF_Iterate8Suite1 *suite = IterateSuite(host);
    ASSERT_NE(suite, nullptr);
    Tally tally(1);
    EXPECT_EQ(suite->iterate_generic(-1, &tally, &CountHit), PF_Err_BAD_CALLBACK_PARAM);
    EXPECT_EQ(suite->iterate_generic(4, &tally, nullptr), PF_Err_BAD_CALLBACK_PARAM);
    EXPECT_EQ(tally.hits[0].load(), 0);
    EXPECT_EQ(host.Misuses().size(), 2u);
}

// Three callbacks that can only finish together: the run must be spread
// over three threads at once.
struct Meeting {
    std::mutex mutex;
    std::condition_variable cv;
    int arrived = 0;
    bool all_met = true;
    std::set<std::thread::id> ids;
};

PF_Err Meet(void *refcon, A_long, A_long, A_long iterations) {
    auto &m = *static_cast<Meeting *>(refcon);
    std::unique_lock<std::mutex> lock(m.mutex);
    m.ids.insert(std::this_thread::get_id());
    ++m.arrived;
    m.cv.notify_all();
    if (!m.cv.wait_for(lock, std::chrono::seconds(10), [&] { return m.arrived >= iterations; })) m.all_met = false;
    return PF_Err_NONE;
}

TEST(Iterate, RunsCallsConcurrentlyOnPersistentThreads) {
    Host host(HostOptions{3});
    Host::Scope scope(host);
    const PF_Iterate8Suite1 *suite = IterateSuite(host);
    ASSERT_NE(suite, nullptr);
    std::set<std::thread::id> all_ids;
    for (int run = 0; run < 5; ++run) {
        Meeting m;
        ASSERT_EQ(suite->iterate_generic(3, &m, &Meet), PF_Err_NONE);
        EXPECT_TRUE(m.all_met) << "the three calls did not run at the same time";
        EXPECT_EQ(m.ids.size(), 3u);
        all_ids.insert(m.ids.begin(), m.ids.end());
    }
    // The same three threads every time: none are made per call.
    EXPECT_EQ(all_ids.size(), 3u);
}

// Indices claimed several at a time on a long run must still reach every
// thread: each call waits until every thread of the pool has made one.
struct Roll {
    std::mutex mutex;
    std::condition_variable cv;
    std::set<std::thread::id> ids;
    std::size_t threads = 0;
    bool all_met = true;
};

PF_Err JoinRoll(void *refcon, A_long, A_long, A_long) {
    auto &r = *static_cast<Roll *>(refcon);
    std::unique_lock<std::mutex> lock(r.mutex);
    r.ids.insert(std::this_thread::get_id());
    r.cv.notify_all();
    if (!r.cv.wait_for(lock, std::chrono::seconds(10), [&] { return r.ids.size() >= r.threads; })) r.all_met = false;
    return PF_Err_NONE;
}

TEST(Iterate, LongRunsReachEveryThread) {
    for (int threads : {2, 3, 8}) {
        Host host(HostOptions{threads});
        Host::Scope scope(host);
        const PF_Iterate8Suite1 *suite = IterateSuite(host);
        ASSERT_NE(suite, nullptr);
        Roll roll;
        roll.threads = static_cast<std::size_t>(threads);
        ASSERT_EQ(suite->iterate_generic(2160, &roll, &JoinRoll), PF_Err_NONE);
        EXPECT_TRUE(roll.all_met) << threads << " threads: not all of them took part";
        EXPECT_EQ(roll.ids.size(), roll.threads);
    }
}

struct Nested {
    const PF_Iterate8Suite1 *suite;
    std::atomic<int> inner{0};
    std::atomic<PF_Err> inner_result{PF_Err_NONE};
};

PF_Err Inner(void *refcon, A_long, A_long, A_long) {
    ++static_cast<Nested *>(refcon)->inner;
    return PF_Err_NONE;
}

PF_Err Outer(void *refcon, A_long, A_long, A_long) {
    auto &n = *static_cast<Nested *>(refcon);
    const PF_Err err = n.suite->iterate_generic(5, &n, &Inner);
    if (err != PF_Err_NONE) n.inner_result = err;
    return PF_Err_NONE;
}

TEST(Iterate, RunStartedInsideACallbackRunsOnThatThread) {
    Host host(HostOptions{2});
    Host::Scope scope(host);
    Nested n{IterateSuite(host)};
    ASSERT_NE(n.suite, nullptr);
    EXPECT_EQ(n.suite->iterate_generic(4, &n, &Outer), PF_Err_NONE);
    EXPECT_EQ(n.inner.load(), 20);
    EXPECT_EQ(n.inner_result.load(), PF_Err_NONE);
}

TEST(Iterate, DefaultThreadCountIsTheMachines) {
    Host host;
    const unsigned hardware = std::thread::hardware_concurrency();
    EXPECT_EQ(host.threads(), hardware > 0 ? static_cast<int>(hardware) : 1);
}

}  // namespace
