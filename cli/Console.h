// Standard error: the program's own messages, and the image libraries'
// chatter kept off it.
#ifndef VEILSHADOW_CONSOLE_H
#define VEILSHADOW_CONSOLE_H

#include <cstdio>

namespace veilshadow {

// Standard error as it was when first asked for, unbuffered: messages
// written to it are never silenced, also while the image libraries'
// own chatter on standard error goes to /dev/null.
std::FILE *MessageStream();

// libpng prints its complaints on standard error (OpenImageIO's handler
// records the error, then libpng's own prints it too). The error reaches
// veilshadow's one-line message through OpenImageIO anyway, so while one
// of these lives, standard error (the process's file descriptor 2) goes to
// /dev/null. Files are read and written on several threads at once: the
// first silencer in redirects, the last one out restores. veilshadow's
// own messages go to MessageStream(), which is never redirected.
class LibraryChatterSilenced {
public:
    LibraryChatterSilenced();
    ~LibraryChatterSilenced();
    LibraryChatterSilenced(const LibraryChatterSilenced &) = delete;
    LibraryChatterSilenced &operator=(const LibraryChatterSilenced &) = delete;
};

}  // namespace veilshadow

#endif
