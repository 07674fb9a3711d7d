#include "AtomicFile.h"

#include "Errors.h"
#include "FileStructure.h"
#include "Hash.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>
#include <atomic>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <map>
#include <mutex>
#include <random>
#include <set>
#include <system_error>

namespace veilshadow {
namespace {

constexpr const char kMarker[] = ".vs-";
constexpr std::size_t kRandomLength = 6;
constexpr const char kRandomChars[] = "abcdefghijklmnopqrstuvwxyz0123456789";
constexpr std::size_t kCheckLength = 8;  // lowercase hex digits
// Bytes written between two starts of the disk's writeback.
constexpr std::size_t kWritebackBytes = std::size_t{8} << 20;

// The temporary files to remove if the process is stopped by a signal,
// one slot per file being written or waiting to be flushed at once (a
// DiskFlusher's batch and waiting files among them). Fixed buffers, since
// the handler may only make async-signal-safe calls.
constexpr int kPendingSlots = 32;
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
            // A signal the process was started with ignored (nohup, trap
            // '' INT) stays ignored: it cannot end the run, so nothing is
            // left to remove.
            struct sigaction current {};
            if (sigaction(signal_number, nullptr, &current) != 0 || current.sa_handler == SIG_IGN) continue;
            struct sigaction action {};
            action.sa_handler = RemovePendingAndRaise;
            sigemptyset(&action.sa_mask);
            sigaction(signal_number, &action, nullptr);
        }
        // Past the file-size limit a write then fails with EFBIG, which
        // fails the file, instead of the signal ending the process.
        struct sigaction current {};
        if (sigaction(SIGXFSZ, nullptr, &current) == 0 && current.sa_handler == SIG_DFL) std::signal(SIGXFSZ, SIG_IGN);
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
    std::string tag;
    for (std::size_t i = 0; i < kRandomLength; ++i) tag += kRandomChars[engine() % (sizeof kRandomChars - 1)];
    return tag;
}

// The check digits of a temporary name: the FNV-1a hash of the rest of
// the name, so that a name written by hand is not taken for ours.
std::string CheckDigits(const std::string &before, const std::string &extension) {
    char digits[kCheckLength + 1];
    std::snprintf(digits, sizeof digits, "%08x", Fnv1a(before + extension));
    return digits;
}

