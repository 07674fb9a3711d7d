// Image files in: headers, and decoding a strip of rows at a time into
// worlds.
#include "AtomicFile.h"
#include "Console.h"
#include "Errors.h"
#include "FastCodec.h"
#include "Formats.h"
#include "HalfConversion.h"
#include "ImageIO.h"
#include "ImageIOCommon.h"
#include "SampleCodec.h"

#include <OpenImageIO/imageio.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <system_error>
#include <type_traits>
#include <vector>

namespace veilshadow {
namespace {

using renderhost::Depth;
using renderhost::World;

// Each thread keeps one buffer of file samples for the strips it reads, so
// that a sequence allocates it once.
std::vector<unsigned char> &ReadScratch(std::size_t bytes) {
    thread_local std::vector<unsigned char> scratch;
    if (scratch.size() < bytes) scratch.resize(bytes);
    return scratch;
}

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

bool IsFloating(SampleType sample) { return sample == SampleType::kHalf || sample == SampleType::kFloat; }

// The one sample type of the file; mixed half and float channels read as
// float.
SampleType SampleTypeOf(const std::string &path, const OIIO::ImageSpec &spec) {
    std::vector<OIIO::TypeDesc> types = spec.channelformats;
    if (types.empty()) types.push_back(spec.format);
    std::vector<SampleType> samples;
    for (const OIIO::TypeDesc &type : types) {
        const auto row = std::find_if(
            std::begin(kSampleTraits), std::end(kSampleTraits),
            [&type](const SampleTraits &traits) { return TypeDescOf(traits.sample).basetype == type.basetype; });
        if (row == std::end(kSampleTraits))
            throw RunError(FileMessage(path, "unsupported sample type: " + DescribeType(type) +
                                                 " (veilshadow reads 8-bit, 16-bit, half and float)"));
        samples.push_back(row->sample);
    }
    if (std::all_of(samples.begin(), samples.end(), [&](SampleType s) { return s == samples[0]; })) return samples[0];
    if (std::all_of(samples.begin(), samples.end(), IsFloating)) return SampleType::kFloat;
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
bool IsAssociated(AlphaMode mode, const FileFormat &format, const OIIO::ImageSpec &spec) {
    switch (mode) {
        case AlphaMode::kStraight:
            return false;
        case AlphaMode::kAssociated:
            return true;
        case AlphaMode::kAuto:
            break;
    }
    switch (format.alpha) {
        case AlphaConvention::kAssociated:
            return true;
        case AlphaConvention::kStraight:
            return false;
        case AlphaConvention::kMarked:
            break;
    }
    // Associated unless marked unassociated: opened with the hint, the
    // reader says so instead of converting.
    return spec.get_int_attribute("oiio:UnassociatedAlpha", 0) == 0 && spec.alpha_channel >= 0;
}

// One row of packed samples; four samples a pixel, the usual case, with the
// steps known when compiled.
template <class Stored, class Pixel>
void DecodePackedRow(const unsigned char *in, int channels, bool associated, A_long width, Pixel *out) {
    if (channels == 4)
        DecodeRow<Stored>(in, PackedSteps<Stored>(4), 4, associated, width, out);
    else
        DecodeRow<Stored>(in, PackedSteps<Stored>(channels), channels, associated, width, out);
}

// Decodes `rows` rows of samples of type T into the world from row `first`
// on; half samples go through a row of floats.
template <class T, class Pixel>
void DecodeRows(const T *samples, const ImageHeader &header, World &world, A_long first, A_long rows) {
    const std::size_t row_samples = static_cast<std::size_t>(world.width()) * static_cast<std::size_t>(header.channels);
    for (A_long y = first; y < first + rows; ++y) {
        const T *in = samples + static_cast<std::size_t>(y - first) * row_samples;
        if constexpr (std::is_same_v<T, Imath::half>) {
            std::vector<float> &floats = FloatRow(row_samples);
            HalvesToFloats(in, floats.data(), row_samples);
            DecodePackedRow<float>(reinterpret_cast<const unsigned char *>(floats.data()), header.channels,
                                   header.associated, world.width(), world.Row<Pixel>(y));
        } else {
            DecodePackedRow<T>(reinterpret_cast<const unsigned char *>(in), header.channels, header.associated,
                               world.width(), world.Row<Pixel>(y));
        }
    }
}

// The same for samples of the header's sample type into a world of any depth.
void DecodeStrip(const unsigned char *samples, const ImageHeader &header, World &world, A_long first, A_long rows) {
    VisitSample(header.sample, [&](auto sample) {
        using T = typename decltype(sample)::type;
        VisitPixel(world.depth(), [&](auto pixel) {
            DecodeRows<T, typename decltype(pixel)::type>(reinterpret_cast<const T *>(samples), header, world, first,
                                                          rows);
        });
    });
}

bool StoredAs(const OIIO::ImageSpec &spec, OIIO::TypeDesc type) {
    if (spec.channelformats.empty()) return spec.format == type;
    return std::all_of(spec.channelformats.begin(), spec.channelformats.end(),
                       [type](OIIO::TypeDesc channel) { return channel == type; });
}

}  // namespace

struct ImageReader::Impl {
    // A fast codec's reader when one takes the file; OpenImageIO's input
    // otherwise.
    std::unique_ptr<FastReader> fast;
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
    // The file's format.
    const FileFormat *format = nullptr;
    // Some readers can leave a byte of a damaged strip unwritten and report
    // no error (libtiff, seen with the floating-point predictor). Decoded
    // straight into the reused scratch buffer, that byte would be whatever
    // the last strip or frame left there, so the same file would read
    // differently from run to run. The buffer is cleared before each strip
    // of such a format instead.
    bool clear_before_read = false;
    // Where OpenImageIO places the data window: the header's, but for a
    // format whose files veilshadow places at (0, 0) (PNG), the offset the
    // file records (a PNG's oFFs chunk).
    A_long file_x = 0, file_y = 0;
};

ImageReader::ImageReader(const std::string &path, AlphaMode alpha) : impl_(std::make_unique<Impl>()) {
    namespace fs = std::filesystem;
    std::error_code ec;
    const fs::file_status status = fs::status(path, ec);
    if (!fs::exists(status)) throw RunError(FileMessage(path, "no such file"));
    if (fs::is_directory(status)) throw RunError(FileMessage(path, "is a folder, not an image file"));
    CheckRegularFile(path);  // a device or a FIFO would never end or would block

    impl_->fast = OpenFastReader(path, alpha, header_);
    if (impl_->fast) return;
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
    impl_->format = FindFormat(header_.format);
    if (impl_->format == nullptr)
        throw RunError(FileMessage(
            path, "unsupported format: " + header_.format + " (veilshadow reads " + ReadFormatLabels() + " files)"));
    const FileFormat &format = *impl_->format;
    if (spec.deep) throw RunError(FileMessage(path, "unsupported deep (multi-sample) image"));
    // One image a file: of a multi-part OpenEXR or a multi-page TIFF,
    // OpenImageIO would hand over the first alone, whichever the user meant.
    if (impl_->input->seek_subimage(1, 0))
        throw RunError(FileMessage(
            path, std::string("holds more than one image") +
                      (format.several_images != nullptr ? std::string(" (") + format.several_images + ")" : "") +
                      "; veilshadow reads one image a file (oiiotool FILE --subimage N -o IMAGE takes one out)"));
    // Back to the first image (`spec` is its header again); the failed
    // seek leaves a message that must not be taken for a read error.
    impl_->input->seek_subimage(0, 0);
    impl_->input->geterror();
    header_.sample = SampleTypeOf(path, spec);
    header_.layout = LayoutOf(path, spec);
    header_.channels = spec.nchannels;
    header_.rgba_names = spec.channelnames == std::vector<std::string>{"R", "G", "B", "A"};
    impl_->file_x = spec.x;
    impl_->file_y = spec.y;
    header_.data = Window{spec.x, spec.y, spec.width, spec.height};
    header_.display = spec.full_width > 0 && spec.full_height > 0
                          ? Window{spec.full_x, spec.full_y, spec.full_width, spec.full_height}
                          : header_.data;
    // A file of a format that holds no origin (PNG) sits at (0, 0): an
    // offset it records (a PNG's oFFs chunk) moves nothing, as veilshadow
    // writes such files at (0, 0) only (see WindowsAsWritten). One that
    // holds no display window is its own frame.
    if (format.origin == OriginHeld::kZero) header_.data = Window{0, 0, spec.width, spec.height};
    if (format.display == DisplayHeld::kNone) header_.display = header_.data;
    header_.associated = IsAssociated(alpha, format, spec);
    header_.compression = spec.get_string_attribute("compression");
    impl_->tiled = spec.tile_width > 0 && spec.tile_height > 0;
    if (impl_->tiled) impl_->strip_rows = (kStripRows + spec.tile_height - 1) / spec.tile_height * spec.tile_height;
    const OIIO::TypeDesc type = TypeDescOf(header_.sample);
    impl_->read_type = StoredAs(spec, type) ? OIIO::TypeDesc(OIIO::TypeDesc::UNKNOWN) : type;
    impl_->clear_before_read = format.clears_strip_buffer;
}

ImageReader::~ImageReader() = default;

std::uint64_t ImageReader::ScratchBytes() const {
    return std::uint64_t(header_.data.width) * std::uint64_t(std::min(header_.data.height, impl_->strip_rows)) *
           std::uint64_t(header_.channels) * TraitsOf(header_.sample).bytes;
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
    std::vector<unsigned char> &samples = ReadScratch(static_cast<std::size_t>(ScratchBytes()));
    const Window &data = header_.data;
    for (A_long first = 0; first < data.height; first += impl_->strip_rows) {
        const A_long rows = std::min(impl_->strip_rows, data.height - first);
        if (impl_->fast) {
            impl_->fast->ReadRows(first, rows, samples.data());
            DecodeStrip(samples.data(), header_, world, first, rows);
            continue;
        }
        OIIO::ImageInput &input = *impl_->input;
        const OIIO::TypeDesc type = impl_->read_type;
        if (impl_->clear_before_read)
            std::memset(
                samples.data(), 0,
                std::size_t(data.width) * std::size_t(rows) * header_.channels * TraitsOf(header_.sample).bytes);
        bool read_all = false;
        std::string error;
        {
            LibraryChatterSilenced quiet(impl_->format->chatters);
            const A_long x = impl_->file_x, y = impl_->file_y + first;
            read_all = impl_->tiled
                           ? input.read_tiles(0, 0, x, x + data.width, y, y + rows, 0, 1, 0, header_.channels, type,
                                              samples.data())
                           : input.read_scanlines(0, 0, y, y + rows, 0, 0, header_.channels, type, samples.data());
            // Some readers report a damaged part only as an error message
            // while the call itself succeeds (libtiff's short strips).
            error = input.geterror();
        }
        if (!read_all || !error.empty())
            throw RunError(
                FileMessage(header_.path, "cannot read its pixels (corrupt or cut short?): " + LibraryMessage(error)));
        DecodeStrip(samples.data(), header_, world, first, rows);
    }
}

std::uint64_t ImageReader::CodecBytes() const { return impl_->fast ? impl_->fast->HeldBytes() : 0; }

bool ImageReader::LooksWhole() {
    if (impl_->fast) return impl_->fast->LooksWhole();
    if (impl_->tiled) return false;
    if (impl_->format->ends_whole != nullptr) return impl_->format->ends_whole(header_.path);
    // Otherwise (TIFF) its last row decodes (one strip).
    const Window &data = header_.data;
    std::vector<unsigned char> row(static_cast<std::size_t>(data.width) * header_.channels *
                                   TraitsOf(header_.sample).bytes);
    const int last = impl_->file_y + data.height - 1;
    const bool read =
        impl_->input->read_scanlines(0, 0, last, last + 1, 0, 0, header_.channels, impl_->read_type, row.data());
    return read && impl_->input->geterror().empty();
}

bool IsWholeImage(const std::string &path, const OutputShape &shape) {
    std::error_code ec;
    if (!std::filesystem::is_regular_file(path, ec)) return false;
    const auto same = [](const Window &a, const Window &b) {
        return a.x == b.x && a.y == b.y && a.width == b.width && a.height == b.height;
    };
    try {
        ImageReader reader(path, AlphaMode::kAuto);
        const ImageHeader &header = reader.header();
        if (header.format != shape.format || header.sample != shape.sample || header.layout != ChannelLayout::kRGBA ||
            !header.rgba_names || !same(header.data, shape.data) || !same(header.display, shape.display))
            return false;
        return reader.LooksWhole();
    } catch (const RunError &) {
        return false;
    }
}

}  // namespace veilshadow
