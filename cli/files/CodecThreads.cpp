#include "CodecThreads.h"

#include "CodecBuffer.h"

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <deque>
#include <exception>
#include <memory>
#include <mutex>
#include <system_error>
#include <thread>
#include <vector>

namespace veilshadow {
namespace {

// One ForEachBand call: its bands are handed out from `next`.
struct Job {
    Job(std::size_t n, const std::function<void(std::size_t)> &fn) : count(n), work(fn) {}
    const std::size_t count;
    const std::function<void(std::size_t)> &work;
    std::atomic<std::size_t> next{0};
    std::size_t ended = 0;  // bands over, under Helpers::mutex_
    std::exception_ptr error;
};

// The most threads, a caller's and its helpers, that encode one file.
constexpr std::size_t kMaxThreads = 8;

// The threads, a caller's and its helpers, that may share one file on
// `cores` cores.
std::size_t MostThreads(std::size_t cores) {
    const std::size_t hardware = std::max(1u, std::thread::hardware_concurrency());
    return std::min({cores, hardware, kMaxThreads});
}

class Helpers {
public:
    ~Helpers() {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            stopping_ = true;
        }
        wake_.notify_all();
        for (std::thread &thread : threads_) thread.join();
    }

    std::size_t Threads() {
        std::lock_guard<std::mutex> lock(mutex_);
        return MostThreads(cores_);
    }

    void SetCores(int cores) {
        const int all = cores > 0 ? cores : static_cast<int>(std::max(1u, std::thread::hardware_concurrency()));
        std::lock_guard<std::mutex> lock(mutex_);
        cores_ = static_cast<std::size_t>(all);
    }

    void ForEach(std::size_t count, const std::function<void(std::size_t)> &work) {
        auto job = std::make_shared<Job>(count, work);
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (count > 1) Start(count);
            if (count > 1 && !threads_.empty()) jobs_.push_back(job);
            ++callers_;
        }
        wake_.notify_all();
        for (;;) {
            const std::size_t band = job->next.fetch_add(1);
            if (band >= count) break;
            Do(*job, band);
        }
        std::unique_lock<std::mutex> lock(mutex_);
        ended_.wait(lock, [&] { return job->ended == job->count; });
        --callers_;
        jobs_.erase(std::remove(jobs_.begin(), jobs_.end(), job), jobs_.end());
        lock.unlock();
        wake_.notify_all();  // a core more for the helpers
        if (job->error) std::rethrow_exception(job->error);
    }

private:
    // Starts the helpers `count` bands can use, at most one less than the
    // cores asked, the hardware threads and kMaxThreads; a helper the
    // system will not start is done without (the bands run on the
    // threads there are). Under mutex_.
    void Start(std::size_t count) {
        const std::size_t wanted = std::min(MostThreads(cores_), count) - 1;
        while (threads_.size() < wanted && !refused_) {
            try {
                threads_.emplace_back([this] { Help(); });
            } catch (const std::system_error &) {
                refused_ = true;
            }
        }
    }

    // Runs one band and counts it ended, keeping the first error.
    void Do(Job &job, std::size_t band) {
        std::exception_ptr error;
        try {
            job.work(band);
        } catch (...) {
            error = std::current_exception();
        }
        std::lock_guard<std::mutex> lock(mutex_);
        if (error && !job.error) job.error = error;
        if (++job.ended == job.count) ended_.notify_all();
    }

    // The first job with bands left, dropping the ones with none; nullptr
    // when there is none. Under mutex_.
    Job *Offered() {
        while (!jobs_.empty() && jobs_.front()->next.load() >= jobs_.front()->count) jobs_.pop_front();
        return jobs_.empty() ? nullptr : jobs_.front().get();
    }

    // A helper takes a band only while a core is free of the threads
    // encoding (the callers and the helpers at work): where two frames are
    // written at once on two cores it waits, and a frame written alone
    // gets the other core.
    void Help() {
        KeepCodecBuffers keep;
        std::unique_lock<std::mutex> lock(mutex_);
        for (;;) {
            wake_.wait(lock, [this] { return stopping_ || (callers_ + working_ < cores_ && Offered() != nullptr); });
            if (stopping_) return;
            std::shared_ptr<Job> job = jobs_.front();
            const std::size_t band = job->next.fetch_add(1);
            if (band >= job->count) continue;
            ++working_;
            lock.unlock();
            Do(*job, band);
            lock.lock();
            --working_;
        }
    }

    std::mutex mutex_;
    std::condition_variable wake_, ended_;
    std::deque<std::shared_ptr<Job>> jobs_;  // offered to the helpers
    std::vector<std::thread> threads_;
    std::size_t cores_ = std::max(1u, std::thread::hardware_concurrency());
    std::size_t callers_ = 0;  // ForEach calls under way
    std::size_t working_ = 0;  // helpers running a band
    bool refused_ = false;     // the system would not start another
    bool stopping_ = false;
};

Helpers &TheHelpers() {
    static Helpers helpers;
    return helpers;
}

}  // namespace

void ForEachBand(std::size_t count, const std::function<void(std::size_t)> &work) { TheHelpers().ForEach(count, work); }

void SetCodecCores(int cores) { TheHelpers().SetCores(cores); }

std::size_t CodecThreadCount() { return TheHelpers().Threads(); }

BandsInOrder::BandsInOrder(std::size_t bands, std::size_t ahead)
    : ahead_(std::max<std::size_t>(ahead, 1)), ended_(bands) {}

bool BandsInOrder::WaitForTurn(std::size_t band) {
    std::unique_lock<std::mutex> lock(mutex_);
    turn_.wait(lock, [&] { return abandoned_ || band < put_ + ahead_; });
    return !abandoned_;
}

bool BandsInOrder::MayStart(std::size_t band) {
    const std::lock_guard<std::mutex> lock(mutex_);
    return band < put_ + ahead_;
}

void BandsInOrder::Ended(std::size_t band, const std::function<void(std::size_t)> &put) {
    std::unique_lock<std::mutex> lock(mutex_);
    ended_.at(band) = 1;
    if (putting_) return;  // the thread putting puts this one too
    putting_ = true;
    while (!abandoned_ && put_ < ended_.size() && ended_[put_] != 0) {
        const std::size_t next = put_;
        lock.unlock();
        try {
            put(next);
        } catch (...) {
            lock.lock();
            putting_ = false;
            abandoned_ = true;
            turn_.notify_all();
            throw;
        }
        lock.lock();
        ++put_;
        turn_.notify_all();
    }
    putting_ = false;
}

void BandsInOrder::Abandon() {
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        abandoned_ = true;
    }
    turn_.notify_all();
}

std::size_t BandsInOrder::PutCount() {
    const std::lock_guard<std::mutex> lock(mutex_);
    return put_;
}

}  // namespace veilshadow
