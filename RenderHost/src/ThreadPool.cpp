#include <RenderHost/ThreadPool.h>

#include <algorithm>
#include <system_error>

namespace renderhost {
namespace {

// Set while a thread runs callbacks of a pool, so that a run started from
// inside a callback does not wait for the run it is part of.
thread_local int t_pool_thread_index = -1;

int ResolveThreads(int threads) {
    if (threads > 0) return threads;
    const unsigned hardware = std::thread::hardware_concurrency();
    return hardware > 0 ? static_cast<int>(hardware) : 1;
}

}  // namespace

ThreadPool::ThreadPool(int threads) : threads_(ResolveThreads(threads)) {
    workers_.reserve(static_cast<std::size_t>(threads_ - 1));
    // Workers the system will not start (a memory or process limit) are
    // done without: the calling thread is always one of the pool's.
    for (int i = 1; i < threads_; ++i) {
        try {
            workers_.emplace_back([this, i] { WorkerLoop(i); });
        } catch (const std::system_error &) {
            break;
        }
    }
    threads_ = static_cast<int>(workers_.size()) + 1;
}

ThreadPool::~ThreadPool() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stop_ = true;
    }
    wake_.notify_all();
    for (std::thread &worker : workers_) worker.join();
}

PF_Err ThreadPool::Run(A_long iterations, void *refcon, PF_IterateGenericFunc fn) {
    if (iterations <= 0) return PF_Err_NONE;

    if (t_pool_thread_index >= 0) {
        // A callback asked for a run of its own: do it here, in order.
        PF_Err first = PF_Err_NONE;
        for (A_long i = 0; i < iterations; ++i) {
            const PF_Err err = fn(refcon, t_pool_thread_index, i, iterations);
            if (err != PF_Err_NONE && first == PF_Err_NONE) first = err;
        }
        return first;
    }

    std::lock_guard<std::mutex> run_lock(run_mutex_);
    iterations_ = iterations;
    refcon_ = refcon;
    fn_ = fn;
    // Indices are claimed a few at a time when there are many of them
    // (rows of a frame): one claim is an atomic operation every thread
    // contends for. Small runs still spread index by index.
    batch_ = std::clamp<std::int64_t>(iterations / (static_cast<std::int64_t>(threads_) * 16), 1, kMaxBatch);
    next_.store(0);
    first_error_.store(PF_Err_NONE);
    {
        std::lock_guard<std::mutex> lock(mutex_);
        busy_ = static_cast<int>(workers_.size());
        ++generation_;
    }
    wake_.notify_all();

    Work(0);

    std::unique_lock<std::mutex> lock(mutex_);
    done_.wait(lock, [this] { return busy_ == 0; });
    return first_error_.load();
}

void ThreadPool::WorkerLoop(int thread_index) {
    std::uint64_t seen = 0;
    for (;;) {
        {
            std::unique_lock<std::mutex> lock(mutex_);
            wake_.wait(lock, [&] { return stop_ || generation_ != seen; });
            if (stop_) return;
            seen = generation_;
        }
        Work(thread_index);
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (--busy_ == 0) done_.notify_one();
        }
    }
}

void ThreadPool::Work(int thread_index) {
    t_pool_thread_index = thread_index;
    for (;;) {
        const std::int64_t first = next_.fetch_add(batch_);
        if (first >= iterations_) break;
        const std::int64_t last = std::min<std::int64_t>(first + batch_, iterations_);
        for (std::int64_t i = first; i < last; ++i) {
            const PF_Err err = fn_(refcon_, thread_index, static_cast<A_long>(i), iterations_);
            if (err != PF_Err_NONE) {
                PF_Err none = PF_Err_NONE;
                first_error_.compare_exchange_strong(none, err);
            }
        }
    }
    t_pool_thread_index = -1;
}

}  // namespace renderhost
