// Fuzzes veilshadow's image reading: each input is an image file (mutated
// PNG, TIFF and OpenEXR files from the seed corpus), rendered in process
// exactly as `veilshadow render` does it, through veilshadow's own library
// and the real plug-in module: the file is the input (COMP), and the layer
// is either the same file or a small valid file of the same type; opacity,
// alpha convention and downsampling come from a hash of the bytes.
//
// Checks, besides the sanitizers' own:
//  - the run either succeeds or throws veilshadow's own error, whose message
//    names the file at fault; nothing else may escape;
//  - after an error there is no output file and no temporary file left;
//  - after a success the output file is there, complete and correct: read
//    back, it has the input's data window and sample type, and its pixels
//    are those of the plain rules applied to the decoded files, written and
//    read back the same way.
#include <fuzzer/FuzzedDataProvider.h>

#include <OpenImageIO/imageio.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>

#include "AtomicFile.h"
#include "Downsample.h"
#include "Errors.h"
#include "Formats.h"
#include "ImageIO.h"
#include "Limits.h"
#include "Pipeline.h"
#include "Renderer.h"
#include "TempFileNames.h"
#include "lifecycle.h"

namespace {

namespace fs = std::filesystem;
using renderhost::Depth;
using renderhost::World;

// The largest image, in pixels, that an input is rendered at.
constexpr std::int64_t kMaxFuzzPixels = std::int64_t{1} << 16;

[[noreturn]] void Fail(const std::string &what) {
    std::fprintf(stderr, "image_fuzzer: %s\n", what.c_str());
    std::abort();
}

struct Setup {
    explicit Setup(fs::path folder) : dir(std::move(folder)) {}
    fs::path dir;
    veilshadow::Renderer renderer{ORVANE_PLUGIN_PATH, 1};
    // A small valid layer per file type, written once.
    std::string layer_png, layer_tiff, layer_exr;
};

Setup *g_setup = nullptr;

// The fuzzer's files are thrown away after each input: none need reach the
// disk, and a flush per output would make the fuzzer many times slower.
class NoDiskSync : public veilshadow::DiskSync {
public:
    int SyncFile(int, const std::string &) override { return 0; }
    int SyncFolder(int, const std::string &) override { return 0; }
};
NoDiskSync g_no_disk_sync;

// A layer with transparent, opaque and partly covered pixels.
std::string WriteLayer(const fs::path &dir, const char *name, const char *format, veilshadow::SampleType sample) {
    const Depth depth = veilshadow::WorldDepthOf(sample);
    // Off (0, 0) where the format holds it, so the window is carried.
    const A_long origin = veilshadow::FormatNamed(format).origin == veilshadow::OriginHeld::kZero ? 0 : 1;
    World layer(depth, 7, 5, origin, origin);
    std::mt19937 rng(5);
    reliability::FillRandom(layer, rng);
    veilshadow::OutputSpec spec;
    spec.format = format;
    spec.sample = sample;
    spec.display = {0, 0, 9, 7};
    const std::string path = (dir / name).string();
    veilshadow::WriteWorld(path, layer, spec);
    return path;
}

std::string ExtensionFor(const std::uint8_t *data, std::size_t size) {
    if (size >= 4 && std::memcmp(data, "\x89PNG", 4) == 0) return ".png";
    if (size >= 4 && (std::memcmp(data, "II*\0", 4) == 0 || std::memcmp(data, "MM\0*", 4) == 0)) return ".tif";
    if (size >= 4 && std::memcmp(data, "\x76\x2f\x31\x01", 4) == 0) return ".exr";
    return ".png";  // anything else: a file that claims to be a PNG
}

std::uint64_t Hash(const std::uint8_t *data, std::size_t size) {
    std::uint64_t h = 1469598103934665603ull;
    for (std::size_t i = 0; i < size; ++i) h = (h ^ data[i]) * 1099511628211ull;
    return h;
}

void RemoveAll(const fs::path &dir) {
    for (const auto &entry : fs::directory_iterator(dir))
        if (entry.path().filename().string().rfind("layer-", 0) != 0) fs::remove(entry.path());
}

bool TempFilesLeft(const fs::path &dir) {
    for (const auto &entry : fs::directory_iterator(dir))
        if (veilshadow::IsTempFileName(entry.path().filename().string())) return true;
    return false;
}

World ReadBack(const std::string &path, veilshadow::AlphaMode alpha, Depth depth, veilshadow::ImageHeader *header) {
    veilshadow::ImageReader reader(path, alpha);
    if (header != nullptr) *header = reader.header();
    return reader.ReadWorld(depth);
}

// What the output file must hold: the plain rules applied to the decoded
// files, written as the pipeline writes and read back.
World ExpectedOutput(const veilshadow::FrameFiles &files, const veilshadow::FrameSettings &settings,
                     const fs::path &dir, const std::string &ext) {
    veilshadow::ImageReader in_reader(files.input, settings.alpha), layer_reader(files.layer, settings.alpha);
    const veilshadow::ImageHeader in = in_reader.header(), lay = layer_reader.header();
    const Depth depth = veilshadow::WorldDepthOf(in.sample);
    World input = in_reader.ReadWorld(depth);
    World layer = layer_reader.ReadWorld(depth);
    veilshadow::Window display = lay.display;
    if (settings.downsample > 1) {
        input = veilshadow::BoxDownsample(input, settings.downsample);
        layer = veilshadow::BoxDownsample(layer, settings.downsample);
        display = veilshadow::DownsampledWindow(display, settings.downsample);
    }
    World expected(depth, input.width(), input.height(), input.origin_x(), input.origin_y());
    reliability::ComputeExpected(input, &layer, expected, settings.slider);

    veilshadow::OutputSpec spec;
    spec.format = in.format;
    spec.sample = in.sample;
    spec.associated = in.associated;
    spec.display = display;
    if (veilshadow::FormatNamed(in.format).keeps_compression) spec.compression = in.compression;
    const std::string path = (dir / ("expected" + ext)).string();
    veilshadow::WriteWorld(path, expected, spec);
    return ReadBack(path, settings.alpha, depth, nullptr);
}

}  // namespace

