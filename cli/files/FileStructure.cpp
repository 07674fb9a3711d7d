#include "FileStructure.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <iterator>
#include <vector>

namespace veilshadow {

std::size_t ReadAtMost(int fd, void *data, std::size_t size, std::uint64_t offset) {
    std::size_t got = 0;
    while (got < size) {
        const ssize_t n = pread(fd, static_cast<char *>(data) + got, size - got, static_cast<off_t>(offset + got));
        if (n > 0)
            got += static_cast<std::size_t>(n);
        else if (!(n < 0 && errno == EINTR))
            break;
    }
    return got;
}

namespace {

// A file read by offset: each read is one call, whatever was read before.
class FileBytes {
public:
    explicit FileBytes(const std::string &path) : fd_(open(path.c_str(), O_RDONLY | O_CLOEXEC)) {
        struct stat status {};
        if (fd_ >= 0 && fstat(fd_, &status) == 0) size_ = static_cast<std::uint64_t>(status.st_size);
    }
    ~FileBytes() {
        if (fd_ >= 0) close(fd_);
    }
    FileBytes(const FileBytes &) = delete;
    FileBytes &operator=(const FileBytes &) = delete;

    std::uint64_t size() const { return size_; }
    // All `count` bytes at `offset`, or false.
    bool Read(std::uint64_t offset, void *data, std::size_t count) const {
        return fd_ >= 0 && offset <= size_ && count <= size_ - offset && ReadAtMost(fd_, data, count, offset) == count;
    }

private:
    int fd_;
    std::uint64_t size_ = 0;
};

// Little-endian integers, as OpenEXR stores them.
template <class T>
T Little(const unsigned char *bytes) {
    std::uint64_t v = 0;
    for (std::size_t i = sizeof(T); i-- > 0;) v = (v << 8) | bytes[i];
    return static_cast<T>(v);
}

// Reads through a buffer of the file's start, from `at` on.
struct HeaderReader {
    const std::vector<unsigned char> &bytes;
    std::size_t at = 0;

