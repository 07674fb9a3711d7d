// The codecs' buffers kept from file to file, the helper threads that
// take bands of a frame's encoding and decoding, and the bands put in
// order: on their own, so that the ThreadSanitizer build runs them too.
#include "CodecBuffer.h"
#include "CodecThreads.h"
#include "ImageIO.h"

#include <gtest/gtest.h>
#include <pthread.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <unistd.h>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <new>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define CODEC_TESTS_SANITIZED 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
#define CODEC_TESTS_SANITIZED 1
#endif
#endif

namespace veilshadow {
namespace {

std::uint64_t MappedBytes() {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line))
        if (line.rfind("VmSize:", 0) == 0) return std::stoull(line.substr(7)) * 1024;
    return 0;
}

// On a keeping thread a freed buffer serves the next one of about its size
// (not one under half of it), the six largest are kept, and all are freed
// with the keeper or by FreeKept; elsewhere nothing is kept.
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
        // What buffers would take anew: each kept block serves one buffer
        // of at least half its size.
        const std::size_t fresh[][3] = {{80 * MiB, 80 * MiB, 80 * MiB},
                                        {14 * MiB, 0, 14 * MiB},
                                        {15 * MiB, 0, 0},
                                        {81 * MiB, 0, 81 * MiB},
                                        {26 * MiB, 26 * MiB, 0}};
        for (const auto &c : fresh) EXPECT_EQ(KeepCodecBuffers::NewBytes({c[0], c[1]}), c[2]) << c[0] << " " << c[1];
        EXPECT_EQ(KeepCodecBuffers::KeptCount(), 6u);
        // Freed when no next file needs them; what is freed later is kept.
        KeepCodecBuffers::FreeKept();
        EXPECT_EQ(KeepCodecBuffers::KeptBytes(), 0u);
        { CodecBuffer again(MiB); }
        EXPECT_EQ(KeepCodecBuffers::KeptBytes(), MiB);
    }).join();
}

// A block a frame freed serves the next frame's on the same thread
// without fresh pages: 4 MiB written twice faults its 1,024 pages in once.
TEST(KeepFreedMemory, ABlockFreedIsWrittenAgainWithoutFreshPages) {
#if defined(CODEC_TESTS_SANITIZED)
    GTEST_SKIP() << "the sanitizers' allocators keep freed memory their own way";
#else
    if (!KeepFreedMemory()) GTEST_SKIP() << "the C library has no such setting";
    // Pages of 4 KiB whatever the system's huge page setting.
    ASSERT_EQ(prctl(PR_SET_THP_DISABLE, 1, 0, 0, 0), 0);
    std::thread([] {
        const auto faults_writing = []() -> long {
            constexpr std::size_t kBytes = std::size_t{4} << 20;
            rusage before{}, after{};
            getrusage(RUSAGE_THREAD, &before);
            auto *block = static_cast<volatile unsigned char *>(std::malloc(kBytes));
            if (block == nullptr) throw std::bad_alloc();
            for (std::size_t at = 0; at < kBytes; at += 4096) block[at] = 1;
            std::free(const_cast<unsigned char *>(block));
            getrusage(RUSAGE_THREAD, &after);
            return after.ru_minflt - before.ru_minflt;
        };
        const long first = faults_writing(), second = faults_writing();
        EXPECT_GE(first, 1000);
        EXPECT_LT(second, 50);
    }).join();
#endif
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

// In a process of its own with room for no thread stack, the helpers
// cannot start: the bands run on the caller, every one once, and nothing
// is thrown.
TEST(CodecThreads, HelpersThatCannotStartLeaveTheBandsToTheCaller) {
#if defined(CODEC_TESTS_SANITIZED)
    GTEST_SKIP() << "sanitizers map more than an address-space limit allows";
#endif
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            struct rlimit limit {};
            limit.rlim_cur = limit.rlim_max = MappedBytes() + (std::uint64_t{1} << 20);
            if (setrlimit(RLIMIT_AS, &limit) != 0) _exit(3);
            SetCodecCores(64);
            std::vector<std::atomic<int>> calls(40);
            try {
                ForEachBand(calls.size(), [&](std::size_t band) { ++calls[band]; });
            } catch (...) {
                _exit(1);
            }
            for (const std::atomic<int> &call : calls)
                if (call.load() != 1) _exit(2);
            _exit(0);
        },
        testing::ExitedWithCode(0), "");
}

