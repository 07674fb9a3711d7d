// Image files in: headers, and decoding a strip of rows at a time into
// worlds.
#include "AtomicFile.h"
#include "CodecThreads.h"
#include "Errors.h"
#include "FastCodec.h"
#include "Formats.h"
#include "GeneralCodec.h"
#include "HalfConversion.h"
#include "ImageIO.h"
#include "ImageIOCommon.h"
#include "SampleCodec.h"

#include <algorithm>
#include <atomic>
#include <exception>
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
        if constexpr (std::is_same_v<T, Imath::half> && std::is_same_v<Pixel, PF_PixelFloat>) {
            if (header.channels == 4) {
                HalfRgbaToPixels(in, header.associated, static_cast<std::size_t>(world.width()), world.Row<Pixel>(y));
                continue;
            }
        }
        if constexpr (std::is_same_v<T, std::uint8_t> && std::is_same_v<Pixel, PF_Pixel>) {
            if (header.channels == 4 && !header.associated) {
                DecodeRgba8Row(in, world.width(), world.Row<Pixel>(y));
                continue;
            }
        }
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

}  // namespace

struct ImageReader::Impl {
    // A fast codec's reader when one takes the file; the general codec's
    // otherwise.
    std::unique_ptr<CodecReader> codec;
};

ImageReader::ImageReader(const std::string &path, AlphaMode alpha) : impl_(std::make_unique<Impl>()) {
    namespace fs = std::filesystem;
    std::error_code ec;
    const fs::file_status status = fs::status(path, ec);
    if (!fs::exists(status)) throw RunError(FileMessage(path, "no such file"));
    if (fs::is_directory(status)) throw RunError(FileMessage(path, "is a folder, not an image file"));
    CheckRegularFile(path);  // a device or a FIFO would never end or would block

    impl_->codec = OpenFastReader(path, alpha, header_);
    if (!impl_->codec) impl_->codec = GeneralFor(path).open_reader(path, alpha, header_);
}

ImageReader::~ImageReader() = default;

std::uint64_t ImageReader::ScratchBytes() const {
    return std::uint64_t(header_.data.width) * std::uint64_t(std::min(header_.data.height, impl_->codec->StripRows())) *
           std::uint64_t(header_.channels) * TraitsOf(header_.sample).bytes;
}

World ImageReader::ReadWorld(Depth depth) {
    World world(depth, header_.data.width, header_.data.height, header_.data.x, header_.data.y, std::nullopt,
                static_cast<std::size_t>(InPlaceSpare(depth)));
    ReadInto(world);
    return world;
}

void ImageReader::ReadInto(World &world) {
    if (world.width() != header_.data.width || world.height() != header_.data.height ||
        world.origin_x() != header_.data.x || world.origin_y() != header_.data.y)
        throw std::logic_error("a world that is not the data window of " + header_.path);
    if (impl_->codec->ReadInPlace(world)) return;
    const std::size_t scratch = static_cast<std::size_t>(ScratchBytes());
    const A_long height = header_.data.height, strip_rows = impl_->codec->StripRows();
    const std::size_t strips = static_cast<std::size_t>((std::int64_t(height) + strip_rows - 1) / strip_rows);
    // Each strip is decoded in its thread's scratch, into its own rows.
    const auto read_strip = [&](std::size_t strip) {
        const A_long first = static_cast<A_long>(strip) * strip_rows;
        const A_long rows = std::min(strip_rows, height - first);
        std::vector<unsigned char> &samples = ReadScratch(scratch);
        impl_->codec->ReadRows(first, rows, samples.data());
        DecodeStrip(samples.data(), header_, world, first, rows);
    };
    if (!impl_->codec->StripsAtOnce()) {
        for (std::size_t strip = 0; strip < strips; ++strip) read_strip(strip);
        return;
    }
    // The error reported is the topmost damaged strip's, as reading strip
    // after strip reports it, whichever thread fails first; strips below a
    // damaged one are not read.
    std::vector<std::exception_ptr> errors(strips);
    std::atomic<std::size_t> first_bad{strips};
    ForEachBand(strips, [&](std::size_t strip) {
        if (strip > first_bad.load()) return;
        try {
            read_strip(strip);
        } catch (...) {
            errors[strip] = std::current_exception();
            std::size_t bad = first_bad.load();
            while (strip < bad && !first_bad.compare_exchange_weak(bad, strip)) {
            }
        }
    });
    if (first_bad.load() < strips) std::rethrow_exception(errors[first_bad.load()]);
}

std::uint64_t ImageReader::CodecBytes(Depth depth) const { return impl_->codec->HeldBytes(depth); }

bool ImageReader::CodecChecksItsMemory() const { return impl_->codec->ChecksItsMemory(); }

bool ImageReader::CodecKeepsItsBuffers() const { return impl_->codec->KeepsItsBuffers(); }

std::uint64_t ImageReader::InPlaceSpare(Depth depth) const { return impl_->codec->InPlaceSpare(depth); }

bool ImageReader::LooksWhole() { return impl_->codec->LooksWhole(); }

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
    } catch (const ModuleError &) {
        throw;  // not about the file: whether it is whole is not known
    } catch (const RunError &) {
        return false;
    }
}

}  // namespace veilshadow
