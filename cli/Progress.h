// Progress of a run on standard error: a bar redrawn in place on a
// terminal, one line per frame otherwise, nothing when quiet.
#ifndef VEILSHADOW_PROGRESS_H
#define VEILSHADOW_PROGRESS_H

#include <chrono>
#include <cstdio>
#include <string>

namespace veilshadow {

enum class ProgressStyle { kBar, kLines, kQuiet };

// kBar when the stream is a terminal, kLines otherwise, kQuiet when asked.
ProgressStyle ChooseProgressStyle(std::FILE *stream, bool quiet);

// "[########------------]  12/48 frames   3.1 fps   0:11 left", the bar
// `width` characters wide. Elapsed time is the time the done frames took.
std::string ProgressBar(long done, long total, double elapsed_seconds, int width = 24);

// "m:ss" or "h:mm:ss", rounded up to whole seconds.
std::string FormatDuration(double seconds);

class Progress {
public:
    // A single image (sequence false) is reported as "wrote OUT", never
    // with a bar.
    Progress(std::FILE *stream, ProgressStyle style, long total_frames, bool sequence);
    Progress(const Progress &) = delete;
    Progress &operator=(const Progress &) = delete;

    // A frame has been written to `output`.
    void FrameDone(long frame, const std::string &output);
    // Ends the bar's line, so that what follows starts on a line of its
    // own; called before an error message and at the end of the run.
    void Finish();

private:
    std::FILE *stream_;
    ProgressStyle style_;
    long total_;
    bool sequence_;
    long done_ = 0;
    bool line_open_ = false;
    std::chrono::steady_clock::time_point start_;
};

} // namespace veilshadow

#endif
