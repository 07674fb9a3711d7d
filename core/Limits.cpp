#include "Limits.h"

#include "Errors.h"

#include <cstdio>
#include <fstream>
#include <limits>
#include <sstream>

namespace veilshadow {

std::uint64_t WorldBytes(const Window &window, renderhost::Depth depth) {
    if (window.width <= 0 || window.height <= 0) return 0;
    return std::uint64_t(window.width) * std::uint64_t(window.height) * renderhost::PixelBytes(depth);
}

void CheckWorldFits(const std::string &path, const Window &window, renderhost::Depth depth) {
    const std::string size = std::to_string(window.width) + " x " + std::to_string(window.height);
    if (window.width <= 0 || window.height <= 0)
        throw RunError(FileMessage(path, "has no pixels (data window " + size + ")"));
    constexpr std::int64_t kMaxCoordinate = std::numeric_limits<A_long>::max();
    if (std::int64_t{window.x} + window.width > kMaxCoordinate ||
        std::int64_t{window.y} + window.height > kMaxCoordinate)
        throw RunError(FileMessage(path, "its data window (" + size + " at " + std::to_string(window.x) + ", " +
                                             std::to_string(window.y) +
                                             ") reaches beyond the host's 32-bit coordinates"));
    if (std::int64_t{window.width} * window.height > kMaxCoordinate)
        throw RunError(FileMessage(path, size + " pixels do not fit the host's 32-bit pixel addressing (at most " +
                                             std::to_string(kMaxCoordinate) + " pixels)"));
    const std::uint64_t bytes = WorldBytes(window, depth);
    if (bytes > renderhost::World::kMaxBytes)
        throw RunError(FileMessage(path, size + " " + renderhost::DepthName(depth) + " pixels take " +
                                             FormatBytes(bytes) + ", more than the " +
                                             FormatBytes(renderhost::World::kMaxBytes) + " the host lends one image"));
}

std::uint64_t AvailableMemory() {
    std::ifstream meminfo("/proc/meminfo");
    std::string line;
    while (std::getline(meminfo, line)) {
        if (line.rfind("MemAvailable:", 0) != 0) continue;
        std::istringstream fields(line.substr(13));
        std::uint64_t kib = 0;
        if (fields >> kib) return kib * 1024;
    }
    return 0;
}

void CheckMemory(const std::string &path, std::uint64_t needed, std::uint64_t available) {
    if (available != 0 && needed > available)
        throw RunError(FileMessage(path, "rendering it needs " + FormatBytes(needed) + " of memory, more than the " +
                                             FormatBytes(available) + " available"));
}

std::string FormatBytes(std::uint64_t bytes) {
    char text[64];
    if (bytes >= (std::uint64_t{1} << 30))
        std::snprintf(text, sizeof text, "%.1f GiB", double(bytes) / double(std::uint64_t{1} << 30));
    else if (bytes >= (std::uint64_t{1} << 20))
        std::snprintf(text, sizeof text, "%.1f MiB", double(bytes) / double(std::uint64_t{1} << 20));
    else
        std::snprintf(text, sizeof text, "%llu bytes", static_cast<unsigned long long>(bytes));
    return text;
}

}  // namespace veilshadow
