#include "Sequence.h"

#include "Errors.h"


namespace veilshadow {
namespace {

constexpr long kMaxFrame = 999999999;

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

// Reads a frame number at text[i...]; advances i. False when there is none
// or it is out of range.
bool ReadFrame(const std::string &text, std::size_t &i, long &frame) {
    const std::size_t start = i;
    frame = 0;
    for (; i < text.size() && IsDigit(text[i]); ++i) {
        frame = frame * 10 + (text[i] - '0');
        if (frame > kMaxFrame)
            return false;
    }
    return i > start;
}

// Matches "%d" or "%0Nd" at path[i]; sets its length and digit count.
bool MatchPrintfPattern(const std::string &path, std::size_t i, std::size_t &length, int &width) {
    if (path[i] != '%')
        return false;
    std::size_t j = i + 1;
    width = 0;
    if (j < path.size() && path[j] == '0') {
        ++j;
        const std::size_t digits_start = j;
        for (; j < path.size() && IsDigit(path[j]) && j - digits_start < 2; ++j)
            width = width * 10 + (path[j] - '0');
        if (j == digits_start || width == 0)
            return false;
    }
    if (j >= path.size() || path[j] != 'd')
        return false;
    length = j + 1 - i;
    return true;
}

std::string Padded(long frame, int width) {
    std::string digits = std::to_string(frame);
    if (static_cast<int>(digits.size()) < width)
        digits.insert(0, static_cast<std::size_t>(width) - digits.size(), '0');
    return digits;
}

} // namespace

FrameRange ParseFrameRange(const std::string &text) {
    const auto bad = [&text]() {
        return UsageError("--frames \"" + text + "\": expected A-B, first and last frame, such as 1-48");
    };
    FrameRange range;
    std::size_t i = 0;
    if (!ReadFrame(text, i, range.first))
        throw bad();
    range.last = range.first;
    if (i < text.size()) {
        if (text[i] != '-')
            throw bad();
        ++i;
        if (!ReadFrame(text, i, range.last) || i != text.size())
            throw bad();
    }
    if (range.last < range.first)
        throw UsageError("--frames \"" + text + "\": the last frame comes before the first");
    return range;
}

bool HasFramePattern(const std::string &path) {
    std::size_t length = 0;
    int width = 0;
    for (std::size_t i = 0; i < path.size(); ++i)
        if (path[i] == '#' || MatchPrintfPattern(path, i, length, width))
            return true;
    return false;
}

std::string ExpandFramePattern(const std::string &path, long frame) {
    std::string result;
    for (std::size_t i = 0; i < path.size();) {
        std::size_t length = 0;
        int width = 0;
        if (path[i] == '#') {
            const std::size_t start = i;
            while (i < path.size() && path[i] == '#')
                ++i;
            result += Padded(frame, static_cast<int>(i - start));
        } else if (MatchPrintfPattern(path, i, length, width)) {
            result += Padded(frame, width);
            i += length;
        } else {
            result += path[i++];
        }
    }
    return result;
}

} // namespace veilshadow
