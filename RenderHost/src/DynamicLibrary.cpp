#include "DynamicLibrary.h"

#ifdef _WIN32
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
#else
#include <dlfcn.h>
#endif

namespace renderhost {
namespace detail {

#ifdef _WIN32

namespace {
std::string LastErrorText() {
    const DWORD code = GetLastError();
    char *text = nullptr;
    const DWORD length =
        FormatMessageA(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                       nullptr, code, 0, reinterpret_cast<char *>(&text), 0, nullptr);
    std::string message = length > 0 && text ? std::string(text, length) : std::string();
    if (text) LocalFree(text);
    while (!message.empty() && (message.back() == '\n' || message.back() == '\r' || message.back() == ' '))
        message.pop_back();
    return message + " (error " + std::to_string(code) + ")";
}
}  // namespace

void *OpenLibrary(const std::string &path, std::string *error) {
    // A relative name would be looked up on the DLL search path; the host
    // loads exactly the file it was given, and the module's own
    // dependencies are looked for beside it.
    char full[MAX_PATH];
    const DWORD length = GetFullPathNameA(path.c_str(), MAX_PATH, full, nullptr);
    const std::string where = length > 0 && length < MAX_PATH ? std::string(full, length) : path;
    HMODULE module = LoadLibraryExA(where.c_str(), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
    if (module == nullptr) *error = LastErrorText();
    return reinterpret_cast<void *>(module);
}

void *FindSymbol(void *library, const char *name, std::string *error) {
    FARPROC proc = GetProcAddress(static_cast<HMODULE>(library), name);
    if (proc == nullptr) {
        *error = LastErrorText();
        return nullptr;
    }
    return reinterpret_cast<void *>(proc);
}

void CloseLibrary(void *library) {
    if (library != nullptr) FreeLibrary(static_cast<HMODULE>(library));
}

#else

void *OpenLibrary(const std::string &path, std::string *error) {
    // A bare file name would be looked up on the library search path; the
    // host loads exactly the file it was given.
    const std::string where = path.find('/') == std::string::npos ? "./" + path : path;
    void *library = dlopen(where.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (library == nullptr) {
        const char *message = dlerror();
        *error = message ? message : "unknown loader error";
    }
    return library;
}

void *FindSymbol(void *library, const char *name, std::string *error) {
    dlerror();
    void *symbol = dlsym(library, name);
    if (symbol == nullptr) {
        const char *message = dlerror();
        *error = message ? message : std::string("symbol ") + name + " is null";
    }
    return symbol;
}

void CloseLibrary(void *library) {
    if (library != nullptr) dlclose(library);
}

#endif

}  // namespace detail
}  // namespace renderhost
