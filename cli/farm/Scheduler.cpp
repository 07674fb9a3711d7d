#include "Scheduler.h"

#include "Errors.h"

#include <algorithm>
#include <thread>

namespace veilshadow {

void WaitClock::Sleep(Clock::duration duration) { std::this_thread::sleep_for(duration); }

void WaitForJob(Scheduler &scheduler, const std::string &id, WaitClock &clock) {
    using Clock = WaitClock::Clock;
    const Clock::time_point start = clock.Now();
    Clock::time_point answered = start;
    for (;;) {
        std::string message;
        const std::optional<bool> running = scheduler.JobActive(id, message);
        const Clock::time_point now = clock.Now();
        if (running) {
            if (!*running) return;
            answered = now;
        } else if (now - answered > kLostContactLimit) {
            const SchedulerNames &names = scheduler.names;
            throw RunError("lost contact with " + names.cluster + " while waiting for job " + id + " (" + message +
                           "); the job may still be running: " + names.follow + id);
        }
        clock.Sleep(std::clamp<Clock::duration>((now - start) / 10, std::chrono::seconds(1), std::chrono::seconds(30)));
    }
}

}  // namespace veilshadow
