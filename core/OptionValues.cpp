#include "OptionValues.h"

#include "Errors.h"

#include <cstdint>

namespace veilshadow {

AlphaMode ParseAlphaMode(const std::string &text) {
    if (text == "auto") return AlphaMode::kAuto;
    if (text == "straight") return AlphaMode::kStraight;
    if (text == "associated") return AlphaMode::kAssociated;
    throw UsageError((text.empty() ? std::string("--alpha: the value is empty;") : "--alpha \"" + text + "\":") +
                     " expected auto, straight or associated");
}

const char *AlphaModeName(AlphaMode mode) {
    switch (mode) {
        case AlphaMode::kAuto:
            return "auto";
        case AlphaMode::kStraight:
            return "straight";
        case AlphaMode::kAssociated:
            return "associated";
    }
    return "?";
}

PF_Fixed ParseOpacity(const std::string &text) {
    const auto bad = [&text]() {
        return UsageError(
            (text.empty() ? std::string("--opacity: the value is empty;") : "--opacity \"" + text + "\":") +
            " expected a percentage from 0 to 100, such as 50 or 12.5");
    };
    std::string digits = text;
    if (!digits.empty() && digits.back() == '%') digits.pop_back();

    // Whole part, then an optional fraction; at least one digit in all.
    std::uint64_t whole = 0;
    std::size_t i = 0, whole_digits = 0;
    for (; i < digits.size() && digits[i] >= '0' && digits[i] <= '9'; ++i, ++whole_digits) {
        whole = whole * 10 + static_cast<std::uint64_t>(digits[i] - '0');
        if (whole > 100) throw bad();
    }
    // Rounding PCT * 65536 to nearest only ever needs 17 fractional
    // digits: every halfway point (2k + 1) / 131072 has at most 17 of them,
    // so digits beyond the 17th cannot move a value across one.
    constexpr int kKeptDigits = 17;
    std::uint64_t fraction = 0, scale = 1;
    std::size_t fraction_digits = 0;
    bool fraction_nonzero = false;
    if (i < digits.size() && digits[i] == '.') {
        for (++i; i < digits.size() && digits[i] >= '0' && digits[i] <= '9'; ++i, ++fraction_digits) {
            fraction_nonzero = fraction_nonzero || digits[i] != '0';
            if (fraction_digits < kKeptDigits) {
                fraction = fraction * 10 + static_cast<std::uint64_t>(digits[i] - '0');
                scale *= 10;
            }
        }
    }
    if (i != digits.size() || whole_digits + fraction_digits == 0) throw bad();
    if (whole == 100 && fraction_nonzero) throw bad();

    // round(fraction / scale * 65536) = (fraction * 131072 + scale) / (2 * scale)
    const unsigned __int128 twice = static_cast<unsigned __int128>(fraction) * 131072u + scale;
    const auto fraction_slider = static_cast<std::uint64_t>(twice / (static_cast<unsigned __int128>(scale) * 2u));
    return static_cast<PF_Fixed>(whole * 65536u + fraction_slider);
}

}  // namespace veilshadow
