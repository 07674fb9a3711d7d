// Fuzzes the Python module's array path without Python: element types as
// numpy describes them, shapes, strides of any sign and size, origins,
// opacities and thread counts go through the module's own checks; accepted
// arrays are laid out in a buffer of exactly the span the checks report,
// read into worlds and rendered through the real plug-in module.
//
// Checks, besides the sanitizers' own (which see any read outside the
// reported span):
//  - every check either accepts or throws the module's own error;
//  - an accepted opacity is PCT * 65536 rounded to nearest, halves up;
//  - a strided array reads as the same array packed;
//  - the render's output is the plain rules' result on the same worlds,
//    bit for bit but for the NaNs the kernels' contract leaves open.
#include <fuzzer/FuzzedDataProvider.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "ArrayImage.h"
#include "Errors.h"
#include "OptionValues.h"
#include "SampleCodec.h"
#include "lifecycle.h"

namespace {

using renderhost::World;
using veilshadow::ArrayDesc;
using veilshadow::ArrayImage;
using veilshadow::ArrayType;

// Pixels rendered at most, and the largest span laid out.
constexpr std::int64_t kMaxPixels = 64 * 64;
constexpr std::ptrdiff_t kMaxSpan = std::ptrdiff_t{1} << 20;

[[noreturn]] void Fail(const std::string &what) {
    std::fprintf(stderr, "array_fuzzer: %s\n", what.c_str());
    std::abort();
}

veilshadow::ArrayRenderer &Renderer() {
    static veilshadow::ArrayRenderer renderer(ORVANE_PLUGIN_PATH, 1);
    return renderer;
}

// A dtype as numpy could describe it, or any other.
void CheckDtype(FuzzedDataProvider &in) {
    veilshadow::DtypeDesc dtype;
    dtype.kind = in.PickValueInArray({'u', 'i', 'f', 'b', 'c', 'V', 'O'});
    dtype.itemsize = in.PickValueInArray<std::int64_t>({0, 1, 2, 4, 8, 16});
    dtype.byteorder = in.PickValueInArray({'=', '|', '<', '>'});
    dtype.name = "fuzzed";
    try {
        const ArrayType type = veilshadow::ArrayTypeOf("comp", dtype);
        if (veilshadow::ItemBytes(type) != static_cast<std::size_t>(dtype.itemsize) || dtype.byteorder == '>')
            Fail("a dtype taken as another");
    } catch (const veilshadow::ArrayTypeError &) {
    }
}

void CheckOpacity(FuzzedDataProvider &in) {
    const double percent =
        in.ConsumeBool() ? in.ConsumeFloatingPointInRange(-1.0, 101.0) : in.ConsumeFloatingPoint<double>();
    try {
        const PF_Fixed slider = veilshadow::OpacitySlider(percent);
        // The slider is the percentage written out in shortest decimal and
        // rounded as the program rounds that text, so a double just below
        // a rounding tie may round up: within half a step, plus a hair.
        const double scaled = percent * 65536.0;  // exact
        if (!(percent >= 0.0 && percent <= 100.0) || !(std::fabs(double(slider) - scaled) <= 0.5 + 1e-6))
            Fail("opacity " + std::to_string(percent) + " became slider " + std::to_string(slider));
    } catch (const veilshadow::UsageError &) {
        if (percent >= 0.0 && percent <= 100.0) Fail("opacity " + std::to_string(percent) + " refused");
    }
}

// An array of the given type: mostly image-shaped, packed or strided in
// the ways numpy views are, sometimes anything at all; its bytes are
// taken from the input.
struct FuzzedArray {
    ArrayDesc desc;
    veilshadow::Origin origin;
    std::vector<unsigned char> buffer;
};

FuzzedArray MakeArray(FuzzedDataProvider &in, ArrayType type) {
    FuzzedArray array;
    ArrayDesc &desc = array.desc;
    desc.type = type;
    const std::int64_t item = static_cast<std::int64_t>(veilshadow::ItemBytes(type));
    const bool wild = in.ConsumeIntegralInRange(0, 15) == 0;
    const std::size_t ndim = wild ? in.ConsumeIntegralInRange<std::size_t>(0, 4) : 3;
    for (std::size_t axis = 0; axis < ndim; ++axis) {
        const bool channels = axis == 2;
        desc.shape.push_back(wild ? in.ConsumeIntegralInRange<std::int64_t>(-1, std::int64_t{1} << 40)
                                  : in.ConsumeIntegralInRange<std::int64_t>(channels ? 1 : 0, channels ? 5 : 16));
    }
    // C order, then per axis: kept, reversed, spread out, zero, or anything.
    std::int64_t packed = item;
    desc.strides.assign(ndim, 0);
    for (std::size_t axis = ndim; axis-- > 0;) {
        desc.strides[axis] = packed;
        packed *= std::max<std::int64_t>(1, std::min<std::int64_t>(desc.shape[axis], 1 << 10));
    }
    for (std::int64_t &stride : desc.strides) {
        switch (in.ConsumeIntegralInRange(0, 7)) {
            case 0:
                stride = -stride;
                break;
            case 1:
                stride *= in.ConsumeIntegralInRange(2, 3);
                break;
            case 2:
                stride = 0;
                break;
            case 3:
                stride = in.ConsumeIntegral<std::int64_t>();
                break;
            default:
                break;
        }
    }
    const bool far = in.ConsumeIntegralInRange(0, 7) == 0;
    array.origin.x = far ? in.ConsumeIntegral<std::int64_t>() : in.ConsumeIntegralInRange(-20, 20);
    array.origin.y = far ? in.ConsumeIntegral<std::int64_t>() : in.ConsumeIntegralInRange(-20, 20);
    return array;
}

// Lays the bytes out in a buffer of exactly the span; false when too large.
bool LayOut(FuzzedDataProvider &in, FuzzedArray &array, ArrayImage &image) {
    const std::ptrdiff_t span = image.end_byte - image.first_byte;
    if (span <= 0 || span > kMaxSpan || std::int64_t{image.window.width} * image.window.height > kMaxPixels)
        return false;
    array.buffer = in.ConsumeBytes<unsigned char>(static_cast<std::size_t>(span));
    array.buffer.resize(static_cast<std::size_t>(span));
    image.data = array.buffer.data() - image.first_byte;
    return true;
}

// The same image packed, by plain indexing.
std::vector<unsigned char> Packed(const ArrayImage &image, ArrayImage &packed) {
    const std::size_t item = veilshadow::ItemBytes(image.type);
    std::vector<unsigned char> bytes(static_cast<std::size_t>(image.window.width) * image.window.height *
                                     image.channels * item);
    std::size_t at = 0;
    for (A_long y = 0; y < image.window.height; ++y)
        for (A_long x = 0; x < image.window.width; ++x)
            for (int c = 0; c < image.channels; ++c, at += item)
                std::memcpy(&bytes[at], image.data + y * image.row_step + x * image.pixel_step + c * image.channel_step,
                            item);
    packed = image;
    packed.data = bytes.data();
    packed.channel_step = static_cast<std::ptrdiff_t>(item);
    packed.pixel_step = packed.channel_step * image.channels;
    packed.row_step = packed.pixel_step * image.window.width;
    return bytes;
}

// Sample number `at` of packed float32 or float64 samples, as a double.
double FloatSample(const std::vector<unsigned char> &bytes, ArrayType type, std::size_t at) {
    if (type == ArrayType::kFloat64) {
        double v;
        std::memcpy(&v, &bytes[at * sizeof v], sizeof v);
        return v;
    }
    float v;
    std::memcpy(&v, &bytes[at * sizeof v], sizeof v);
    return v;
}

// Whether the render's packed samples are the plain rules'. Bit for bit,
// except what the kernels leave open: in the float depth, where the
// layer's colour channel is NaN and the recomposited shadow's is NaN too,
// the blend adds two NaNs, and which one comes out is up to the operand
// order the compiler picks for that addition (the reference and each
// vector path may differ). There both must be NaN.
bool SameAsRules(const std::vector<unsigned char> &out, const std::vector<unsigned char> &wanted, ArrayType type,
                 int channels, const World &input, const World &layer) {
    if (out == wanted) return true;
    if (type != ArrayType::kFloat32 && type != ArrayType::kFloat64) return false;
    const std::size_t item = veilshadow::ItemBytes(type);
    for (std::size_t at = 0; at < out.size() / item; ++at) {
        if (std::memcmp(&out[at * item], &wanted[at * item], item) == 0) continue;
        const int channel = int(at % std::size_t(channels));
        const A_long x = A_long(at / std::size_t(channels) % std::size_t(input.width()));
        const A_long y = A_long(at / std::size_t(channels) / std::size_t(input.width()));
        // Gray is the world's red; alpha is no colour.
        if (channel == veilshadow::AlphaIndex(channels)) return false;
        const int colour = channels < 3 ? 0 : channel;
        const long long lx = (long long)x + input.origin_x() - layer.origin_x();
        const long long ly = (long long)y + input.origin_y() - layer.origin_y();
        if (lx < 0 || ly < 0 || lx >= layer.width() || ly >= layer.height()) return false;
        const PF_PixelFloat &l = layer.At<PF_PixelFloat>(A_long(lx), A_long(ly));
        const float layer_colour = (&l.red)[colour];
        if (!(std::isnan(layer_colour) && std::isnan(FloatSample(out, type, at)) &&
              std::isnan(FloatSample(wanted, type, at))))
            return false;
    }
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    FuzzedDataProvider in(data, size);
    CheckDtype(in);
    CheckOpacity(in);
    try {
        veilshadow::CheckThreads(in.ConsumeIntegralInRange<std::int64_t>(-2, 1030));
    } catch (const veilshadow::UsageError &) {
    }

    constexpr ArrayType kTypes[] = {ArrayType::kUInt8, ArrayType::kUInt16, ArrayType::kFloat32, ArrayType::kFloat64};
    const ArrayType comp_type = in.PickValueInArray(kTypes);
    FuzzedArray comp = MakeArray(in, comp_type);
    FuzzedArray layer = MakeArray(in, in.ConsumeBool() ? comp_type : in.PickValueInArray(kTypes));
    const bool associated = in.ConsumeBool();
    const PF_Fixed slider = in.ConsumeIntegralInRange<PF_Fixed>(0, veilshadow::kMaxOpacitySlider);
    ArrayImage comp_image, layer_image;
    try {
        comp_image = veilshadow::CheckArrayImage("comp", comp.desc, comp.origin);
        layer_image = veilshadow::CheckArrayImage("layer", layer.desc, layer.origin);
    } catch (const veilshadow::UsageError &e) {
        const std::string message = e.what();
        if (message.rfind("comp", 0) != 0 && message.rfind("layer", 0) != 0)
            Fail("a refusal that names no argument: " + message);
        return 0;
    }
    if (!LayOut(in, comp, comp_image) || !LayOut(in, layer, layer_image)) return 0;

    const renderhost::Depth depth = veilshadow::WorldDepthOf(comp_type);
    World input = veilshadow::ToWorld(comp_image, depth, associated);
    World layer_world = veilshadow::ToWorld(layer_image, depth, associated);
    ArrayImage packed_image;
    const std::vector<unsigned char> packed = Packed(comp_image, packed_image);
    if (!reliability::SamePixels(veilshadow::ToWorld(packed_image, depth, associated), input))
        Fail("a strided array reads otherwise than packed");

    std::vector<unsigned char> out(packed.size());
    try {
        Renderer().Render(comp_image, layer_image, slider, associated, out.data());
    } catch (const std::exception &e) {
        Fail(std::string("the render failed: ") + e.what());
    }
    World expected(depth, input.width(), input.height(), input.origin_x(), input.origin_y());
    reliability::ComputeExpected(input, &layer_world, expected, slider);
    std::vector<unsigned char> wanted(out.size());
    veilshadow::FromWorld(expected, comp_type, comp_image.channels, associated, wanted.data());
    if (!SameAsRules(out, wanted, comp_type, comp_image.channels, input, layer_world))
        Fail("the output is not the plain rules' result");
    return 0;
}
