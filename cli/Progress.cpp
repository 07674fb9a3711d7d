#include "Progress.h"

#include <cmath>
#include <unistd.h>

namespace veilshadow {

ProgressStyle ChooseProgressStyle(std::FILE *stream, bool quiet) {
    if (quiet)
        return ProgressStyle::kQuiet;
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

std::string ProgressBar(long done, long total, double elapsed_seconds, int width) {
    const long filled = total > 0 ? done * width / total : width;
    std::string bar = "[";
    bar.append(static_cast<std::size_t>(filled), '#');
    bar.append(static_cast<std::size_t>(width - filled), '-');
    bar += "]";
    char text[128];
    std::snprintf(text, sizeof text, " %*ld/%ld frames", static_cast<int>(std::to_string(total).size()), done, total);
    bar += text;
    if (done > 0 && elapsed_seconds > 0) {
        const double fps = done / elapsed_seconds;
        std::snprintf(text, sizeof text, "  %.1f fps  %s left", fps, FormatDuration((total - done) / fps).c_str());
        bar += text;
    }
    return bar;
}

Progress::Progress(std::FILE *stream, ProgressStyle style, long total_frames, bool sequence)
    : stream_(stream),
      style_(style == ProgressStyle::kBar && !sequence ? ProgressStyle::kLines : style),
      total_(total_frames),
      sequence_(sequence),
      start_(std::chrono::steady_clock::now()) {
    if (style_ == ProgressStyle::kBar) {
        std::fprintf(stream_, "\r%s", ProgressBar(0, total_, 0).c_str());
        std::fflush(stream_);
        line_open_ = true;
    }
}

void Progress::FrameDone(long frame, const std::string &output) {
    ++done_;
    const double elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - start_).count();
    switch (style_) {
    case ProgressStyle::kBar:
        // Clears what a longer previous line left at its end.
        std::fprintf(stream_, "\r%s\033[K", ProgressBar(done_, total_, elapsed).c_str());
        line_open_ = true;
        break;
    case ProgressStyle::kLines:
        if (sequence_)
            std::fprintf(stream_, "frame %ld (%ld/%ld): wrote %s\n", frame, done_, total_, output.c_str());
        else
            std::fprintf(stream_, "wrote %s\n", output.c_str());
        break;
    case ProgressStyle::kQuiet:
        break;
    }
    std::fflush(stream_);
}

void Progress::Finish() {
    if (line_open_) {
        std::fputc('\n', stream_);
        std::fflush(stream_);
        line_open_ = false;
    }
}

} // namespace veilshadow
