// Fuzzes the row kernels on random worlds: sizes, strides at or above a
// row, sources placed so that they clip the output anywhere (far-off
// offsets included), every bit pattern of pixel (NaN, infinities, negative
// and out-of-range floats, 16-bit values above 32768) and any opacity.
//
// Each input runs the reference kernel and the fast kernel on every code
// path this processor has, each on its own copy of the same pre-filled
// output. Checks, besides the sanitizers' own:
//  - every kernel returns 0;
//  - nothing is written outside the output rows: guard bytes before and
//    after the output and the padding between its rows keep their filling;
//  - the reference output follows the decision table: pixels it must leave
//    alone still hold the filling, pixels it must copy are copies;
//  - every fast path gives the reference output, bit for bit.
// The sources are allocated to their last pixel exactly, so any read
// outside them is caught by AddressSanitizer.
#include <fuzzer/FuzzedDataProvider.h>

#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <memory>
#include <string>
#include <tuple>
#include <type_traits>
#include <vector>

#include "PF_Host.h"
#include "VeilShadowKernelPaths.h"
#include "VeilShadowKernels.h"

namespace {

constexpr std::size_t kGuardBytes = 64;

[[noreturn]] void Fail(const std::string &what) {
    std::fprintf(stderr, "kernel_fuzzer: %s\n", what.c_str());
    std::abort();
}

// A source world whose memory ends exactly at its last pixel.
struct Source {
    std::unique_ptr<unsigned char[]> memory;
    PF_EffectWorld world{};
    orvane::SourceArea area{};
};

std::size_t ExactBytes(A_long width, A_long height, A_long rowbytes, std::size_t pixel) {
    if (width <= 0 || height <= 0) return 0;
    return std::size_t(rowbytes) * std::size_t(height - 1) + std::size_t(width) * pixel;
}

A_long Offset(FuzzedDataProvider &fdp) {
    switch (fdp.ConsumeIntegralInRange<int>(0, 7)) {
        case 0:  // anywhere, however far
            return fdp.ConsumeIntegral<A_long>();
        case 1:  // at the edge of 32-bit positions
            return fdp.ConsumeBool() ? INT_MAX - fdp.ConsumeIntegralInRange<A_long>(0, 80)
                                     : INT_MIN + fdp.ConsumeIntegralInRange<A_long>(0, 80);
        default:  // near the output, clipping it on some side
            return fdp.ConsumeIntegralInRange<A_long>(-90, 90);
    }
}

// One channel value; biased towards values the rules tell apart, with any
// bit pattern possible.
template <class Channel>
Channel ConsumeChannel(FuzzedDataProvider &fdp);

template <>
A_u_char ConsumeChannel<A_u_char>(FuzzedDataProvider &fdp) {
    return fdp.ConsumeIntegral<A_u_char>();
}

template <>
A_u_short ConsumeChannel<A_u_short>(FuzzedDataProvider &fdp) {
    const std::uint8_t pick = fdp.ConsumeIntegral<std::uint8_t>();
    if (pick < 32) return A_u_short(pick == 0 ? 0 : pick == 1 ? 32768 : 65535 - pick);  // ends of the range and beyond
    if (pick < 224) return A_u_short(fdp.ConsumeIntegralInRange<unsigned>(0, 32768));
    return fdp.ConsumeIntegral<A_u_short>();  // any bits, above 32768 half the time
}

template <>
float ConsumeChannel<float>(FuzzedDataProvider &fdp) {
    const std::uint8_t pick = fdp.ConsumeIntegral<std::uint8_t>();
    switch (pick) {
        case 0:
            return std::numeric_limits<float>::quiet_NaN();
        case 1:
            return -std::numeric_limits<float>::quiet_NaN();
        case 2:
            return std::numeric_limits<float>::infinity();
        case 3:
            return -std::numeric_limits<float>::infinity();
        case 4:
            return -0.0f;
        case 5:
            return std::numeric_limits<float>::denorm_min();
        case 6:
            return std::numeric_limits<float>::max();
        case 7:
            return 1.0f;
        case 8:
            return 0.0f;
        default:
            break;
    }
    if (pick < 200) return float(fdp.ConsumeIntegralInRange<int>(0, 1 << 16)) / float(1 << 16);  // 0..1
    if (pick < 230) return float(fdp.ConsumeIntegralInRange<int>(-(1 << 16), 3 << 16)) / float(1 << 16);
    std::uint32_t bits = fdp.ConsumeIntegral<std::uint32_t>();
    float value;
    std::memcpy(&value, &bits, sizeof value);
    return value;
}

template <class Pixel, class Channel>
void FillSource(FuzzedDataProvider &fdp, Source &s) {
    const std::size_t bytes = ExactBytes(s.world.width, s.world.height, s.world.rowbytes, sizeof(Pixel));
    s.memory.reset(new unsigned char[bytes]);
    // Padding between rows gets bytes too; the kernels must not use them.
    for (std::size_t i = 0; i + sizeof(Channel) <= bytes; i += sizeof(Channel)) {
        const Channel c = ConsumeChannel<Channel>(fdp);
        std::memcpy(s.memory.get() + i, &c, sizeof c);
    }
    s.world.data = s.memory.get();
}

template <class Pixel>
void MakeSource(FuzzedDataProvider &fdp, Source &s) {
    s.world.width = fdp.ConsumeIntegralInRange<A_long>(0, 72);
    s.world.height = fdp.ConsumeIntegralInRange<A_long>(0, 9);
    s.world.rowbytes = A_long((s.world.width + fdp.ConsumeIntegralInRange<A_long>(0, 5)) * A_long(sizeof(Pixel)));
    s.area = {Offset(fdp), Offset(fdp), s.world.width, s.world.height};
}

double ConsumeOpacity(FuzzedDataProvider &fdp) {
    constexpr double kSpecial[] = {0.0,
                                   0.000001,
                                   0.0000010000000000000002,
                                   0.000002,
                                   0.25,
                                   0.5,
                                   1.0,
                                   -0.5,
                                   1.5,
                                   1e300,
                                   std::numeric_limits<double>::quiet_NaN(),
                                   std::numeric_limits<double>::infinity(),
                                   -std::numeric_limits<double>::infinity()};
    const std::uint8_t pick = fdp.ConsumeIntegral<std::uint8_t>();
    if (pick < sizeof kSpecial / sizeof kSpecial[0]) return kSpecial[pick];
    if (pick < 200) return fdp.ConsumeProbability<double>();
    return fdp.ConsumeFloatingPoint<double>();
}

// An output, with guard bytes before and after, all filled with one byte.
struct Output {
    std::vector<unsigned char> memory;
    PF_EffectWorld world{};
};

Output MakeOutput(const PF_EffectWorld &shape, std::size_t pixel, unsigned char fill) {
    Output o;
    const A_long w = shape.width > 0 ? shape.width : 0;
    const std::size_t rows = std::size_t(shape.rowbytes) * std::size_t(shape.height - 1) + std::size_t(w) * pixel;
    o.memory.assign(kGuardBytes + rows + kGuardBytes, fill);
    o.world = shape;
    o.world.data = o.memory.data() + kGuardBytes;
    return o;
}

bool SamePixel(const void *a, const void *b, std::size_t pixel) { return std::memcmp(a, b, pixel) == 0; }

// The decision table, checked on the reference output.
template <class Pixel>
struct Rules;
template <>
struct Rules<PF_Pixel> {
    static PF_Pixel Load(const PF_Pixel &p) { return p; }
    static bool Visible(const PF_Pixel &p) { return p.alpha != 0; }
};
template <>
struct Rules<PF_Pixel16> {
    // Out-of-range 16-bit channels are limited to 32768 before use.
    static PF_Pixel16 Load(const PF_Pixel16 &p) {
        auto lim = [](A_u_short c) { return c > 32768 ? A_u_short(32768) : c; };
        return PF_Pixel16{lim(p.alpha), lim(p.red), lim(p.green), lim(p.blue)};
    }
    static bool Visible(const PF_Pixel16 &p) { return p.alpha != 0; }
};
template <>
struct Rules<PF_PixelFloat> {
    static PF_PixelFloat Load(const PF_PixelFloat &p) { return p; }
    static bool Visible(const PF_PixelFloat &p) { return p.alpha > 0.0f; }
};

template <class Pixel>
const Pixel *SourcePixel(const Source &s, A_long x, A_long y) {
    const long long sx = (long long)x + s.area.offset_x, sy = (long long)y + s.area.offset_y;
    if (sx < 0 || sx >= s.area.width || sy < 0 || sy >= s.area.height) return nullptr;
    const unsigned char *base = static_cast<const unsigned char *>(s.world.data);
    return reinterpret_cast<const Pixel *>(base + std::size_t(sy) * std::size_t(s.world.rowbytes)) + sx;
}

template <class Pixel>
void CheckDecisionTable(const Source &in, const Source &layer, const Output &out, double opacity, unsigned char fill) {
    using R = Rules<Pixel>;
    const bool zero_opacity = !(opacity > orvane::kOpacityEpsilon);
    Pixel untouched;
    std::memset(&untouched, fill, sizeof untouched);
    for (A_long y = 0; y < out.world.height; ++y) {
        const Pixel *row = reinterpret_cast<const Pixel *>(static_cast<const unsigned char *>(out.world.data) +
                                                           std::size_t(y) * std::size_t(out.world.rowbytes));
        for (A_long x = 0; x < out.world.width; ++x) {
            const Pixel *i = SourcePixel<Pixel>(in, x, y);
            const Pixel *l = SourcePixel<Pixel>(layer, x, y);
            const bool visible = l != nullptr && R::Visible(*l);
            const Pixel &o = row[x];
            auto where = [x, y] { return " at column " + std::to_string(x) + ", row " + std::to_string(y); };
            if (visible && zero_opacity) {
                const Pixel want = R::Load(*l);
                if (!SamePixel(&o, &want, sizeof o)) Fail("not a copy of the layer (opacity ~ 0)" + where());
            } else if (visible && i == nullptr) {
                if (!SamePixel(&o, &untouched, sizeof o)) Fail("written where the input is absent" + where());
            } else if (visible) {
                const Pixel ii = R::Load(*i), ll = R::Load(*l);
                if (!(ii.alpha > ll.alpha) && !SamePixel(&o, &ii, sizeof o))
                    Fail("not a copy of the input (input alpha not above the layer's)" + where());
            } else if (i != nullptr) {
                const Pixel want = R::Load(*i);
                if (!SamePixel(&o, &want, sizeof o)) Fail("not a copy of the input (layer not visible)" + where());
            } else if (!SamePixel(&o, &untouched, sizeof o)) {
                Fail("written where both sources are absent" + where());
            }
        }
    }
}

// The bytes of an output that no kernel may write: the guards and the
// padding after each row.
void CheckOutside(const Output &out, std::size_t pixel, unsigned char fill, const char *kernel) {
    const A_long w = out.world.width > 0 ? out.world.width : 0;
    const std::size_t row_bytes = std::size_t(w) * pixel;
    std::size_t pos = 0;
    const std::size_t end = out.memory.size();
    for (A_long y = 0; y <= out.world.height; ++y) {
        // From pos to the start of row y (or the end) nothing may change.
        const std::size_t row_start = y < out.world.height ? kGuardBytes + std::size_t(y) * out.world.rowbytes : end;
        for (; pos < row_start; ++pos)
            if (out.memory[pos] != fill)
                Fail(std::string(kernel) + " wrote outside the output rows, byte " + std::to_string(pos));
        pos = row_start + row_bytes;
    }
}

// The first pixel where two outputs differ, with the sources under it.
std::string Channels(const PF_Pixel &p) {
    return "(" + std::to_string(p.alpha) + ", " + std::to_string(p.red) + ", " + std::to_string(p.green) + ", " +
           std::to_string(p.blue) + ")";
}
std::string Channels(const PF_Pixel16 &p) {
    return "(" + std::to_string(p.alpha) + ", " + std::to_string(p.red) + ", " + std::to_string(p.green) + ", " +
           std::to_string(p.blue) + ")";
}
std::string Channels(const PF_PixelFloat &p) {
    // NaNs by their bits: kernels may differ in the payload they keep.
    auto one = [](float v) {
        char text[48];
        if (v != v) {
            std::uint32_t bits;
            std::memcpy(&bits, &v, sizeof bits);
            std::snprintf(text, sizeof text, "nan:%08x", unsigned(bits));
        } else {
            std::snprintf(text, sizeof text, "%a", double(v));
        }
        return std::string(text);
    };
    return "(" + one(p.alpha) + ", " + one(p.red) + ", " + one(p.green) + ", " + one(p.blue) + ")";
}

template <class Pixel>
std::string DescribeDifference(const Source &in, const Source &layer, const Output &a, const Output &b,
                               double opacity) {
    for (A_long y = 0; y < a.world.height; ++y)
        for (A_long x = 0; x < a.world.width; ++x) {
            const std::size_t at = kGuardBytes + std::size_t(y) * a.world.rowbytes + std::size_t(x) * sizeof(Pixel);
            if (std::memcmp(&a.memory[at], &b.memory[at], sizeof(Pixel)) == 0) continue;
            Pixel pa, pb;
            std::memcpy(&pa, &a.memory[at], sizeof pa);
            std::memcpy(&pb, &b.memory[at], sizeof pb);
            const Pixel *i = SourcePixel<Pixel>(in, x, y);
            const Pixel *l = SourcePixel<Pixel>(layer, x, y);
            char op[64];
            std::snprintf(op, sizeof op, "%a", opacity);
            return "column " + std::to_string(x) + ", row " + std::to_string(y) + ", opacity " + op + ", input " +
                   (i ? Channels(*i) : "absent") + ", layer " + (l ? Channels(*l) : "absent") + ": " + Channels(pa) +
                   " vs " + Channels(pb);
        }
    return "outside the pixels";
}

// Two outputs agree bit for bit, except that where both have a NaN they
// may carry different NaNs: when two NaN operands meet, which payload the
// result keeps depends on the order of the operands, which neither the
// language nor the vector code fixes.
template <class Pixel>
bool SameOutput(const Output &a, const Output &b) {
    if (a.memory == b.memory) return true;
    if constexpr (!std::is_same_v<Pixel, PF_PixelFloat>) {
        return false;
    } else {
        if (a.memory.size() != b.memory.size()) return false;
        for (std::size_t i = 0; i < a.memory.size(); i += sizeof(float)) {
            if (std::memcmp(&a.memory[i], &b.memory[i], sizeof(float)) == 0) continue;
            // Only whole channels of pixels can differ so; kGuardBytes and
            // every row stride are multiples of the channel size.
            float x, y;
            std::memcpy(&x, &a.memory[i], sizeof x);
            std::memcpy(&y, &b.memory[i], sizeof y);
            if (!(x != x && y != y)) return false;
        }
        return true;
    }
}

struct Kernel {
    std::string name;
    PF_IterateGenericFunc fn;
};

template <class Pixel>
std::vector<Kernel> KernelsFor() {
    std::vector<Kernel> kernels;
    if constexpr (sizeof(Pixel) == 4) {
        kernels.push_back({"CopyData8Reference", orvane::CopyData8Reference});
        kernels.push_back({"CopyData8", orvane::CopyData8});
    } else if constexpr (sizeof(Pixel) == 8) {
        kernels.push_back({"CopyData16Reference", orvane::CopyData16Reference});
        kernels.push_back({"CopyData16", orvane::CopyData16});
    } else {
        kernels.push_back({"CopyData32Reference", orvane::CopyData32Reference});
        kernels.push_back({"CopyData32", orvane::CopyData32});
    }
    using orvane::KernelPath;
    using orvane::OutputWrites;
    constexpr OutputWrites kCached = OutputWrites::kCached, kStreaming = OutputWrites::kStreaming;
    const std::tuple<KernelPath, const char *, PF_IterateGenericFunc> paths[] = {
        {KernelPath::kScalar, "", orvane::CopyDataOn<Pixel, KernelPath::kScalar, kCached>},
        {KernelPath::kSse2, "", orvane::CopyDataOn<Pixel, KernelPath::kSse2, kCached>},
        {KernelPath::kSse2, " streaming", orvane::CopyDataOn<Pixel, KernelPath::kSse2, kStreaming>},
        {KernelPath::kAvx2, "", orvane::CopyDataOn<Pixel, KernelPath::kAvx2, kCached>},
        {KernelPath::kAvx2, " streaming", orvane::CopyDataOn<Pixel, KernelPath::kAvx2, kStreaming>},
    };
    for (const auto &[path, writes, fn] : paths)
        if (orvane::KernelPathAvailable(path))
            kernels.push_back({std::string("path ") + orvane::KernelPathName(path) + writes, fn});
    return kernels;
}

template <class Pixel, class Channel>
void RunOne(FuzzedDataProvider &fdp) {
    constexpr std::size_t kPixel = sizeof(Pixel);
    PF_EffectWorld shape{};
    shape.width = fdp.ConsumeIntegralInRange<A_long>(-3, 80);
    shape.height = fdp.ConsumeIntegralInRange<A_long>(1, 6);
    shape.rowbytes =
        A_long(((shape.width > 0 ? shape.width : 0) + fdp.ConsumeIntegralInRange<A_long>(0, 5)) * A_long(kPixel));
    Source input, layer;
    MakeSource<Pixel>(fdp, input);
    MakeSource<Pixel>(fdp, layer);
    const double opacity = ConsumeOpacity(fdp);
    const unsigned char fill = fdp.ConsumeIntegral<unsigned char>();
    FillSource<Pixel, Channel>(fdp, input);
    FillSource<Pixel, Channel>(fdp, layer);

    const std::vector<Kernel> kernels = KernelsFor<Pixel>();
    std::vector<Output> outputs;
    for (const Kernel &k : kernels) {
        outputs.push_back(MakeOutput(shape, kPixel, fill));
        Output &out = outputs.back();
        orvane::CopyDataInfo info{&input.world, input.area, &layer.world, layer.area, &out.world, opacity};
        for (A_long y = 0; y < shape.height; ++y) {
            const PF_Err err = k.fn(&info, 0, y, shape.height);
            if (err != PF_Err_NONE) Fail(k.name + " returned " + std::to_string(err));
        }
        CheckOutside(out, kPixel, fill, k.name.c_str());
    }
    CheckDecisionTable<Pixel>(input, layer, outputs[0], opacity, fill);
    for (std::size_t k = 1; k < kernels.size(); ++k)
        if (!SameOutput<Pixel>(outputs[k], outputs[0]))
            Fail(kernels[k].name + " differs from " + kernels[0].name + ": " +
                 DescribeDifference<Pixel>(input, layer, outputs[0], outputs[k], opacity));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    FuzzedDataProvider fdp(data, size);
    switch (fdp.ConsumeIntegralInRange<int>(0, 2)) {
        case 0:
            RunOne<PF_Pixel, A_u_char>(fdp);
            break;
        case 1:
            RunOne<PF_Pixel16, A_u_short>(fdp);
            break;
        default:
            RunOne<PF_PixelFloat, float>(fdp);
            break;
    }
    return 0;
}
