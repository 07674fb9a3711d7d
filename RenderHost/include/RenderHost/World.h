// One image the render host lends to the plug-in: its pixel memory and the
// PF_EffectWorld that describes it.
#ifndef ORVANE_RENDERHOST_WORLD_H
#define ORVANE_RENDERHOST_WORLD_H

#include <PF_Host.h>

#include <cstddef>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>

namespace renderhost {

enum class Depth { k8, k16, k32 };

// Bytes per pixel: 4, 8 or 16.
std::size_t PixelBytes(Depth depth);
// world_flags of a world of this depth (8-bit sets none of the bits).
A_long WorldFlagsFor(Depth depth);
// "8-bit", "16-bit" or "32-bit float".
const char *DepthName(Depth depth);
// The depth of a pixel record type, for typed access.
template <class P>
struct PixelDepth;
template <>
struct PixelDepth<PF_Pixel> {
    static constexpr Depth value = Depth::k8;
};
template <>
struct PixelDepth<PF_Pixel16> {
    static constexpr Depth value = Depth::k16;
};
template <>
struct PixelDepth<PF_PixelFloat> {
    static constexpr Depth value = Depth::k32;
};

// Why the host must not lend this descriptor to a plug-in (negative size,
// unknown or mixed depth flags, a stride smaller than a row or not a
// multiple of the pixel size, no pixel memory); empty when it may.
std::string WorldProblem(const PF_EffectWorld &world);

// Memory for a world's pixels or another frame-sized buffer, its bytes
// not cleared: on a cache-line boundary, as a host's frame buffers are,
// and from 16 MiB on on a 2 MiB boundary, offered to the kernel for
// transparent huge pages. A UHD float frame is then faulted in with 64
// faults instead of 32,000, which costs a fraction of the time where page
// faults are dear (virtual machines). On Linux those come straight from
// the kernel, and so are zeroed already (LargeIsZeroed). Throws
// std::bad_alloc. FreeLarge takes it back with the size it was asked for.
void *AllocateLarge(std::size_t bytes);
void FreeLarge(void *memory, std::size_t bytes) noexcept;
// Whether AllocateLarge(bytes) gives zeroed memory.
bool LargeIsZeroed(std::size_t bytes);

// Owns the pixel memory of one world. The descriptor is always valid:
// sizes are checked on construction (std::invalid_argument, or
// std::length_error for sizes the host will not allocate), and the data
// pointer is never null, not even for an empty world. Pixels start as
// transparent black; the bytes between the end of a row and the next row
// (when rowbytes is wider than a row) hold a fixed pattern, so a test can
// tell whether anyone wrote past the end of a row.
class World {
public:
    // The largest pixel memory one world may have.
    static constexpr std::size_t kMaxBytes = std::size_t{4} << 30;

    // rowbytes: the row stride in bytes; tight (width * pixel size) when
    // not given. spare: bytes of memory past the last row, which a codec
    // may use as room while it decodes into the world.
    World(Depth depth, A_long width, A_long height, A_long origin_x = 0, A_long origin_y = 0,
          std::optional<A_long> rowbytes = std::nullopt, std::size_t spare = 0);
    World(const World &) = delete;
    World &operator=(const World &) = delete;
    // A moved-from world is an empty 0 x 0 world.
    World(World &&other) noexcept;
    World &operator=(World &&other) noexcept;
    ~World();

    Depth depth() const { return depth_; }
    A_long width() const { return desc_.width; }
    A_long height() const { return desc_.height; }
    A_long origin_x() const { return desc_.origin_x; }
    A_long origin_y() const { return desc_.origin_y; }
    A_long rowbytes() const { return desc_.rowbytes; }
    void *data() { return desc_.data; }
    const void *data() const { return desc_.data; }
    // The bytes of memory from data(): the rows and the spare bytes.
    std::size_t capacity() const { return bytes_ + spare_; }

    // The descriptor the host lends (as a copy) to the plug-in.
    const PF_EffectWorld &descriptor() const { return desc_; }
    // The world's area in layer coordinates: (origin_x, origin_y,
    // origin_x + width, origin_y + height).
    PF_LRect LayerRect() const;

    // Typed pixel access; throws std::logic_error when P is not this
    // world's pixel type and std::out_of_range outside the world.
    template <class P>
    P *Row(A_long y) {
        return static_cast<P *>(RowBytes(PixelDepth<P>::value, y));
    }
    template <class P>
    const P *Row(A_long y) const {
        return static_cast<const P *>(const_cast<World *>(this)->RowBytes(PixelDepth<P>::value, y));
    }
    template <class P>
    P &At(A_long x, A_long y) {
        return Row<P>(CheckColumn(x, y))[x];
    }
    template <class P>
    const P &At(A_long x, A_long y) const {
        return Row<P>(CheckColumn(x, y))[x];
    }

    // Sets every pixel to zero (transparent black); padding is kept.
    void Clear();
    // Whether the bytes past the end of every row still hold the pattern.
    bool PaddingIntact() const;

private:
    void *RowBytes(Depth wanted, A_long y);
    A_long CheckColumn(A_long x, A_long y) const;
    void Reset();

    // Pixel memory from AllocateLarge, given back with its size.
    struct FreePixels {
        FreePixels() noexcept : bytes(0) {}
        explicit FreePixels(std::size_t pixel_bytes) noexcept : bytes(pixel_bytes) {}
        void operator()(void *pixels) const noexcept;
        std::size_t bytes;
    };

    Depth depth_ = Depth::k8;
    std::unique_ptr<void, FreePixels> memory_;
    std::size_t bytes_ = 0, spare_ = 0;
    PF_EffectWorld desc_{};
};

}  // namespace renderhost

#endif
