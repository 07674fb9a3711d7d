// The size (rowbytes x height) from which an output image is taken to be
// too large to stay in the caches until the next effect reads it. From this
// size on, the plug-in's row kernels and the render host's clear write the
// output with streaming stores.
#ifndef ORVANE_HOSTAPI_STREAMING_STORES_H
#define ORVANE_HOSTAPI_STREAMING_STORES_H

namespace orvane {

inline constexpr unsigned long long kStreamingOutputBytes = 16ull << 20;

}  // namespace orvane

#endif
