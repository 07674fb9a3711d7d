// The general codec's reading: OpenImageIO's input for any file no fast
// codec takes, strip after strip.
#include "GeneralCodecs.h"

#include "Console.h"
#include "Errors.h"
#include "Formats.h"
#include "ImageIOCommon.h"
#include "OiioSampleTypes.h"

#include <OpenImageIO/imageio.h>

#include <algorithm>
#include <cstring>
#include <vector>

namespace veilshadow {
namespace {

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

bool StoredAs(const OIIO::ImageSpec &spec, OIIO::TypeDesc type) {
    if (spec.channelformats.empty()) return spec.format == type;
    return std::all_of(spec.channelformats.begin(), spec.channelformats.end(),
                       [type](OIIO::TypeDesc channel) { return channel == type; });
}

// A library's message that an allocation failed (OpenEXR's std::bad_alloc,
// libtiff's "No space for ..."), so that a file is not blamed for it.
bool SaysOutOfMemory(const std::string &message) {
    for (const char *sign : {"bad_alloc", "No space for", "Cannot allocate memory", "ut of memory"})
        if (message.find(sign) != std::string::npos) return true;
    return false;
}

// "not enough memory to read it (MESSAGE)" for a failed allocation, else
// `what` and the message.
std::string ReadFailure(const std::string &what, const std::string &message) {
    return SaysOutOfMemory(message) ? "not enough memory to read it (" + message + ")" : what + message;
}

class OiioReader final : public CodecReader {
public:
    OiioReader(const std::string &path, AlphaMode alpha, ImageHeader &header);
    void ReadRows(A_long first, A_long rows, unsigned char *samples) override;
    bool LooksWhole() override;
    A_long StripRows() const override { return strip_rows_; }
    // The strip of samples it decodes into, OpenImageIO's own copy of it
    // when the type asked is not the file's, and the library's buffers.
    std::uint64_t HeldBytes(renderhost::Depth) const override {
        const std::uint64_t strip = std::uint64_t(header_.data.width) *
                                    std::uint64_t(std::min(strip_rows_, header_.data.height)) *
                                    std::uint64_t(header_.channels) * TraitsOf(header_.sample).bytes;
        return (read_type_ == OIIO::TypeDesc::UNKNOWN ? strip : 2 * strip) + library_bytes_;
    }
    // The library takes its buffers anew for every file and lets them go
    // as it closes: they are checked with every file.
    bool KeepsItsBuffers() const override { return false; }

private:
    const ImageHeader &header_;
    std::unique_ptr<OIIO::ImageInput> input_;
    const FileFormat *format_ = nullptr;
    // Rows decoded at a time: kStripRows, or whole rows of tiles in a tiled
    // file (read tile by tile: OpenImageIO's scanline reading of tiled
    // files fails on some of them).
    A_long strip_rows_ = kStripRows;
    bool tiled_ = false;
    // The sample type asked of OpenImageIO: its "native" one when every
    // channel of the file is stored in the type read. Named explicitly,
    // even as the file's own type, OpenImageIO decodes each call's rows
    // into a buffer it allocates (fresh pages every call) and copies them
    // over, which costs as much as the decoding itself.
    OIIO::TypeDesc read_type_ = OIIO::TypeDesc::UNKNOWN;
    // Some readers can leave a byte of a damaged strip unwritten and report
    // no error (libtiff, seen with the floating-point predictor). Decoded
    // straight into the reader's reused scratch buffer, that byte would be
    // whatever the last strip or frame left there, so the same file would
    // read differently from run to run. The buffer is cleared before each
    // strip of such a format instead.
    bool clear_before_read_ = false;
    // Where OpenImageIO places the data window: the header's, but for a
    // format whose files veilshadow places at (0, 0) (PNG), the offset the
    // file records (a PNG's oFFs chunk).
    A_long file_x_ = 0, file_y_ = 0;
    // What the library holds to decode the file beyond the strip: a tiled
    // file's row of tiles, decoded and packed, three times over for
    // OpenEXR and twice for TIFF (a UHD float file of one tile took 3.1
    // and 1.6 images more than a scanline one); a TIFF's strip as stored
    // (read whole before its rows are decoded: one strip of a UHD float
    // image took 100 MB); a PNG it takes (interlaced, a palette, few
    // bits), read whole at once. OpenEXR's scanline chunks are a few rows.
    std::uint64_t library_bytes_ = 0;
};

OiioReader::OiioReader(const std::string &path, AlphaMode alpha, ImageHeader &header) : header_(header) {
    OIIO::ImageSpec config;
    config.attribute("oiio:UnassociatedAlpha", 1);
    {
        LibraryChatterSilenced quiet;
        input_ = OIIO::ImageInput::open(path, &config);
    }
    if (!input_) throw RunError(FileMessage(path, ReadFailure("cannot read it as an image: ", TakeGlobalError())));
    const OIIO::ImageSpec &spec = input_->spec();

    header.path = path;
    header.format = input_->format_name();
    format_ = FindFormat(header.format);
    if (format_ == nullptr)
        throw RunError(FileMessage(
            path, "unsupported format: " + header.format + " (veilshadow reads " + ReadFormatLabels() + " files)"));
    const FileFormat &format = *format_;
    if (spec.deep) throw RunError(FileMessage(path, "unsupported deep (multi-sample) image"));
    // One image a file: of a multi-part OpenEXR or a multi-page TIFF,
    // OpenImageIO would hand over the first alone, whichever the user meant.
    if (input_->seek_subimage(1, 0))
        throw RunError(FileMessage(
            path, std::string("holds more than one image") +
                      (format.several_images != nullptr ? std::string(" (") + format.several_images + ")" : "") +
                      "; veilshadow reads one image a file (oiiotool FILE --subimage N -o IMAGE takes one out)"));
    // Back to the first image (`spec` is its header again); the failed
    // seek leaves a message that must not be taken for a read error.
    input_->seek_subimage(0, 0);
    input_->geterror();
    header.sample = SampleTypeOf(path, spec);
    header.layout = LayoutOf(path, spec);
    header.channels = spec.nchannels;
    header.rgba_names = spec.channelnames == std::vector<std::string>{"R", "G", "B", "A"};
    file_x_ = spec.x;
    file_y_ = spec.y;
    header.data = Window{spec.x, spec.y, spec.width, spec.height};
    header.display = spec.full_width > 0 && spec.full_height > 0
                         ? Window{spec.full_x, spec.full_y, spec.full_width, spec.full_height}
                         : header.data;
    // A file of a format that holds no origin (PNG) sits at (0, 0): an
    // offset it records (a PNG's oFFs chunk) moves nothing, as veilshadow
    // writes such files at (0, 0) only (see WindowsAsWritten). One that
    // holds no display window is its own frame.
    if (format.origin == OriginHeld::kZero) header.data = Window{0, 0, spec.width, spec.height};
    if (format.display == DisplayHeld::kNone) header.display = header.data;
    header.associated = IsAssociated(alpha, format, spec);
    header.compression = spec.get_string_attribute("compression");
    tiled_ = spec.tile_width > 0 && spec.tile_height > 0;
    // Checked again as the library read the header (OpenEXR's own reader
    // does before the library sees it, where it can).
    if (tiled_)
        RefuseHugeTiles(path, std::uint64_t(spec.tile_width), std::uint64_t(spec.tile_height),
                        std::uint64_t(std::max(spec.width, 0)), std::uint64_t(std::max(spec.height, 0)),
                        spec.pixel_bytes(true));
    if (tiled_) strip_rows_ = (kStripRows + spec.tile_height - 1) / spec.tile_height * spec.tile_height;
    const std::uint64_t pixel_bytes = spec.pixel_bytes(true);
    if (tiled_) {
        const std::uint64_t tiles_across = (std::uint64_t(spec.width) + spec.tile_width - 1) / spec.tile_width;
        const std::uint64_t copies = header.format == "openexr" ? 3 : 2;
        library_bytes_ =
            copies * tiles_across * std::uint64_t(spec.tile_width) * std::uint64_t(strip_rows_) * pixel_bytes;
    } else if (header.format == "png") {
        library_bytes_ = std::uint64_t(spec.width) * std::uint64_t(spec.height) * pixel_bytes;
    } else if (header.format == "tiff") {
        const int strip_rows = std::min(spec.get_int_attribute("tiff:RowsPerStrip", 0), spec.height);
        library_bytes_ = std::uint64_t(std::max(strip_rows, 0)) * std::uint64_t(spec.width) * pixel_bytes;
    }
    const OIIO::TypeDesc type = TypeDescOf(header.sample);
    read_type_ = StoredAs(spec, type) ? OIIO::TypeDesc(OIIO::TypeDesc::UNKNOWN) : type;
    clear_before_read_ = format.clears_strip_buffer;
}

void OiioReader::ReadRows(A_long first, A_long rows, unsigned char *samples) {
    const Window &data = header_.data;
    if (clear_before_read_)
        std::memset(samples, 0,
                    std::size_t(data.width) * std::size_t(rows) * header_.channels * TraitsOf(header_.sample).bytes);
    bool read_all = false;
    std::string error;
    {
        LibraryChatterSilenced quiet(format_->chatters);
        const A_long x = file_x_, y = file_y_ + first;
        read_all = tiled_ ? input_->read_tiles(0, 0, x, x + data.width, y, y + rows, 0, 1, 0, header_.channels,
                                               read_type_, samples)
                          : input_->read_scanlines(0, 0, y, y + rows, 0, 0, header_.channels, read_type_, samples);
        // Some readers report a damaged part only as an error message
        // while the call itself succeeds (libtiff's short strips).
        error = input_->geterror();
    }
    if (!read_all || !error.empty())
        throw RunError(FileMessage(
            header_.path, ReadFailure("cannot read its pixels (corrupt or cut short?): ", LibraryMessage(error))));
}

bool OiioReader::LooksWhole() {
    if (tiled_) return false;
    if (format_->ends_whole != nullptr) return format_->ends_whole(header_.path);
    // Otherwise (TIFF) its last row decodes (one strip).
    const Window &data = header_.data;
    std::vector<unsigned char> row(static_cast<std::size_t>(data.width) * header_.channels *
                                   TraitsOf(header_.sample).bytes);
    const int last = file_y_ + data.height - 1;
    const bool read = input_->read_scanlines(0, 0, last, last + 1, 0, 0, header_.channels, read_type_, row.data());
    return read && input_->geterror().empty();
}

}  // namespace

std::unique_ptr<CodecReader> OpenGeneralReader(const std::string &path, AlphaMode alpha, ImageHeader &header) {
    return std::make_unique<OiioReader>(path, alpha, header);
}

}  // namespace veilshadow
