#include "Limits.h"

#include "Errors.h"

#include <sys/resource.h>
#include <algorithm>
#include <atomic>
#include <cstdio>
#include <fstream>
#include <limits>
#include <mutex>
#include <new>
#include <sstream>
#include <thread>
#include <vector>

namespace veilshadow {

std::uint64_t WorldBytes(const Window &window, renderhost::Depth depth) {
    if (window.width <= 0 || window.height <= 0) return 0;
    return std::uint64_t(window.width) * std::uint64_t(window.height) * renderhost::PixelBytes(depth);
}

std::uint64_t CheckWorldFits(const std::string &path, const Window &window, renderhost::Depth depth) {
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
    return bytes;
}

namespace {

std::string ReadText(const std::string &path) {
    std::ifstream in(path);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

// The number `key` starts a line with in `text` ("KEY VALUE" or
// "KEY: VALUE ..."), times `unit`.
std::optional<std::uint64_t> FieldOf(const std::string &text, const std::string &key, std::uint64_t unit) {
    std::istringstream lines(text);
    std::string line;
    while (std::getline(lines, line)) {
        if (line.compare(0, key.size(), key) != 0 || line.size() == key.size()) continue;
        if (line[key.size()] != ' ' && line[key.size()] != ':' && line[key.size()] != '\t') continue;
        std::istringstream fields(line.substr(key.size() + 1));
        std::uint64_t value = 0;
        if (fields >> value) return value * unit;
    }
    return std::nullopt;
}

// A whole number alone in a file; nothing for "max" or no file.
std::optional<std::uint64_t> NumberIn(const std::string &path) {
    std::istringstream text(ReadText(path));
    std::uint64_t value = 0;
    if (text >> value) return value;
    return std::nullopt;
}

// mountinfo writes a space, tab, newline and backslash as \ooo.
std::string Unescaped(const std::string &text) {
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\\' && i + 3 < text.size()) {
            out += static_cast<char>((text[i + 1] - '0') * 64 + (text[i + 2] - '0') * 8 + (text[i + 3] - '0'));
            i += 3;
        } else {
            out += text[i];
        }
    }
    return out;
}

struct CgroupMount {
    std::string root;   // the hierarchy's folder mounted there
    std::string point;  // where
};

// The mount of the cgroup2 hierarchy (`memory_v1` false) or of v1's
// memory controller.
std::optional<CgroupMount> FindCgroupMount(const std::string &mountinfo, bool memory_v1) {
    std::istringstream lines(mountinfo);
    std::string line;
    while (std::getline(lines, line)) {
        std::istringstream fields(line);
        std::vector<std::string> field;
        std::string word;
        while (fields >> word) field.push_back(word);
        std::size_t dash = 0;
        while (dash < field.size() && field[dash] != "-") ++dash;
        if (dash < 5 || dash + 3 >= field.size()) continue;
        const std::string &type = field[dash + 1];
        bool wanted = type == "cgroup2" && !memory_v1;
        if (type == "cgroup" && memory_v1) {
            std::istringstream options(field[dash + 3]);
            std::string option;
            while (std::getline(options, option, ','))
                if (option == "memory") wanted = true;
        }
        if (wanted) return CgroupMount{Unescaped(field[3]), Unescaped(field[4])};
    }
    return std::nullopt;
}

// The group's path in the hierarchy: v2's "0::PATH", or v1's line whose
// controllers include memory.
std::optional<std::string> FindCgroupPath(const std::string &cgroups, bool memory_v1) {
    std::istringstream lines(cgroups);
    std::string line;
    while (std::getline(lines, line)) {
        const std::size_t first = line.find(':');
        const std::size_t second = first == std::string::npos ? first : line.find(':', first + 1);
        if (second == std::string::npos) continue;
        const std::string controllers = line.substr(first + 1, second - first - 1);
        const std::string path = line.substr(second + 1);
        if (!memory_v1) {
            if (line.compare(0, first, "0") == 0 && controllers.empty()) return path;
            continue;
        }
        std::istringstream names(controllers);
        std::string name;
        while (std::getline(names, name, ','))
            if (name == "memory") return path;
    }
    return std::nullopt;
}

// What the groups from `path` up to the mount's top can still take.
std::optional<std::uint64_t> HierarchyRoom(const std::string &root, const std::string &cgroups,
                                           const std::string &mountinfo, bool memory_v1) {
    const std::optional<CgroupMount> mount = FindCgroupMount(mountinfo, memory_v1);
    std::optional<std::string> path = FindCgroupPath(cgroups, memory_v1);
    if (!mount || !path) return std::nullopt;
    // A mount of part of the hierarchy (a container's view) holds the
    // group's path less the mounted folder's.
    std::string inside = *path;
    if (mount->root != "/" && inside.compare(0, mount->root.size(), mount->root) == 0 &&
        (inside.size() == mount->root.size() || inside[mount->root.size()] == '/'))
        inside = inside.substr(mount->root.size());
    const std::string top = root + mount->point;
    std::string folder = top + inside;
    while (folder.size() > top.size() && folder.back() == '/') folder.pop_back();
    const char *const limit_file = memory_v1 ? "/memory.limit_in_bytes" : "/memory.max";
    const char *const usage_file = memory_v1 ? "/memory.usage_in_bytes" : "/memory.current";
    const char *const cache_key = memory_v1 ? "total_cache" : "file";
    // Files in memory (tmpfs, /dev/shm) count as cache but cannot be
    // dropped without swap: written OUT files on a tmpfs /tmp stay held.
    const char *const shmem_key = memory_v1 ? "total_shmem" : "shmem";
    // v1 writes "no limit" as the largest page count in bytes.
    constexpr std::uint64_t kNoLimit = std::uint64_t{1} << 62;
    std::optional<std::uint64_t> room;
    for (;;) {
        const std::optional<std::uint64_t> limit = NumberIn(folder + limit_file);
        if (limit && *limit < kNoLimit) {
            const std::uint64_t usage = NumberIn(folder + usage_file).value_or(0);
            const std::string stat = ReadText(folder + "/memory.stat");
            const std::uint64_t all_cache = FieldOf(stat, cache_key, 1).value_or(0);
            const std::uint64_t shmem = FieldOf(stat, shmem_key, 1).value_or(0);
            const std::uint64_t cache = all_cache > shmem ? all_cache - shmem : 0;
            const std::uint64_t held = usage > cache ? usage - cache : 0;
            const std::uint64_t here = *limit > held ? *limit - held : 0;
            room = room ? std::min(*room, here) : here;
        }
        if (folder.size() <= top.size()) break;
        const std::size_t slash = folder.rfind('/');
        if (slash == std::string::npos || slash < top.size()) break;
        folder.resize(std::max(slash, top.size()));
    }
    return room;
}

}  // namespace