// Under an address-space limit, threads share two heaps: eight threads
// holding a block each set aside their stacks and at most one heap more,
// not 64 MiB of addresses each.
TEST(ShareHeaps, UnderAnAddressSpaceLimitThreadsShareTwo) {
#if defined(CODEC_TESTS_SANITIZED)
    GTEST_SKIP() << "the sanitizers' allocators keep heaps their own way";
#endif
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            struct rlimit limit {};
            limit.rlim_cur = limit.rlim_max = MappedBytes() + (std::uint64_t{8} << 30);
            if (setrlimit(RLIMIT_AS, &limit) != 0) _exit(3);
            if (!ShareHeapsUnderAddressLimit()) _exit(4);
            pthread_attr_t attr;
            std::size_t stack = 0;
            if (pthread_getattr_default_np(&attr) != 0 || pthread_attr_getstacksize(&attr, &stack) != 0) _exit(5);
            constexpr int kThreads = 8;
            const std::uint64_t before = MappedBytes();
            std::mutex mutex;
            std::condition_variable changed;
            int holding = 0;
            bool done = false;
            std::uint64_t during = 0;
            std::vector<std::thread> threads;
            for (int i = 0; i < kThreads; ++i)
                threads.emplace_back([&] {
                    auto *block = static_cast<volatile char *>(std::malloc(1000));
                    if (block != nullptr) block[0] = 1;  // so that the compiler keeps the block
                    std::unique_lock<std::mutex> lock(mutex);
                    ++holding;
                    changed.notify_all();
                    changed.wait(lock, [&] { return done; });
                    std::free(const_cast<char *>(block));
                });
            {
                std::unique_lock<std::mutex> lock(mutex);
                changed.wait(lock, [&] { return holding == kThreads; });
                during = MappedBytes();
                done = true;
            }
            changed.notify_all();
            for (std::thread &thread : threads) thread.join();
            const std::uint64_t most = kThreads * (stack + (std::uint64_t{1} << 20)) + (std::uint64_t{80} << 20);
            _exit(during - before <= most ? 0 : 6);
        },
        testing::ExitedWithCode(0), "");
}

// Bands ended out of order are put in order, each once, as soon as the
// bands before are; a band `ahead` past the first not put waits; a put
// that throws, and Abandon, release the waiting and stop the putting.
TEST(BandsInOrder, PutsInOrderAndHoldsAtMostTheBandsAhead) {
    const struct {
        std::vector<std::size_t> ended;
        std::vector<std::vector<std::size_t>> puts;  // after each
    } cases[] = {
        {{0, 1, 2}, {{0}, {1}, {2}}},
        {{2, 0, 1, 4, 3}, {{}, {0}, {1, 2}, {}, {3, 4}}},
        {{1, 2, 3, 0}, {{}, {}, {}, {0, 1, 2, 3}}},
    };
    for (const auto &c : cases) {
        BandsInOrder order(c.ended.size(), 8);
        for (std::size_t i = 0; i < c.ended.size(); ++i) {
            std::vector<std::size_t> put;
            order.Ended(c.ended[i], [&](std::size_t band) { put.push_back(band); });
            EXPECT_EQ(put, c.puts[i]) << "after band " << c.ended[i];
        }
        EXPECT_EQ(order.PutCount(), c.ended.size());
    }

    BandsInOrder order(6, 2);
    const auto nothing = [](std::size_t) {};
    EXPECT_TRUE(order.WaitForTurn(1));
    EXPECT_FALSE(order.MayStart(2));
    bool third = false;
    std::thread waiting([&] { third = order.WaitForTurn(2); });
    order.Ended(1, nothing);  // band 0 not put: band 2 still waits
    EXPECT_FALSE(order.MayStart(2));
    order.Ended(0, nothing);  // both put: bands 2 and 3 may start
    waiting.join();
    EXPECT_TRUE(third);
    EXPECT_TRUE(order.MayStart(3));
    EXPECT_FALSE(order.MayStart(4));
    EXPECT_THROW(order.Ended(2, [](std::size_t) { throw std::runtime_error("disk full"); }), std::runtime_error);
    std::vector<std::size_t> after;
    order.Ended(3, [&](std::size_t band) { after.push_back(band); });
    EXPECT_TRUE(after.empty());
    EXPECT_EQ(order.PutCount(), 2u);
    EXPECT_FALSE(order.WaitForTurn(5));

    BandsInOrder abandoned(6, 1);
    bool released = true;
    std::thread held([&] { released = abandoned.WaitForTurn(4); });
    abandoned.Abandon();
    held.join();
    EXPECT_FALSE(released);
}

