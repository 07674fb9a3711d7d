// The 32-bit FNV-1a hash: short, stable names for long ones (the check
// digits of a temporary file's name, a farm job's name). Its values name
// files on disk, so they never change.
#ifndef VEILSHADOW_HASH_H
#define VEILSHADOW_HASH_H

#include <cstdint>
#include <string_view>

namespace veilshadow {

inline std::uint32_t Fnv1a(std::string_view text) {
    std::uint32_t hash = 2166136261u;
    for (const char c : text) hash = (hash ^ static_cast<unsigned char>(c)) * 16777619u;
    return hash;
}

}  // namespace veilshadow

#endif