bool IsRandomChar(char c) { return c != '\0' && std::strchr(kRandomChars, c) != nullptr; }
bool IsCheckChar(char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'); }

bool IsAlnum(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9'); }
bool IsHostChar(char c) { return IsAlnum(c) || c == '_'; }

// The longest name the folder takes.
std::size_t NameLimit(const std::filesystem::path &folder) {
    const long limit = pathconf(folder.empty() ? "." : folder.c_str(), _PC_NAME_MAX);
    return limit > 0 ? static_cast<std::size_t>(limit) : 255;
}

// `text` cut to at most `bytes`, not inside a UTF-8 character.
std::string CutTo(const std::string &text, std::size_t bytes) {
    if (text.size() <= bytes) return text;
    std::size_t end = bytes;
    while (end > 0 && (static_cast<unsigned char>(text[end]) & 0xC0) == 0x80) --end;
    return text.substr(0, end);
}

// Whether `name` is exactly a name TempFile gives (see AtomicFile.h),
// and if so the host it carries. Every part is checked: the leading
// '.', a ".vs-" marker, the host's alphabet, a process id of 1 to 10
// digits without a leading zero, the random tag's length and alphabet,
// the check digits, and an extension of at most one '.' (a copy such as
// "NAME.png.keep" is not ours).
bool ParseTempName(const std::string &name, std::string &host) {
    if (name.size() < 2 || name[0] != '.') return false;
    for (std::size_t marker = name.find(kMarker, 1); marker != std::string::npos;
         marker = name.find(kMarker, marker + 1)) {
        std::size_t i = marker + sizeof kMarker - 1;
        const std::size_t host_start = i;
        while (i < name.size() && IsHostChar(name[i])) ++i;
        if (i == host_start || i >= name.size() || name[i] != '-') continue;
        const std::size_t host_end = i++;
        const std::size_t pid_start = i;
        while (i < name.size() && name[i] >= '0' && name[i] <= '9') ++i;
        if (i == pid_start || i - pid_start > 10 || name[pid_start] == '0' || i >= name.size() || name[i] != '-')
            continue;
        ++i;
        std::size_t k = 0;
        for (; k < kRandomLength && i + k < name.size() && IsRandomChar(name[i + k]); ++k) {
        }
        if (k != kRandomLength) continue;
        i += kRandomLength;
        for (k = 0; k < kCheckLength && i + k < name.size() && IsCheckChar(name[i + k]); ++k) {
        }
        if (k != kCheckLength) continue;
        const std::string extension = name.substr(i + kCheckLength);
        if (!extension.empty() && (extension[0] != '.' || extension.find('.', 1) != std::string::npos)) continue;
        if (name.compare(i, kCheckLength, CheckDigits(name.substr(0, i), extension)) != 0) continue;
        host = name.substr(host_start, host_end - host_start);
        return true;
    }
    return false;
}

// Removes `name` from `dir` if no process holds its lock. The lock is
// taken on the file itself, so it tells a live writer from one that is
// gone wherever the writer runs on this host (another PID namespace, a
// container). The file is unlinked while the lock is held; a writer that
// made the file but has not locked it yet then fails to lock it or finds
// it unlinked, and picks another name.
bool RemoveIfUnlocked(int dir, const char *name) {
    const int fd = openat(dir, name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) return false;
    bool removed = false;
    struct stat opened {
    }, named{};
    if (fstat(fd, &opened) == 0 && S_ISREG(opened.st_mode) && flock(fd, LOCK_EX | LOCK_NB) == 0 &&
        fstatat(dir, name, &named, AT_SYMLINK_NOFOLLOW) == 0 && named.st_dev == opened.st_dev &&
        named.st_ino == opened.st_ino)
        removed = unlinkat(dir, name, 0) == 0;
    close(fd);
    return removed;
}

// Cleans each folder once per process, before its first temporary file.
void CleanFolderOnce(const std::string &folder) {
    static std::mutex mutex;
    static std::set<std::string> cleaned;
    {
        std::lock_guard<std::mutex> lock(mutex);
        if (!cleaned.insert(folder).second) return;
    }
    RemoveStaleTempFiles(folder);
}

[[noreturn]] void ThrowErrno(const std::string &target, const std::string &what) {
    throw RunError(FileMessage(target, what + ": " + std::strerror(errno)));
}

std::exception_ptr ErrnoError(const std::string &target, const std::string &what, int error) {
    return std::make_exception_ptr(RunError(FileMessage(target, what + ": " + std::strerror(error))));
}

class FsyncDiskSync : public DiskSync {
public:
    int SyncFile(int fd, const std::string &) override { return fsync(fd) == 0 ? 0 : errno; }
    int SyncFolder(int fd, const std::string &) override { return fsync(fd) == 0 ? 0 : errno; }
};

FsyncDiskSync g_fsync;
std::atomic<DiskSync *> g_disk_sync{&g_fsync};

thread_local CommitLater *t_commit_later = nullptr;

// Puts finished files on disk under their names: each file flushed,
// renamed onto its target (atomic within a folder; renamed while still
// open, so its lock keeps a sweep away until it has its final name) and
// closed, then each of their folders flushed once, since a rename is on
// disk only once its folder is. Every file's promise is kept: done, or
// the RunError naming its target (a file that failed before its rename
// is removed).
void FinishFiles(std::vector<FinishedFile> &batch) {
    DiskSync &sync = *g_disk_sync.load();
    std::vector<std::exception_ptr> errors(batch.size());
    for (std::size_t i = 0; i < batch.size(); ++i) {
        FinishedFile &file = batch[i];
        int error = sync.SyncFile(file.fd, file.target);
        if (error != 0) {
            errors[i] = ErrnoError(file.target, "cannot write it to disk", error);
        } else if (std::rename(file.path.c_str(), file.target.c_str()) != 0) {
            errors[i] = ErrnoError(file.target, "cannot move the finished file into place", errno);
        }
        if (errors[i]) unlink(file.path.c_str());
        ClearPending(file.slot);
        const int fd = file.fd;
        file.fd = -1;
        if (close(fd) != 0 && !errors[i]) errors[i] = ErrnoError(file.target, "written, but closing it failed", errno);
    }
    // Each folder's failure (what failed and the errno), empty when it is
    // on disk; a folder that failed fails every file renamed into it.
    std::map<std::string, std::pair<std::string, int>> folders;
    for (std::size_t i = 0; i < batch.size(); ++i) {
        if (errors[i]) continue;
        const std::string folder = std::filesystem::path(batch[i].target).parent_path().string();
        auto found = folders.find(folder);
        if (found == folders.end()) {
            found = folders.emplace(folder, std::pair<std::string, int>()).first;
            const int dir = open(folder.empty() ? "." : folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
            if (dir < 0) {
                found->second = {"written, but its folder cannot be opened to flush it to disk", errno};
            } else {
                const int error = sync.SyncFolder(dir, folder);
                close(dir);
                // Some file systems cannot flush a folder (EINVAL): they need not.
                if (error != 0 && error != EINVAL)
                    found->second = {"written, but its folder cannot be flushed to disk", error};
            }
        }
        if (!found->second.first.empty())
            errors[i] = ErrnoError(batch[i].target, found->second.first, found->second.second);
    }
    for (std::size_t i = 0; i < batch.size(); ++i) {
        if (errors[i])
            batch[i].done.set_exception(errors[i]);
        else
            batch[i].done.set_value();
    }
}

}  // namespace

DiskSync *SetDiskSync(DiskSync *sync) {
    DiskSync *const before = g_disk_sync.exchange(sync != nullptr ? sync : &g_fsync);
    return before == &g_fsync ? nullptr : before;
}

DiskFlusher::DiskFlusher() {
    try {
        thread_ = std::thread([this] { Work(); });
    } catch (const std::system_error &e) {
        throw ThreadStartError(e.what());
    }
}

DiskFlusher::~DiskFlusher() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stopping_ = true;
    }
    changed_.notify_all();
    thread_.join();
}

