// Standard error: the program's own messages, and the image libraries'
// chatter kept off it.
#ifndef VEILSHADOW_CONSOLE_H
#define VEILSHADOW_CONSOLE_H

#include <cstdio>
#include <string>

namespace veilshadow {

// Standard error as it was when first asked for, unbuffered: messages
// written to it are never silenced, also while the image libraries'
// own chatter on standard error goes to /dev/null.
std::FILE *MessageStream();

// Opens /dev/null on each of descriptors 0, 1 and 2 that is closed, so
// that no file the program opens is ever given one of them (a file on
// descriptor 2 would receive whatever is printed on standard error).
// main() calls it before anything else is opened. Returns false when a
// closed one could not be opened.
bool HoldStandardDescriptors();

// libpng prints its errors on standard error: OpenImageIO's handler
// takes the message and returns, and libpng's own then prints it. No
// setting of OpenImageIO's reaches that handler, so while a file may pass
// through libpng (any file being opened, as OpenImageIO tries every reader
// on a file its own reader refuses; files of a format whose row says it
// chatters, PNG, read or written: FormatChatters in Formats.h) a silencer
// sends standard error (the process's file descriptor 2) to /dev/null. The
// error reaches veilshadow's one-line message through OpenImageIO anyway.
// libtiff's messages need none: OpenImageIO's TIFF reader and writer
// install libtiff's handlers and keep the messages as their errors;
// OpenEXR's come as exceptions. Files are read and written on several
// threads at once: the first silencer in redirects, the last one out
// restores. veilshadow's own messages go to MessageStream(), which is
// never redirected. The silencer redirects descriptor 2 only once
// HoldStandardDescriptors() has run: then descriptor 2 is standard error
// (or /dev/null) for the whole run and never a file of the program's,
// which open() could otherwise give descriptor 2 when it was found closed.
// Before that (a program that never calls it) it silences nothing.
class LibraryChatterSilenced {
public:
    // Silences nothing when `active` is false.
    explicit LibraryChatterSilenced(bool active = true);
    ~LibraryChatterSilenced();
    LibraryChatterSilenced(const LibraryChatterSilenced &) = delete;
    LibraryChatterSilenced &operator=(const LibraryChatterSilenced &) = delete;

private:
    bool active_;
};

}  // namespace veilshadow

#endif
