// A plug-in module loaded by path, and its entry point.
#ifndef ORVANE_RENDERHOST_PLUGINMODULE_H
#define ORVANE_RENDERHOST_PLUGINMODULE_H

#include <PF_Host.h>

#include <string>

namespace renderhost {

class PluginModule {
public:
    // Loads the module and resolves EntryPointFunc. Throws
    // std::runtime_error naming the file, with the loader's own message,
    // when the file cannot be loaded or exports no EntryPointFunc.
    static PluginModule Load(const std::string &path);

    PluginModule(PluginModule &&other) noexcept;
    PluginModule &operator=(PluginModule &&other) noexcept;
    PluginModule(const PluginModule &) = delete;
    PluginModule &operator=(const PluginModule &) = delete;
    // Unloads the module: every Effect made from it must be gone first.
    ~PluginModule();

    PF_EntryPointFunc entry() const { return entry_; }
    const std::string &path() const { return path_; }

private:
    PluginModule(std::string path, void *library, PF_EntryPointFunc entry);

    std::string path_;
    void *library_ = nullptr;
    PF_EntryPointFunc entry_ = nullptr;
};

}  // namespace renderhost

#endif
