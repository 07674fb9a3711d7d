// Writes the plug-in property list for the build: the little-endian bytes
// that the Windows resource script embeds, and the macOS bundle's resource
// file holding the big-endian list. Run by the build; nobody edits the bytes
// by hand.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <exception>
#include <string>
#include <vector>

#include "PropertyList.h"
#include "ResourceFile.h"

namespace {

const char kUsage[] =
    "usage: orvane_pipl_gen [--windows FILE] [--mac-pipl FILE] [--mac-rsrc FILE]\n"
    "  --windows FILE   the little-endian list for the Windows resource script\n"
    "  --mac-pipl FILE  the big-endian list for the macOS bundle, bare\n"
    "  --mac-rsrc FILE  a resource file holding that list as 'PiPL' 16000\n";

// Writes next to the target and renames, so a failed run never leaves a
// half-written file for the build to pick up.
bool WriteFile(const std::string &path, const std::vector<uint8_t> &bytes) {
    const std::string temp = path + ".tmp";
    std::FILE *file = std::fopen(temp.c_str(), "wb");
    if (file == nullptr) {
        std::fprintf(stderr, "orvane_pipl_gen: cannot create %s: %s\n", temp.c_str(), std::strerror(errno));
        return false;
    }
    const bool written = std::fwrite(bytes.data(), 1, bytes.size(), file) == bytes.size();
    const bool closed = std::fclose(file) == 0;
    if (!written || !closed) {
        std::fprintf(stderr, "orvane_pipl_gen: cannot write %s\n", temp.c_str());
        std::remove(temp.c_str());
        return false;
    }
    if (std::rename(temp.c_str(), path.c_str()) != 0) {
        std::fprintf(stderr, "orvane_pipl_gen: cannot rename %s to %s: %s\n", temp.c_str(), path.c_str(),
                     std::strerror(errno));
        std::remove(temp.c_str());
        return false;
    }
    return true;
}

}  // namespace

int main(int argc, char **argv) {
    using namespace orvane;
    std::string windows, mac_pipl, mac_rsrc;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        std::string *target = nullptr;
        if (arg == "--windows") target = &windows;
        if (arg == "--mac-pipl") target = &mac_pipl;
        if (arg == "--mac-rsrc") target = &mac_rsrc;
        if (arg == "--help" || arg == "-h") {
            std::fputs(kUsage, stdout);
            return 0;
        }
        if (target == nullptr || i + 1 == argc) {
            std::fprintf(stderr, "orvane_pipl_gen: %s %s\n%s", target ? "missing file after" : "unknown argument",
                         arg.c_str(), kUsage);
            return 2;
        }
        *target = argv[++i];
    }
    if (windows.empty() && mac_pipl.empty() && mac_rsrc.empty()) {
        std::fputs(kUsage, stderr);
        return 2;
    }

    try {
        bool ok = true;
        if (!windows.empty()) ok = WriteFile(windows, pipl::PluginPropertyList(pipl::Target::kWindowsX64)) && ok;
        const std::vector<uint8_t> mac = pipl::PluginPropertyList(pipl::Target::kMacX64);
        if (!mac_pipl.empty()) ok = WriteFile(mac_pipl, mac) && ok;
        if (!mac_rsrc.empty()) {
            rsrc::Resource resource;
            resource.type = pipl::kMacResourceType;
            resource.id = pipl::kResourceId;
            resource.data = mac;
            ok = WriteFile(mac_rsrc, rsrc::WriteResourceFile({resource})) && ok;
        }
        return ok ? 0 : 1;
    } catch (const std::exception &e) {
        std::fprintf(stderr, "orvane_pipl_gen: %s\n", e.what());
        return 1;
    }
}
