// Frame ranges and frame-number patterns in file names.
#ifndef VEILSHADOW_SEQUENCE_H
#define VEILSHADOW_SEQUENCE_H

#include <string>

namespace veilshadow {

// The frames from first to last, both included.
struct FrameRange {
    long first = 0;
    long last = 0;
    long count() const { return last - first + 1; }
};

// "A-B" (A <= B) or a single frame "A"; frame numbers are 0..999999999.
// Anything else throws UsageError.
FrameRange ParseFrameRange(const std::string &text);

// Whether the path holds a frame pattern: a run of '#' (as many digits as
// there are '#', zero-padded), "%0Nd" (N digits) or "%d" (no padding).
bool HasFramePattern(const std::string &path);

// The path with every frame pattern replaced by the frame number. A
// number wider than its pattern is written in full.
std::string ExpandFramePattern(const std::string &path, long frame);

} // namespace veilshadow

#endif
