// The program's general codec: its module, loaded from beside the program
// or from the installed plug-in folder the first time a file needs it, and
// kept until the program ends (its objects may live as long).
#include "Errors.h"
#include "GeneralCodec.h"
#include "Renderer.h"

#include "OrvaneVersion.h"

#include <dlfcn.h>
#include <sys/stat.h>

#include <cstddef>

namespace veilshadow {

const GeneralCodec &LoadGeneral() {
    const auto fail = [](const std::string &path, const std::string &problem) {
        throw ModuleError(FileMessage(path,
                                      "cannot load veilshadow's general image codec (OpenImageIO, for the "
                                      "files its own codecs do not take): " +
                                          problem));
    };
    std::string path;
    try {
        path = ProgramModulePath(VEILSHADOW_GENERAL_FILE_NAME);
    } catch (const RunError &e) {
        throw ModuleError(e.what());
    }
    // A FIFO or a device would block or never end.
    struct stat status {};
    if (stat(path.c_str(), &status) == 0 && !S_ISREG(status.st_mode)) fail(path, "not a regular file");
    void *const module = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (module == nullptr) fail(path, dlerror());
    using Entry = const GeneralCodec *(*)(unsigned long version, std::size_t table_size);
    const auto entry = reinterpret_cast<Entry>(dlsym(module, "veilshadow_general_codec"));
    const GeneralCodec *const codec = entry != nullptr ? entry(orvane::kPluginVersion, sizeof(GeneralCodec)) : nullptr;
    if (codec == nullptr) {
        dlclose(module);
        fail(path, "not the module of this veilshadow (" + VersionText(orvane::kPluginVersion) + ")");
    }
    return *codec;
}

}  // namespace veilshadow
