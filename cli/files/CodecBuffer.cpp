#include "CodecBuffer.h"

#include <RenderHost/World.h>

#include <algorithm>
#include <stdexcept>
#include <utility>
#include <vector>

#if defined(__GLIBC__)
#include <malloc.h>
#include <sys/resource.h>
#endif

namespace veilshadow {
namespace {

struct Block {
    unsigned char *data;
    std::size_t capacity;
};

// Enough for what one thread's file holds at once: a PNG's file bytes and
// rows, an encoder's image and deflated copy, a chunk's three buffers.
constexpr std::size_t kMaxKept = 6;

// This thread's kept blocks, while a KeepCodecBuffers lives on it.
thread_local std::vector<Block> *t_kept = nullptr;

void Free(const Block &block) noexcept { renderhost::FreeLarge(block.data, block.capacity); }

// Takes the block of `kept` for `bytes`: the smallest that holds them,
// and only one at most twice their size, so that a frame's buffer is not
// spent on a row's.
bool TakeFrom(std::vector<Block> &kept, std::size_t bytes, Block &block) {
    auto best = kept.end();
    for (auto it = kept.begin(); it != kept.end(); ++it)
        if (it->capacity >= bytes && it->capacity / 2 <= bytes && (best == kept.end() || it->capacity < best->capacity))
            best = it;
    if (best == kept.end()) return false;
    block = *best;
    kept.erase(best);
    return true;
}

bool TakeKept(std::size_t bytes, Block &block) { return t_kept != nullptr && TakeFrom(*t_kept, bytes, block); }

// Keeps the block on this thread when it keeps any, freeing the smallest
// one when that makes too many.
void Keep(const Block &block) noexcept {
    if (t_kept == nullptr) {
        Free(block);
        return;
    }
    t_kept->push_back(block);  // within the room reserved up front: never throws
    if (t_kept->size() > kMaxKept) {
        const auto smallest = std::min_element(t_kept->begin(), t_kept->end(),
                                               [](const Block &a, const Block &b) { return a.capacity < b.capacity; });
        Free(*smallest);
        t_kept->erase(smallest);
    }
}

}  // namespace

CodecBuffer::CodecBuffer(CodecBuffer &&other) noexcept
    : data_(std::exchange(other.data_, nullptr)), capacity_(std::exchange(other.capacity_, 0)) {}

CodecBuffer &CodecBuffer::operator=(CodecBuffer &&other) noexcept {
    if (this != &other) {
        Release();
        data_ = std::exchange(other.data_, nullptr);
        capacity_ = std::exchange(other.capacity_, 0);
    }
    return *this;
}

void CodecBuffer::Reserve(std::size_t bytes) {
    if (bytes <= capacity_ && data_ != nullptr) return;
    Release();
    Block block{};
    if (!TakeKept(bytes, block)) {
        const std::size_t capacity = std::max<std::size_t>(bytes, 1);
        block = Block{static_cast<unsigned char *>(renderhost::AllocateLarge(capacity)), capacity};
    }
    data_ = block.data;
    capacity_ = block.capacity;
}

void CodecBuffer::Release() noexcept {
    if (data_ != nullptr) Keep(Block{data_, capacity_});
    data_ = nullptr;
    capacity_ = 0;
}

KeepCodecBuffers::KeepCodecBuffers() {
    if (t_kept != nullptr) throw std::logic_error("a thread keeps its codec buffers once");
    auto *kept = new std::vector<Block>();
    kept->reserve(kMaxKept + 1);
    t_kept = kept;
}

KeepCodecBuffers::~KeepCodecBuffers() {
    std::vector<Block> *kept = std::exchange(t_kept, nullptr);
    for (const Block &block : *kept) Free(block);
    delete kept;
}

void KeepCodecBuffers::FreeKept() noexcept {
    if (t_kept == nullptr) return;
    for (const Block &block : *t_kept) Free(block);
    t_kept->clear();
}

std::size_t KeepCodecBuffers::KeptCount() { return t_kept == nullptr ? 0 : t_kept->size(); }

std::size_t KeepCodecBuffers::KeptBytes() {
    std::size_t bytes = 0;
    if (t_kept != nullptr)
        for (const Block &block : *t_kept) bytes += block.capacity;
    return bytes;
}

std::size_t KeepCodecBuffers::NewBytes(std::initializer_list<std::size_t> sizes) {
    std::vector<Block> kept = t_kept == nullptr ? std::vector<Block>() : *t_kept;
    std::size_t bytes = 0;
    for (const std::size_t size : sizes) {
        Block block{};
        if (size != 0 && !TakeFrom(kept, size, block)) bytes += size;
    }
    return bytes;
}

bool ShareHeapsUnderAddressLimit() {
#if defined(__GLIBC__)
    struct rlimit limit {};
    if (getrlimit(RLIMIT_AS, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY) return false;
    return mallopt(M_ARENA_MAX, 2) == 1;
#else
    return false;
#endif
}

bool KeepFreedMemory() {
#if defined(__GLIBC__)
    return mallopt(M_MMAP_THRESHOLD, 16 << 20) == 1 && mallopt(M_TRIM_THRESHOLD, 32 << 20) == 1;
#else
    return false;
#endif
}

}  // namespace veilshadow
