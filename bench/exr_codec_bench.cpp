// One thread's CPU time for a UHD RGBA half-float ZIP OpenEXR frame of
// each bench scene (and of any files given as arguments): decoded and
// encoded by OpenImageIO, and by veilshadow's own OpenEXR codec, with the
// files' sizes; minimum of --runs runs (default 7).
//
//   exr_codec_bench [--runs N] [FILE.exr ...]
#include "AtomicFile.h"
#include "ExrCodec.h"
#include "GeneralCodec.h"
#include "ImageIO.h"
#include "ImageIOCommon.h"
#include "sequence_scene.h"

#include <OpenImageIO/imageio.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <functional>
#include <limits>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;
using namespace veilshadow;

double CpuMs() {
    timespec t{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return t.tv_sec * 1e3 + t.tv_nsec / 1e6;
}

double MinCpuMs(int runs, const std::function<void()> &step) {
    double best = std::numeric_limits<double>::max();
    for (int i = 0; i < runs; ++i) {
        const double start = CpuMs();
        step();
        best = std::min(best, CpuMs() - start);
    }
    return best;
}

void Check(bool ok, const std::string &what) {
    if (ok) return;
    std::fprintf(stderr, "exr_codec_bench: %s: %s\n", what.c_str(), OIIO::geterror().c_str());
    std::exit(1);
}

void Bench(const std::string &label, const std::string &file, const fs::path &dir, int runs) {
    ImageReader reader(file, AlphaMode::kAuto);
    const ImageHeader header = reader.header();
    if (header.format != "openexr" || header.sample != SampleType::kHalf || header.channels != 4) {
        std::printf("%s: not an RGBA half OpenEXR file, skipped\n", label.c_str());
        return;
    }
    const renderhost::World world = reader.ReadWorld(renderhost::Depth::k32);
    const Window &data = header.data;
    std::vector<unsigned char> samples(static_cast<std::size_t>(EncodeBytes(data, SampleType::kHalf)));

    const double oiio_read = MinCpuMs(runs, [&] {
        auto in = OIIO::ImageInput::open(file);
        Check(in && in->read_image(0, 0, 0, 4, OIIO::TypeDesc::HALF, samples.data()), "OpenImageIO read");
    });
    const double fast_read = MinCpuMs(runs, [&] {
        ImageHeader h;
        auto fast = OpenExrReader(file, AlphaMode::kAuto, h);
        Check(fast != nullptr, "declined");
        const std::size_t row = std::size_t(data.width) * 8;
        for (A_long first = 0; first < data.height; first += kStripRows)
            fast->ReadRows(first, std::min(kStripRows, data.height - first), samples.data() + row * first);
    });

    for (const char *compression : {"zip", "zip:1", "zips"}) {
        const std::string oiio_path = (dir / "oiio.exr").string();
        const double oiio_write = MinCpuMs(runs, [&] {
            EncodeStrip(world, SampleType::kHalf, true, 0, data.height, samples.data());
            OIIO::ImageSpec spec(data.width, data.height, 4, OIIO::TypeDesc::HALF);
            spec.x = data.x;
            spec.y = data.y;
            spec.alpha_channel = 3;
            spec.attribute("compression", compression);
            auto out = OIIO::ImageOutput::create(oiio_path);
            Check(out && out->open(oiio_path, spec) && out->write_image(OIIO::TypeDesc::HALF, samples.data()) &&
                      out->close(),
                  "OpenImageIO write");
        });
        std::uint64_t fast_size = 0;
        const double fast_write = MinCpuMs(runs, [&] {
            TempFile temp((dir / "fast.exr").string());
            OutputSpec spec{"openexr", SampleType::kHalf, true, header.display, compression};
            WriteExr(temp, world, spec, OutputWindows{data, header.display});
            fast_size = temp.Size();
        });
        std::printf("%-6s %-6s read  OIIO %7.1f ms  fast %7.1f ms  (%.2fx)\n", label.c_str(), compression, oiio_read,
                    fast_read, oiio_read / fast_read);
        std::printf("%-6s %-6s write OIIO %7.1f ms  fast %7.1f ms  (%.2fx)  size OIIO %llu  fast %llu  (%.4f)\n",
                    label.c_str(), compression, oiio_write, fast_write, oiio_write / fast_write,
                    static_cast<unsigned long long>(fs::file_size(oiio_path)),
                    static_cast<unsigned long long>(fast_size), double(fast_size) / double(fs::file_size(oiio_path)));
    }
}

}  // namespace

int main(int argc, char **argv) {
    int runs = 7;
    std::vector<std::string> files;
    for (int i = 1; i < argc; ++i) {
        if (std::string(argv[i]) == "--runs" && i + 1 < argc)
            runs = std::max(1, std::atoi(argv[++i]));
        else
            files.push_back(argv[i]);
    }
    General().set_threads(1);  // OpenImageIO and OpenEXR on this thread alone
    std::string pattern = (fs::temp_directory_path() / "exr-codec-bench-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) return 1;
    const fs::path dir = pattern;
    std::printf("one thread, CPU ms per UHD RGBA half frame, minimum of %d\n", runs);
    if (files.empty())
        for (const benchscene::SceneImages &scene : benchscene::Scenes()) {
            const fs::path frames = dir / scene.name;
            fs::create_directories(frames);
            benchscene::MakeFrames(scene, frames, 1, 0);
            Bench(scene.name, (frames / "comp.0001.exr").string(), dir, runs);
        }
    for (const std::string &file : files) Bench(fs::path(file).filename().string(), file, dir, runs);
    fs::remove_all(dir);
    return 0;
}
