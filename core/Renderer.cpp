#include "Renderer.h"

#include "Errors.h"

#include <RenderHost/Effect.h>
#include <RenderHost/Host.h>
#include <RenderHost/PluginModule.h>

#include <sys/auxv.h>
#include <sys/stat.h>

#include <cstring>
#include <filesystem>
#include <optional>

namespace veilshadow {
namespace {

std::string DescribeError(PF_Err err) {
    switch (err) {
        case PF_Err_OUT_OF_MEMORY:
            return "out of memory";
        case PF_Err_INTERNAL_STRUCT_DAMAGED:
            return "internal structure damaged";
        case PF_Err_BAD_CALLBACK_PARAM:
            return "bad callback parameter";
        default:
            return "error " + std::to_string(err);
    }
}

}  // namespace

std::string ModuleFrom(const std::filesystem::path &folder, const std::string &installed_from_folder,
                       const std::string &file_name) {
    std::error_code ec;
    const std::filesystem::path beside = folder / file_name;
    const std::filesystem::path installed = (folder / installed_from_folder / file_name).lexically_normal();
    return (std::filesystem::exists(beside, ec) || !std::filesystem::exists(installed, ec) ? beside : installed)
        .string();
}

std::string PluginModuleFrom(const std::filesystem::path &folder, const std::string &installed_from_folder) {
    return ModuleFrom(folder, installed_from_folder, VEILSHADOW_PLUGIN_FILE_NAME);
}

std::string ProgramModulePath(const std::string &file_name) {
    // The program's own file, links resolved: /proc/self/exe, or where
    // there is no /proc (a chroot), the path it was started by. Never the
    // working folder: a module found there would be whatever it holds.
    std::error_code ec;
    std::filesystem::path self = std::filesystem::read_symlink("/proc/self/exe", ec);
    if (ec) {
        const auto started = reinterpret_cast<const char *>(getauxval(AT_EXECFN));
        self = started != nullptr ? std::filesystem::canonical(started, ec) : std::filesystem::path();
    }
    if (ec || self.empty())
        throw RunError(
            "cannot find veilshadow's own folder, where its modules are (neither /proc/self/exe nor the "
            "path it was started by can be read)" +
            (file_name == VEILSHADOW_PLUGIN_FILE_NAME ? std::string("; name the plug-in with --plugin")
                                                      : std::string()));
    return ModuleFrom(self.parent_path(), VEILSHADOW_PLUGIN_FROM_PROGRAM, file_name);
}

std::string DefaultPluginPath() { return ProgramModulePath(VEILSHADOW_PLUGIN_FILE_NAME); }

std::string VersionText(A_u_long word) {
    return std::to_string(word >> 19) + "." + std::to_string((word >> 15) & 0xf) + "." +
           std::to_string((word >> 11) & 0xf);
}

// Members in the order they must come to life; they go away in reverse:
// the effect before the host, the host before the module.
struct Renderer::Impl {
    Impl(renderhost::PluginModule loaded, int threads)
        : module(std::move(loaded)), host(renderhost::HostOptions{threads}), effect(host, module) {}
    renderhost::PluginModule module;
    renderhost::Host host;
    renderhost::Effect effect;
    bool set_up = false;

    // The plug-in's own message, when it left one.
    std::string Message() {
        const PF_OutData &out = effect.out_data();
        if ((out.out_flags & PF_OutFlag_DISPLAY_ERROR_MESSAGE) == 0 || out.return_msg[0] == '\0') return {};
        return std::string(" (") + std::string(out.return_msg, strnlen(out.return_msg, sizeof out.return_msg)) + ")";
    }
};

Renderer::Renderer(const std::string &plugin_path, int threads) {
    // A FIFO or a device would hold the loader up for ever.
    struct stat status {};
    if (stat(plugin_path.c_str(), &status) == 0 && !S_ISREG(status.st_mode))
        throw RunError(FileMessage(plugin_path, "not a regular file, so not a plug-in module"));
    std::optional<renderhost::PluginModule> module;
    try {
        module.emplace(renderhost::PluginModule::Load(plugin_path));
    } catch (const std::exception &e) {
        // The loader's message names the file already.
        const std::string reason = e.what();
        throw RunError(reason.find(plugin_path) != std::string::npos ? reason : FileMessage(plugin_path, reason));
    }
    impl_ = std::make_unique<Impl>(std::move(*module), threads);
    PF_Err err = impl_->effect.GlobalSetup();
    if (err != PF_Err_NONE)
        throw RunError(
            FileMessage(plugin_path, "the plug-in's global setup failed: " + DescribeError(err) + impl_->Message()));
    impl_->set_up = true;
    err = impl_->effect.ParamsSetup();
    if (err != PF_Err_NONE)
        throw RunError(
            FileMessage(plugin_path, "the plug-in's params setup failed: " + DescribeError(err) + impl_->Message()));
}

Renderer::~Renderer() {
    if (impl_ && impl_->set_up) impl_->effect.GlobalSetdown();  // a failure here has nothing left to spoil
}

const std::string &Renderer::plugin_path() const { return impl_->module.path(); }
A_u_long Renderer::plugin_version() const { return impl_->effect.out_data().my_version; }
renderhost::ThreadPool &Renderer::pool() { return impl_->host.pool(); }

void Renderer::Render(const FrameWorlds &frame, const std::string &what) {
    renderhost::FrameSpec spec;
    spec.input = frame.input;
    spec.layer = frame.layer;
    spec.output = frame.output;
    spec.slider = frame.slider;
    spec.current_time = static_cast<A_long>(frame.frame);
    spec.downsample_x = PF_RationalScale{1, static_cast<A_u_long>(frame.downsample)};
    spec.downsample_y = spec.downsample_x;
    spec.ref_width = frame.ref_width;
    spec.ref_height = frame.ref_height;
    renderhost::FrameResult result;
    try {
        result = impl_->effect.RenderFrame(spec);
    } catch (const std::exception &e) {
        throw RunError(FileMessage(what, std::string("cannot render: ") + e.what()));
    }
    if (result.pre_render != PF_Err_NONE)
        throw RunError(FileMessage(
            what, "the plug-in's pre-render failed: " + DescribeError(result.pre_render) + impl_->Message()));
    if (result.render != PF_Err_NONE)
        throw RunError(
            FileMessage(what, "the plug-in's render failed: " + DescribeError(result.render) + impl_->Message()));
}

void Renderer::Finish() {
    if (!impl_->set_up) return;
    impl_->set_up = false;
    const PF_Err err = impl_->effect.GlobalSetdown();
    if (err != PF_Err_NONE)
        throw RunError(FileMessage(impl_->module.path(),
                                   "the plug-in's global setdown failed: " + DescribeError(err) + impl_->Message()));
}

}  // namespace veilshadow