std::uint64_t CgroupAvailableMemory(const std::string &root) {
    const std::string base = root == "/" ? std::string() : root;
    const std::string cgroups = ReadText(base + "/proc/self/cgroup");
    const std::string mountinfo = ReadText(base + "/proc/self/mountinfo");
    std::optional<std::uint64_t> room;
    for (const bool memory_v1 : {false, true}) {
        const std::optional<std::uint64_t> here = HierarchyRoom(base, cgroups, mountinfo, memory_v1);
        if (here) room = room ? std::min(*room, *here) : *here;
    }
    if (!room) return 0;
    return std::max<std::uint64_t>(*room, 1);
}

namespace {

constexpr std::uint64_t kHugePageBytes = std::uint64_t{2} << 20;
std::atomic<std::uint64_t> g_memory_threads{std::max(1u, std::thread::hardware_concurrency())};

}  // namespace

std::uint64_t AvailableMemory() {
    std::uint64_t available = FieldOf(ReadText("/proc/meminfo"), "MemAvailable", 1024).value_or(0);
    const auto take = [&available](std::uint64_t bytes) {
        if (bytes != 0 && (available == 0 || bytes < available)) available = bytes;
    };
    take(CgroupAvailableMemory("/"));
    take(AddressSpaceLeft());
    if (available == 0) return 0;
    const std::uint64_t reserve = std::max(kUncountedReserve, g_memory_threads.load() * kHugePageBytes);
    return available > reserve ? available - reserve : 1;
}

