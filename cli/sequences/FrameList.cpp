#include "FrameList.h"

#include "Errors.h"

#include <algorithm>

namespace veilshadow {
namespace {

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

// Reads an unsigned number at text[i...]; advances i. False when there is
// none; a number beyond kMaxFrameNumber sets `too_large`.
bool ReadNumber(const std::string &text, std::size_t &i, long &number, bool &too_large) {
    const std::size_t start = i;
    number = 0;
    for (; i < text.size() && IsDigit(text[i]); ++i) {
        if (number <= kMaxFrameNumber) number = number * 10 + (text[i] - '0');
        too_large = too_large || number > kMaxFrameNumber;
    }
    return i > start;
}

// A frame number, with an optional minus sign.
bool ReadFrame(const std::string &text, std::size_t &i, long &frame, bool &too_large) {
    const bool negative = i < text.size() && text[i] == '-';
    if (negative) ++i;
    if (!ReadNumber(text, i, frame, too_large)) return false;
    if (negative) frame = -frame;
    return true;
}

// One item of a list: "N", "A-B" or "A-BxS".
struct Item {
    long first = 0, last = 0, step = 1;
    std::size_t count() const { return static_cast<std::size_t>((last - first) / step) + 1; }
};

std::string Trimmed(const std::string &text) {
    const std::size_t begin = text.find_first_not_of(' ');
    if (begin == std::string::npos) return {};
    return text.substr(begin, text.find_last_not_of(' ') + 1 - begin);
}

}  // namespace

std::vector<long> ParseFrameList(const std::string &text, const std::string &option) {
    const std::string quoted = option + " \"" + text + "\": ";
    std::vector<Item> items;
    std::size_t total = 0;
    for (std::size_t start = 0; start <= text.size();) {
        const std::size_t comma = std::min(text.find(',', start), text.size());
        const std::string item_text = Trimmed(text.substr(start, comma - start));
        start = comma + 1;
        if (item_text.empty())
            throw UsageError(quoted + (text.find_first_not_of(' ') == std::string::npos
                                           ? "no frames given"
                                           : "an empty item between commas"));
        Item item;
        std::size_t i = 0;
        bool too_large = false;
        bool ok = ReadFrame(item_text, i, item.first, too_large);
        item.last = item.first;
        if (ok && i < item_text.size()) {
            ok = item_text[i++] == '-' && ReadFrame(item_text, i, item.last, too_large);
            if (ok && i < item_text.size())
                ok = item_text[i++] == 'x' && ReadNumber(item_text, i, item.step, too_large);
        }
        if (ok && i == item_text.size() && too_large)
            throw UsageError(quoted + "in \"" + item_text + "\" a number is too large (frames run from -" +
                             std::to_string(kMaxFrameNumber) + " to " + std::to_string(kMaxFrameNumber) + ")");
        if (!ok || i != item_text.size())
            throw UsageError(quoted + "\"" + item_text +
                             "\" is not a frame N, a range A-B or a stepped range A-BxS, such as 1-100x5");
        if (item.last < item.first)
            throw UsageError(quoted + "in \"" + item_text + "\" the last frame comes before the first");
        if (item.step == 0) throw UsageError(quoted + "in \"" + item_text + "\" the step is 0");
        total += item.count();
        if (total > kMaxFrameCount)
            throw UsageError(quoted + "more than " + std::to_string(kMaxFrameCount) + " frames");
        items.push_back(item);
    }
    std::vector<long> frames;
    frames.reserve(total);
    for (const Item &item : items)
        for (long frame = item.first; frame <= item.last; frame += item.step) frames.push_back(frame);
    std::sort(frames.begin(), frames.end());
    frames.erase(std::unique(frames.begin(), frames.end()), frames.end());
    return frames;
}

std::string FormatFrameList(const std::vector<long> &frames) {
    std::string text;
    for (std::size_t i = 0; i < frames.size();) {
        std::size_t end = i + 1;
        while (end < frames.size() && frames[end] == frames[end - 1] + 1) ++end;
        if (!text.empty()) text += ',';
        text += std::to_string(frames[i]);
        if (end - i > 1) text += '-' + std::to_string(frames[end - 1]);
        i = end;
    }
    return text;
}

}  // namespace veilshadow