// OpenImageIO leaks a string on some corrupt PNGs (see lsan.supp); the
// suppression matches only with full stacks through the uninstrumented
// library.
extern "C" const char *__asan_default_options() { return "fast_unwind_on_malloc=0"; }
extern "C" const char *__lsan_default_options() {
    return "print_suppressions=0:suppressions=" ORVANE_FUZZ_LSAN_SUPPRESSIONS;
}

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    OIIO::attribute("threads", 1);
    veilshadow::SetDiskSync(&g_no_disk_sync);
    const char *tmp = std::getenv("TMPDIR");
    std::string pattern = std::string(tmp != nullptr ? tmp : "/tmp") + "/image_fuzzer.XXXXXX";
    if (mkdtemp(pattern.data()) == nullptr) Fail("cannot make a scratch folder");
    g_setup = new Setup(pattern);
    g_setup->layer_png = WriteLayer(g_setup->dir, "layer-a.png", "png", veilshadow::SampleType::kUInt8);
    g_setup->layer_tiff = WriteLayer(g_setup->dir, "layer-b.tif", "tiff", veilshadow::SampleType::kUInt16);
    g_setup->layer_exr = WriteLayer(g_setup->dir, "layer-c.exr", "openexr", veilshadow::SampleType::kHalf);
    std::atexit([] {
        std::error_code ec;
        fs::remove_all(g_setup->dir, ec);
    });
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    Setup &s = *g_setup;
    RemoveAll(s.dir);
    const std::string ext = ExtensionFor(data, size);
    const std::uint64_t h = Hash(data, size);

    veilshadow::FrameFiles files;
    files.input = (s.dir / ("in" + ext)).string();
    files.output = (s.dir / ("out" + ext)).string();
    {
        std::ofstream file(files.input, std::ios::binary);
        file.write(reinterpret_cast<const char *>(data), std::streamsize(size));
    }
    const std::string &fixed_layer = ext == ".tif" ? s.layer_tiff : ext == ".exr" ? s.layer_exr : s.layer_png;
    files.layer = (h & 1) != 0 ? files.input : fixed_layer;

    veilshadow::FrameSettings settings;
    settings.slider = PF_Fixed(((h >> 8) % 101) << 16);
    constexpr veilshadow::AlphaMode kModes[] = {veilshadow::AlphaMode::kAuto, veilshadow::AlphaMode::kAuto,
                                                veilshadow::AlphaMode::kStraight, veilshadow::AlphaMode::kAssociated};
    settings.alpha = kModes[(h >> 16) & 3];
    settings.downsample = ((h >> 20) & 3) == 0 ? 2 : 1;

    // A few bytes of header can claim gigabytes of pixels, which veilshadow
    // then sets out to read when the machine has the memory. That is the
    // program working as meant, but it would end the fuzzing; such files
    // only go as far as the size checks.
    try {
        veilshadow::ImageReader header(files.input, settings.alpha);
        const veilshadow::Window &w = header.header().data;
        if (std::int64_t(w.width) * std::int64_t(w.height) > kMaxFuzzPixels) {
            veilshadow::CheckWorldFits(files.input, w, veilshadow::WorldDepthOf(header.header().sample));
            return 0;
        }
    } catch (const veilshadow::RunError &) {
        // The full run below reports it.
    }

    bool rendered = false;
    try {
        veilshadow::RenderFiles(s.renderer, files, settings);
        rendered = true;
    } catch (const veilshadow::RunError &e) {
        const std::string message = e.what();
        const bool names_a_file = message.rfind(files.input + ": ", 0) == 0 ||
                                  message.rfind(files.layer + ": ", 0) == 0 ||
                                  message.rfind(files.output + ": ", 0) == 0;
        if (!names_a_file) Fail("an error that names no file: " + message);
    } catch (const veilshadow::UsageError &e) {
        Fail(std::string("a usage error for a well-formed command: ") + e.what());
    } catch (const std::exception &e) {
        Fail(std::string("an exception veilshadow does not report as its own: ") + e.what());
    }

    if (TempFilesLeft(s.dir)) Fail("a temporary file was left behind");
    if (!rendered) {
        if (fs::exists(files.output)) Fail("an output file after an error");
        return 0;
    }
    if (!fs::exists(files.output)) Fail("no output file after a success");

    // The output, read back, is the plain rules' result.
    World expected = [&] {
        try {
            return ExpectedOutput(files, settings, s.dir, ext);
        } catch (const std::exception &e) {
            Fail(std::string("the files rendered, but reading them again failed: ") + e.what());
        }
    }();
    veilshadow::ImageHeader out_header;
    World actual = [&] {
        try {
            return ReadBack(files.output, settings.alpha, expected.depth(), &out_header);
        } catch (const std::exception &e) {
            Fail(std::string("the output cannot be read back: ") + e.what());
        }
    }();
    veilshadow::ImageReader in_reader(files.input, settings.alpha);
    if (out_header.sample != in_reader.header().sample) Fail("the output's sample type is not the input's");
    if (actual.origin_x() != expected.origin_x() || actual.origin_y() != expected.origin_y() ||
        actual.width() != expected.width() || actual.height() != expected.height())
        Fail("the output's data window is not the input's");
    if (!reliability::SamePixels(actual, expected)) Fail("the output's pixels are not the plain rules' result");
    return 0;
}
