// Writing a file so that it is either complete or not there: the data go
// to a temporary file in the same folder, which is flushed to disk and
// renamed into place only when every write has succeeded.
#ifndef VEILSHADOW_ATOMICFILE_H
#define VEILSHADOW_ATOMICFILE_H

#include <cstdint>
#include <string>

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
    // is then removed.
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

// Reads up to `size` bytes of `fd` at `offset`, retrying short reads;
// returns the bytes read (fewer only at the end of the file or on an
// error).
std::size_t ReadAtMost(int fd, void *data, std::size_t size, std::uint64_t offset);

// Throws RunError naming `path` unless it is a regular file (a symlink to
// one counts): a device or a FIFO given as an input would be read without
// end or would block, so it is refused before it is opened.
void CheckRegularFile(const std::string &path);

// The 32-bit FNV-1a hash of `text`: short, stable names for long ones.
std::uint32_t Fnv1a(const std::string &text);

// Writes `text` to `path` through a TempFile.
void WriteFileAtomically(const std::string &path, const std::string &text);

// Whether a name is exactly of the form TempFile gives, check digits
// included.
bool IsTempFileName(const std::string &file_name);

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
