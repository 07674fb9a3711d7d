// What the render host can hold, checked from file headers before any
// pixel memory is taken.
#ifndef VEILSHADOW_LIMITS_H
#define VEILSHADOW_LIMITS_H

#include "Geometry.h"

#include <RenderHost/World.h>

#include <cstddef>
#include <cstdint>
#include <string>

namespace veilshadow {

// Frame numbers run from -kMaxFrameNumber to kMaxFrameNumber; one list
// holds at most kMaxFrameCount frames.
inline constexpr long kMaxFrameNumber = 999999999;
inline constexpr std::size_t kMaxFrameCount = 1000000;

// Pixel memory of a tight world of this size and depth.
std::uint64_t WorldBytes(const Window &window, renderhost::Depth depth);

// Throws RunError naming `path` when a world of this window and depth
// cannot be made: an empty window, a far edge beyond 32-bit coordinates,
// more pixels than the row kernels address (2^31 - 1), or more bytes than
// the host lends one world.
void CheckWorldFits(const std::string &path, const Window &window, renderhost::Depth depth);

// Memory the system can still give (MemAvailable); 0 when unknown.
std::uint64_t AvailableMemory();

// Throws RunError naming `path` when `needed` bytes exceed `available`
// (an `available` of 0 means unknown and lets everything through).
void CheckMemory(const std::string &path, std::uint64_t needed, std::uint64_t available);

// "1.5 GiB", "12.0 MiB", "512 bytes".
std::string FormatBytes(std::uint64_t bytes);

}  // namespace veilshadow

#endif
