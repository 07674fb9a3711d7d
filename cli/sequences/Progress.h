// Progress of a run on standard error: a bar redrawn in place on a
// terminal, one line per frame otherwise, nothing when quiet; bad frames
// and the closing summary of a sequence in every style.
#ifndef VEILSHADOW_PROGRESS_H
#define VEILSHADOW_PROGRESS_H

#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

namespace veilshadow {

enum class ProgressStyle { kBar, kLines, kQuiet };

// kBar when the stream is a terminal, kLines otherwise, kQuiet when asked.
ProgressStyle ChooseProgressStyle(std::FILE *stream, bool quiet);

// "[########------------]  12/48 frames   3.1 fps   0:11 left", the bar
// `width` characters wide. `done` counts every frame dealt with (rendered,
// skipped or failed); the speed and the time left go by the `rendered`
// frames, which took the elapsed time.
std::string ProgressBar(long done, long total, long rendered, double elapsed_seconds, int width = 24);

// "m:ss" or "h:mm:ss", rounded up to whole seconds.
std::string FormatDuration(double seconds);

// How the frames of a run went.
struct FrameCounts {
    long rendered = 0;
    long skipped = 0;
    std::vector<long> failed;  // in the order they failed
};

// "summary: 7 rendered, 1 skipped, 2 failed (frames 4-5)"; the list of
// failed frames as compact ranges, left out when none failed.
std::string SummaryText(const FrameCounts &counts);

class Progress {
public:
    // A single image (sequence false) is reported as "wrote OUT", never
    // with a bar, and gets no summary.
    Progress(std::FILE *stream, ProgressStyle style, long total_frames, bool sequence);
    Progress(const Progress &) = delete;
    Progress &operator=(const Progress &) = delete;

    // A frame has been written to `output`.
    void FrameDone(long frame, const std::string &output);
    // A frame was left out because `output` is written already (--resume).
    void FrameSkipped(long frame, const std::string &output);
    // A frame could not be rendered: "veilshadow: frame F: PATH: problem"
    // on a line of its own in every style (the bar is drawn again below).
    void FrameFailed(long frame, const std::string &message);
    // Ends the bar's line, so that what follows starts on a line of its
    // own; called before an error message and at the end of the run.
    void Finish();
    // Finish, then the summary line of a sequence: always when a frame
    // failed, otherwise unless quiet.
    void Summary();

    const FrameCounts &counts() const { return counts_; }

private:
    long Done() const;
    double Elapsed() const;
    void DrawBar();
    // " (5/10, 2 skipped, 1 failed)": the counts that are not zero.
    std::string CountText() const;
    // A frame dealt with: the bar drawn again, or "frame F (counts): what".
    void Line(long frame, const std::string &what);
    // Writes to the stream until a write fails; nothing after that.
    void Print(const std::string &text);

    std::FILE *stream_;
    ProgressStyle style_;
    long total_;
    bool sequence_;
    FrameCounts counts_;
    bool line_open_ = false;
    bool closed_ = false;
    std::chrono::steady_clock::time_point start_;
};

}  // namespace veilshadow

#endif
