#include "FramePattern.h"

#include "Errors.h"

#include <algorithm>
#include <filesystem>

namespace veilshadow {
namespace {

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

// Matches "%d" or "%0Nd" at path[i]; sets its length and digit count.
bool MatchPrintfPattern(const std::string &path, std::size_t i, std::size_t &length, int &width) {
    if (path[i] != '%') return false;
    std::size_t j = i + 1;
    width = 0;
    if (j < path.size() && path[j] == '0') {
        ++j;
        const std::size_t digits_start = j;
        for (; j < path.size() && IsDigit(path[j]) && j - digits_start < 2; ++j) width = width * 10 + (path[j] - '0');
        if (j == digits_start || width == 0) return false;
    }
    if (j >= path.size() || path[j] != 'd') return false;
    length = j + 1 - i;
    return true;
}

// Matches a run of '#' or '@' at path[i]; sets its length and digit count
// (a lone '#' stands for 4 digits).
bool MatchRunPattern(const std::string &path, std::size_t i, std::size_t &length, int &width) {
    const char c = path[i];
    if (c != '#' && c != '@') return false;
    length = 0;
    while (i + length < path.size() && path[i + length] == c) ++length;
    width = c == '#' && length == 1 ? 4 : static_cast<int>(length);
    return true;
}

bool MatchPattern(const std::string &path, std::size_t i, std::size_t &length, int &width) {
    return MatchRunPattern(path, i, length, width) || MatchPrintfPattern(path, i, length, width);
}

// As printf's %0*ld writes it: the sign counts towards the width.
std::string Padded(long frame, int width) {
    const std::string sign = frame < 0 ? "-" : "";
    const std::string digits = std::to_string(frame < 0 ? -frame : frame);
    const int zeros = width - static_cast<int>(sign.size() + digits.size());
    return sign + std::string(static_cast<std::size_t>(std::max(zeros, 0)), '0') + digits;
}

// Where the last path component starts: after the last separator.
std::size_t LastComponentStart(const std::string &path) {
#ifdef _WIN32
    const std::size_t slash = path.find_last_of("/\\");
#else
    const std::size_t slash = path.find_last_of('/');
#endif
    return slash == std::string::npos ? 0 : slash + 1;
}

// A printf conversion of an int that is no pattern at path[i]: '%', flags
// or a width other than "0N", then 'd' ("%5d", "%-4d", "%+d", "% 3d").
bool MatchOtherPrintf(const std::string &path, std::size_t i) {
    if (path[i] != '%') return false;
    std::size_t j = i + 1;
    while (j < path.size() &&
           (path[j] == '-' || path[j] == '+' || path[j] == ' ' || path[j] == '0' || IsDigit(path[j])))
        ++j;
    return j > i + 1 && j < path.size() && path[j] == 'd';
}

}  // namespace

std::vector<PathPiece> SplitFramePatterns(const std::string &path) {
    std::vector<PathPiece> pieces;
    const std::size_t start = LastComponentStart(path);
    if (start > 0) pieces.push_back({path.substr(0, start), false, 0});
    for (std::size_t i = start; i < path.size();) {
        std::size_t length = 0;
        int width = 0;
        if (MatchPattern(path, i, length, width)) {
            pieces.push_back({path.substr(i, length), true, width});
            i += length;
            continue;
        }
        if (pieces.empty() || pieces.back().pattern) pieces.emplace_back();
        pieces.back().text += path[i++];
    }
    return pieces;
}

bool HasFramePattern(const std::string &path) {
    const std::vector<PathPiece> pieces = SplitFramePatterns(path);
    return std::any_of(pieces.begin(), pieces.end(), [](const PathPiece &piece) { return piece.pattern; });
}

std::string StripFramePatterns(const std::string &path) {
    std::string result;
    for (const PathPiece &piece : SplitFramePatterns(path))
        if (!piece.pattern) result += piece.text;
    return result;
}

void CheckFramePatterns(const std::string &path) {
    std::vector<std::string> patterns;
    for (const PathPiece &piece : SplitFramePatterns(path)) {
        if (!piece.pattern) continue;
        if (piece.width > kMaxPatternWidth)
            throw UsageError(FileMessage(path, "a frame pattern of " + std::to_string(piece.width) +
                                                   " digits; at most " + std::to_string(kMaxPatternWidth) +
                                                   " are allowed"));
        patterns.push_back("\"" + piece.text + "\"");
    }
    // Each pattern would be the frame number: "me@host.####.exr" would
    // write me7host.0007.exr. One is meant; which, the name cannot say.
    if (patterns.size() > 1) {
        std::string list = patterns[0];
        for (std::size_t i = 1; i < patterns.size(); ++i)
            list += (i + 1 == patterns.size() ? " and " : ", ") + patterns[i];
        throw UsageError(FileMessage(path, "the file name holds " + std::to_string(patterns.size()) +
                                               " frame patterns (" + list +
                                               "); with --frames it takes one, the frame number"));
    }
    // A printf conversion in the last component that would pad with
    // spaces or signs is refused, not taken as part of the name.
    const std::size_t start = LastComponentStart(path);
    for (std::size_t i = start; i < path.size(); ++i) {
        std::size_t length = 0;
        int width = 0;
        if (MatchPattern(path, i, length, width)) {
            i += length - 1;
            continue;
        }
        if (MatchOtherPrintf(path, i)) {
            const std::size_t end = path.find('d', i);
            throw UsageError(FileMessage(path, "\"" + path.substr(i, end + 1 - i) +
                                                   "\" is no frame pattern (only zeros pad a frame number); "
                                                   "use #### (4 digits), ## or @@ (as many digits as characters), "
                                                   "%04d (N digits, zero-padded) or %d (no padding)"));
        }
    }
}

std::string ExpandFramePattern(const std::string &path, long frame) {
    std::string result;
    for (const PathPiece &piece : SplitFramePatterns(path))
        result += piece.pattern ? Padded(frame, piece.width) : piece.text;
    return result;
}

std::string CanonicalOutputPattern(const std::string &out) {
    namespace fs = std::filesystem;
    std::error_code ec;
    fs::path absolute = fs::absolute(fs::path(out), ec);
    if (ec) absolute = fs::path(out);
    const std::string text = absolute.string();
    const std::size_t start = LastComponentStart(text);
    fs::path folder = fs::path(text.substr(0, start));
    const fs::path resolved = fs::weakly_canonical(folder, ec);
    if (!ec) folder = resolved;
    std::string name;
    for (const PathPiece &piece : SplitFramePatterns(text.substr(start))) {
        if (!piece.pattern)
            name += piece.text;
        else if (piece.width <= 1)
            name += "%d";  // one digit at least pads nothing
        else
            name += "%0" + std::to_string(piece.width) + "d";
    }
    std::string result = folder.lexically_normal().string();
    if (result.empty() || result.back() != '/') result += '/';
    return result + name;
}

}  // namespace veilshadow
