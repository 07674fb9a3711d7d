#include "AtomicFile.h"

#include "Errors.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <random>

namespace veilshadow {
namespace {

constexpr const char kMarker[] = ".vs-";

// The temporary files to remove if the process is stopped by a signal,
// one slot per file being written at once. Fixed buffers, since the
// handler may only make async-signal-safe calls.
constexpr int kPendingSlots = 16;
struct PendingSlot {
    char path[4096];
    std::atomic<bool> used{false};     // taken by a TempFile
    std::atomic<bool> pending{false};  // path holds a file to remove
};
PendingSlot g_slots[kPendingSlots];

extern "C" void RemovePendingAndRaise(int signal_number) {
    for (PendingSlot &slot : g_slots)
        if (slot.pending.load()) unlink(slot.path);
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

// A free slot holding `path`, or -1 when none is free or the path is too
// long to keep (the destructor still removes the file).
int SetPending(const std::string &path) {
    if (path.size() >= sizeof g_slots[0].path) return -1;
    for (int i = 0; i < kPendingSlots; ++i) {
        bool expected = false;
        if (g_slots[i].used.compare_exchange_strong(expected, true)) {
            std::memcpy(g_slots[i].path, path.c_str(), path.size() + 1);
            g_slots[i].pending.store(true);
            return i;
        }
    }
    return -1;
}

void ClearPending(int slot) {
    if (slot < 0) return;
    g_slots[slot].pending.store(false);
    g_slots[slot].used.store(false);
}

std::string RandomTag() {
    thread_local std::mt19937_64 engine{std::random_device{}() ^ static_cast<std::uint64_t>(getpid())};
    static const char kChars[] = "abcdefghijklmnopqrstuvwxyz0123456789";
    std::string tag;
    for (int i = 0; i < 6; ++i) tag += kChars[engine() % (sizeof kChars - 1)];
    return tag;
}

}  // namespace

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
            slot_ = SetPending(path_);
            return;
        }
        if (errno != EEXIST)
            throw RunError(
                FileMessage(target, std::string("cannot create a file in its folder: ") + std::strerror(errno)));
    }
    throw RunError(FileMessage(target, "cannot find a free temporary name in its folder"));
}

TempFile::~TempFile() {
    if (!committed_) {
        unlink(path_.c_str());
        ClearPending(slot_);
    }
}

void TempFile::Commit() {
    if (std::rename(path_.c_str(), target_.c_str()) != 0) {
        const std::string reason = std::strerror(errno);
        unlink(path_.c_str());
        ClearPending(slot_);
        committed_ = true;  // nothing left to remove
        throw RunError(FileMessage(target_, "cannot move the finished file into place: " + reason));
    }
    committed_ = true;
    ClearPending(slot_);
}

bool IsTempFileName(const std::string &file_name) {
    return !file_name.empty() && file_name[0] == '.' && file_name.find(kMarker) != std::string::npos;
}

}  // namespace veilshadow
