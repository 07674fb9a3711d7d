// Frame lists as render farms write them ("1-100", "1-100x5", "1,5,10-20",
// "-5--1").
#ifndef VEILSHADOW_FRAMELIST_H
#define VEILSHADOW_FRAMELIST_H

#include "Limits.h"  // kMaxFrameNumber, kMaxFrameCount

#include <cstddef>
#include <string>
#include <vector>

namespace veilshadow {

// Reads a frame list: items separated by commas (spaces around an item
// are ignored), each a frame "N", a range "A-B" (A <= B, both included)
// or a stepped range "A-BxS" (A, A+S, A+2S, ... up to B; S >= 1). Frames
// may be negative: "-5--1" is -5 to -1, "-2-2" is -2 to 2. Returns the
// frames in ascending order, each once ("1-3,2" is 1, 2, 3). Throws
// UsageError quoting `option` and the text: an empty list or item,
// anything malformed, a range that runs backwards, a step of 0, a number
// beyond kMaxFrameNumber ("too large"), more than kMaxFrameCount frames.
std::vector<long> ParseFrameList(const std::string &text, const std::string &option = "--frames");

// The frames as a list ParseFrameList reads back: each run of consecutive
// ascending frames (in the order given) as "A-B", other frames alone,
// separated by commas. {3, 4, 5, 9} gives "3-5,9", {-2, -1, 0} gives
// "-2-0", {} gives "".
std::string FormatFrameList(const std::vector<long> &frames);

}  // namespace veilshadow

#endif
