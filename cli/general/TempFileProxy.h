// The way OpenImageIO's writers reach a TempFile: every byte an encoder
// writes goes through here, so a write that fails (a full disk, the
// file-size limit) fails the file, whatever the encoder makes of it.
#ifndef VEILSHADOW_TEMPFILEPROXY_H
#define VEILSHADOW_TEMPFILEPROXY_H

#include "AtomicFile.h"

#include <OpenImageIO/filesystem.h>

#include <vector>

namespace veilshadow {

// Writes are gathered into a buffer while they run on from each other
// (encoders write chunk headers of a few bytes), so the file sees few
// large writes. Reads, seeks and close see the data written so far.
class TempFileProxy final : public OIIO::Filesystem::IOProxy {
public:
    explicit TempFileProxy(TempFile &file);
    ~TempFileProxy() override;
    TempFileProxy(const TempFileProxy &) = delete;
    TempFileProxy &operator=(const TempFileProxy &) = delete;

    const char *proxytype() const override { return "veilshadow-tempfile"; }
    void close() override;
    size_t read(void *buf, size_t size) override;
    size_t write(const void *buf, size_t size) override;
    size_t pread(void *buf, size_t size, int64_t offset) override;
    size_t pwrite(const void *buf, size_t size, int64_t offset) override;
    size_t size() const override;
    void flush() const override;

private:
    size_t Put(const void *buf, size_t size, int64_t offset);

    TempFile &file_;
    mutable std::vector<unsigned char> pending_;  // bytes from pending_start_ on, not yet written
    mutable std::uint64_t pending_start_ = 0;
};

}  // namespace veilshadow

#endif
