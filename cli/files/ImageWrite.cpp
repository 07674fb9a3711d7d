// Image files out: encoding worlds a strip of rows at a time into files
// written atomically.
#include "AtomicFile.h"
#include "Console.h"
#include "Errors.h"
#include "FastCodec.h"
#include "Formats.h"
#include "GeneralCodec.h"
#include "HalfConversion.h"
#include "ImageIO.h"
#include "ImageIOCommon.h"
#include "Limits.h"
#include "SampleCodec.h"

#if defined(__linux__)
#include <sys/statfs.h>
#endif

#include <algorithm>
#include <filesystem>
#include <type_traits>
#include <vector>

namespace veilshadow {
namespace {

using renderhost::World;

// Encodes `rows` rows of the world from row `first` on as RGBA samples of
// type T (any depth to any sample type, see EncodeRow); half is rounded
// from a row of float samples, as OpenImageIO rounds it.
template <class Pixel, class T>
void EncodeRows(const World &world, bool associated, A_long first, A_long rows, T *out) {
    const std::size_t row_samples = static_cast<std::size_t>(world.width()) * 4;
    for (A_long y = first; y < first + rows; ++y, out += row_samples) {
        if constexpr (std::is_same_v<T, Imath::half>) {
            std::vector<float> &floats = FloatRow(row_samples);
            EncodeRow<Pixel, float>(world.Row<Pixel>(y), world.width(), 4, associated,
                                    reinterpret_cast<unsigned char *>(floats.data()), PackedSteps<float>(4));
            FloatsToHalves(floats.data(), out, row_samples);
        } else {
            EncodeRow<Pixel, T>(world.Row<Pixel>(y), world.width(), 4, associated,
                                reinterpret_cast<unsigned char *>(out), PackedSteps<T>(4));
        }
    }
}

// Whether files in the folder `path` goes in live in memory (tmpfs,
// ramfs): such a file stays charged to the process's control group, and
// nothing but swap can drop it.
bool InMemoryFolder(const std::string &path) {
#if defined(__linux__)
    std::string folder = std::filesystem::path(path).parent_path().string();
    if (folder.empty()) folder = ".";
    struct statfs about {};
    if (statfs(folder.c_str(), &about) != 0) return false;
    constexpr unsigned long kTmpfs = 0x01021994, kRamfs = 0x858458f6;
    const auto type = static_cast<unsigned long>(about.f_type);
    return type == kTmpfs || type == kRamfs;
#else
    (void)path;
    return false;
#endif
}

}  // namespace

void EncodeStrip(const World &world, SampleType sample, bool associated, A_long first, A_long rows, void *out) {
    VisitSample(sample, [&](auto sample_tag) {
        using T = typename decltype(sample_tag)::type;
        VisitPixel(world.depth(), [&](auto pixel) {
            EncodeRows<typename decltype(pixel)::type>(world, associated, first, rows, static_cast<T *>(out));
        });
    });
}

std::uint64_t EncodeBytes(const Window &data, SampleType sample) {
    return std::uint64_t(data.width) * std::uint64_t(data.height) * 4u * TraitsOf(sample).bytes;
}

void PrepareWriter(const std::string &path, const OutputSpec &output) {
    if (!FastWriterTakes(output)) GeneralFor(path);
}

void WriteWorld(const std::string &path, const World &world, const OutputSpec &output) {
    const OutputWindows windows = WindowsAsWritten(
        path, output.format, Window{world.origin_x(), world.origin_y(), world.width(), world.height()}, output.display);
    // A file written to memory is memory the run takes: its samples, and
    // a little more where they do not compress.
    const std::uint64_t stored = EncodeBytes(windows.data, output.sample);
    const MemoryGrant in_memory =
        InMemoryFolder(path) ? GrantMemory(path, stored + stored / 64 + (64u << 10), AvailableMemory()) : MemoryGrant();
    TempFile temp(path);
    if (FastWriterTakes(output)) {
        WriteWorldFast(temp, world, output, windows);
    } else {
        // The own writers check what they hold as they take it.
        const MemoryGrant grant = GrantMemory(path, WriterHeldBytes(output, windows.data), AvailableMemory());
        General().write_world(temp, world, output, windows);
    }
    temp.Commit();
}

}  // namespace veilshadow