std::future<void> DiskFlusher::Hand(FinishedFile file) {
    std::future<void> done = file.done.get_future();
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait(lock, [this] { return waiting_.size() < kMaxWaiting; });
    waiting_.push_back(std::move(file));
    lock.unlock();
    changed_.notify_all();
    return done;
}

void DiskFlusher::Work() {
    for (;;) {
        std::vector<FinishedFile> batch;
        {
            std::unique_lock<std::mutex> lock(mutex_);
            changed_.wait(lock, [this] { return stopping_ || !waiting_.empty(); });
            if (waiting_.empty()) return;
            for (FinishedFile &file : waiting_) batch.push_back(std::move(file));
            waiting_.clear();
        }
        changed_.notify_all();
        FinishFiles(batch);
    }
}

CommitLater::CommitLater(DiskFlusher &flusher) : flusher_(flusher), outer_(t_commit_later) { t_commit_later = this; }

CommitLater::~CommitLater() { t_commit_later = outer_; }

std::vector<std::future<void>> CommitLater::Take() { return std::move(committed_); }

std::string TempFileHost() {
    static const std::string host = [] {
        char name[HOST_NAME_MAX + 1] = {};
        if (gethostname(name, sizeof name - 1) != 0 || name[0] == '\0') return std::string("localhost");
        const std::string full = name;
        bool plain = full.size() <= 24;
        for (const char c : full) plain = plain && IsAlnum(c);
        if (plain) return full;
        // Another alphabet or a long name: a readable start and a hash of
        // the whole name, which stays distinct where the starts agree.
        std::string start;
        for (const char c : full.substr(0, full.find('.')))
            if (start.size() < 15) start += IsAlnum(c) ? c : '_';
        char hash[9];
        std::snprintf(hash, sizeof hash, "%08x", Fnv1a(full));
        return start + "_" + hash;
    }();
    return host;
}

int RemoveStaleTempFiles(const std::string &folder) {
    DIR *dir = opendir(folder.empty() ? "." : folder.c_str());
    if (dir == nullptr) return 0;
    const std::string host = TempFileHost();
    int removed = 0;
    while (const dirent *entry = readdir(dir)) {
        // Another host's lock may not be seen here (a network file system
        // that keeps locks on each client): its files are never touched.
        std::string owner;
        if (!ParseTempName(entry->d_name, owner) || owner != host) continue;
        if (RemoveIfUnlocked(dirfd(dir), entry->d_name)) ++removed;
    }
    closedir(dir);
    return removed;
}

