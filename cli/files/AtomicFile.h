// Writing a file so that it is either complete or not there: the data go
// to a temporary file in the same folder, which is flushed to disk and
// renamed into place only when every write has succeeded. The flush and
// the rename happen in Commit, or later on a DiskFlusher's thread for a
// run that must not wait for the disk frame by frame.
#ifndef VEILSHADOW_ATOMICFILE_H
#define VEILSHADOW_ATOMICFILE_H

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <future>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace veilshadow {

// A temporary file beside `target`, open for writing, named
// ".NAME.vs-HOST-PID-RANDOMCHECK.EXT": NAME and EXT the target's stem and
// extension (EXT empty or one '.' and no other), HOST as TempFileHost()
// gives it, PID the writer's process id in decimal, RANDOM 6 characters
// of [a-z0-9], CHECK 8 lowercase hex digits, the FNV-1a hash of the rest
// of the name. NAME is shortened where the whole name would exceed the
// folder's limit. The writer holds an exclusive flock on the file from
// its creation until it is renamed into place and closed, or removed: the
// lock, not the PID, says that its writer is alive (a SIGKILL leaves the
// file behind, unlocked). The file is removed on destruction unless
// committed, and on SIGINT, SIGTERM and SIGHUP while it exists (for up to
// 16 temporary files at a time per process, from any threads), except for
// a signal the process was started with ignored, which stays ignored.
// SIGXFSZ is ignored from the first temporary file on, so that the
// file-size limit fails a write (EFBIG) instead of killing the process.
class TempFile {
public:
    // Throws RunError naming the target when the folder cannot take a file.
    explicit TempFile(const std::string &target);
    ~TempFile();
    TempFile(const TempFile &) = delete;
    TempFile &operator=(const TempFile &) = delete;

    const std::string &path() const { return path_; }
    const std::string &target() const { return target_; }

    // Writes all `size` bytes at `offset`, retrying short writes. A write
    // that fails (ENOSPC, EFBIG, EIO, ...) is remembered: Commit then
    // refuses. Returns the bytes written.
    std::size_t WriteAt(const void *data, std::size_t size, std::uint64_t offset);
    // Reads up to `size` bytes at `offset`; returns the bytes read.
    std::size_t ReadAt(void *data, std::size_t size, std::uint64_t offset) const;
    // The file's size on disk, or 0 when it cannot be read.
    std::uint64_t Size() const;
    // Marks the file as failed with `reason` (the first reason is kept).
    void Fail(const std::string &reason);
    bool failed() const { return !failure_.empty(); }

    // Flushes the file to disk, renames it onto the target (atomic within
    // a folder) and flushes the folder. Throws RunError naming the target
    // when a write failed or any of these steps fails; the temporary file
    // is then removed. While a CommitLater lives on the calling thread,
    // only a failed write throws here: the file is handed to its
    // DiskFlusher, which does the rest.
    void Commit();

private:
    std::string target_;
    std::string path_;
    int fd_ = -1;
    std::string failure_;
    std::size_t unflushed_ = 0;  // written since the disk was last asked to write back
    bool committed_ = false;
    int slot_ = -1;  // where the signal handler finds the path
};

// The calls that put a file's data, or a folder's entries, on disk
// (fsync). Each returns 0 or an errno value. Tests put others in their
// place to see which files are flushed and when, and to make one fail;
// the image fuzzer, whose files are thrown away, one that flushes nothing.
class DiskSync {
public:
    virtual ~DiskSync() = default;
    virtual int SyncFile(int fd, const std::string &target) = 0;
    virtual int SyncFolder(int fd, const std::string &folder) = 0;
};

// Makes `sync` the process's way to the disk (nullptr: fsync); returns
// the one it replaces. Set it while no file is being committed.
DiskSync *SetDiskSync(DiskSync *sync);

// A temporary file whose writing is over, on its way into place.
struct FinishedFile {
    int fd = -1;
    std::string path, target;
    int slot = -1;
    std::promise<void> done;
};

// Flushes finished files to disk, renames them into place and flushes
// their folders on a thread of its own, so that the threads that encode
// never wait for the disk. The files handed over while it flushes one
// batch make the next, and each folder is flushed once per batch. At most
// kMaxWaiting files wait; a thread handing over one more waits for room
// (the disk is then the slowest stage of the run). Each file's future is
// ready once the file is on disk under its name, or holds the RunError
// naming it; the file is then not there, or its folder failed to flush.
class DiskFlusher {
public:
    static constexpr std::size_t kMaxWaiting = 8;
    DiskFlusher();
    // Finishes every file handed over, then joins the thread.
    ~DiskFlusher();
    DiskFlusher(const DiskFlusher &) = delete;
    DiskFlusher &operator=(const DiskFlusher &) = delete;

    std::future<void> Hand(FinishedFile file);

private:
    void Work();

    std::mutex mutex_;
    std::condition_variable changed_;
    std::deque<FinishedFile> waiting_;
    bool stopping_ = false;
    std::thread thread_;
};

// While one lives on a thread, TempFile::Commit on that thread hands its
// file to `flusher` instead of flushing it; Take gives the futures of the
// files handed over (see DiskFlusher).
class CommitLater {
public:
    explicit CommitLater(DiskFlusher &flusher);
    ~CommitLater();
    CommitLater(const CommitLater &) = delete;
    CommitLater &operator=(const CommitLater &) = delete;

    std::vector<std::future<void>> Take();

private:
    friend class TempFile;
    DiskFlusher &flusher_;
    CommitLater *outer_;
    std::vector<std::future<void>> committed_;
};

// Throws RunError naming `path` unless it is a regular file (a symlink to
// one counts): a device or a FIFO given as an input would be read without
// end or would block, so it is refused before it is opened.
void CheckRegularFile(const std::string &path);

// Writes `text` to `path` through a TempFile.
void WriteFileAtomically(const std::string &path, const std::string &text);

// The host a name exactly of the form TempFile gives carries (check
// digits included), or "" for any other name.
std::string TempFileNameHost(const std::string &file_name);

// This host's name as temporary files carry it: letters, digits and '_'.
std::string TempFileHost();

// Removes the temporary files in `folder` that writers on this host left
// behind: regular files whose names are exactly of TempFile's form with
// this host's name and whose lock can be taken (no process holds it, in
// any PID namespace). Locked files, other hosts' files and names of any
// other form are never touched. Returns how many were removed. TempFile
// calls it once per folder and process.
int RemoveStaleTempFiles(const std::string &folder);

}  // namespace veilshadow

#endif
