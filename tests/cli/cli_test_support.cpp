#include "cli_test_support.h"

#include "TestProcess.h"
#include "VeilShadowCommands.h"
#include "VeilShadowKernels.h"

#include <Imath/half.h>
#include <OpenImageIO/imageio.h>

#include <fcntl.h>
#include <unistd.h>
#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <stdexcept>

namespace clitest {
namespace fs = std::filesystem;
using renderhost::Depth;
using renderhost::World;

// ---- Scratch folder ----------------------------------------------------

TempDir::TempDir() {
    std::string pattern = (fs::temp_directory_path() / "veilshadow-test-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    path_ = pattern;
}

TempDir::~TempDir() {
    std::error_code ec;
    fs::remove_all(path_, ec);
}

std::set<std::string> TempDir::Entries() const {
    std::set<std::string> names;
    for (const auto &entry : fs::directory_iterator(path_)) names.insert(entry.path().filename().string());
    return names;
}

// ---- Running veilshadow ------------------------------------------------

namespace {

veilshadow::ProcessSetup VeilshadowSpec(const std::vector<std::string> &args) {
    veilshadow::ProcessSetup spec;
    spec.argv = {VEILSHADOW_PATH};
    spec.argv.insert(spec.argv.end(), args.begin(), args.end());
    spec.search_path = false;
    return spec;
}

RunResult Finished(const veilshadow::ProcessResult &process) {
    if (process.start_error != 0)
        throw std::runtime_error(std::string("cannot start veilshadow: ") + std::strerror(process.start_error));
    return {process.exit_code, process.out, process.err};
}

}  // namespace

RunResult RunVeilshadow(const std::vector<std::string> &args, const RunOptions &options) {
    veilshadow::ProcessSetup spec = VeilshadowSpec(args);
    if (!options.program.empty()) spec.argv.front() = options.program;
    const char *lsan = std::getenv("LSAN_OPTIONS");
    spec.environment = {std::string("LSAN_OPTIONS=") + (lsan != nullptr ? lsan : "") +
                        (options.full_leak_stacks ? ":fast_unwind_on_malloc=0" : "")};
    spec.environment.insert(spec.environment.end(), options.environment.begin(), options.environment.end());
    spec.file_size_limit = options.file_size_limit;
    int closed_pipe[2] = {-1, -1};
    if (options.stderr_to_closed_pipe) {
        if (pipe2(closed_pipe, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
        close(closed_pipe[0]);  // nobody reads: every write gets EPIPE
        spec.err = veilshadow::ProcessStream::Fd(closed_pipe[1]);
    }
    const veilshadow::ProcessResult process = veilshadow::RunProcess(spec);
    if (closed_pipe[1] >= 0) close(closed_pipe[1]);
    return Finished(process);
}

RunResult RunVeilshadowOnTerminal(const std::vector<std::string> &args) {
    veilshadow::ProcessSetup spec = VeilshadowSpec(args);
    spec.out = veilshadow::ProcessStream::kTerminal;
    spec.err = veilshadow::ProcessStream::kStdout;
    RunResult result = Finished(veilshadow::RunProcess(spec));
    result.err = std::move(result.out);  // the terminal received both
    result.out.clear();
    return result;
}

int CountLines(const std::string &text) { return static_cast<int>(std::count(text.begin(), text.end(), '\n')); }

// ---- Test images -------------------------------------------------------

namespace {

float FullScale(Sample sample) {
    switch (sample) {
        case Sample::kU8:
            return 255.0f;
        case Sample::kU16:
            return 65535.0f;
        default:
            return 1.0f;
    }
}

OIIO::TypeDesc TypeOf(Sample sample) {
    switch (sample) {
        case Sample::kU8:
            return OIIO::TypeDesc::UINT8;
        case Sample::kU16:
            return OIIO::TypeDesc::UINT16;
        case Sample::kHalf:
            return OIIO::TypeDesc::HALF;
        case Sample::kFloat:
            return OIIO::TypeDesc::FLOAT;
    }
    return OIIO::TypeDesc::FLOAT;
}

}  // namespace

TestImage RandomImage(Sample sample, int channels, int x, int y, int width, int height, unsigned seed) {
    TestImage image;
    image.sample = sample;
    image.channels = channels;
    image.x = x;
    image.y = y;
    image.width = width;
    image.height = height;
    image.samples.resize(std::size_t(width) * height * channels);
    std::mt19937 engine(seed);
    const float full = FullScale(sample);
    const bool integer = sample == Sample::kU8 || sample == Sample::kU16;
    const auto value = [&](float max) {
        const float v = std::uniform_real_distribution<float>(0.0f, max)(engine);
        return integer ? std::floor(v + 0.5f) : v;
    };
    const bool has_alpha = channels == 2 || channels == 4;
    for (int py = 0; py < height; ++py)
        for (int px = 0; px < width; ++px)
            for (int c = 0; c < channels; ++c) {
                float v = value(full);
                if (has_alpha && c == channels - 1) {
                    const int kind = static_cast<int>(engine() % 8);
                    v = kind == 0 ? 0.0f : kind == 1 ? full : v;
                }
                image.at(px, py, c) = v;
            }
    return image;
}

void WriteTestImage(const std::string &path, const TestImage &image) {
    auto out = OIIO::ImageOutput::create(path);
    if (!out) throw std::runtime_error("no writer for " + path + ": " + OIIO::geterror());
    OIIO::ImageSpec spec(image.width, image.height, image.channels, TypeOf(image.sample));
    spec.x = image.x;
    spec.y = image.y;
    const bool has_full = image.full_width > 0 && image.full_height > 0;
    spec.full_x = has_full ? image.full_x : image.x;
    spec.full_y = has_full ? image.full_y : image.y;
    spec.full_width = has_full ? image.full_width : image.width;
    spec.full_height = has_full ? image.full_height : image.height;
    if (image.channels == 2)
        spec.channelnames = {"Y", "A"};
    else if (image.channels == 1)
        spec.channelnames = {"Y"};
    else if (image.channels == 5)
        spec.channelnames = {"R", "G", "B", "A", "Z"};
    spec.alpha_channel = image.channels == 2 ? 1 : image.channels >= 4 ? 3 : -1;
    spec.attribute("oiio:UnassociatedAlpha", 1);
    spec.tile_width = spec.tile_height = image.tile;
    // Integer samples are handed over as integers: a float buffer would be
    // taken as 0..1 and scaled.
    bool written = out->open(path, spec);
    if (image.sample == Sample::kU8 || image.sample == Sample::kU16) {
        std::vector<std::uint16_t> integers(image.samples.begin(), image.samples.end());
        if (image.sample == Sample::kU8)
            for (std::uint16_t &v : integers) v = static_cast<std::uint16_t>(v * 257);  // 8-bit values as 16-bit: exact
        written = written && out->write_image(OIIO::TypeDesc::UINT16, integers.data());
    } else {
        written = written && out->write_image(OIIO::TypeDesc::FLOAT, image.samples.data());
    }
    if (!written || !out->close()) throw std::runtime_error("cannot write " + path + ": " + out->geterror());
}

TestImage ReadTestImage(const std::string &path) {
    OIIO::ImageSpec config;
    config.attribute("oiio:UnassociatedAlpha", 1);
    auto in = OIIO::ImageInput::open(path, &config);
    if (!in) throw std::runtime_error("cannot open " + path + ": " + OIIO::geterror());
    const OIIO::ImageSpec &spec = in->spec();
    TestImage image;
    switch (spec.format.basetype) {
        case OIIO::TypeDesc::UINT8:
            image.sample = Sample::kU8;
            break;
        case OIIO::TypeDesc::UINT16:
            image.sample = Sample::kU16;
            break;
        case OIIO::TypeDesc::HALF:
            image.sample = Sample::kHalf;
            break;
        default:
            image.sample = Sample::kFloat;
            break;
    }
    image.channels = spec.nchannels;
    image.x = spec.x;
    image.y = spec.y;
    image.width = spec.width;
    image.height = spec.height;
    image.full_x = spec.full_x;
    image.full_y = spec.full_y;
    image.full_width = spec.full_width;
    image.full_height = spec.full_height;
    image.samples.resize(std::size_t(spec.width) * spec.height * spec.nchannels);
    // Integer samples read as integers, then widened: exact.
    if (image.sample == Sample::kU8 || image.sample == Sample::kU16) {
        std::vector<std::uint16_t> raw(image.samples.size());
        if (!in->read_image(0, 0, 0, spec.nchannels, OIIO::TypeDesc::UINT16, raw.data()))
            throw std::runtime_error("cannot read " + path + ": " + in->geterror());
        // An 8-bit file read as 16-bit is scaled by 257; undo it exactly.
        for (std::size_t i = 0; i < raw.size(); ++i)
            image.samples[i] = image.sample == Sample::kU8 ? float(raw[i] / 257) : float(raw[i]);
    } else if (!in->read_image(0, 0, 0, spec.nchannels, OIIO::TypeDesc::FLOAT, image.samples.data())) {
        throw std::runtime_error("cannot read " + path + ": " + in->geterror());
    }
    return image;
}

// ---- Expected results --------------------------------------------------

namespace {

// One file sample as a channel of `depth`, as a double holding the
// channel's exact value.
double ToChannel(float v, Sample sample, Depth depth) {
    const auto u = static_cast<std::uint32_t>(v);
    switch (sample) {
        case Sample::kU8:
            if (depth == Depth::k8) return u;
            if (depth == Depth::k16) return (u * 32768u + 127u) / 255u;
            return static_cast<float>(u) / 255.0f;
        case Sample::kU16:
            if (depth == Depth::k8) return (u * 255u + 32767u) / 65535u;
            if (depth == Depth::k16) return (u * 32768u + 32767u) / 65535u;
            return static_cast<float>(u) / 65535.0f;
        case Sample::kHalf:
        case Sample::kFloat:
            if (depth == Depth::k32) return v;
            {
                const float max = depth == Depth::k8 ? 255.0f : 32768.0f;
                const float scaled = v * max + 0.5f;
                return scaled > 0.0f ? std::floor(std::min(scaled, max)) : 0.0;
            }
    }
    return 0;
}

template <class Pixel>
void StorePixel(World &world, int x, int y, const double rgba[4]) {
    using Channel = decltype(Pixel{}.alpha);
    Pixel &p = world.At<Pixel>(x, y);
    p.red = static_cast<Channel>(rgba[0]);
    p.green = static_cast<Channel>(rgba[1]);
    p.blue = static_cast<Channel>(rgba[2]);
    p.alpha = static_cast<Channel>(rgba[3]);
}

template <class Pixel>
void LoadPixel(const World &world, int x, int y, double rgba[4]) {
    const Pixel &p = world.At<Pixel>(x, y);
    rgba[0] = p.red;
    rgba[1] = p.green;
    rgba[2] = p.blue;
    rgba[3] = p.alpha;
}

}  // namespace

World DecodeExpected(const TestImage &file, Depth depth, bool associated) {
    World world(depth, file.width, file.height, file.x, file.y);
    const bool integer = file.sample == Sample::kU8 || file.sample == Sample::kU16;
    const float full = FullScale(file.sample);
    for (int y = 0; y < file.height; ++y)
        for (int x = 0; x < file.width; ++x) {
            float rgba[4];
            const int n = file.channels;
            const bool gray = n <= 2;
            rgba[0] = file.at(x, y, 0);
            rgba[1] = gray ? rgba[0] : file.at(x, y, 1);
            rgba[2] = gray ? rgba[0] : file.at(x, y, 2);
            rgba[3] = n == 2 ? file.at(x, y, 1) : n == 4 ? file.at(x, y, 3) : full;
            if (associated && rgba[3] > 0)
                for (int c = 0; c < 3; ++c) {
                    if (integer) {
                        const auto a = static_cast<std::uint64_t>(rgba[3]);
                        const std::uint64_t straight =
                            (static_cast<std::uint64_t>(rgba[c]) * std::uint64_t(full) + a / 2) / a;
                        rgba[c] = static_cast<float>(std::min<std::uint64_t>(straight, std::uint64_t(full)));
                    } else {
                        rgba[c] = rgba[c] / rgba[3];
                    }
                }
            double channels[4];
            for (int c = 0; c < 4; ++c) channels[c] = ToChannel(rgba[c], file.sample, depth);
            if (depth == Depth::k8)
                StorePixel<PF_Pixel>(world, x, y, channels);
            else if (depth == Depth::k16)
                StorePixel<PF_Pixel16>(world, x, y, channels);
            else
                StorePixel<PF_PixelFloat>(world, x, y, channels);
        }
    return world;
}

TestImage EncodeExpected(const World &world, Sample sample, bool associated) {
    TestImage file;
    file.sample = sample;
    file.channels = 4;
    file.x = world.origin_x();
    file.y = world.origin_y();
    file.width = world.width();
    file.height = world.height();
    file.samples.resize(std::size_t(file.width) * file.height * 4);
    for (int y = 0; y < file.height; ++y)
        for (int x = 0; x < file.width; ++x) {
            double rgba[4];
            if (world.depth() == Depth::k8)
                LoadPixel<PF_Pixel>(world, x, y, rgba);
            else if (world.depth() == Depth::k16)
                LoadPixel<PF_Pixel16>(world, x, y, rgba);
            else
                LoadPixel<PF_PixelFloat>(world, x, y, rgba);
            if (world.depth() == Depth::k16)
                for (double &v : rgba) v = (static_cast<std::uint32_t>(v) * 65535u + 16384u) / 32768u;
            if (associated && rgba[3] > 0)
                for (int c = 0; c < 3; ++c) {
                    if (world.depth() == Depth::k32) {
                        rgba[c] = static_cast<float>(rgba[c]) * static_cast<float>(rgba[3]);
                    } else {
                        const std::uint64_t max = world.depth() == Depth::k8 ? 255 : 65535;
                        rgba[c] = static_cast<double>(
                            (static_cast<std::uint64_t>(rgba[c]) * static_cast<std::uint64_t>(rgba[3]) + max / 2) /
                            max);
                    }
                }
            for (int c = 0; c < 4; ++c) {
                float v = static_cast<float>(rgba[c]);
                if (sample == Sample::kHalf) v = static_cast<float>(Imath::half(v));
                file.at(x, y, c) = v;
            }
        }
    return file;
}

World KernelExpected(const World &input, const World &layer, PF_Fixed slider) {
    World output(input.depth(), input.width(), input.height(), input.origin_x(), input.origin_y());
    PF_EffectWorld in_desc = input.descriptor(), layer_desc = layer.descriptor(), out_desc = output.descriptor();
    orvane::CopyDataInfo info{};
    info.input = &in_desc;
    info.input_area = {out_desc.origin_x - in_desc.origin_x, out_desc.origin_y - in_desc.origin_y, in_desc.width,
                       in_desc.height};
    info.layer = &layer_desc;
    info.layer_area = {out_desc.origin_x - layer_desc.origin_x, out_desc.origin_y - layer_desc.origin_y,
                       layer_desc.width, layer_desc.height};
    info.output = &out_desc;
    info.opacity = orvane::OpacityFromSlider(slider);
    const PF_IterateGenericFunc kernel = input.depth() == Depth::k8    ? orvane::CopyData8Reference
                                         : input.depth() == Depth::k16 ? orvane::CopyData16Reference
                                                                       : orvane::CopyData32Reference;
    for (A_long row = 0; row < output.height(); ++row) kernel(&info, 0, row, output.height());
    return output;
}

std::string CompareImages(const TestImage &expected, const TestImage &actual) {
    std::ostringstream report;
    if (expected.width != actual.width || expected.height != actual.height || expected.x != actual.x ||
        expected.y != actual.y || expected.channels != actual.channels || expected.sample != actual.sample) {
        report << "layout differs: expected " << expected.width << "x" << expected.height << " at " << expected.x << ","
               << expected.y << " with " << expected.channels << " channels of type " << int(expected.sample)
               << ", got " << actual.width << "x" << actual.height << " at " << actual.x << "," << actual.y << " with "
               << actual.channels << " channels of type " << int(actual.sample);
        return report.str();
    }
    int shown = 0, differing = 0;
    for (int y = 0; y < expected.height; ++y)
        for (int x = 0; x < expected.width; ++x)
            for (int c = 0; c < expected.channels; ++c) {
                const float e = expected.at(x, y, c), a = actual.at(x, y, c);
                if (e == a || (e != e && a != a)) continue;
                ++differing;
                if (shown++ < 8)
                    report << "pixel (" << x << ", " << y << ") channel " << c << ": expected " << e << ", got " << a
                           << "\n";
            }
    if (differing > 0) report << differing << " samples differ";
    return report.str();
}

namespace {

std::uint32_t Crc32(const unsigned char *data, std::size_t size) {
    std::uint32_t crc = 0xFFFFFFFFu;
    for (std::size_t i = 0; i < size; ++i) {
        crc ^= data[i];
        for (int bit = 0; bit < 8; ++bit) crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1u)));
    }
    return ~crc;
}

}  // namespace

void WritePngClaiming(const std::string &path, Sample sample, std::uint32_t width, std::uint32_t height) {
    WriteTestImage(path, RandomImage(sample, 4, 0, 0, 4, 4, 5));
    std::fstream file(path, std::ios::in | std::ios::out | std::ios::binary);
    unsigned char ihdr[21];  // "IHDR", its 13 bytes of data and its CRC, at offset 12
    file.seekg(12);
    file.read(reinterpret_cast<char *>(ihdr), sizeof ihdr);
    const auto put32 = [](unsigned char *at, std::uint32_t value) {
        for (int i = 0; i < 4; ++i) at[i] = static_cast<unsigned char>(value >> (24 - 8 * i));
    };
    put32(ihdr + 4, width);
    put32(ihdr + 8, height);
    put32(ihdr + 17, Crc32(ihdr, 17));
    file.seekp(12);
    file.write(reinterpret_cast<const char *>(ihdr), sizeof ihdr);
    if (!file) throw std::runtime_error("cannot write " + path);
}

}  // namespace clitest
