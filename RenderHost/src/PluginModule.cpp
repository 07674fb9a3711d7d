#include <RenderHost/PluginModule.h>

#include "DynamicLibrary.h"

#include <stdexcept>
#include <utility>

namespace renderhost {

PluginModule PluginModule::Load(const std::string &path) {
    std::string error;
    void *library = detail::OpenLibrary(path, &error);
    if (library == nullptr) throw std::runtime_error("cannot load plug-in module '" + path + "': " + error);
    void *symbol = detail::FindSymbol(library, PF_ENTRY_POINT_NAME, &error);
    if (symbol == nullptr) {
        detail::CloseLibrary(library);
        throw std::runtime_error("plug-in module '" + path + "' does not export " PF_ENTRY_POINT_NAME ": " + error);
    }
    return PluginModule(path, library, reinterpret_cast<PF_EntryPointFunc>(symbol));
}

PluginModule::PluginModule(std::string path, void *library, PF_EntryPointFunc entry)
    : path_(std::move(path)), library_(library), entry_(entry) {}

PluginModule::PluginModule(PluginModule &&other) noexcept
    : path_(std::move(other.path_)),
      library_(std::exchange(other.library_, nullptr)),
      entry_(std::exchange(other.entry_, nullptr)) {}

PluginModule &PluginModule::operator=(PluginModule &&other) noexcept {
    if (this != &other) {
        detail::CloseLibrary(library_);
        path_ = std::move(other.path_);
        library_ = std::exchange(other.library_, nullptr);
        entry_ = std::exchange(other.entry_, nullptr);
    }
    return *this;
}

PluginModule::~PluginModule() { detail::CloseLibrary(library_); }

}  // namespace renderhost
