#include "Progress.h"

#include "FrameList.h"

#include <unistd.h>
#include <cmath>

namespace veilshadow {

ProgressStyle ChooseProgressStyle(std::FILE *stream, bool quiet) {
    if (quiet) return ProgressStyle::kQuiet;
    return isatty(fileno(stream)) ? ProgressStyle::kBar : ProgressStyle::kLines;
}

std::string FormatDuration(double seconds) {
    long total = seconds > 0 ? static_cast<long>(std::ceil(seconds)) : 0;
    const long hours = total / 3600, minutes = total / 60 % 60, secs = total % 60;
    char text[32];
    if (hours > 0)
        std::snprintf(text, sizeof text, "%ld:%02ld:%02ld", hours, minutes, secs);
    else
        std::snprintf(text, sizeof text, "%ld:%02ld", minutes, secs);
    return text;
}

std::string ProgressBar(long done, long total, long rendered, double elapsed_seconds, int width) {
    const long filled = total > 0 ? done * width / total : width;
    std::string bar = "[";
    bar.append(static_cast<std::size_t>(filled), '#');
    bar.append(static_cast<std::size_t>(width - filled), '-');
    bar += "]";
    char text[128];
    std::snprintf(text, sizeof text, " %*ld/%ld frames", static_cast<int>(std::to_string(total).size()), done, total);
    bar += text;
    if (rendered > 0 && elapsed_seconds > 0) {
        const double fps = rendered / elapsed_seconds;
        std::snprintf(text, sizeof text, "  %.1f fps  %s left", fps, FormatDuration((total - done) / fps).c_str());
        bar += text;
    }
    return bar;
}

std::string SummaryText(const FrameCounts &counts) {
    std::string text = "summary: " + std::to_string(counts.rendered) + " rendered, " + std::to_string(counts.skipped) +
                       " skipped, " + std::to_string(counts.failed.size()) + " failed";
    if (!counts.failed.empty()) text += " (frames " + FormatFrameList(counts.failed) + ")";
    return text;
}

Progress::Progress(std::FILE *stream, ProgressStyle style, long total_frames, bool sequence)
    : stream_(stream),
      style_(style == ProgressStyle::kBar && !sequence ? ProgressStyle::kLines : style),
      total_(total_frames),
      sequence_(sequence),
      start_(std::chrono::steady_clock::now()) {
    if (style_ == ProgressStyle::kBar) DrawBar();
}

long Progress::Done() const { return counts_.rendered + counts_.skipped + static_cast<long>(counts_.failed.size()); }

double Progress::Elapsed() const {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start_).count();
}

void Progress::DrawBar() {
    // Clears what a longer previous line left at its end.
    Print("\r" + ProgressBar(Done(), total_, counts_.rendered, Elapsed()) + "\033[K");
    line_open_ = true;
}

std::string Progress::CountText() const {
    std::string text = " (" + std::to_string(Done()) + "/" + std::to_string(total_);
    if (counts_.skipped > 0) text += ", " + std::to_string(counts_.skipped) + " skipped";
    if (!counts_.failed.empty()) text += ", " + std::to_string(counts_.failed.size()) + " failed";
    return text + ")";
}

void Progress::Print(const std::string &text) {
    if (closed_) return;
    // A stream whose reader is gone (EPIPE, with SIGPIPE ignored) or that
    // cannot take more ends the report, not the run.
    if (std::fputs(text.c_str(), stream_) == EOF || std::fflush(stream_) != 0) closed_ = true;
}

void Progress::FrameDone(long frame, const std::string &output) {
    ++counts_.rendered;
    Line(frame, "wrote " + output);
}

void Progress::FrameSkipped(long frame, const std::string &output) {
    ++counts_.skipped;
    Line(frame, "skipped, " + output + " is written");
}

void Progress::Line(long frame, const std::string &what) {
    if (style_ == ProgressStyle::kBar)
        DrawBar();
    else if (style_ == ProgressStyle::kLines && sequence_)
        Print("frame " + std::to_string(frame) + CountText() + ": " + what + "\n");
    else if (style_ == ProgressStyle::kLines)
        Print(what + "\n");
}

void Progress::FrameFailed(long frame, const std::string &message) {
    counts_.failed.push_back(frame);
    Finish();
    if (sequence_)
        Print("veilshadow: frame " + std::to_string(frame) + ": " + message + "\n");
    else
        Print("veilshadow: " + message + "\n");
    if (style_ == ProgressStyle::kBar) DrawBar();
}

void Progress::Finish() {
    if (line_open_) {
        Print("\n");
        line_open_ = false;
    }
}

void Progress::Summary() {
    Finish();
    if (sequence_ && (style_ != ProgressStyle::kQuiet || !counts_.failed.empty())) {
        Print(SummaryText(counts_) + "\n");
    }
}

}  // namespace veilshadow
