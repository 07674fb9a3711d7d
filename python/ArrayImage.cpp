#include "ArrayImage.h"

#include "Errors.h"
#include "JobOptions.h"
#include "OptionValues.h"
#include "SampleCodec.h"
#include "SampleTypes.h"

#include <dlfcn.h>
#include <charconv>
#include <filesystem>
#include <limits>
#include <mutex>
#include <optional>

namespace veilshadow {
namespace {

using renderhost::Depth;
using renderhost::World;

constexpr std::int64_t kMinCoordinate = std::numeric_limits<A_long>::min();
constexpr std::int64_t kMaxCoordinate = std::numeric_limits<A_long>::max();

std::string ShapeText(const std::vector<std::int64_t> &shape) {
    std::string text = "(";
    for (std::size_t i = 0; i < shape.size(); ++i) text += (i > 0 ? ", " : "") + std::to_string(shape[i]);
    return text + (shape.size() == 1 ? ",)" : ")");
}

// The render host dispatches one host at a time in a process.
std::mutex &HostTurn() {
    static std::mutex turn;
    return turn;
}

template <class Stored, class Pixel>
void DecodeImage(const ArrayImage &image, bool associated, World &world) {
    const SampleSteps steps{image.pixel_step, image.channel_step};
    for (A_long y = 0; y < world.height(); ++y)
        DecodeRow<Stored>(image.data + y * image.row_step, steps, image.channels, associated, world.width(),
                          world.Row<Pixel>(y));
}

template <class Pixel>
void DecodeImageAs(const ArrayImage &image, bool associated, World &world) {
    switch (image.type) {
        case ArrayType::kUInt8:
            return DecodeImage<std::uint8_t, Pixel>(image, associated, world);
        case ArrayType::kUInt16:
            return DecodeImage<std::uint16_t, Pixel>(image, associated, world);
        case ArrayType::kFloat32:
            return DecodeImage<float, Pixel>(image, associated, world);
        case ArrayType::kFloat64:
            return DecodeImage<double, Pixel>(image, associated, world);
        case ArrayType::kFloat16:
            break;
    }
    throw std::logic_error("float16 samples must be widened to float32 first");
}

template <class Pixel, class Stored>
void EncodeImage(const World &world, int channels, bool associated, unsigned char *out) {
    const SampleSteps steps = PackedSteps<Stored>(channels);
    const std::size_t row_bytes = static_cast<std::size_t>(world.width()) * static_cast<std::size_t>(steps.pixel);
    for (A_long y = 0; y < world.height(); ++y)
        EncodeRow<Pixel, Stored>(world.Row<Pixel>(y), world.width(), channels, associated,
                                 out + static_cast<std::size_t>(y) * row_bytes, steps);
}

// The table's sample type of an element type; none for float64.
std::optional<SampleType> SampleTypeOf(ArrayType type) {
    switch (type) {
        case ArrayType::kUInt8:
            return SampleType::kUInt8;
        case ArrayType::kUInt16:
            return SampleType::kUInt16;
        case ArrayType::kFloat16:
            return SampleType::kHalf;
        case ArrayType::kFloat32:
            return SampleType::kFloat;
        case ArrayType::kFloat64:
            break;
    }
    return std::nullopt;
}

}  // namespace

ArrayType ArrayTypeOf(const std::string &name, const DtypeDesc &dtype) {
    constexpr char kNative = __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__ ? '<' : '>';
    const bool native = dtype.byteorder == '=' || dtype.byteorder == '|' || dtype.byteorder == kNative;
    if (native && dtype.kind == 'u' && dtype.itemsize == 1) return ArrayType::kUInt8;
    if (native && dtype.kind == 'u' && dtype.itemsize == 2) return ArrayType::kUInt16;
    if (native && dtype.kind == 'f' && dtype.itemsize == 2) return ArrayType::kFloat16;
    if (native && dtype.kind == 'f' && dtype.itemsize == 4) return ArrayType::kFloat32;
    if (native && dtype.kind == 'f' && dtype.itemsize == 8) return ArrayType::kFloat64;
    throw ArrayTypeError(FileMessage(name, "unsupported dtype " + dtype.name +
                                               " (veilshadow reads uint8, uint16, float16, float32 and float64, "
                                               "in the machine's byte order)"));
}

std::size_t ItemBytes(ArrayType type) {
    const std::optional<SampleType> sample = SampleTypeOf(type);
    return sample ? TraitsOf(*sample).bytes : sizeof(double);
}

Depth WorldDepthOf(ArrayType type) { return WorldDepthOf(SampleTypeOf(type).value_or(SampleType::kFloat)); }

ArrayImage CheckArrayImage(const std::string &name, const ArrayDesc &desc, Origin origin) {
    const std::vector<std::int64_t> &shape = desc.shape;
    bool image_shaped = shape.size() == 3 && desc.strides.size() == 3;
    for (const std::int64_t n : shape) image_shaped = image_shaped && n >= 0;
    if (!image_shaped)
        throw UsageError(
            FileMessage(name, "expected an array shaped (height, width, channels), got shape " + ShapeText(shape)));
    const std::int64_t height = shape[0], width = shape[1], channels = shape[2];
    if (channels < 1 || channels > 4)
        throw UsageError(FileMessage(name, "unsupported channels: found " + std::to_string(channels) +
                                               "; veilshadow reads gray, gray+alpha, RGB and RGBA"));
    if (origin.x < kMinCoordinate || origin.x > kMaxCoordinate || origin.y < kMinCoordinate ||
        origin.y > kMaxCoordinate)
        throw OriginBeyondCoordinates(name, std::to_string(origin.x), std::to_string(origin.y));
    if (height > kMaxCoordinate || width > kMaxCoordinate)
        throw UsageError(FileMessage(name, std::to_string(width) + " x " + std::to_string(height) +
                                               " pixels do not fit the host's 32-bit pixel addressing"));

    ArrayImage image;
    image.type = desc.type;
    image.window = Window{static_cast<A_long>(origin.x), static_cast<A_long>(origin.y), static_cast<A_long>(width),
                          static_cast<A_long>(height)};
    try {
        CheckWorldFits(name, image.window, WorldDepthOf(desc.type));
    } catch (const RunError &e) {
        throw UsageError(e.what());
    }

    // The span of the samples: each axis reaches (n - 1) * stride from the
    // first sample, forwards or backwards. Computed wide, so strides that
    // no real array has cannot overflow.
    __int128 first = 0, end = static_cast<__int128>(ItemBytes(desc.type));
    for (int axis = 0; axis < 3; ++axis) {
        const __int128 reach = static_cast<__int128>(shape[axis] - 1) * desc.strides[axis];
        (reach < 0 ? first : end) += reach;
    }
    constexpr __int128 kMaxSpan = std::numeric_limits<std::ptrdiff_t>::max() / 2;
    if (first < -kMaxSpan || end > kMaxSpan)
        throw UsageError(FileMessage(name, "its strides reach beyond addressable memory"));
    image.data = static_cast<const unsigned char *>(desc.data);
    image.channels = static_cast<int>(channels);
    image.row_step = static_cast<std::ptrdiff_t>(desc.strides[0]);
    image.pixel_step = static_cast<std::ptrdiff_t>(desc.strides[1]);
    image.channel_step = static_cast<std::ptrdiff_t>(desc.strides[2]);
    image.first_byte = static_cast<std::ptrdiff_t>(first);
    image.end_byte = static_cast<std::ptrdiff_t>(end);
    return image;
}

UsageError OriginBeyondCoordinates(const std::string &name, const std::string &x, const std::string &y) {
    return UsageError(name + "_origin (" + x + ", " + y + "): beyond the host's 32-bit coordinates");
}

World ToWorld(const ArrayImage &image, Depth depth, bool associated) {
    World world(depth, image.window.width, image.window.height, image.window.x, image.window.y);
    switch (depth) {
        case Depth::k8:
            DecodeImageAs<PF_Pixel>(image, associated, world);
            break;
        case Depth::k16:
            DecodeImageAs<PF_Pixel16>(image, associated, world);
            break;
        case Depth::k32:
            DecodeImageAs<PF_PixelFloat>(image, associated, world);
            break;
    }
    return world;
}

void FromWorld(const World &world, ArrayType type, int channels, bool associated, unsigned char *out) {
    switch (type) {
        case ArrayType::kUInt8:
            return EncodeImage<PF_Pixel, std::uint8_t>(world, channels, associated, out);
        case ArrayType::kUInt16:
            return EncodeImage<PF_Pixel16, std::uint16_t>(world, channels, associated, out);
        case ArrayType::kFloat32:
            return EncodeImage<PF_PixelFloat, float>(world, channels, associated, out);
        case ArrayType::kFloat64:
            return EncodeImage<PF_PixelFloat, double>(world, channels, associated, out);
        case ArrayType::kFloat16:
            break;
    }
    throw std::logic_error("float16 samples are narrowed from float32 afterwards");
}

PF_Fixed OpacitySlider(double percent) {
    // The shortest decimal that reads back as `percent`, in plain notation,
    // parsed as the program parses --opacity: 12.5 here is --opacity 12.5.
    char text[512];  // the longest such decimal, 5e-324's, takes 326
    const std::to_chars_result written =
        std::to_chars(text, text + sizeof text, percent == 0.0 ? 0.0 : percent, std::chars_format::fixed);
    return OpacitySlider(std::string(text, written.ec == std::errc() ? written.ptr : text));
}

PF_Fixed OpacitySlider(const std::string &decimal) {
    try {
        return ParseOpacity(decimal);
    } catch (const UsageError &e) {
        // "--opacity ...": the keyword argument has no dashes.
        const std::string message = e.what();
        throw UsageError(message.rfind("--", 0) == 0 ? message.substr(2) : message);
    }
}

bool ParseAssociated(const std::string &alpha) {
    if (alpha == "straight") return false;
    if (alpha == "associated") return true;
    throw UsageError("alpha \"" + alpha + "\": expected straight or associated");
}

int CheckThreads(std::int64_t threads) {
    const JobOption &option = FindJobOption("threads");
    if (threads < option.min || threads > option.max) throw ThreadsOutOfRange(std::to_string(threads));
    return static_cast<int>(threads);
}

UsageError ThreadsOutOfRange(const std::string &threads) {
    const JobOption &option = FindJobOption("threads");
    return UsageError(option.long_name + std::string(": ") + OutOfRangeMessage(option, threads));
}

std::string DefaultPluginOfThisModule() {
    Dl_info info{};
    if (dladdr(reinterpret_cast<const void *>(&DefaultPluginOfThisModule), &info) == 0 || info.dli_fname == nullptr)
        return DefaultPluginPath();
    std::error_code ec;
    return PluginModuleFrom(std::filesystem::absolute(info.dli_fname, ec).parent_path(), VEILSHADOW_PLUGIN_FROM_PYTHON);
}

ArrayRenderer::ArrayRenderer(const std::string &plugin_path, int threads) : plugin_path_(plugin_path) {
    std::lock_guard<std::mutex> turn(HostTurn());
    renderer_ = std::make_unique<Renderer>(plugin_path, threads);
    plugin_version_ = renderer_->plugin_version();
}

ArrayRenderer::~ArrayRenderer() {
    std::lock_guard<std::mutex> turn(HostTurn());
    renderer_.reset();  // sends the setdown when Close has not
}

bool ArrayRenderer::closed() const {
    std::lock_guard<std::mutex> turn(HostTurn());
    return renderer_ == nullptr;
}

void ArrayRenderer::Close() {
    std::lock_guard<std::mutex> turn(HostTurn());
    const std::unique_ptr<Renderer> renderer = std::move(renderer_);
    if (renderer != nullptr) renderer->Finish();
}

void ArrayRenderer::Render(const ArrayImage &comp, const ArrayImage &layer, PF_Fixed slider, bool associated,
                           unsigned char *out) {
    const char *const kClosed = "the Renderer is closed";
    if (closed()) throw UsageError(kClosed);
    const Depth depth = WorldDepthOf(comp.type);
    World input = ToWorld(comp, depth, associated);
    World layer_world = ToWorld(layer, depth, associated);
    World output(depth, input.width(), input.height(), input.origin_x(), input.origin_y());
    FrameWorlds frame;
    frame.input = &input;
    frame.layer = &layer_world;
    frame.output = &output;
    frame.slider = slider;
    frame.ref_width = layer.window.width;
    frame.ref_height = layer.window.height;
    {
        std::lock_guard<std::mutex> turn(HostTurn());
        if (renderer_ == nullptr) throw UsageError(kClosed);
        renderer_->Render(frame, "comp");
    }
    FromWorld(output, comp.type, comp.channels, associated, out);
}

}  // namespace veilshadow
