// What the render host can hold, checked from file headers before any
// pixel memory is taken.
#ifndef VEILSHADOW_LIMITS_H
#define VEILSHADOW_LIMITS_H

#include "Geometry.h"

#include <RenderHost/World.h>

#include <cstddef>
#include <cstdint>
#include <optional>
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
// the host lends one world. Returns its pixel memory (WorldBytes).
std::uint64_t CheckWorldFits(const std::string &path, const Window &window, renderhost::Depth depth);

// What the checks leave untaken for memory none of them counts: the
// code the process runs (file pages a limited control group must keep
// resident), the kernel's own memory for it, thread stacks and small
// allocations. Without it a run checked to fit right up to a control
// group's limit was killed once it ran.
constexpr std::uint64_t kUncountedReserve = std::uint64_t{8} << 20;
// The threads that may write fresh memory at once (the render's pool,
// --threads): each may be charged a 2 MiB huge page as it faults one in,
// so the reserve is at least 2 MiB a thread. One per hardware thread
// until set.
void SetMemoryThreads(int threads);

// Memory this process can still take: the least of the machine's
// (MemAvailable), its control groups' (CgroupAvailableMemory("/")) and
// its address-space limit's (RLIMIT_AS, ulimit -v, less what the process
// has mapped), less the reserve (kUncountedReserve, or 2 MiB for each of
// the SetMemoryThreads threads when more; at least 1 is left). 0 when none
// is known.
std::uint64_t AvailableMemory();
// The addresses left under the address-space limit (RLIMIT_AS, ulimit -v)
// for the process to map; 0 when there is no such limit.
std::uint64_t AddressSpaceLeft();

// Memory the control groups of this process can still take, read under
// `root` ("/" on a running system; a folder laid out the same way in
// tests): the process's groups from proc/self/cgroup, the folders where
// their hierarchies are mounted from proc/self/mountinfo (cgroup v2, and
// v1's memory controller), and from the process's group up to the
// mount's top, each group's limit (v2 memory.max, v1
// memory.limit_in_bytes) less what it holds that cannot be dropped (v2
// memory.current less memory.stat's file, v1 memory.usage_in_bytes less
// memory.stat's total_cache). The least of these; 0 when no group has a
// limit; at least 1 when there is one.
std::uint64_t CgroupAvailableMemory(const std::string &root);

// Throws RunError naming `path` when `needed` bytes exceed `available`
// (an `available` of 0 means unknown and lets everything through).
void CheckMemory(const std::string &path, std::uint64_t needed, std::uint64_t available);

// Memory a check has let a thread take that the system does not count
// yet: pages are counted once written, so until the holder has written
// them, every other check counts the grant instead. Two threads checking
// at once, or one checking again before it has written what it took,
// then never take more than there is between them. Let go (destroyed)
// once the memory is written or freed.
class MemoryGrant {
public:
    MemoryGrant() = default;
    ~MemoryGrant() { Release(); }
    MemoryGrant(MemoryGrant &&other) noexcept : bytes_(other.bytes_) { other.bytes_ = 0; }
    MemoryGrant &operator=(MemoryGrant &&other) noexcept;
    MemoryGrant(const MemoryGrant &) = delete;
    MemoryGrant &operator=(const MemoryGrant &) = delete;

    std::uint64_t bytes() const { return bytes_; }
    void Release();

private:
    friend MemoryGrant GrantMemory(const std::string &, std::uint64_t, std::uint64_t);
    explicit MemoryGrant(std::uint64_t bytes) : bytes_(bytes) {}
    std::uint64_t bytes_ = 0;
};

// CheckMemory of `needed` against `available` less the grants held (an
// `available` of 0, unknown, lets everything through), and a grant of
// `needed` when it passes; the check and the grant are one step for all
// threads.
MemoryGrant GrantMemory(const std::string &path, std::uint64_t needed, std::uint64_t available);
// The bytes of the grants held, all threads'.
std::uint64_t GrantedMemory();

// The world of `depth` and `window` for `path`'s pixels in `slot`, with
// `spare` bytes past its rows, made after GrantMemory against
// AvailableMemory() (plus `held`, the bytes the slot gives back first).
// The grant goes to `grant` (to be let go once the world is written), or
// is let go on return without one. An allocation that fails anyway throws
// RunError naming `path`, not a bare "out of memory".
renderhost::World &MakeWorld(std::optional<renderhost::World> &slot, renderhost::Depth depth, const Window &window,
                             const std::string &path, std::uint64_t held, std::uint64_t spare = 0,
                             MemoryGrant *grant = nullptr);

// "1.5 GiB", "12.0 MiB", "512 bytes".
std::string FormatBytes(std::uint64_t bytes);

}  // namespace veilshadow

#endif
