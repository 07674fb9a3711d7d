#include "TaskQueue.h"

#include "CodecBuffer.h"
#include "Errors.h"

#include <algorithm>
#include <system_error>

namespace veilshadow {

TaskQueue::TaskQueue(int threads) {
    // Threads the system will not start (a memory or process limit) are
    // done without; a queue needs one.
    for (int i = 0; i < threads; ++i) {
        try {
            threads_.emplace_back([this, i] { Work(static_cast<std::size_t>(i)); });
        } catch (const std::system_error &e) {
            if (threads_.empty()) throw ThreadStartError(e.what());
            break;
        }
    }
}

TaskQueue::~TaskQueue() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stopping_ = true;
    }
    ready_.notify_all();
    for (std::thread &thread : threads_) thread.join();
}

std::future<void> TaskQueue::Submit(std::function<void()> task) {
    std::packaged_task<void()> packaged(std::move(task));
    std::future<void> done = packaged.get_future();
    {
        std::lock_guard<std::mutex> lock(mutex_);
        tasks_.push_back(std::move(packaged));
    }
    // Every thread is woken: the one woken alone might be one not used.
    ready_.notify_all();
    return done;
}

void TaskQueue::UseThreads(std::size_t threads) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        used_ = std::max<std::size_t>(threads, 1);
    }
    ready_.notify_all();
}

void TaskQueue::Work(std::size_t index) {
    // The tasks decode and write file after file: the codecs' buffers go
    // from one to the next.
    KeepCodecBuffers keep;
    for (;;) {
        std::packaged_task<void()> task;
        {
            std::unique_lock<std::mutex> lock(mutex_);
            ready_.wait(lock, [&] { return stopping_ || (!tasks_.empty() && index < used_); });
            if (tasks_.empty()) return;
            task = std::move(tasks_.front());
            tasks_.pop_front();
        }
        task();
    }
}

}  // namespace veilshadow
