#include "AtomicFile.h"

#include "Errors.h"

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <random>
#include <sys/stat.h>
#include <unistd.h>

namespace veilshadow {
namespace {

constexpr const char kMarker[] = ".vs-";

// The temporary file to remove if the process is stopped by a signal. A
// fixed buffer, since the handler may only make async-signal-safe calls.
char g_pending_path[4096];
std::atomic<bool> g_pending{false};

extern "C" void RemovePendingAndRaise(int signal_number) {
    if (g_pending.load())
        unlink(g_pending_path);
    std::signal(signal_number, SIG_DFL);
    std::raise(signal_number);
}

void InstallSignalHandlers() {
    static const bool installed = [] {
        for (int signal_number : {SIGINT, SIGTERM, SIGHUP}) {
            struct sigaction action {};
            action.sa_handler = RemovePendingAndRaise;
            sigemptyset(&action.sa_mask);
            sigaction(signal_number, &action, nullptr);
        }
        return true;
    }();
    (void)installed;
}

void SetPending(const std::string &path) {
    if (path.size() >= sizeof g_pending_path)
        return; // too long to remember; the destructor still removes it
    g_pending.store(false);
    std::memcpy(g_pending_path, path.c_str(), path.size() + 1);
    g_pending.store(true);
}

void ClearPending() { g_pending.store(false); }

std::string RandomTag() {
    static std::mt19937_64 engine{std::random_device{}() ^ static_cast<std::uint64_t>(getpid())};
    static const char kChars[] = "abcdefghijklmnopqrstuvwxyz0123456789";
    std::string tag;
    for (int i = 0; i < 6; ++i)
        tag += kChars[engine() % (sizeof kChars - 1)];
    return tag;
}

} // namespace

TempFile::TempFile(const std::string &target) : target_(target) {
    namespace fs = std::filesystem;
    const fs::path target_path(target);
    const fs::path folder = target_path.parent_path();
    const std::string stem = target_path.stem().string();
    const std::string extension = target_path.extension().string();
    InstallSignalHandlers();
    for (int attempt = 0; attempt < 100; ++attempt) {
        const fs::path candidate = folder / ("." + stem + kMarker + RandomTag() + extension);
        // Reserves the name; the writer then opens it again for writing.
        const int fd = open(candidate.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd >= 0) {
            close(fd);
            path_ = candidate.string();
            SetPending(path_);
            return;
        }
        if (errno != EEXIST)
            throw RunError(FileMessage(target, std::string("cannot create a file in its folder: ") +
                                                   std::strerror(errno)));
    }
    throw RunError(FileMessage(target, "cannot find a free temporary name in its folder"));
}

TempFile::~TempFile() {
    if (!committed_) {
        unlink(path_.c_str());
        ClearPending();
    }
}

void TempFile::Commit() {
    if (std::rename(path_.c_str(), target_.c_str()) != 0) {
        const std::string reason = std::strerror(errno);
        unlink(path_.c_str());
        ClearPending();
        committed_ = true; // nothing left to remove
        throw RunError(FileMessage(target_, "cannot move the finished file into place: " + reason));
    }
    committed_ = true;
    ClearPending();
}

bool IsTempFileName(const std::string &file_name) {
    return !file_name.empty() && file_name[0] == '.' && file_name.find(kMarker) != std::string::npos;
}

} // namespace veilshadow
