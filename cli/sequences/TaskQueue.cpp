#include "TaskQueue.h"

#include "CodecBuffer.h"
#include "Errors.h"

#include <system_error>

namespace veilshadow {

TaskQueue::TaskQueue(int threads) {
    // Threads the system will not start (a memory or process limit) are
    // done without; a queue needs one.
    for (int i = 0; i < threads; ++i) {
        try {
            threads_.emplace_back([this] { Work(); });
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
    ready_.notify_one();
    return done;
}

void TaskQueue::Work() {
    // The tasks decode and write file after file: the codecs' buffers go
    // from one to the next.
    KeepCodecBuffers keep;
    for (;;) {
        std::packaged_task<void()> task;
        {
            std::unique_lock<std::mutex> lock(mutex_);
            ready_.wait(lock, [this] { return stopping_ || !tasks_.empty(); });
            if (tasks_.empty()) return;
            task = std::move(tasks_.front());
            tasks_.pop_front();
        }
        task();
    }
}

}  // namespace veilshadow
