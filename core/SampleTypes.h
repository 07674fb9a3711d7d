// The sample types veilshadow reads and writes, in one table: each one's
// size, names, the world depth it runs as and the C++ type its samples are
// held in. Free of OpenImageIO: the program's files (with OpenImageIO's
// names for the types in cli/files/OiioSampleTypes.h) and the Python
// module's arrays both read it. Code that works on samples of any type is
// written once as a template and called through VisitSample; code that
// works on pixels of any depth through VisitPixel.
#ifndef VEILSHADOW_SAMPLETYPES_H
#define VEILSHADOW_SAMPLETYPES_H

#include <Imath/half.h>
#include <RenderHost/World.h>

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

namespace veilshadow {

enum class SampleType { kUInt8, kUInt16, kHalf, kFloat };

struct SampleTraits {
    SampleType sample;
    std::size_t bytes;        // of one sample
    const char *name;         // for messages: "8-bit", "16-bit", "half float", "float"
    const char *option_name;  // -d's: uint8, uint16, half, float
    renderhost::Depth depth;  // the world depth samples of this type run as
};

// In SampleType's order.
inline constexpr SampleTraits kSampleTraits[] = {
    {SampleType::kUInt8, 1, "8-bit", "uint8", renderhost::Depth::k8},
    {SampleType::kUInt16, 2, "16-bit", "uint16", renderhost::Depth::k16},
    {SampleType::kHalf, 2, "half float", "half", renderhost::Depth::k32},
    {SampleType::kFloat, 4, "float", "float", renderhost::Depth::k32},
};
inline constexpr int kSampleTypeCount = sizeof(kSampleTraits) / sizeof(kSampleTraits[0]);

constexpr const SampleTraits &TraitsOf(SampleType sample) { return kSampleTraits[static_cast<int>(sample)]; }

// A type, passed as a value to a generic lambda.
template <class T>
struct TypeTag {
    using type = T;
};

// Calls f(TypeTag<T>{}) with the C++ type T of the sample type's samples:
// std::uint8_t, std::uint16_t, Imath::half or float.
template <class F>
constexpr decltype(auto) VisitSample(SampleType sample, F &&f) {
    switch (sample) {
        case SampleType::kUInt8:
            return f(TypeTag<std::uint8_t>{});
        case SampleType::kUInt16:
            return f(TypeTag<std::uint16_t>{});
        case SampleType::kHalf:
            return f(TypeTag<Imath::half>{});
        case SampleType::kFloat:
            break;
    }
    return f(TypeTag<float>{});
}

// Calls f(TypeTag<Pixel>{}) with the pixel type of a world of that depth:
// PF_Pixel, PF_Pixel16 or PF_PixelFloat.
template <class F>
constexpr decltype(auto) VisitPixel(renderhost::Depth depth, F &&f) {
    switch (depth) {
        case renderhost::Depth::k8:
            return f(TypeTag<PF_Pixel>{});
        case renderhost::Depth::k16:
            return f(TypeTag<PF_Pixel16>{});
        case renderhost::Depth::k32:
            break;
    }
    return f(TypeTag<PF_PixelFloat>{});
}

// The table and the types agree: each row in its place, of the C++ type's
// size.
constexpr bool TraitsMatchSizes() {
    for (int i = 0; i < kSampleTypeCount; ++i) {
        const SampleTraits &row = kSampleTraits[i];
        const std::size_t size = VisitSample(row.sample, [](auto tag) { return sizeof(typename decltype(tag)::type); });
        if (static_cast<int>(row.sample) != i || row.bytes != size) return false;
    }
    return true;
}
static_assert(TraitsMatchSizes(), "kSampleTraits is in SampleType's order and matches VisitSample's types");

// "8-bit", "16-bit", "half float" or "float".
inline const char *SampleTypeName(SampleType sample) { return TraitsOf(sample).name; }
// The world depth samples of this type run as: 8-bit, 16-bit, or float
// for half and float.
inline renderhost::Depth WorldDepthOf(SampleType sample) { return TraitsOf(sample).depth; }
// The -d name of a sample type.
inline const char *SampleTypeOptionName(SampleType sample) { return TraitsOf(sample).option_name; }
// The sample type -d names: uint8, uint16, half, float; none for others.
inline std::optional<SampleType> SampleTypeNamed(const std::string &name) {
    for (const SampleTraits &row : kSampleTraits)
        if (name == row.option_name) return row.sample;
    return std::nullopt;
}

}  // namespace veilshadow

#endif
