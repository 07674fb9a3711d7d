#include <RenderHost/World.h>

#include <cstdint>
#include <cstring>
#include <limits>
#include <new>

#if defined(__linux__)
#include <sys/mman.h>
#endif

namespace renderhost {
namespace {

constexpr unsigned char kPaddingPattern = 0xEB;

// Pixel memory for an empty or moved-from world: the data pointer of a
// world is never null.
alignas(std::max_align_t) unsigned char g_empty_pixels[sizeof(std::max_align_t)];

std::string Describe(Depth depth, std::int64_t width, std::int64_t height) {
    return std::to_string(width) + " x " + std::to_string(height) + " " + DepthName(depth) + " world";
}

constexpr std::size_t kHugePage = std::size_t{2} << 20;
constexpr std::size_t kHugePageFrom = std::size_t{16} << 20;

std::size_t LargeAlignment(std::size_t bytes) { return bytes >= kHugePageFrom ? kHugePage : 64; }

// Under AddressSanitizer every buffer comes from the allocator, whose
// guard zones catch a write past a world's end.
#if defined(__SANITIZE_ADDRESS__)
#define RENDERHOST_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define RENDERHOST_ASAN 1
#endif
#endif
#if defined(__linux__) && !defined(RENDERHOST_ASAN)
#define RENDERHOST_MAP_LARGE 1
#endif

#if defined(RENDERHOST_MAP_LARGE)
// From 16 MiB on, straight from the kernel: mapped on a 2 MiB boundary
// (the mapping is made larger by that much and its ends given back), and
// so already zeroed.
void *MapLarge(std::size_t rounded) {
    const std::size_t mapped = rounded + kHugePage;
    void *const memory = mmap(nullptr, mapped, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (memory == MAP_FAILED) throw std::bad_alloc();
    const auto start = reinterpret_cast<std::uintptr_t>(memory);
    const std::uintptr_t aligned = (start + kHugePage - 1) / kHugePage * kHugePage;
    if (aligned > start) munmap(memory, aligned - start);
    const std::size_t tail = mapped - (aligned - start) - rounded;
    if (tail > 0) munmap(reinterpret_cast<void *>(aligned + rounded), tail);
#if defined(MADV_HUGEPAGE)
    // Only advice: where the kernel has no huge pages, plain ones serve.
    madvise(reinterpret_cast<void *>(aligned), rounded, MADV_HUGEPAGE);
#endif
    return reinterpret_cast<void *>(aligned);
}
#endif

}  // namespace

bool LargeIsZeroed(std::size_t bytes) {
#if defined(RENDERHOST_MAP_LARGE)
    return bytes >= kHugePageFrom;
#else
    (void)bytes;
    return false;
#endif
}

void *AllocateLarge(std::size_t bytes) {
    const std::size_t alignment = LargeAlignment(bytes);
    const std::size_t rounded = (bytes + alignment - 1) / alignment * alignment;
#if defined(RENDERHOST_MAP_LARGE)
    if (alignment == kHugePage) return MapLarge(rounded);
#endif
    void *memory = ::operator new (rounded, std::align_val_t{alignment});
#if defined(MADV_HUGEPAGE)
    if (alignment == kHugePage) madvise(memory, rounded, MADV_HUGEPAGE);
#endif
    return memory;
}

void FreeLarge(void *memory, std::size_t bytes) noexcept {
    const std::size_t alignment = LargeAlignment(bytes);
#if defined(RENDERHOST_MAP_LARGE)
    if (alignment == kHugePage) {
        if (memory != nullptr) munmap(memory, (bytes + alignment - 1) / alignment * alignment);
        return;
    }
#endif
    ::operator delete (memory, std::align_val_t{alignment});
}

void World::FreePixels::operator()(void *pixels) const noexcept { FreeLarge(pixels, bytes); }

std::size_t PixelBytes(Depth depth) {
    switch (depth) {
        case Depth::k8:
            return sizeof(PF_Pixel);
        case Depth::k16:
            return sizeof(PF_Pixel16);
        case Depth::k32:
            return sizeof(PF_PixelFloat);
    }
    throw std::invalid_argument("unknown pixel depth");
}

A_long WorldFlagsFor(Depth depth) {
    switch (depth) {
        case Depth::k8:
            return 0;
        case Depth::k16:
            return PF_WorldFlag_DEEP;
        case Depth::k32:
            return PF_WorldFlag_FLOAT;
    }
    throw std::invalid_argument("unknown pixel depth");
}

const char *DepthName(Depth depth) {
    switch (depth) {
        case Depth::k8:
            return "8-bit";
        case Depth::k16:
            return "16-bit";
        case Depth::k32:
            return "32-bit float";
    }
    return "unknown-depth";
}

std::string WorldProblem(const PF_EffectWorld &world) {
    const A_long depth_bits = world.world_flags & (PF_WorldFlag_DEEP | PF_WorldFlag_FLOAT);
    if (depth_bits == (PF_WorldFlag_DEEP | PF_WorldFlag_FLOAT)) return "world flags name two pixel depths";
    const std::int64_t pixel = depth_bits == PF_WorldFlag_FLOAT ? 16 : depth_bits == PF_WorldFlag_DEEP ? 8 : 4;
    if (world.width < 0 || world.height < 0)
        return "negative size " + std::to_string(world.width) + " x " + std::to_string(world.height);
    if (world.rowbytes < 0 || std::int64_t{world.rowbytes} < pixel * world.width)
        return "row stride " + std::to_string(world.rowbytes) + " smaller than a row of " +
               std::to_string(world.width) + " pixels";
    if (world.rowbytes % pixel != 0)
        return "row stride " + std::to_string(world.rowbytes) + " not a multiple of the pixel size";
    if (world.data == nullptr) return "no pixel memory";
    return {};
}

World::World(Depth depth, A_long width, A_long height, A_long origin_x, A_long origin_y, std::optional<A_long> rowbytes,
             std::size_t spare)
    : depth_(depth) {
    const std::int64_t pixel = static_cast<std::int64_t>(PixelBytes(depth));
    if (width < 0 || height < 0)
        throw std::invalid_argument("cannot make a " + Describe(depth, width, height) + ": negative size");
    if (std::int64_t{origin_x} + width > std::numeric_limits<A_long>::max() ||
        std::int64_t{origin_y} + height > std::numeric_limits<A_long>::max())
        throw std::length_error("cannot make a " + Describe(depth, width, height) + " at (" + std::to_string(origin_x) +
                                ", " + std::to_string(origin_y) +
                                "): its far edge lies beyond 32-bit layer coordinates");
    const std::int64_t row = pixel * width;
    if (row > std::numeric_limits<A_long>::max())
        throw std::length_error("cannot make a " + Describe(depth, width, height) + ": a row of " +
                                std::to_string(row) + " bytes does not fit a 32-bit row stride");
    const std::int64_t stride = rowbytes ? *rowbytes : row;
    if (stride < row)
        throw std::invalid_argument("cannot make a " + Describe(depth, width, height) + ": row stride " +
                                    std::to_string(stride) + " is smaller than a row of " + std::to_string(row) +
                                    " bytes");
    if (stride % pixel != 0)
        throw std::invalid_argument("cannot make a " + Describe(depth, width, height) + ": row stride " +
                                    std::to_string(stride) + " is not a multiple of the pixel size " +
                                    std::to_string(pixel));
    const std::uint64_t bytes = static_cast<std::uint64_t>(stride) * static_cast<std::uint64_t>(height);
    if (bytes > kMaxBytes)
        throw std::length_error("cannot make a " + Describe(depth, width, height) + ": " + std::to_string(bytes) +
                                " bytes of pixels is more than the " + std::to_string(kMaxBytes) + " the host lends");

    bytes_ = static_cast<std::size_t>(bytes);
    if (spare > kMaxBytes)
        throw std::length_error("cannot make a " + Describe(depth, width, height) + " with " + std::to_string(spare) +
                                " spare bytes");
    spare_ = spare;
    const std::size_t allocated = bytes_ + spare_;
    if (allocated > 0) {
        memory_ = std::unique_ptr<void, FreePixels>(AllocateLarge(allocated), FreePixels{allocated});
        if (!LargeIsZeroed(allocated)) std::memset(memory_.get(), 0, bytes_);
    }
    desc_.world_flags = WorldFlagsFor(depth);
    desc_.data = memory_ ? static_cast<void *>(memory_.get()) : static_cast<void *>(g_empty_pixels);
    desc_.rowbytes = static_cast<A_long>(stride);
    desc_.width = width;
    desc_.height = height;
    desc_.extent_hint = PF_LRect{0, 0, width, height};
    desc_.origin_x = origin_x;
    desc_.origin_y = origin_y;
    desc_.pix_aspect_ratio = PF_RationalScale{1, 1};
    if (stride > row) {
        auto *base = static_cast<unsigned char *>(desc_.data);
        for (A_long y = 0; y < height; ++y)
            std::memset(base + static_cast<std::size_t>(y) * stride + row, kPaddingPattern,
                        static_cast<std::size_t>(stride - row));
    }
}

World::World(World &&other) noexcept
    : depth_(other.depth_),
      memory_(std::move(other.memory_)),
      bytes_(other.bytes_),
      spare_(other.spare_),
      desc_(other.desc_) {
    other.Reset();
}

World &World::operator=(World &&other) noexcept {
    if (this != &other) {
        depth_ = other.depth_;
        memory_ = std::move(other.memory_);
        bytes_ = other.bytes_;
        spare_ = other.spare_;
        desc_ = other.desc_;
        other.Reset();
    }
    return *this;
}

World::~World() = default;

void World::Reset() {
    memory_.reset();
    bytes_ = spare_ = 0;
    desc_ = PF_EffectWorld{};
    desc_.world_flags = WorldFlagsFor(depth_);
    desc_.data = g_empty_pixels;
    desc_.pix_aspect_ratio = PF_RationalScale{1, 1};
}

PF_LRect World::LayerRect() const {
    return PF_LRect{desc_.origin_x, desc_.origin_y, desc_.origin_x + desc_.width, desc_.origin_y + desc_.height};
}

void *World::RowBytes(Depth wanted, A_long y) {
    if (wanted != depth_)
        throw std::logic_error(std::string("typed access as ") + DepthName(wanted) + " pixels to a " +
                               DepthName(depth_) + " world");
    if (y < 0 || y >= desc_.height)
        throw std::out_of_range("row " + std::to_string(y) + " outside a world of height " +
                                std::to_string(desc_.height));
    return static_cast<unsigned char *>(desc_.data) + static_cast<std::size_t>(y) * desc_.rowbytes;
}

A_long World::CheckColumn(A_long x, A_long y) const {
    if (x < 0 || x >= desc_.width)
        throw std::out_of_range("column " + std::to_string(x) + " outside a world of width " +
                                std::to_string(desc_.width));
    return y;
}

void World::Clear() {
    const std::size_t row = PixelBytes(depth_) * static_cast<std::size_t>(desc_.width);
    auto *base = static_cast<unsigned char *>(desc_.data);
    for (A_long y = 0; y < desc_.height; ++y) std::memset(base + static_cast<std::size_t>(y) * desc_.rowbytes, 0, row);
}

bool World::PaddingIntact() const {
    const std::size_t row = PixelBytes(depth_) * static_cast<std::size_t>(desc_.width);
    const auto *base = static_cast<const unsigned char *>(desc_.data);
    for (A_long y = 0; y < desc_.height; ++y) {
        const unsigned char *pad = base + static_cast<std::size_t>(y) * desc_.rowbytes + row;
        for (std::size_t i = row; i < static_cast<std::size_t>(desc_.rowbytes); ++i, ++pad)
            if (*pad != kPaddingPattern) return false;
    }
    return true;
}

}  // namespace renderhost
