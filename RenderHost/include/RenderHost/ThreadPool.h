// The persistent thread pool behind the host's iterate_generic.
#ifndef ORVANE_RENDERHOST_THREADPOOL_H
#define ORVANE_RENDERHOST_THREADPOOL_H

#include <PF_Host.h>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <thread>
#include <vector>

namespace renderhost {

// Runs a callback once for every index of a range on a fixed set of
// threads made once, when the pool is made. The calling thread works too,
// as thread 0; the pool starts threads - 1 more. Indices are handed out from
// a shared counter, one at a time for small runs and a few consecutive ones
// at a time (at most kMaxBatch, and so that every thread still gets 16
// claims or more) for long ones, so a slow index does not hold up others.
class ThreadPool {
public:
    // threads <= 0: one per hardware thread of the machine. Threads the
    // system will not start are done without (threads() says how many
    // there are).
    explicit ThreadPool(int threads = 0);
    ~ThreadPool();
    ThreadPool(const ThreadPool &) = delete;
    ThreadPool &operator=(const ThreadPool &) = delete;

    int threads() const { return threads_; }

    static constexpr std::int64_t kMaxBatch = 8;

    // Calls fn(refcon, thread_index, i, iterations) once for every i in
    // 0..iterations-1, thread_index in 0..threads()-1. Every index is
    // called, also after a call has failed. Returns when every call has
    // finished, with the first nonzero result in time (0 when all
    // succeeded). One run at a time: concurrent callers wait their turn,
    // and a run started from inside a callback runs on that thread alone.
    // fn must not throw.
    PF_Err Run(A_long iterations, void *refcon, PF_IterateGenericFunc fn);

private:
    void WorkerLoop(int thread_index);
    void Work(int thread_index);

    int threads_;
    std::vector<std::thread> workers_;
    std::mutex run_mutex_;  // one run at a time

    std::mutex mutex_;
    std::condition_variable wake_;
    std::condition_variable done_;
    std::uint64_t generation_ = 0;
    int busy_ = 0;
    bool stop_ = false;

    // The current run; written under run_mutex_ before the workers wake.
    A_long iterations_ = 0;
    void *refcon_ = nullptr;
    PF_IterateGenericFunc fn_ = nullptr;
    std::int64_t batch_ = 1;
    std::atomic<std::int64_t> next_{0};
    std::atomic<PF_Err> first_error_{0};
};

}  // namespace renderhost

#endif