// On the helpers: every band put once, in order, with never more than
// `ahead` bands started and not put.
TEST(BandsInOrder, OnTheHelpersEveryBandIsPutOnceInOrder) {
    SetCodecCores(2);
    constexpr std::size_t kBands = 41, kAhead = 3;
    BandsInOrder order(kBands, kAhead);
    std::mutex mutex;
    std::vector<std::size_t> put;
    std::size_t started = 0, most_held = 0;
    ForEachBand(kBands, [&](std::size_t band) {
        if (!order.WaitForTurn(band)) return;
        {
            std::lock_guard<std::mutex> lock(mutex);
            ++started;
            most_held = std::max(most_held, started - put.size());
        }
        order.Ended(band, [&](std::size_t b) {
            std::lock_guard<std::mutex> lock(mutex);
            put.push_back(b);
        });
    });
    std::vector<std::size_t> all(kBands);
    for (std::size_t band = 0; band < kBands; ++band) all[band] = band;
    EXPECT_EQ(put, all);
    EXPECT_LE(most_held, kAhead);
    SetCodecCores(0);
}

// An OpenEXR file written in bands on the helpers and read in strips on
// them holds the world exactly (samples a half holds exactly, straight
// colour), for both chunk heights.
TEST(ExrStrips, WrittenAndReadOnTheHelpersAsTheWorldHolds) {
    SetCodecCores(2);
    const std::filesystem::path dir =
        std::filesystem::temp_directory_path() / ("codec_threads_tests." + std::to_string(getpid()));
    std::filesystem::create_directories(dir);
    renderhost::World world(renderhost::Depth::k32, 90, 1100, 3, -8);
    for (A_long y = 0; y < world.height(); ++y)
        for (A_long x = 0; x < world.width(); ++x) {
            const auto sample = [&](int k) { return float((x * 7 + y * 13 + k * 31) % 256) / 256.f; };
            world.Row<PF_PixelFloat>(y)[x] = {sample(0), sample(1), sample(2), sample(3)};
        }
    for (const char *compression : {"zip", "zips"}) {
        SCOPED_TRACE(compression);
        OutputSpec spec;
        spec.format = "openexr";
        spec.sample = SampleType::kHalf;
        spec.display = Window{3, -8, 90, 1100};
        spec.compression = compression;
        const std::string path = (dir / (std::string(compression) + ".exr")).string();
        WriteWorld(path, world, spec);
        ImageReader reader(path, AlphaMode::kStraight);
        ASSERT_EQ(reader.header().compression, compression);
        const renderhost::World read = reader.ReadWorld(renderhost::Depth::k32);
        for (A_long y = 0; y < world.height(); ++y)
            ASSERT_EQ(std::memcmp(read.Row<PF_PixelFloat>(y), world.Row<PF_PixelFloat>(y),
                                  sizeof(PF_PixelFloat) * std::size_t(world.width())),
                      0)
                << "row " << y;
    }
    std::filesystem::remove_all(dir);
    SetCodecCores(0);
}

}  // namespace
}  // namespace veilshadow
