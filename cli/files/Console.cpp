#include "Console.h"

#include <fcntl.h>
#include <unistd.h>
#include <atomic>
#include <cerrno>
#include <mutex>

namespace veilshadow {
namespace {

std::mutex silencer_mutex;
int silencers = 0;                       // alive now, on every thread
int saved_stderr = -1;                   // standard error while redirected
std::atomic<bool> standard_held{false};  // descriptors 0-2 are open for good

}  // namespace

bool HoldStandardDescriptors() {
    bool held = true;
    for (int fd = 0; fd <= 2; ++fd) {
        if (fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
        // open() returns the lowest free descriptor: this one.
        const int null = open("/dev/null", fd == 0 ? O_RDONLY : O_WRONLY);
        if (null == fd) continue;
        if (null >= 0) close(null);
        held = false;
    }
    if (held) standard_held.store(true);
    return held;
}

LibraryChatterSilenced::LibraryChatterSilenced(bool active) : active_(active && standard_held.load()) {
    if (!active_) return;
    MessageStream();  // duplicated before the first redirection
    std::lock_guard<std::mutex> lock(silencer_mutex);
    if (silencers++ > 0) return;
    std::fflush(stderr);
    saved_stderr = dup(STDERR_FILENO);
    const int null = open("/dev/null", O_WRONLY | O_CLOEXEC);
    if (saved_stderr >= 0 && null >= 0) dup2(null, STDERR_FILENO);
    if (null >= 0) close(null);
}

LibraryChatterSilenced::~LibraryChatterSilenced() {
    if (!active_) return;
    std::lock_guard<std::mutex> lock(silencer_mutex);
    if (--silencers > 0) return;
    std::fflush(stderr);
    if (saved_stderr >= 0) {
        dup2(saved_stderr, STDERR_FILENO);
        close(saved_stderr);
        saved_stderr = -1;
    }
}

std::FILE *MessageStream() {
    static std::FILE *const stream = [] {
        const int fd = dup(STDERR_FILENO);
        std::FILE *file = fd >= 0 ? fdopen(fd, "w") : nullptr;
        if (file == nullptr) return stderr;
        std::setvbuf(file, nullptr, _IONBF, 0);
        return file;
    }();
    return stream;
}

}  // namespace veilshadow