TempFile::TempFile(const std::string &target) : target_(target) {
    namespace fs = std::filesystem;
    const fs::path target_path(target);
    const fs::path folder = target_path.parent_path();
    const std::string stem = target_path.stem().string();
    const std::string extension = target_path.extension().string();
    InstallSignalHandlers();
    CleanFolderOnce(folder.string());
    const std::string owner = kMarker + TempFileHost() + "-" + std::to_string(getpid()) + "-";
    // ".", the stem, the owner, the random tag, the check digits and the
    // extension; the stem gives way when the name would be too long for
    // the folder.
    const std::size_t fixed = 1 + owner.size() + kRandomLength + kCheckLength + extension.size();
    const std::size_t limit = NameLimit(folder);
    const std::string kept_stem = CutTo(stem, limit > fixed ? limit - fixed : 0);
    for (int attempt = 0; attempt < 100; ++attempt) {
        const std::string before = "." + kept_stem + owner + RandomTag();
        const fs::path candidate = folder / (before + CheckDigits(before, extension) + extension);
        fd_ = open(candidate.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd_ < 0) {
            if (errno != EEXIST) ThrowErrno(target, "cannot create a file in its folder");
            continue;
        }
        // The lock marks the file as written by a live process until it is
        // closed, whatever becomes of the process. A sweep that took the
        // lock first has removed the file or is about to: another name.
        // A file system without locks (ENOLCK, EINVAL) is written as
        // before; a sweep there cannot lock the file either.
        struct stat status {};
        const bool locked = flock(fd_, LOCK_EX | LOCK_NB) == 0;
        if ((!locked && errno == EWOULDBLOCK) || (fstat(fd_, &status) == 0 && status.st_nlink == 0)) {
            close(fd_);
            fd_ = -1;
            continue;
        }
        path_ = candidate.string();
        slot_ = SetPending(path_);
        return;
    }
    throw RunError(FileMessage(target, "cannot find a free temporary name in its folder"));
}

TempFile::~TempFile() {
    if (fd_ >= 0) close(fd_);
    if (!committed_) {
        unlink(path_.c_str());
        ClearPending(slot_);
    }
}

std::size_t TempFile::WriteAt(const void *data, std::size_t size, std::uint64_t offset) {
    const auto *bytes = static_cast<const unsigned char *>(data);
    std::size_t written = 0;
    while (written < size && failure_.empty()) {
        const ssize_t n = pwrite(fd_, bytes + written, size - written, static_cast<off_t>(offset + written));
        if (n > 0) {
            written += static_cast<std::size_t>(n);
        } else if (n < 0 && errno == EINTR) {
            continue;
        } else {
            Fail(n == 0 ? std::string("the write stopped short") : std::strerror(errno));
        }
    }
    // The disk starts on what is written while the encoder goes on, so the
    // flush before the rename waits for the last few MiB only.
    unflushed_ += written;
    if (unflushed_ >= kWritebackBytes) {
        sync_file_range(fd_, 0, 0, SYNC_FILE_RANGE_WRITE);
        unflushed_ = 0;
    }
    return written;
}

std::size_t TempFile::ReadAt(void *data, std::size_t size, std::uint64_t offset) const {
    return ReadAtMost(fd_, data, size, offset);
}

std::uint64_t TempFile::Size() const {
    struct stat status {};
    return fstat(fd_, &status) == 0 ? static_cast<std::uint64_t>(status.st_size) : 0;
}

void TempFile::Fail(const std::string &reason) {
    if (failure_.empty()) failure_ = reason.empty() ? "unknown error" : reason;
}

void TempFile::Commit() {
    committed_ = true;  // from here on the file is removed or put in place below
    if (!failure_.empty()) {
        unlink(path_.c_str());
        ClearPending(slot_);
        throw RunError(FileMessage(target_, "cannot write: " + failure_));
    }
    FinishedFile file;
    file.fd = fd_;
    file.path = path_;
    file.target = target_;
    file.slot = slot_;
    fd_ = -1;
    if (t_commit_later != nullptr) {
        t_commit_later->committed_.push_back(t_commit_later->flusher_.Hand(std::move(file)));
        return;
    }
    std::future<void> done = file.done.get_future();
    std::vector<FinishedFile> batch;
    batch.push_back(std::move(file));
    FinishFiles(batch);
    done.get();
}

void CheckRegularFile(const std::string &path) {
    struct stat status {};
    if (stat(path.c_str(), &status) != 0) ThrowErrno(path, "cannot read it");
    if (S_ISREG(status.st_mode)) return;
    const char *kind = S_ISCHR(status.st_mode)    ? "a character device"
                       : S_ISBLK(status.st_mode)  ? "a block device"
                       : S_ISFIFO(status.st_mode) ? "a FIFO"
                       : S_ISSOCK(status.st_mode) ? "a socket"
                       : S_ISDIR(status.st_mode)  ? "a folder"
                                                  : "of an unknown kind";
    throw RunError(FileMessage(path, std::string("not a regular file (") + kind + "), not an image file"));
}

void WriteFileAtomically(const std::string &path, const std::string &text) {
    TempFile temp(path);
    temp.WriteAt(text.data(), text.size(), 0);
    temp.Commit();
}

std::string TempFileNameHost(const std::string &file_name) {
    std::string host;
    return ParseTempName(file_name, host) ? host : std::string();
}

}  // namespace veilshadow
