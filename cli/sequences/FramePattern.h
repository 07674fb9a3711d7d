// Frame-number patterns in file names: "out.####.exr", "out.%04d.exr",
// "out.@@@@.exr". One tokenizer; expanding, stripping and checking are
// built on it, for the program and the farm alike. A pattern lives in the
// last component of a path only: folders are taken as they are written
// ("proj/v@/out.####.png" has one pattern, "user@corp.example.com/a.png"
// none).
#ifndef VEILSHADOW_FRAMEPATTERN_H
#define VEILSHADOW_FRAMEPATTERN_H

#include <string>
#include <vector>

namespace veilshadow {

// One piece of a path: text as it stands, or a frame pattern and the
// number of digits it stands for.
struct PathPiece {
    std::string text;  // the pattern's own characters, for a pattern
    bool pattern = false;
    int width = 0;  // digits at least; 0 for "%d"
};

// The path cut into plain text and frame patterns: a lone '#' (4 digits),
// a run of two or more '#' or of '@' (as many digits as characters),
// "%0Nd" (N digits, N from 1 to 99) or "%d" (no padding). Only the last
// path component (after the last '/') is searched; the folders before it
// are one piece of text. Every rule below reads a path through this one.
std::vector<PathPiece> SplitFramePatterns(const std::string &path);

// Whether the path holds a frame pattern.
bool HasFramePattern(const std::string &path);

// The path with its frame patterns left out: "out.####.exr" gives
// "out..exr".
std::string StripFramePatterns(const std::string &path);

// The widest frame pattern: more digits than any frame number has, and
// far fewer than a file name can hold.
inline constexpr int kMaxPatternWidth = 32;

// Throws UsageError naming the path when a frame pattern in it is wider
// than kMaxPatternWidth, or when its last component holds a printf
// conversion of frame numbers that is no pattern ("%5d" pads with spaces,
// "%-4d", "%+d" and "%0d" likewise are not taken): the message names the
// patterns taken. (Without --frames such a name is a plain file name.)
void CheckFramePatterns(const std::string &path);

// The path with every frame pattern replaced by the frame number,
// zero-padded to the pattern's width as printf's %0Nd pads it (the sign
// of a negative frame counts: -1 in "####" is "-001"). A number wider
// than its pattern is written in full.
std::string ExpandFramePattern(const std::string &path, long frame);

// One text for every spelling of a set of files: the path made absolute,
// its folder resolved (symbolic links, "." and "..", as far as it exists)
// and each pattern of its last component written as "%0Nd" ("%d" for one
// digit or none): "p.####.exr", "p.#.exr" and "p.%04d.exr" in one folder
// all give "/that/folder/p.%04d.exr". The last component itself is kept
// as written (each frame's file may be a link of its own).
std::string CanonicalOutputPattern(const std::string &out);

}  // namespace veilshadow

#endif
