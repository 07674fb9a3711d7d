// The codecs' large buffers: a PNG's file bytes and inflated rows, a
// chunk's bytes. Their bytes are not cleared, so that what a codec never
// reaches (most of a bound) is never touched. A thread that holds a
// KeepCodecBuffers keeps the buffers freed on it for its next file: a
// sequence's decode and write threads then fill the pages of the frame
// before, where fresh pages cost a fault and a clearing each, and far more
// on a virtual machine that hands freed memory back to its host (0.4 to
// 1.9 ms per MiB measured, against 0.06 ms to write it again).
#ifndef VEILSHADOW_CODECBUFFER_H
#define VEILSHADOW_CODECBUFFER_H

#include <cstddef>
#include <initializer_list>

namespace veilshadow {

class CodecBuffer {
public:
    CodecBuffer() = default;
    // At least `bytes` (throws std::bad_alloc).
    explicit CodecBuffer(std::size_t bytes) { Reserve(bytes); }
    CodecBuffer(CodecBuffer &&other) noexcept;
    CodecBuffer &operator=(CodecBuffer &&other) noexcept;
    CodecBuffer(const CodecBuffer &) = delete;
    CodecBuffer &operator=(const CodecBuffer &) = delete;
    ~CodecBuffer() { Release(); }

    // Makes room for `bytes`; what the buffer held is lost when it has to
    // grow.
    void Reserve(std::size_t bytes);
    unsigned char *data() const { return data_; }
    std::size_t capacity() const { return capacity_; }

private:
    void Release() noexcept;
    unsigned char *data_ = nullptr;
    std::size_t capacity_ = 0;
};

// While one lives on a thread, the CodecBuffers freed on that thread are
// kept (a few, the largest) and handed out again; they are freed when it
// ends. One per thread at a time.
class KeepCodecBuffers {
public:
    KeepCodecBuffers();
    ~KeepCodecBuffers();
    KeepCodecBuffers(const KeepCodecBuffers &) = delete;
    KeepCodecBuffers &operator=(const KeepCodecBuffers &) = delete;
    // The buffers kept now, and their bytes: for tests.
    static std::size_t KeptCount();
    static std::size_t KeptBytes();
    // Of buffers of these sizes, reserved in this order, the bytes no
    // buffer this thread keeps would serve: the memory they take anew.
    static std::size_t NewBytes(std::initializer_list<std::size_t> sizes);
    // Frees the buffers this thread keeps, when no next file will use
    // them; it goes on keeping what is freed later.
    static void FreeKept() noexcept;
};

// Has the C library keep the memory the program frees for its next
// allocations: blocks under 16 MiB come from its heaps instead of
// mappings of their own, and a heap gives back what lies free at its top
// only beyond 32 MiB. A frame's deflated bands, rows and chunk lists are
// then made in the pages of the frame before instead of fresh ones (a
// 16-frame UHD PNG sequence faulted in 13,500 pages before, 5,600 after).
// Larger blocks (frame buffers) are mapped on their own either way. False
// where the C library has no such setting.
bool KeepFreedMemory();

// Under an address-space limit (ulimit -v), has the C library's threads
// share two heaps instead of making one each: a thread's own heap sets
// aside 64 MiB of addresses, which the limit counts as memory taken, and
// a run's decode, write and helper threads would spend hundreds of MiB of
// it on nothing. False when there is no such limit or setting.
bool ShareHeapsUnderAddressLimit();

}  // namespace veilshadow

#endif
