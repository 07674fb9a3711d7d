// The program's general codec: its module, loaded from beside the program
// or from the installed plug-in folder the first time a file needs it, and
// kept until the program ends (its objects may live as long).
#include "Errors.h"
#include "GeneralCodec.h"
#include "Renderer.h"

#include "OrvaneVersion.h"

#include <dlfcn.h>

#include <cstddef>

namespace veilshadow {

const GeneralCodec &LoadGeneral() {
    const std::string path = ProgramModulePath(VEILSHADOW_GENERAL_FILE_NAME);
    void *const module = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (module == nullptr)
        throw RunError(FileMessage(path, std::string("cannot load veilshadow's general image codec: ") + dlerror()));
    using Entry = const GeneralCodec *(*)(unsigned long version, std::size_t table_size);
    const auto entry = reinterpret_cast<Entry>(dlsym(module, "veilshadow_general_codec"));
    const GeneralCodec *const codec = entry != nullptr ? entry(orvane::kPluginVersion, sizeof(GeneralCodec)) : nullptr;
    if (codec == nullptr) {
        dlclose(module);
        throw RunError(FileMessage(
            path, "not the general image codec of this veilshadow (" + VersionText(orvane::kPluginVersion) + ")"));
    }
    return *codec;
}

}  // namespace veilshadow
