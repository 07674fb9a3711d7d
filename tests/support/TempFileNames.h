// What the tests and the image fuzzer look for when they count the
// temporary files a run leaves behind.
#ifndef VEILSHADOW_TESTS_SUPPORT_TEMPFILENAMES_H
#define VEILSHADOW_TESTS_SUPPORT_TEMPFILENAMES_H

#include "AtomicFile.h"

#include <string>

namespace veilshadow {

// Whether a name is exactly of the form TempFile gives, check digits
// included.
inline bool IsTempFileName(const std::string &file_name) { return !TempFileNameHost(file_name).empty(); }

}  // namespace veilshadow

#endif
