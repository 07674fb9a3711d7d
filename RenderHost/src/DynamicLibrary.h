// The one place that knows how this system loads a shared library.
#ifndef ORVANE_RENDERHOST_DYNAMICLIBRARY_H
#define ORVANE_RENDERHOST_DYNAMICLIBRARY_H

#include <string>

namespace renderhost {
namespace detail {

// Null, with the loader's message in *error, when the library can't be loaded.
void *OpenLibrary(const std::string &path, std::string *error);
// Null, with the loader's message in *error, when there is no such symbol.
void *FindSymbol(void *library, const char *name, std::string *error);
void CloseLibrary(void *library);

}  // namespace detail
}  // namespace renderhost

#endif
