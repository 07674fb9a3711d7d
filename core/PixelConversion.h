// Exact conversions between file sample values and the host's channel
// values, and between straight and associated (premultiplied) colour.
//
// Every integer step truncates after adding the stated rounding term; the
// products stay below 2^31, so 32-bit unsigned arithmetic is exact.
#ifndef VEILSHADOW_PIXELCONVERSION_H
#define VEILSHADOW_PIXELCONVERSION_H

#include <cmath>
#include <cstdint>

namespace veilshadow {

inline constexpr std::uint32_t kFileMax8 = 255;
inline constexpr std::uint32_t kFileMax16 = 65535;
inline constexpr std::uint32_t kHostMax16 = 32768;

// A 16-bit file value (0..65535) as a host value (0..32768), rounding up:
// (v * 32768 + 32767) / 65535. 0 maps to 0 and 65535 to 32768.
constexpr std::uint16_t FileToHost16(std::uint16_t v) {
    return static_cast<std::uint16_t>((std::uint32_t{v} * kHostMax16 + 32767u) / kFileMax16);
}

// A host value back to a 16-bit file value, rounding to nearest:
// (h * 65535 + 16384) / 32768. Inverts FileToHost16 exactly for every host
// value; values above 32768 (never produced by the host) give 65535.
constexpr std::uint16_t HostToFile16(std::uint16_t h) {
    if (h >= kHostMax16) return static_cast<std::uint16_t>(kFileMax16);
    return static_cast<std::uint16_t>((std::uint32_t{h} * kFileMax16 + 16384u) / kHostMax16);
}

// Conversions used when the layer's file has another depth than the input
// and the layer must become a world of the input's depth. Each rounds to
// nearest; floats are limited to the channel's range (NaN becomes 0).
constexpr std::uint8_t File8ToHost8(std::uint8_t v) { return v; }
constexpr std::uint8_t File16ToHost8(std::uint16_t v) {
    return static_cast<std::uint8_t>((std::uint32_t{v} * kFileMax8 + 32767u) / kFileMax16);
}
constexpr std::uint16_t File8ToHost16(std::uint8_t v) {
    return static_cast<std::uint16_t>((std::uint32_t{v} * kHostMax16 + 127u) / kFileMax8);
}
constexpr std::uint16_t File16ToHost16(std::uint16_t v) { return FileToHost16(v); }

inline std::uint8_t FloatToHost8(float f) {
    const float scaled = f * 255.0f + 0.5f;
    if (!(scaled > 0.0f))  // also NaN
        return 0;
    if (scaled >= 255.0f) return 255;
    return static_cast<std::uint8_t>(scaled);
}
inline std::uint16_t FloatToHost16(float f) {
    const float scaled = f * 32768.0f + 0.5f;
    if (!(scaled > 0.0f)) return 0;
    if (scaled >= 32768.0f) return 32768;
    return static_cast<std::uint16_t>(scaled);
}
inline float File8ToFloat(std::uint8_t v) { return static_cast<float>(v) / 255.0f; }
inline float File16ToFloat(std::uint16_t v) { return static_cast<float>(v) / 65535.0f; }

// Conversions between the sample types of files, for an output written
// in another sample type than the world's depth. They follow OpenImageIO's
// own (what `oiiotool -d TYPE` makes of a file), except that integers go
// to float by a correctly rounded division (the reader's File8ToFloat and
// File16ToFloat) where OpenImageIO multiplies by the reciprocal, which may
// be one unit in the last place off; read back, such a float gives the
// integer it came from.
// 8-bit to 16-bit: v * 257 (255 becomes 65535).
constexpr std::uint16_t File8ToFile16(std::uint8_t v) { return static_cast<std::uint16_t>(v * 257u); }
// 16-bit to 8-bit: v * 255 / 65535 rounded to nearest (never a tie).
constexpr std::uint8_t File16ToFile8(std::uint16_t v) { return File16ToHost8(v); }
// Float to an integer file: v * max rounded half away from zero, then
// limited to 0..max; NaN becomes 0. OpenImageIO (built for SSE2, as
// Debian's is) rounds its four-sample blocks with roundf the same way.
inline std::uint32_t FloatToFileInteger(float f, float max) {
    const float scaled = std::round(f * max);
    if (!(scaled > 0.0f)) return 0;  // also NaN
    return scaled >= max ? static_cast<std::uint32_t>(max) : static_cast<std::uint32_t>(scaled);
}
inline std::uint8_t FloatToFile8(float f) { return static_cast<std::uint8_t>(FloatToFileInteger(f, 255.0f)); }
inline std::uint16_t FloatToFile16(float f) { return static_cast<std::uint16_t>(FloatToFileInteger(f, 65535.0f)); }

// Associated colour to straight colour on the file's own integer scale:
// c * max / a, rounded to nearest and limited to max. Where a is 0 the
// colour is kept as it is.
constexpr std::uint32_t Unassociate(std::uint32_t c, std::uint32_t a, std::uint32_t max) {
    if (a == 0) return c;
    const std::uint64_t straight = (std::uint64_t{c} * max + a / 2) / a;
    return straight > max ? max : static_cast<std::uint32_t>(straight);
}

// Straight colour to associated colour: c * a / max, rounded to nearest.
// Where a is 0 the colour is kept, mirroring Unassociate.
constexpr std::uint32_t Associate(std::uint32_t c, std::uint32_t a, std::uint32_t max) {
    if (a == 0) return c;
    return static_cast<std::uint32_t>((std::uint64_t{c} * a + max / 2) / max);
}

// The float forms: divided or multiplied where alpha is greater than 0.
inline float Unassociate(float c, float a) { return a > 0.0f ? c / a : c; }
inline float Associate(float c, float a) { return a > 0.0f ? c * a : c; }

}  // namespace veilshadow

#endif
