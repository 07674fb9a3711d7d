// Two option values and how their text is read and checked: the alpha
// mode and the opacity, for the program's command line and the Python
// module alike. Which options a job has, their names and where their text
// is kept: JobOptions.h.
#ifndef VEILSHADOW_OPTIONVALUES_H
#define VEILSHADOW_OPTIONVALUES_H

#include <PF_Host.h>

#include <string>

namespace veilshadow {

// How the colour channels of the files relate to their alpha.
enum class AlphaMode {
    kAuto,        // the format's convention: associated for OpenEXR, what the file declares otherwise
    kStraight,    // colour not multiplied by alpha
    kAssociated,  // colour multiplied by alpha
};

// "auto", "straight" or "associated"; anything else throws UsageError.
AlphaMode ParseAlphaMode(const std::string &text);
const char *AlphaModeName(AlphaMode mode);

// The highest opacity, as the slider's 16.16 value (100 * 65536).
inline constexpr PF_Fixed kMaxOpacitySlider = 100 * 65536;

// An opacity percentage from 0 to 100 ("50", "12.5", "0.25%") as the
// slider's signed 16.16 value: PCT * 65536 rounded to nearest, halves
// upwards, computed exactly from the decimal digits. Anything else (a
// sign, an exponent, text, a value above 100, an empty string) throws
// UsageError.
PF_Fixed ParseOpacity(const std::string &text);

}  // namespace veilshadow

#endif
