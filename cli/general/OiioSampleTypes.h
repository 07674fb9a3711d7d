// OpenImageIO's names for the sample types of core/SampleTypes.h.
#ifndef VEILSHADOW_OIIOSAMPLETYPES_H
#define VEILSHADOW_OIIOSAMPLETYPES_H

#include "SampleTypes.h"

#include <OpenImageIO/typedesc.h>

#include <type_traits>

namespace veilshadow {

// OpenImageIO's name for a sample's C++ type (its own BaseTypeFromC
// names half only where Imath's header came first).
template <class T>
constexpr OIIO::TypeDesc::BASETYPE BaseTypeOf() {
    if constexpr (std::is_same_v<T, Imath::half>)
        return OIIO::TypeDesc::HALF;
    else
        return OIIO::BaseTypeFromC<T>::value;
}

// OpenImageIO's type for samples of a sample type.
constexpr OIIO::TypeDesc TypeDescOf(SampleType sample) {
    return VisitSample(sample, [](auto tag) { return OIIO::TypeDesc(BaseTypeOf<typename decltype(tag)::type>()); });
}

}  // namespace veilshadow

#endif