    bool Name(std::string &name) {
        name.clear();
        for (; at < bytes.size(); ++at) {
            if (bytes[at] == 0) {
                ++at;
                return true;
            }
            if (name.size() == 255) return false;
            name += static_cast<char>(bytes[at]);
        }
        return false;
    }
    template <class T>
    bool Value(T &value) {
        if (bytes.size() - at < sizeof(T)) return false;
        value = Little<T>(&bytes[at]);
        at += sizeof(T);
        return true;
    }
};

// The flags of an OpenEXR file's version field.
constexpr std::uint32_t kTiled = 0x200, kDeep = 0x800, kMultiPart = 0x1000;

// Walks the header of the file's first part in `start`, the file's first
// bytes: `visit(name, type, value, size)` for each attribute. Returns the
// offset just past the header, 0 when the bytes hold no whole header, and
// sets `version`.
template <class Visit>
std::size_t WalkExrHeader(const std::vector<unsigned char> &start, std::uint32_t &version, Visit &&visit) {
    HeaderReader header{start};
    std::uint32_t magic = 0;
    if (!header.Value(magic) || !header.Value(version) || magic != 20000630u) return 0;
    for (std::string name, type;;) {
        if (!header.Name(name)) return 0;
        if (name.empty()) return header.at;  // the end of the header
        std::int32_t size = 0;
        if (!header.Name(type) || !header.Value(size) || size < 0 || start.size() - header.at < std::size_t(size))
            return 0;
        visit(name, type, start.data() + header.at, std::size_t(size));  // the end, for a value of 0 bytes
        header.at += std::size_t(size);
    }
}

// Rows per chunk of each OpenEXR compression, by its number; 0: unknown.
int RowsPerChunk(unsigned compression) {
    static const int kRows[] = {1, 1, 1, 16, 32, 16, 32, 32, 32, 256};  // none .. DWAB
    return compression < std::size(kRows) ? kRows[compression] : 0;
}

// The chunk table's offset (just past the header) and what the header
// says of the chunks, from the start of the file; false when it cannot
// be read or is not one of ours.
struct ExrLayout {
    std::size_t table = 0;
    std::int32_t ymin = 0, ymax = -1;
    int rows_per_chunk = 0;
};
bool ReadExrHeader(const std::vector<unsigned char> &start, ExrLayout &layout) {
    std::uint32_t version = 0;
    bool has_window = false;
    layout.table = WalkExrHeader(
        start, version,
        [&](const std::string &name, const std::string &type, const unsigned char *value, std::size_t size) {
            if (name == "compression" && type == "compression" && size == 1)
                layout.rows_per_chunk = RowsPerChunk(value[0]);
            if (name == "dataWindow" && type == "box2i" && size == 16) {
                layout.ymin = Little<std::int32_t>(value + 4);
                layout.ymax = Little<std::int32_t>(value + 12);
                has_window = true;
            }
        });
    if (layout.table == 0 || (version & 0xff) != 2 || (version & (kTiled | kDeep | kMultiPart)) != 0) return false;
    return has_window && layout.rows_per_chunk > 0 && layout.ymax >= layout.ymin;
}

// The bytes at a pixel of the channels in a chlist value: 2 for a half,
// 4 for a float or an unsigned int.
unsigned ChannelListBytes(const unsigned char *value, std::size_t size) {
    unsigned bytes = 0;
    std::size_t at = 0;
    while (at < size && value[at] != 0) {
        const void *end = std::memchr(value + at, 0, size - at);
        if (end == nullptr) break;
        at = std::size_t(static_cast<const unsigned char *>(end) - value) + 1;
        if (size - at < 16) break;  // type, linear, reserved, sampling
        bytes += Little<std::int32_t>(value + at) == 1 ? 2 : 4;
        at += 16;
    }
    return bytes;
}

}  // namespace

bool ReadExrTiling(const std::vector<unsigned char> &start, ExrTiling &tiling) {
    std::uint32_t version = 0;
    const std::size_t end = WalkExrHeader(
        start, version,
        [&](const std::string &name, const std::string &type, const unsigned char *value, std::size_t size) {
            if (name == "tiles" && type == "tiledesc" && size >= 9) {
                tiling.tile_width = Little<std::uint32_t>(value);
                tiling.tile_height = Little<std::uint32_t>(value + 4);
            }
            if (name == "dataWindow" && type == "box2i" && size >= 16) {
                const auto extent = [&](int from) {
                    const std::int64_t n =
                        std::int64_t(Little<std::int32_t>(value + from + 8)) - Little<std::int32_t>(value + from) + 1;
                    return std::uint64_t(std::max<std::int64_t>(n, 0));
                };
                tiling.image_width = extent(0);
                tiling.image_height = extent(4);
            }
            if (name == "channels" && type == "chlist") tiling.pixel_bytes = ChannelListBytes(value, size);
        });
    if (end == 0) return false;
    // A single-part scanline file's reader takes no tiles, whatever it says.
    if ((version & (kTiled | kDeep | kMultiPart)) == 0) tiling.tile_width = tiling.tile_height = 0;
    return true;
}

bool PngEndsWhole(const std::string &path) {
    static const unsigned char kEnd[12] = {0, 0, 0, 0, 'I', 'E', 'N', 'D', 0xAE, 0x42, 0x60, 0x82};
    unsigned char tail[sizeof kEnd] = {};
    const FileBytes file(path);
    return file.size() >= sizeof tail && file.Read(file.size() - sizeof tail, tail, sizeof tail) &&
           std::memcmp(tail, kEnd, sizeof tail) == 0;
}

bool ExrChunksWhole(const std::string &path) {
    const FileBytes file(path);
    // The header, read in growing pieces: it is a few hundred bytes.
    ExrLayout layout;
    std::vector<unsigned char> start;
    for (std::size_t bytes = 4096;; bytes *= 4) {
        start.resize(static_cast<std::size_t>(std::min<std::uint64_t>(file.size(), bytes)));
        if (!file.Read(0, start.data(), start.size())) return false;
        if (ReadExrHeader(start, layout)) break;
        if (start.size() < bytes || bytes >= kMaxExrHeaderBytes) return false;
    }
    const std::int32_t ymin = layout.ymin, ymax = layout.ymax;
    const std::uint64_t rows = std::uint64_t(std::int64_t(ymax) - ymin + 1);
    const std::uint64_t chunks = (rows + layout.rows_per_chunk - 1) / layout.rows_per_chunk;
    const std::uint64_t table_end = layout.table + chunks * 8;
    if (table_end > file.size()) return false;
    std::vector<unsigned char> table(static_cast<std::size_t>(chunks * 8));
    if (!file.Read(layout.table, table.data(), table.size())) return false;
    std::vector<std::uint64_t> offsets(static_cast<std::size_t>(chunks));
    for (std::size_t i = 0; i < offsets.size(); ++i) {
        offsets[i] = Little<std::uint64_t>(&table[i * 8]);
        if (offsets[i] < table_end) return false;  // 0: never written
    }
    std::sort(offsets.begin(), offsets.end());
    // Each chunk: its first row and its size, then that many bytes, which
    // end before the next chunk starts, or with the file.
    for (std::size_t i = 0; i < offsets.size(); ++i) {
        unsigned char leader[8];
        if (!file.Read(offsets[i], leader, sizeof leader)) return false;
        const auto y = Little<std::int32_t>(leader);
        const auto size = Little<std::int32_t>(leader + 4);
        const std::uint64_t end = i + 1 < offsets.size() ? offsets[i + 1] : file.size();
        if (size <= 0 || y < ymin || y > ymax || offsets[i] + 8 + std::uint64_t(size) > end) return false;
    }
    return true;
}

}  // namespace veilshadow
