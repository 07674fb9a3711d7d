// The codecs' buffers kept from file to file, and the helper threads that
// take bands of a frame's encoding: on their own, so that the
// ThreadSanitizer build runs them too.
#include "CodecBuffer.h"
#include "CodecThreads.h"

#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <stdexcept>
#include <thread>
#include <vector>

namespace veilshadow {
namespace {

// On a keeping thread a freed buffer serves the next one of about its size
// (not one under half of it), the six largest are kept, and all are freed
// with the keeper; elsewhere nothing is kept.
TEST(CodecBuffer, AKeepingThreadHandsItsBuffersOutAgain) {
    std::thread([] {
        const std::size_t MiB = std::size_t{1} << 20;
        { CodecBuffer alone(MiB); }
        EXPECT_EQ(KeepCodecBuffers::KeptCount(), 0u);
        KeepCodecBuffers keep;
        EXPECT_THROW(KeepCodecBuffers(), std::logic_error);
        unsigned char *first = nullptr;
        {
            CodecBuffer a(MiB);
            first = a.data();
            a.Reserve(MiB / 2);  // fits: the same bytes
            EXPECT_EQ(a.data(), first);
        }
        EXPECT_EQ(KeepCodecBuffers::KeptBytes(), MiB);
        {
            CodecBuffer small(MiB / 2 - 1), same(MiB - 100);
            EXPECT_NE(small.data(), first);
            EXPECT_EQ(same.data(), first);
            EXPECT_EQ(KeepCodecBuffers::KeptCount(), 0u);
            same.Reserve(2 * MiB);  // grows: the old one is kept
            EXPECT_EQ(KeepCodecBuffers::KeptBytes(), MiB);
        }
        EXPECT_EQ(KeepCodecBuffers::KeptCount(), 3u);
        {
            std::vector<CodecBuffer> many;
            for (std::size_t i = 1; i <= 8; ++i) many.emplace_back(i * 10 * MiB);
        }
        EXPECT_EQ(KeepCodecBuffers::KeptCount(), 6u);
        EXPECT_EQ(KeepCodecBuffers::KeptBytes(), (30 + 40 + 50 + 60 + 70 + 80) * MiB);
    }).join();
}

// Every band runs once; with two cores a band waits here until the helper
// has run another, which it does while the caller is the only thread
// encoding; an error is thrown once every band has run; with one core
// every band runs on the caller.
TEST(CodecThreads, EveryBandRunsOnceAndAFreeCoreTakesSome) {
    SetCodecCores(2);
    for (std::size_t count : {0, 1, 2, 37}) {
        std::vector<std::atomic<int>> calls(count);
        ForEachBand(count, [&](std::size_t band) { ++calls[band]; });
        for (std::size_t band = 0; band < count; ++band) EXPECT_EQ(calls[band].load(), 1) << count << " " << band;
    }
    const std::thread::id caller = std::this_thread::get_id();
    std::mutex mutex;
    std::condition_variable helped;
    bool helper_ran = false;
    ForEachBand(2, [&](std::size_t) {
        std::unique_lock<std::mutex> lock(mutex);
        if (std::this_thread::get_id() == caller) {
            helped.wait(lock, [&] { return helper_ran; });
        } else {
            helper_ran = true;
            helped.notify_all();
        }
    });
    EXPECT_TRUE(helper_ran);

    std::atomic<int> ran{0};
    EXPECT_THROW(ForEachBand(10,
                             [&](std::size_t band) {
                                 ++ran;
                                 if (band == 3 || band == 7) throw std::runtime_error("band");
                             }),
                 std::runtime_error);
    EXPECT_EQ(ran.load(), 10);

    SetCodecCores(1);
    std::atomic<int> elsewhere{0};
    ForEachBand(50, [&](std::size_t) { elsewhere += std::this_thread::get_id() != caller; });
    EXPECT_EQ(elsewhere.load(), 0);
    SetCodecCores(0);
}

}  // namespace
}  // namespace veilshadow
