#include "ImageIO.h"

#include "AtomicFile.h"
#include "Errors.h"
#include "FileStructure.h"
#include "SampleCodec.h"
#include "TempFileProxy.h"

#include <Imath/half.h>
#include <OpenImageIO/imageio.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#if defined(__x86_64__)
#include <cpuid.h>
#include <immintrin.h>
#endif
#include <fcntl.h>
#include <unistd.h>
#include <filesystem>
#include <mutex>
#include <system_error>
#include <thread>
#include <vector>

namespace veilshadow {
namespace {

using renderhost::Depth;
using renderhost::World;

// Some libraries under OpenImageIO (libpng, libtiff) print their own
// complaints on standard error. The error reaches veilshadow's one-line
// message through OpenImageIO anyway, so while they run their output goes
// to /dev/null. Files are read and written on several threads at once:
// the first silencer in redirects, the last one out restores. veilshadow's
// own messages go to MessageStream(), which is never redirected.
class LibraryChatterSilenced {
public:
    LibraryChatterSilenced() {
        MessageStream();  // duplicated before the first redirection
        std::lock_guard<std::mutex> lock(mutex_);
        if (depth_++ > 0) return;
        std::fflush(stderr);
        saved_ = dup(STDERR_FILENO);
        const int null = open("/dev/null", O_WRONLY | O_CLOEXEC);
        if (saved_ >= 0 && null >= 0) dup2(null, STDERR_FILENO);
        if (null >= 0) close(null);
    }
    ~LibraryChatterSilenced() {
        std::lock_guard<std::mutex> lock(mutex_);
        if (--depth_ > 0) return;
        std::fflush(stderr);
        if (saved_ >= 0) {
            dup2(saved_, STDERR_FILENO);
            close(saved_);
            saved_ = -1;
        }
    }
    LibraryChatterSilenced(const LibraryChatterSilenced &) = delete;
    LibraryChatterSilenced &operator=(const LibraryChatterSilenced &) = delete;

private:
    static inline std::mutex mutex_;
    static inline int depth_ = 0;
    static inline int saved_ = -1;
};

// Rows decoded or encoded at a time: whole line blocks of every OpenEXR
// compression (at most 256 lines, DWAB's), a few MB of samples at UHD.
constexpr A_long kStripRows = 256;

// Each thread keeps one buffer of file samples for the strips it reads and
// one for those it writes, so that a sequence allocates them once.
std::vector<unsigned char> &ReadScratch(std::size_t bytes) {
    thread_local std::vector<unsigned char> scratch;
    if (scratch.size() < bytes) scratch.resize(bytes);
    return scratch;
}
std::vector<unsigned char> &WriteScratch(std::size_t bytes) {
    thread_local std::vector<unsigned char> scratch;
    if (scratch.size() < bytes) scratch.resize(bytes);
    return scratch;
}

// OpenImageIO keeps errors per thread until asked; asking clears them.
// The first line of a library's message: the messages here are one line.
std::string Trimmed(const std::string &message) {
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

std::string TakeGlobalError() { return Trimmed(OIIO::geterror()); }

std::string DescribeType(OIIO::TypeDesc type) {
    switch (type.basetype) {
        case OIIO::TypeDesc::UINT8:
            return "8-bit unsigned integer";
        case OIIO::TypeDesc::INT8:
            return "8-bit signed integer";
        case OIIO::TypeDesc::UINT16:
            return "16-bit unsigned integer";
        case OIIO::TypeDesc::INT16:
            return "16-bit signed integer";
        case OIIO::TypeDesc::UINT32:
            return "32-bit unsigned integer";
        case OIIO::TypeDesc::INT32:
            return "32-bit signed integer";
        case OIIO::TypeDesc::HALF:
            return "half float";
        case OIIO::TypeDesc::FLOAT:
            return "float";
        case OIIO::TypeDesc::DOUBLE:
            return "double";
        default:
            return std::string(type.c_str());
    }
}

// The one sample type of the file; mixed half and float channels read as
// float.
SampleType SampleTypeOf(const std::string &path, const OIIO::ImageSpec &spec) {
    std::vector<OIIO::TypeDesc> types = spec.channelformats;
    if (types.empty()) types.push_back(spec.format);
    bool all_uint8 = true, all_uint16 = true, only_floats = true, any_float = false;
    for (const OIIO::TypeDesc &type : types) {
        switch (type.basetype) {
            case OIIO::TypeDesc::UINT8:
                all_uint16 = only_floats = false;
                break;
            case OIIO::TypeDesc::UINT16:
                all_uint8 = only_floats = false;
                break;
            case OIIO::TypeDesc::HALF:
                all_uint8 = all_uint16 = false;
                break;
            case OIIO::TypeDesc::FLOAT:
                all_uint8 = all_uint16 = false;
                any_float = true;
                break;
            default:
                throw RunError(FileMessage(path, "unsupported sample type: " + DescribeType(type) +
                                                     " (veilshadow reads 8-bit, 16-bit, half and float)"));
        }
    }
    if (all_uint8) return SampleType::kUInt8;
    if (all_uint16) return SampleType::kUInt16;
    if (only_floats) return any_float ? SampleType::kFloat : SampleType::kHalf;
    throw RunError(FileMessage(path, "unsupported mix of integer sample types across channels"));
}

std::string ChannelList(const OIIO::ImageSpec &spec) {
    std::string list;
    for (int c = 0; c < spec.nchannels; ++c) {
        if (c > 0) list += ", ";
        list += c < static_cast<int>(spec.channelnames.size()) ? spec.channelnames[c] : "?";
    }
    return list;
}

ChannelLayout LayoutOf(const std::string &path, const OIIO::ImageSpec &spec) {
    const int n = spec.nchannels;
    if (n == 1 && spec.alpha_channel < 0) return ChannelLayout::kGray;
    if (n == 2 && spec.alpha_channel == 1) return ChannelLayout::kGrayAlpha;
    if (n == 3 && spec.alpha_channel < 0) return ChannelLayout::kRGB;
    if (n == 4 && spec.alpha_channel == 3) return ChannelLayout::kRGBA;
    throw RunError(FileMessage(path, "unsupported channels: found " + std::to_string(n) + " (" + ChannelList(spec) +
                                         "); veilshadow reads gray, gray+alpha, RGB and RGBA"));
}

// Where the file's colour is multiplied by alpha, by the chosen mode.
bool IsAssociated(AlphaMode mode, const std::string &format, const OIIO::ImageSpec &spec) {
    switch (mode) {
        case AlphaMode::kStraight:
            return false;
        case AlphaMode::kAssociated:
            return true;
        case AlphaMode::kAuto:
            break;
    }
    if (format == "openexr") return true;
    // PNG always, TIFF when its alpha is marked unassociated: opened with
    // the hint, the reader says so instead of converting.
    return spec.get_int_attribute("oiio:UnassociatedAlpha", 0) == 0 && spec.alpha_channel >= 0;
}

// ---- Decoding ----------------------------------------------------------

// Half samples to float and back, 8 at a time with F16C where the
// processor has it. The results equal OpenImageIO's own conversions (and
// Imath's) bit for bit: F16C rounds to nearest even as they do, and the
// only samples it treats otherwise, NaNs, are converted one by one.
#if defined(__x86_64__)
__attribute__((target("avx,f16c"))) void HalvesToFloatsF16c(const Imath::half *in, float *out, std::size_t n) {
    std::size_t i = 0;
    for (; i + 8 <= n; i += 8) {
        const __m256 v = _mm256_cvtph_ps(_mm_loadu_si128(reinterpret_cast<const __m128i *>(in + i)));
        _mm256_storeu_ps(out + i, v);
        if (_mm256_movemask_ps(_mm256_cmp_ps(v, v, _CMP_UNORD_Q)) != 0)
            for (std::size_t k = i; k < i + 8; ++k) out[k] = static_cast<float>(in[k]);
    }
    for (; i < n; ++i) out[i] = static_cast<float>(in[i]);
}

__attribute__((target("avx,f16c"))) void FloatsToHalvesF16c(const float *in, Imath::half *out, std::size_t n) {
    std::size_t i = 0;
    for (; i + 8 <= n; i += 8) {
        const __m256 v = _mm256_loadu_ps(in + i);
        _mm_storeu_si128(reinterpret_cast<__m128i *>(out + i), _mm256_cvtps_ph(v, _MM_FROUND_TO_NEAREST_INT));
        if (_mm256_movemask_ps(_mm256_cmp_ps(v, v, _CMP_UNORD_Q)) != 0)
            for (std::size_t k = i; k < i + 8; ++k) out[k] = Imath::half(in[k]);
    }
    for (; i < n; ++i) out[i] = Imath::half(in[i]);
}

// AVX as the compiler's check sees it (the processor's and the system's
// support), F16C from CPUID, which not every compiler's check names.
bool HasF16c() {
    unsigned eax = 0, ebx = 0, ecx = 0, edx = 0;
    return __builtin_cpu_supports("avx") && __get_cpuid(1, &eax, &ebx, &ecx, &edx) != 0 && (ecx & bit_F16C) != 0;
}
const bool kHasF16c = HasF16c();
#else
const bool kHasF16c = false;
#endif

void HalvesToFloats(const Imath::half *in, float *out, std::size_t n) {
#if defined(__x86_64__)
    if (kHasF16c) return HalvesToFloatsF16c(in, out, n);
#endif
    for (std::size_t i = 0; i < n; ++i) out[i] = static_cast<float>(in[i]);
}

void FloatsToHalves(const float *in, Imath::half *out, std::size_t n) {
#if defined(__x86_64__)
    if (kHasF16c) return FloatsToHalvesF16c(in, out, n);
#endif
    for (std::size_t i = 0; i < n; ++i) out[i] = Imath::half(in[i]);
}

// One row of float samples, for rows converted from or to half.
std::vector<float> &FloatRow(std::size_t count) {
    thread_local std::vector<float> row;
    if (row.size() < count) row.resize(count);
    return row;
}

// Decodes `rows` rows of samples into the world from row `first` on; half
// samples go through a row of floats.
template <class T, class Pixel>
void DecodeRows(const T *samples, const ImageHeader &header, World &world, A_long first, A_long rows) {
    const std::size_t row_samples = static_cast<std::size_t>(world.width()) * static_cast<std::size_t>(header.channels);
    for (A_long y = first; y < first + rows; ++y) {
        const T *in = samples + static_cast<std::size_t>(y - first) * row_samples;
        if constexpr (std::is_same_v<T, Imath::half>) {
            std::vector<float> &floats = FloatRow(row_samples);
            HalvesToFloats(in, floats.data(), row_samples);
            DecodeRow<float>(reinterpret_cast<const unsigned char *>(floats.data()),
                             PackedSteps<float>(header.channels), header.channels, header.associated, world.width(),
                             world.Row<Pixel>(y));
        } else {
            DecodeRow<T>(reinterpret_cast<const unsigned char *>(in), PackedSteps<T>(header.channels), header.channels,
                         header.associated, world.width(), world.Row<Pixel>(y));
        }
    }
}

template <class T>
void DecodeRowsAs(const T *samples, const ImageHeader &header, World &world, A_long first, A_long rows) {
    switch (world.depth()) {
        case Depth::k8:
            DecodeRows<T, PF_Pixel>(samples, header, world, first, rows);
            break;
        case Depth::k16:
            DecodeRows<T, PF_Pixel16>(samples, header, world, first, rows);
            break;
        case Depth::k32:
            DecodeRows<T, PF_PixelFloat>(samples, header, world, first, rows);
            break;
    }
}

// Bytes of one sample as the file is read: half stays half, a mix of half
// and float channels is read as float.
std::size_t SampleBytes(SampleType sample) {
    switch (sample) {
        case SampleType::kUInt8:
            return 1;
        case SampleType::kUInt16:
        case SampleType::kHalf:
            return 2;
        case SampleType::kFloat:
            return 4;
    }
    return 4;
}

// ---- Encoding ----------------------------------------------------------

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

template <class T>
void EncodeRowsFrom(const World &world, bool associated, A_long first, A_long rows, T *out) {
    switch (world.depth()) {
        case Depth::k8:
            EncodeRows<PF_Pixel>(world, associated, first, rows, out);
            break;
        case Depth::k16:
            EncodeRows<PF_Pixel16>(world, associated, first, rows, out);
            break;
        case Depth::k32:
            EncodeRows<PF_PixelFloat>(world, associated, first, rows, out);
            break;
    }
}

void EncodeRowsAs(const World &world, SampleType sample, bool associated, A_long first, A_long rows, void *out) {
    switch (sample) {
        case SampleType::kUInt8:
            EncodeRowsFrom(world, associated, first, rows, static_cast<std::uint8_t *>(out));
            break;
        case SampleType::kUInt16:
            EncodeRowsFrom(world, associated, first, rows, static_cast<std::uint16_t *>(out));
            break;
        case SampleType::kHalf:
            EncodeRowsFrom(world, associated, first, rows, static_cast<Imath::half *>(out));
            break;
        case SampleType::kFloat:
            EncodeRowsFrom(world, associated, first, rows, static_cast<float *>(out));
            break;
    }
}

OIIO::TypeDesc FileTypeOf(SampleType sample) {
    switch (sample) {
        case SampleType::kUInt8:
            return OIIO::TypeDesc::UINT8;
        case SampleType::kUInt16:
            return OIIO::TypeDesc::UINT16;
        case SampleType::kHalf:
            return OIIO::TypeDesc::HALF;
        case SampleType::kFloat:
            return OIIO::TypeDesc::FLOAT;
    }
    return OIIO::TypeDesc::FLOAT;
}

// Writes the world strip by strip in the file's own sample type.
bool WriteStrips(OIIO::ImageOutput &out, const OutputSpec &output, const World &world) {
    const OIIO::TypeDesc type = FileTypeOf(output.sample);
    std::vector<unsigned char> &samples =
        WriteScratch(static_cast<std::size_t>(EncodeBytes(Window{0, 0, world.width(), kStripRows}, output.sample)));
    bool ok = true;
    for (A_long first = 0; ok && first < world.height(); first += kStripRows) {
        const A_long rows = std::min(kStripRows, world.height() - first);
        EncodeRowsAs(world, output.sample, output.associated, first, rows, samples.data());
        ok = out.write_scanlines(world.origin_y() + first, world.origin_y() + first + rows, 0, type, samples.data());
    }
    return ok;
}

}  // namespace

const char *SampleTypeName(SampleType sample) {
    switch (sample) {
        case SampleType::kUInt8:
            return "8-bit";
        case SampleType::kUInt16:
            return "16-bit";
        case SampleType::kHalf:
            return "half float";
        case SampleType::kFloat:
            return "float";
    }
    return "?";
}

Depth DepthFor(SampleType sample) {
    switch (sample) {
        case SampleType::kUInt8:
            return Depth::k8;
        case SampleType::kUInt16:
            return Depth::k16;
        case SampleType::kHalf:
        case SampleType::kFloat:
            return Depth::k32;
    }
    return Depth::k32;
}

namespace {

// The output formats, their sample types (in SampleType's order) and
// compressions; fallback: the sample type without -d where COMP's is not
// taken.
struct OutputFormatTraits {
    const char *format;
    const char *label;
    bool takes[4];
    SampleType fallback;
    std::vector<std::string> compressions;
};

const std::vector<OutputFormatTraits> &OutputFormats() {
    static const std::vector<OutputFormatTraits> formats = {
        {"png", "PNG", {true, true, false, false}, SampleType::kUInt8, {"zip", "filtered", "huffman", "rle", "fixed"}},
        {"tiff", "TIFF", {true, true, false, true}, SampleType::kFloat, {"none", "lzw", "zip", "packbits"}},
        {"openexr",
         "OpenEXR",
         {false, false, true, true},
         SampleType::kHalf,
         {"none", "rle", "zips", "zip", "piz", "pxr24", "b44", "b44a", "dwaa", "dwab"}},
    };
    return formats;
}

const OutputFormatTraits *OutputFormatOf(const std::string &format) {
    for (const OutputFormatTraits &traits : OutputFormats())
        if (format == traits.format) return &traits;
    return nullptr;
}

const char *const kSampleTypeOptionNames[] = {"uint8", "uint16", "half", "float"};

// "a, b or c".
std::string JoinedWithOr(const std::vector<std::string> &names) {
    std::string list;
    for (std::size_t i = 0; i < names.size(); ++i)
        list += (i == 0 ? "" : i + 1 == names.size() ? " or " : ", ") + names[i];
    return list;
}

}  // namespace

bool IsOutputFormat(const std::string &format) { return OutputFormatOf(format) != nullptr; }

std::string FormatLabel(const std::string &format) {
    const OutputFormatTraits *traits = OutputFormatOf(format);
    return traits != nullptr ? traits->label : format;
}

bool FormatTakes(const std::string &format, SampleType sample) {
    const OutputFormatTraits *traits = OutputFormatOf(format);
    return traits != nullptr && traits->takes[static_cast<int>(sample)];
}

SampleType DefaultSampleFor(const std::string &format, SampleType comp) {
    const OutputFormatTraits *traits = OutputFormatOf(format);
    if (traits == nullptr || FormatTakes(format, comp)) return comp;
    return traits->fallback;
}

bool FormatTakesCompression(const std::string &format, const std::string &compression) {
    const OutputFormatTraits *traits = OutputFormatOf(format);
    if (traits == nullptr) return false;
    const std::size_t colon = compression.find(':');
    const std::string name = compression.substr(0, colon);
    if (colon != std::string::npos) {
        const std::string level = compression.substr(colon + 1);
        if (level.empty() || level.size() > 3 || level.find_first_not_of("0123456789") != std::string::npos)
            return false;
    }
    return std::find(traits->compressions.begin(), traits->compressions.end(), name) != traits->compressions.end();
}

std::string CompressionNames(const std::string &format) {
    const OutputFormatTraits *traits = OutputFormatOf(format);
    return traits != nullptr ? JoinedWithOr(traits->compressions) : std::string();
}

std::string SampleTypeNames(const std::string &format) {
    std::vector<std::string> names;
    for (int i = 0; i < 4; ++i)
        if (FormatTakes(format, static_cast<SampleType>(i))) names.push_back(kSampleTypeOptionNames[i]);
    return JoinedWithOr(names);
}

std::optional<SampleType> SampleTypeNamed(const std::string &name) {
    for (int i = 0; i < 4; ++i)
        if (name == kSampleTypeOptionNames[i]) return static_cast<SampleType>(i);
    return std::nullopt;
}

const char *SampleTypeOptionName(SampleType sample) { return kSampleTypeOptionNames[static_cast<int>(sample)]; }

struct ImageReader::Impl {
    std::unique_ptr<OIIO::ImageInput> input;
    // Rows decoded at a time: kStripRows, or whole rows of tiles in a tiled
    // file (read tile by tile: OpenImageIO's scanline reading of tiled
    // files fails on some of them).
    A_long strip_rows = kStripRows;
    bool tiled = false;
    // The sample type asked of OpenImageIO: its "native" one when every
    // channel of the file is stored in the type read. Named explicitly,
    // even as the file's own type, OpenImageIO decodes each call's rows
    // into a buffer it allocates (fresh pages every call) and copies them
    // over, which costs as much as the decoding itself.
    OIIO::TypeDesc read_type = OIIO::TypeDesc::UNKNOWN;
    // libtiff can leave a byte of a damaged strip unwritten and report no
    // error (seen with the floating-point predictor). Decoded straight into
    // the reused scratch buffer, that byte would be whatever the last strip
    // or frame left there, so the same file would read differently from
    // run to run. The buffer is cleared before each TIFF strip instead.
    bool clear_before_read = false;
};

namespace {

bool StoredAs(const OIIO::ImageSpec &spec, OIIO::TypeDesc type) {
    if (spec.channelformats.empty()) return spec.format == type;
    return std::all_of(spec.channelformats.begin(), spec.channelformats.end(),
                       [type](OIIO::TypeDesc channel) { return channel == type; });
}

}  // namespace

ImageReader::ImageReader(const std::string &path, AlphaMode alpha) : impl_(std::make_unique<Impl>()) {
    namespace fs = std::filesystem;
    std::error_code ec;
    const fs::file_status status = fs::status(path, ec);
    if (!fs::exists(status)) throw RunError(FileMessage(path, "no such file"));
    if (fs::is_directory(status)) throw RunError(FileMessage(path, "is a folder, not an image file"));

    OIIO::ImageSpec config;
    config.attribute("oiio:UnassociatedAlpha", 1);
    {
        LibraryChatterSilenced quiet;
        impl_->input = OIIO::ImageInput::open(path, &config);
    }
    if (!impl_->input) throw RunError(FileMessage(path, "cannot read it as an image: " + TakeGlobalError()));
    const OIIO::ImageSpec &spec = impl_->input->spec();

    header_.path = path;
    header_.format = impl_->input->format_name();
    if (header_.format != "png" && header_.format != "tiff" && header_.format != "openexr")
        throw RunError(FileMessage(
            path, "unsupported format: " + header_.format + " (veilshadow reads PNG, TIFF and OpenEXR files)"));
    if (spec.deep) throw RunError(FileMessage(path, "unsupported deep (multi-sample) image"));
    header_.sample = SampleTypeOf(path, spec);
    header_.layout = LayoutOf(path, spec);
    header_.channels = spec.nchannels;
    header_.data = Window{spec.x, spec.y, spec.width, spec.height};
    header_.display = spec.full_width > 0 && spec.full_height > 0
                          ? Window{spec.full_x, spec.full_y, spec.full_width, spec.full_height}
                          : header_.data;
    header_.associated = IsAssociated(alpha, header_.format, spec);
    header_.compression = spec.get_string_attribute("compression");
    impl_->tiled = spec.tile_width > 0 && spec.tile_height > 0;
    if (impl_->tiled) impl_->strip_rows = (kStripRows + spec.tile_height - 1) / spec.tile_height * spec.tile_height;
    const OIIO::TypeDesc type = FileTypeOf(header_.sample);
    impl_->read_type = StoredAs(spec, type) ? OIIO::TypeDesc(OIIO::TypeDesc::UNKNOWN) : type;
    impl_->clear_before_read = header_.format == "tiff";
}

ImageReader::~ImageReader() = default;

std::uint64_t ImageReader::ScratchBytes() const {
    return std::uint64_t(header_.data.width) * std::uint64_t(std::min(header_.data.height, impl_->strip_rows)) *
           std::uint64_t(header_.channels) * SampleBytes(header_.sample);
}

World ImageReader::ReadWorld(Depth depth) {
    World world(depth, header_.data.width, header_.data.height, header_.data.x, header_.data.y);
    ReadInto(world);
    return world;
}

void ImageReader::ReadInto(World &world) {
    if (world.width() != header_.data.width || world.height() != header_.data.height ||
        world.origin_x() != header_.data.x || world.origin_y() != header_.data.y)
        throw std::logic_error("a world that is not the data window of " + header_.path);
    OIIO::ImageInput &input = *impl_->input;
    const OIIO::TypeDesc type = impl_->read_type;
    std::vector<unsigned char> &samples = ReadScratch(static_cast<std::size_t>(ScratchBytes()));
    const Window &data = header_.data;
    for (A_long first = 0; first < data.height; first += impl_->strip_rows) {
        const A_long rows = std::min(impl_->strip_rows, data.height - first);
        if (impl_->clear_before_read)
            std::memset(samples.data(), 0,
                        std::size_t(data.width) * std::size_t(rows) * header_.channels * SampleBytes(header_.sample));
        bool read_all = false;
        std::string error;
        {
            LibraryChatterSilenced quiet;
            read_all = impl_->tiled
                           ? input.read_tiles(0, 0, data.x, data.x + data.width, data.y + first, data.y + first + rows,
                                              0, 1, 0, header_.channels, type, samples.data())
                           : input.read_scanlines(0, 0, data.y + first, data.y + first + rows, 0, 0, header_.channels,
                                                  type, samples.data());
            // Some readers report a damaged part only as an error message
            // while the call itself succeeds (libtiff's short strips).
            error = input.geterror();
        }
        if (!read_all || !error.empty())
            throw RunError(
                FileMessage(header_.path, "cannot read its pixels (corrupt or cut short?): " + Trimmed(error)));
        switch (header_.sample) {
            case SampleType::kUInt8:
                DecodeRowsAs(samples.data(), header_, world, first, rows);
                break;
            case SampleType::kUInt16:
                DecodeRowsAs(reinterpret_cast<const std::uint16_t *>(samples.data()), header_, world, first, rows);
                break;
            case SampleType::kHalf:
                DecodeRowsAs(reinterpret_cast<const Imath::half *>(samples.data()), header_, world, first, rows);
                break;
            case SampleType::kFloat:
                DecodeRowsAs(reinterpret_cast<const float *>(samples.data()), header_, world, first, rows);
                break;
        }
    }
}

bool ImageReader::LooksWhole() {
    if (impl_->tiled) return false;
    if (header_.format == "png") return PngEndsWhole(header_.path);
    if (header_.format == "openexr") return ExrChunksWhole(header_.path);
    // TIFF: its last row decodes (one strip).
    const Window &data = header_.data;
    std::vector<unsigned char> row(static_cast<std::size_t>(data.width) * header_.channels *
                                   SampleBytes(header_.sample));
    LibraryChatterSilenced quiet;
    const int last = data.y + data.height - 1;
    const bool read =
        impl_->input->read_scanlines(0, 0, last, last + 1, 0, 0, header_.channels, impl_->read_type, row.data());
    return read && impl_->input->geterror().empty();
}

bool IsWholeImage(const std::string &path, const OutputShape &shape) {
    std::error_code ec;
    if (!std::filesystem::is_regular_file(path, ec)) return false;
    try {
        ImageReader reader(path, AlphaMode::kAuto);
        const ImageHeader &header = reader.header();
        if (header.format != shape.format || header.sample != shape.sample || header.layout != ChannelLayout::kRGBA)
            return false;
        if (shape.width > 0 && (header.display.width != shape.width || header.display.height != shape.height))
            return false;
        return reader.LooksWhole();
    } catch (const RunError &) {
        return false;
    }
}

std::string OutputFormatFor(const std::string &path) {
    auto out = OIIO::ImageOutput::create(path);
    if (!out) {
        TakeGlobalError();
        return {};
    }
    return out->format_name();
}

std::uint64_t EncodeBytes(const Window &data, SampleType sample) {
    return std::uint64_t(data.width) * std::uint64_t(data.height) * 4u * SampleBytes(sample);
}

void WriteWorld(const std::string &path, const World &world, const OutputSpec &output) {
    OIIO::ImageSpec spec(world.width(), world.height(), 4, FileTypeOf(output.sample));
    spec.x = world.origin_x();
    spec.y = world.origin_y();
    spec.full_x = output.display.x;
    spec.full_y = output.display.y;
    spec.full_width = output.display.width;
    spec.full_height = output.display.height;
    spec.alpha_channel = 3;
    // Colour is written as given: OpenImageIO must not convert it.
    if (output.format != "openexr" && !(output.format == "tiff" && output.associated))
        spec.attribute("oiio:UnassociatedAlpha", 1);
    if (!output.compression.empty()) spec.attribute("compression", output.compression);

    WriteImageFile(path, output.format, spec, [&](OIIO::ImageOutput &out) { return WriteStrips(out, output, world); });
}

void WriteImageFile(const std::string &path, const std::string &format, const OIIO::ImageSpec &spec,
                    const std::function<bool(OIIO::ImageOutput &)> &write) {
    TempFile temp(path);
    {
        TempFileProxy proxy(temp);
        LibraryChatterSilenced quiet;
        auto out = OIIO::ImageOutput::create(format);
        if (!out) throw RunError(FileMessage(path, "cannot write " + format + " files: " + TakeGlobalError()));
        // Only the results count here: the TIFF writer leaves a harmless
        // message about Exif data behind on success.
        const bool ok = out->set_ioproxy(&proxy) && out->open(temp.path(), spec) && write(*out) && out->close();
        proxy.close();
        // A failed write of the file is the cause, whatever the encoder
        // made of it; some encoders do not notice one at all.
        if (!ok && !temp.failed()) throw RunError(FileMessage(path, "cannot write: " + Trimmed(out->geterror())));
    }
    temp.Commit();
}

void SetLibraryThreads(int cores) {
    const int threads = cores > 0 ? cores : static_cast<int>(std::max(1u, std::thread::hardware_concurrency()));
    OIIO::attribute("threads", threads);
    OIIO::attribute("exr_threads", threads);
}

std::FILE *MessageStream() {
    static std::FILE *const stream = [] {
        const int fd = dup(STDERR_FILENO);
        std::FILE *file = fd >= 0 ? fdopen(fd, "w") : nullptr;
        if (file == nullptr) return stderr;
        std::setvbuf(file, nullptr, _IONBF, 0);
        return file;
    }();
    return stream;
}

}  // namespace veilshadow
