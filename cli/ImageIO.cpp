#include "ImageIO.h"

#include "AtomicFile.h"
#include "Errors.h"
#include "SampleCodec.h"

#include <OpenImageIO/imageio.h>

#include <cstdio>
#include <fcntl.h>
#include <filesystem>
#include <system_error>
#include <unistd.h>
#include <vector>

namespace veilshadow {
namespace {

using renderhost::Depth;
using renderhost::World;

// Some libraries under OpenImageIO (libpng, libtiff) print their own
// complaints on standard error. The error reaches veilshadow's one-line
// message through OpenImageIO anyway, so while they run their output goes
// to /dev/null.
class LibraryChatterSilenced {
public:
    LibraryChatterSilenced() {
        std::fflush(stderr);
        saved_ = dup(STDERR_FILENO);
        const int null = open("/dev/null", O_WRONLY | O_CLOEXEC);
        if (saved_ >= 0 && null >= 0)
            dup2(null, STDERR_FILENO);
        if (null >= 0)
            close(null);
    }
    ~LibraryChatterSilenced() {
        std::fflush(stderr);
        if (saved_ >= 0) {
            dup2(saved_, STDERR_FILENO);
            close(saved_);
        }
    }
    LibraryChatterSilenced(const LibraryChatterSilenced &) = delete;
    LibraryChatterSilenced &operator=(const LibraryChatterSilenced &) = delete;

private:
    int saved_ = -1;
};

// OpenImageIO keeps errors per thread until asked; asking clears them.
// The first line of a library's message: the messages here are one line.
std::string Trimmed(const std::string &message) {
    std::size_t start = 0;
    while (start < message.size()) {
        std::size_t end = message.find('\n', start);
        if (end == std::string::npos)
            end = message.size();
        std::string line = message.substr(start, end - start);
        while (!line.empty() && (line.back() == ' ' || line.back() == '\r'))
            line.pop_back();
        if (!line.empty())
            return line;
        start = end + 1;
    }
    return "unknown error";
}

std::string TakeGlobalError() { return Trimmed(OIIO::geterror()); }

std::string DescribeType(OIIO::TypeDesc type) {
    switch (type.basetype) {
    case OIIO::TypeDesc::UINT8: return "8-bit unsigned integer";
    case OIIO::TypeDesc::INT8: return "8-bit signed integer";
    case OIIO::TypeDesc::UINT16: return "16-bit unsigned integer";
    case OIIO::TypeDesc::INT16: return "16-bit signed integer";
    case OIIO::TypeDesc::UINT32: return "32-bit unsigned integer";
    case OIIO::TypeDesc::INT32: return "32-bit signed integer";
    case OIIO::TypeDesc::HALF: return "half float";
    case OIIO::TypeDesc::FLOAT: return "float";
    case OIIO::TypeDesc::DOUBLE: return "double";
    default: return std::string(type.c_str());
    }
}

// The one sample type of the file; mixed half and float channels read as
// float.
SampleType SampleTypeOf(const std::string &path, const OIIO::ImageSpec &spec) {
    std::vector<OIIO::TypeDesc> types = spec.channelformats;
    if (types.empty())
        types.push_back(spec.format);
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
    if (all_uint8)
        return SampleType::kUInt8;
    if (all_uint16)
        return SampleType::kUInt16;
    if (only_floats)
        return any_float ? SampleType::kFloat : SampleType::kHalf;
    throw RunError(FileMessage(path, "unsupported mix of integer sample types across channels"));
}

std::string ChannelList(const OIIO::ImageSpec &spec) {
    std::string list;
    for (int c = 0; c < spec.nchannels; ++c) {
        if (c > 0)
            list += ", ";
        list += c < static_cast<int>(spec.channelnames.size()) ? spec.channelnames[c] : "?";
    }
    return list;
}

ChannelLayout LayoutOf(const std::string &path, const OIIO::ImageSpec &spec) {
    const int n = spec.nchannels;
    if (n == 1 && spec.alpha_channel < 0)
        return ChannelLayout::kGray;
    if (n == 2 && spec.alpha_channel == 1)
        return ChannelLayout::kGrayAlpha;
    if (n == 3 && spec.alpha_channel < 0)
        return ChannelLayout::kRGB;
    if (n == 4 && spec.alpha_channel == 3)
        return ChannelLayout::kRGBA;
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
    if (format == "openexr")
        return true;
    // PNG always, TIFF when its alpha is marked unassociated: opened with
    // the hint, the reader says so instead of converting.
    return spec.get_int_attribute("oiio:UnassociatedAlpha", 0) == 0 && spec.alpha_channel >= 0;
}

// ---- Decoding ----------------------------------------------------------

template <class T, class Pixel>
void DecodeInto(const std::vector<T> &samples, const ImageHeader &header, World &world) {
    const SampleSteps steps = PackedSteps<T>(header.channels);
    const auto *in = reinterpret_cast<const unsigned char *>(samples.data());
    const std::size_t row_bytes = static_cast<std::size_t>(world.width()) * static_cast<std::size_t>(steps.pixel);
    for (A_long y = 0; y < world.height(); ++y)
        DecodeRow<T>(in + static_cast<std::size_t>(y) * row_bytes, steps, header.channels, header.associated,
                     world.width(), world.Row<Pixel>(y));
}

template <class T> World Decode(const std::vector<T> &samples, const ImageHeader &header, Depth depth) {
    World world(depth, header.data.width, header.data.height, header.data.x, header.data.y);
    switch (depth) {
    case Depth::k8:
        DecodeInto<T, PF_Pixel>(samples, header, world);
        break;
    case Depth::k16:
        DecodeInto<T, PF_Pixel16>(samples, header, world);
        break;
    case Depth::k32:
        DecodeInto<T, PF_PixelFloat>(samples, header, world);
        break;
    }
    return world;
}

std::size_t SampleBytes(SampleType sample) {
    switch (sample) {
    case SampleType::kUInt8:
        return 1;
    case SampleType::kUInt16:
        return 2;
    case SampleType::kHalf: // decoded as float
    case SampleType::kFloat:
        return 4;
    }
    return 4;
}

// ---- Encoding ----------------------------------------------------------

template <class Pixel, class T>
void EncodeFrom(const World &world, bool associated, std::vector<T> &samples) {
    samples.resize(static_cast<std::size_t>(world.width()) * static_cast<std::size_t>(world.height()) * 4);
    const SampleSteps steps = PackedSteps<T>(4);
    auto *out = reinterpret_cast<unsigned char *>(samples.data());
    const std::size_t row_bytes = static_cast<std::size_t>(world.width()) * static_cast<std::size_t>(steps.pixel);
    for (A_long y = 0; y < world.height(); ++y)
        EncodeRow<Pixel, T>(world.Row<Pixel>(y), world.width(), 4, associated,
                            out + static_cast<std::size_t>(y) * row_bytes, steps);
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

void WriteSamples(const std::string &path, const std::string &temp_path, const OIIO::ImageSpec &spec,
                  const std::string &format, OIIO::TypeDesc buffer_type, const void *samples) {
    LibraryChatterSilenced quiet;
    auto out = OIIO::ImageOutput::create(format);
    if (!out)
        throw RunError(FileMessage(path, "cannot write " + format + " files: " + TakeGlobalError()));
    // Only the results count here: the TIFF writer leaves a harmless
    // message about Exif data behind on success.
    if (!out->open(temp_path, spec) || !out->write_image(buffer_type, samples) || !out->close())
        throw RunError(FileMessage(path, "cannot write: " + Trimmed(out->geterror())));
}

} // namespace

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

struct ImageReader::Impl {
    std::unique_ptr<OIIO::ImageInput> input;
};

ImageReader::ImageReader(const std::string &path, AlphaMode alpha) : impl_(std::make_unique<Impl>()) {
    namespace fs = std::filesystem;
    std::error_code ec;
    const fs::file_status status = fs::status(path, ec);
    if (!fs::exists(status))
        throw RunError(FileMessage(path, "no such file"));
    if (fs::is_directory(status))
        throw RunError(FileMessage(path, "is a folder, not an image file"));

    OIIO::ImageSpec config;
    config.attribute("oiio:UnassociatedAlpha", 1);
    {
        LibraryChatterSilenced quiet;
        impl_->input = OIIO::ImageInput::open(path, &config);
    }
    if (!impl_->input)
        throw RunError(FileMessage(path, "cannot read it as an image: " + TakeGlobalError()));
    const OIIO::ImageSpec &spec = impl_->input->spec();

    header_.path = path;
    header_.format = impl_->input->format_name();
    if (header_.format != "png" && header_.format != "tiff" && header_.format != "openexr")
        throw RunError(FileMessage(path, "unsupported format: " + header_.format +
                                             " (veilshadow reads PNG, TIFF and OpenEXR files)"));
    if (spec.deep)
        throw RunError(FileMessage(path, "unsupported deep (multi-sample) image"));
    header_.sample = SampleTypeOf(path, spec);
    header_.layout = LayoutOf(path, spec);
    header_.channels = spec.nchannels;
    header_.data = Window{spec.x, spec.y, spec.width, spec.height};
    header_.display = spec.full_width > 0 && spec.full_height > 0
                          ? Window{spec.full_x, spec.full_y, spec.full_width, spec.full_height}
                          : header_.data;
    header_.associated = IsAssociated(alpha, header_.format, spec);
    header_.compression = spec.get_string_attribute("compression");
}

ImageReader::~ImageReader() = default;

std::uint64_t ImageReader::ScratchBytes() const {
    return std::uint64_t(header_.data.width) * std::uint64_t(header_.data.height) * std::uint64_t(header_.channels) *
           SampleBytes(header_.sample);
}

World ImageReader::ReadWorld(Depth depth) {
    OIIO::ImageInput &input = *impl_->input;
    const std::size_t count = static_cast<std::size_t>(header_.data.width) *
                              static_cast<std::size_t>(header_.data.height) * static_cast<std::size_t>(header_.channels);
    const auto read = [&](OIIO::TypeDesc type, void *data) {
        bool read_all = false;
        std::string error;
        {
            LibraryChatterSilenced quiet;
            read_all = input.read_image(0, 0, 0, header_.channels, type, data);
            // Some readers report a damaged part only as an error message
            // while the call itself succeeds (libtiff's short strips).
            error = input.geterror();
        }
        if (!read_all || !error.empty())
            throw RunError(FileMessage(header_.path, "cannot read its pixels (corrupt or cut short?): " +
                                                         Trimmed(error)));
    };
    switch (header_.sample) {
    case SampleType::kUInt8: {
        std::vector<std::uint8_t> samples(count);
        read(OIIO::TypeDesc::UINT8, samples.data());
        return Decode(samples, header_, depth);
    }
    case SampleType::kUInt16: {
        std::vector<std::uint16_t> samples(count);
        read(OIIO::TypeDesc::UINT16, samples.data());
        return Decode(samples, header_, depth);
    }
    case SampleType::kHalf:
    case SampleType::kFloat:
        break;
    }
    std::vector<float> samples(count);
    read(OIIO::TypeDesc::FLOAT, samples.data());
    return Decode(samples, header_, depth);
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
    if (world.depth() != DepthFor(output.sample))
        throw std::logic_error("a " + std::string(renderhost::DepthName(world.depth())) + " world written as " +
                               SampleTypeName(output.sample) + " samples");
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
    if (!output.compression.empty())
        spec.attribute("compression", output.compression);

    TempFile temp(path);
    switch (world.depth()) {
    case Depth::k8: {
        std::vector<std::uint8_t> samples;
        EncodeFrom<PF_Pixel>(world, output.associated, samples);
        WriteSamples(path, temp.path(), spec, output.format, OIIO::TypeDesc::UINT8, samples.data());
        break;
    }
    case Depth::k16: {
        std::vector<std::uint16_t> samples;
        EncodeFrom<PF_Pixel16>(world, output.associated, samples);
        WriteSamples(path, temp.path(), spec, output.format, OIIO::TypeDesc::UINT16, samples.data());
        break;
    }
    case Depth::k32: {
        std::vector<float> samples;
        EncodeFrom<PF_PixelFloat>(world, output.associated, samples);
        WriteSamples(path, temp.path(), spec, output.format, OIIO::TypeDesc::FLOAT, samples.data());
        break;
    }
    }
    temp.Commit();
}

} // namespace veilshadow