void SetMemoryThreads(int threads) { g_memory_threads = static_cast<std::uint64_t>(std::max(threads, 1)); }

std::uint64_t AddressSpaceLeft() {
    struct rlimit limit {};
    if (getrlimit(RLIMIT_AS, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY) return 0;
    const std::uint64_t mapped = FieldOf(ReadText("/proc/self/status"), "VmSize", 1024).value_or(0);
    return limit.rlim_cur > mapped ? limit.rlim_cur - mapped : 1;
}

void CheckMemory(const std::string &path, std::uint64_t needed, std::uint64_t available) {
    if (available == 0 || needed <= available) return;
    std::string need = FormatBytes(needed), have = FormatBytes(available);
    // Figures that round alike are given in bytes, so that the one needed
    // reads as the larger.
    if (need == have) {
        need = std::to_string(needed) + " bytes";
        have = std::to_string(available) + " bytes";
    }
    throw RunError(FileMessage(path, "rendering it needs " + need + " of memory, more than the " + have +
                                         " available (free memory, the control group's limit, ulimit -v)"));
}

namespace {

std::mutex g_grants_mutex;
std::uint64_t g_granted = 0;  // under g_grants_mutex

}  // namespace

MemoryGrant &MemoryGrant::operator=(MemoryGrant &&other) noexcept {
    if (this != &other) {
        Release();
        bytes_ = other.bytes_;
        other.bytes_ = 0;
    }
    return *this;
}

void MemoryGrant::Release() {
    if (bytes_ == 0) return;
    const std::lock_guard<std::mutex> lock(g_grants_mutex);
    g_granted -= bytes_;
    bytes_ = 0;
}

MemoryGrant GrantMemory(const std::string &path, std::uint64_t needed, std::uint64_t available) {
    const std::lock_guard<std::mutex> lock(g_grants_mutex);
    if (available != 0) CheckMemory(path, needed, available > g_granted ? available - g_granted : 1);
    g_granted += needed;
    return MemoryGrant(needed);
}

std::uint64_t GrantedMemory() {
    const std::lock_guard<std::mutex> lock(g_grants_mutex);
    return g_granted;
}

renderhost::World &MakeWorld(std::optional<renderhost::World> &slot, renderhost::Depth depth, const Window &window,
                             const std::string &path, std::uint64_t held, std::uint64_t spare, MemoryGrant *grant) {
    const std::uint64_t available = AvailableMemory();
    const std::uint64_t needed = WorldBytes(window, depth) + spare;
    MemoryGrant granted = GrantMemory(path, needed, available == 0 ? 0 : available + held);
    try {
        renderhost::World &world = slot.emplace(depth, window.width, window.height, window.x, window.y, std::nullopt,
                                                static_cast<std::size_t>(spare));
        if (grant != nullptr) *grant = std::move(granted);
        return world;
    } catch (const std::bad_alloc &) {
        throw RunError(FileMessage(path, "out of memory for its " + FormatBytes(needed) + " of pixels"));
    }
}

std::string FormatBytes(std::uint64_t bytes) {
    char text[64];
    if (bytes >= (std::uint64_t{1} << 30))
        std::snprintf(text, sizeof text, "%.1f GiB", double(bytes) / double(std::uint64_t{1} << 30));
    else if (bytes >= (std::uint64_t{1} << 20))
        std::snprintf(text, sizeof text, "%.1f MiB", double(bytes) / double(std::uint64_t{1} << 20));
    else
        std::snprintf(text, sizeof text, bytes == 1 ? "%llu byte" : "%llu bytes",
                      static_cast<unsigned long long>(bytes));
    return text;
}

}  // namespace veilshadow
