// What the image files' reading and writing share, and the general codec,
// loaded once with its threads.
#include "ImageIO.h"

#include "CodecBuffer.h"
#include "CodecThreads.h"
#include "Errors.h"
#include "GeneralCodec.h"
#include "ImageIOCommon.h"
#include "Limits.h"

#include <algorithm>
#include <mutex>
#include <thread>

namespace veilshadow {

void RefuseHugeTiles(const std::string &path, std::uint64_t tile_width, std::uint64_t tile_height, std::uint64_t width,
                     std::uint64_t height, std::uint64_t pixel_bytes) {
    constexpr std::uint64_t kMaxTileBytes = std::uint64_t{256} << 20;
    const std::uint64_t tile = tile_width * tile_height;  // each below 2^32
    const std::uint64_t image = width != 0 && height > UINT64_MAX / width ? UINT64_MAX : width * height;
    if (tile <= image || tile <= kMaxTileBytes / std::max<std::uint64_t>(pixel_bytes, 1)) return;
    throw RunError(FileMessage(path, "its tiles of " + std::to_string(tile_width) + " x " +
                                         std::to_string(tile_height) + " pixels are larger than its image of " +
                                         std::to_string(width) + " x " + std::to_string(height) +
                                         " and than 256 MiB: it is not read"));
}

std::string LibraryMessage(const std::string &message) {
    std::size_t start = 0;
    while (start < message.size()) {
        std::size_t end = message.find('\n', start);
        if (end == std::string::npos) end = message.size();
        std::string line = message.substr(start, end - start);
        while (!line.empty() && (line.back() == ' ' || line.back() == '\r')) line.pop_back();
        if (!line.empty()) return line;
        start = end + 1;
    }
    return "unknown error";
}

std::vector<float> &FloatRow(std::size_t count) {
    thread_local std::vector<float> row;
    if (row.size() < count) row.resize(count);
    return row;
}

std::uint64_t MemoryForBuffers() {
    const std::uint64_t available = AvailableMemory();
    return available == 0 ? 0 : available + KeepCodecBuffers::KeptBytes();
}

namespace {

// The general codec's threads as last asked (0: its default), and the
// codec once loaded.
std::mutex library_mutex;
int library_threads = 0;
const GeneralCodec *general_loaded = nullptr;

}  // namespace

A_long CodecReader::StripRows() const { return kStripRows; }

const GeneralCodec &General() {
    static const GeneralCodec &codec = []() -> const GeneralCodec & {
        const GeneralCodec &loaded = LoadGeneral();
        std::lock_guard<std::mutex> lock(library_mutex);
        if (library_threads > 0) loaded.set_threads(library_threads);
        general_loaded = &loaded;
        return loaded;
    }();
    return codec;
}

// What loading the general codec takes: its libraries' own pages and what
// OpenImageIO sets up (43 MiB measured on Debian 12, the libraries' file
// pages cached); and the addresses its libraries map and the threads
// they start as they load (436 MiB measured: under ulimit -v a load with
// less runs out of them, and one of those libraries then aborts).
constexpr std::uint64_t kGeneralCodecBytes = std::uint64_t{44} << 20;
constexpr std::uint64_t kGeneralCodecAddresses = std::uint64_t{448} << 20;

const GeneralCodec &GeneralFor(const std::string &path) {
    bool loaded = false;
    {
        std::lock_guard<std::mutex> lock(library_mutex);
        loaded = general_loaded != nullptr;
    }
    if (loaded) return General();
    const std::uint64_t addresses = AddressSpaceLeft();
    if (addresses != 0 && addresses < kGeneralCodecAddresses)
        throw RunError(FileMessage(path,
                                   "its format goes through the general codec (OpenImageIO), whose libraries "
                                   "need about " +
                                       FormatBytes(kGeneralCodecAddresses) + " of address space, more than the " +
                                       FormatBytes(addresses) + " left under ulimit -v"));
    const MemoryGrant grant = GrantMemory(path, kGeneralCodecBytes, AvailableMemory());
    return General();
}

void SetLibraryThreads(int cores) {
    const int threads = cores > 0 ? cores : static_cast<int>(std::max(1u, std::thread::hardware_concurrency()));
    SetCodecCores(threads);
    SetMemoryThreads(threads);
    std::lock_guard<std::mutex> lock(library_mutex);
    library_threads = threads;
    if (general_loaded != nullptr) general_loaded->set_threads(threads);
}

}  // namespace veilshadow
