// A few threads that run tasks in the order they were handed in, each
// keeping the codecs' buffers from one task to the next (CodecBuffer.h).
#ifndef VEILSHADOW_TASKQUEUE_H
#define VEILSHADOW_TASKQUEUE_H

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <future>
#include <mutex>
#include <thread>
#include <vector>

namespace veilshadow {

class TaskQueue {
public:
    // Up to `threads` threads: as many as the system starts. Throws
    // RunError when it starts none.
    explicit TaskQueue(int threads);
    // Runs the tasks still waiting, then joins the threads.
    ~TaskQueue();
    TaskQueue(const TaskQueue &) = delete;
    TaskQueue &operator=(const TaskQueue &) = delete;

    // The future holds the task's exception, if it throws one.
    std::future<void> Submit(std::function<void()> task);

    // Lets only the first `threads` threads take tasks (at least one), so
    // that tasks which never run at once go to the same thread and reuse
    // the buffers it keeps, rather than each thread keeping its own.
    void UseThreads(std::size_t threads);

private:
    void Work(std::size_t index);

    std::mutex mutex_;
    std::condition_variable ready_;
    std::deque<std::packaged_task<void()>> tasks_;
    bool stopping_ = false;
    std::size_t used_ = SIZE_MAX;  // threads that take tasks
    std::vector<std::thread> threads_;
};

}  // namespace veilshadow

#endif
