// The sample types veilshadow reads and writes, in one table: what
// OpenImageIO calls each, its size, its names, the world depth it runs as
// and the C++ type its samples are held in. Code that works on samples
// of any type is written once as a template and called through
// VisitSample; code that works on pixels of any depth through VisitPixel.
#ifndef VEILSHADOW_SAMPLETYPES_H
#define VEILSHADOW_SAMPLETYPES_H

#include <Imath/half.h>
#include <OpenImageIO/typedesc.h>
#include <RenderHost/World.h>

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <type_traits>

namespace veilshadow {

enum class SampleType { kUInt8, kUInt16, kHalf, kFloat };

struct SampleTraits {
    SampleType sample;
    OIIO::TypeDesc type;      // OpenImageIO's
    std::size_t bytes;        // of one sample
    const char *name;         // for messages: "8-bit", "16-bit", "half float", "float"
    const char *option_name;  // -d's: uint8, uint16, half, float
    renderhost::Depth depth;  // the world depth a file of this type runs as
};

// In SampleType's order.
inline constexpr SampleTraits kSampleTraits[] = {
    {SampleType::kUInt8, OIIO::TypeDesc::UINT8, 1, "8-bit", "uint8", renderhost::Depth::k8},
    {SampleType::kUInt16, OIIO::TypeDesc::UINT16, 2, "16-bit", "uint16", renderhost::Depth::k16},
    {SampleType::kHalf, OIIO::TypeDesc::HALF, 2, "half float", "half", renderhost::Depth::k32},
    {SampleType::kFloat, OIIO::TypeDesc::FLOAT, 4, "float", "float", renderhost::Depth::k32},
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

// OpenImageIO's name for a sample's C++ type (its own BaseTypeFromC
// names half only where Imath's header came first).
template <class T>
constexpr OIIO::TypeDesc::BASETYPE BaseTypeOf() {
    if constexpr (std::is_same_v<T, Imath::half>)
        return OIIO::TypeDesc::HALF;
    else
        return OIIO::BaseTypeFromC<T>::value;
}

// The table and the types agree: each row in its place, of the C++
// type's size and OpenImageIO's name for that type.
constexpr bool TraitsMatchTypes() {
    for (int i = 0; i < kSampleTypeCount; ++i) {
        const SampleTraits &row = kSampleTraits[i];
        const bool match = VisitSample(row.sample, [&row](auto tag) {
            using T = typename decltype(tag)::type;
            return row.bytes == sizeof(T) && row.type.basetype == BaseTypeOf<T>();
        });
        if (static_cast<int>(row.sample) != i || !match) return false;
    }
    return true;
}
static_assert(TraitsMatchTypes(), "kSampleTraits is in SampleType's order and matches VisitSample's types");

// "8-bit", "16-bit", "half float" or "float".
inline const char *SampleTypeName(SampleType sample) { return TraitsOf(sample).name; }
// The world depth a file of this sample type runs as: 8-bit, 16-bit, or
// float for half and float.
inline renderhost::Depth DepthFor(SampleType sample) { return TraitsOf(sample).depth; }
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
