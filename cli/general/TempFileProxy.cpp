#include "TempFileProxy.h"

#include <algorithm>

namespace veilshadow {
namespace {

// Writes at least this large skip the buffer.
constexpr std::size_t kGatherBytes = std::size_t{256} << 10;

}  // namespace

TempFileProxy::TempFileProxy(TempFile &file) : IOProxy(file.path(), Write), file_(file) {
    pending_.reserve(kGatherBytes);
}

TempFileProxy::~TempFileProxy() { flush(); }

void TempFileProxy::close() {
    flush();
    m_mode = Closed;
}

void TempFileProxy::flush() const {
    if (pending_.empty()) return;
    file_.WriteAt(pending_.data(), pending_.size(), pending_start_);
    pending_.clear();
}

size_t TempFileProxy::Put(const void *buf, size_t size, int64_t offset) {
    if (offset < 0) {
        file_.Fail("a write before the start of the file");
        return 0;
    }
    const auto at = static_cast<std::uint64_t>(offset);
    const bool follows = at == pending_start_ + pending_.size();
    if (!(follows && pending_.size() + size <= kGatherBytes)) {
        flush();
        if (size >= kGatherBytes) return file_.WriteAt(buf, size, at);
        pending_start_ = at;
    }
    const auto *bytes = static_cast<const unsigned char *>(buf);
    pending_.insert(pending_.end(), bytes, bytes + size);
    return file_.failed() ? 0 : size;
}

size_t TempFileProxy::write(const void *buf, size_t size) {
    const size_t written = Put(buf, size, m_pos);
    m_pos += static_cast<int64_t>(written);
    return written;
}

size_t TempFileProxy::pwrite(const void *buf, size_t size, int64_t offset) { return Put(buf, size, offset); }

size_t TempFileProxy::pread(void *buf, size_t size, int64_t offset) {
    flush();
    return offset < 0 ? 0 : file_.ReadAt(buf, size, static_cast<std::uint64_t>(offset));
}

size_t TempFileProxy::read(void *buf, size_t size) {
    const size_t got = pread(buf, size, m_pos);
    m_pos += static_cast<int64_t>(got);
    return got;
}

size_t TempFileProxy::size() const {
    return static_cast<size_t>(std::max(file_.Size(), pending_.empty() ? 0 : pending_start_ + pending_.size()));
}

}  // namespace veilshadow
