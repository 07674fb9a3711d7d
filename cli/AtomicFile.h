// Writing a file so that it is either complete or not there: the data go
// to a temporary file in the same folder, which is renamed into place only
// when complete.
#ifndef VEILSHADOW_ATOMICFILE_H
#define VEILSHADOW_ATOMICFILE_H

#include <string>

namespace veilshadow {

// A reserved temporary file beside `target`, named ".NAME.vs-XXXXXX.EXT"
// (the extension is kept, since image writers go by it). Removed on
// destruction unless committed, and on SIGINT, SIGTERM and SIGHUP while it
// exists (for up to 16 temporary files at a time per process, from any
// threads).
class TempFile {
public:
    // Throws RunError naming the target when the folder cannot take a file.
    explicit TempFile(const std::string &target);
    ~TempFile();
    TempFile(const TempFile &) = delete;
    TempFile &operator=(const TempFile &) = delete;

    const std::string &path() const { return path_; }
    const std::string &target() const { return target_; }

    // Renames the temporary file onto the target (atomic within a folder).
    // Throws RunError naming the target on failure; the temporary file is
    // then removed.
    void Commit();

private:
    std::string target_;
    std::string path_;
    bool committed_ = false;
    int slot_ = -1;  // where the signal handler finds the path
};

// Whether a name is one of ours, for tests that look for leftovers.
bool IsTempFileName(const std::string &file_name);

}  // namespace veilshadow

#endif
