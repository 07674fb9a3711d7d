// The plug-in module driven through the render host, as the host drives
// it: global setup and params setup once, smart pre-render and smart
// render per frame, global setdown at the end.
#ifndef VEILSHADOW_RENDERER_H
#define VEILSHADOW_RENDERER_H

#include <PF_Host.h>
#include <RenderHost/World.h>

#include <filesystem>
#include <memory>
#include <string>

namespace renderhost {
class ThreadPool;
}

namespace veilshadow {

// The module `file_name` in `folder`, as a build tree keeps the plug-in
// module (and the program's general codec) beside the program and the
// Python extension; when there is none there, the installed one,
// `installed_from_folder` away from `folder`.
std::string ModuleFrom(const std::filesystem::path &folder, const std::string &installed_from_folder,
                       const std::string &file_name);
// ModuleFrom for the plug-in module (OrvaneVeilShadow.so).
std::string PluginModuleFrom(const std::filesystem::path &folder, const std::string &installed_from_folder);

// The running program's module `file_name`: ModuleFrom its own folder and
// the installed layout (/usr/bin/../lib/<multiarch>/veilshadow/). Throws
// RunError when the program's own file cannot be found.
std::string ProgramModulePath(const std::string &file_name);
// The plug-in module for the running program.
std::string DefaultPluginPath();

// "major.minor.bug" of the host's packed version word.
std::string VersionText(A_u_long word);

struct FrameWorlds {
    renderhost::World *input = nullptr;   // the layer as it arrives (over its shadow)
    renderhost::World *layer = nullptr;   // the layer's own pixels
    renderhost::World *output = nullptr;  // the input's data window, the input's depth
    PF_Fixed slider = 0;                  // Opacity, 16.16
    A_long ref_width = 0;                 // the layer's full-resolution size
    A_long ref_height = 0;
    int downsample = 1;  // the worlds are at 1/downsample of full resolution
    long frame = 0;
};

class Renderer {
public:
    // Loads the module and sends global setup and params setup. threads:
    // threads of the host's iteration, 0 for one per hardware thread.
    // Throws RunError naming the module.
    Renderer(const std::string &plugin_path, int threads);
    // Sends global setdown when it has not been sent.
    ~Renderer();
    Renderer(const Renderer &) = delete;
    Renderer &operator=(const Renderer &) = delete;

    // Renders one frame into frame.output. Throws RunError naming
    // `what` (the input file) when the plug-in reports an error.
    void Render(const FrameWorlds &frame, const std::string &what);

    // Sends global setdown; throws RunError when the plug-in fails it.
    void Finish();

    // The host's thread pool (the threads given above), for the program's
    // own work on a frame's rows: its runs take turns with the plug-in's.
    renderhost::ThreadPool &pool();

    const std::string &plugin_path() const;
    // The version word the plug-in gave in its global setup.
    A_u_long plugin_version() const;

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace veilshadow

#endif
