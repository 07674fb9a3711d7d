// OpenEXR scanline files through the core library's header and chunk
// table, with chunks inflated and deflated by libdeflate.
#include "ExrCodec.h"

#include "AtomicFile.h"
#include "CodecBuffer.h"
#include "CodecThreads.h"
#include "Errors.h"
#include "FileStructure.h"
#include "HalfConversion.h"
#include "ImageIOCommon.h"
#include "Limits.h"
#include "ZipPredictor.h"

#include <OpenEXR/openexr.h>
#include <fcntl.h>
#if defined(__SSE2__)
#include <emmintrin.h>
#endif
#include <libdeflate.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <climits>
#include <cstdint>
#include <cstring>
#include <ctime>
#include <vector>

namespace veilshadow {
namespace {

// The core library's last message on this thread, for errors: it reports
// through a callback, which must not print.
thread_local std::string g_last_message;

void KeepMessage(exr_const_context_t, exr_result_t code, const char *message) {
    g_last_message = message != nullptr && *message != '\0' ? message : exr_get_default_error_message(code);
}

std::string TakeMessage(exr_result_t code) {
    std::string message = g_last_message.empty() ? exr_get_default_error_message(code) : g_last_message;
    g_last_message.clear();
    return message;
}

// The bytes a reader reads: a file or a buffer in memory.
class Source {
public:
    virtual ~Source() = default;
    virtual std::uint64_t size() const = 0;
    // Up to `count` bytes at `offset`; the bytes read.
    virtual std::uint64_t Read(void *data, std::uint64_t count, std::uint64_t offset) const = 0;
};

class FileSource final : public Source {
public:
    explicit FileSource(const std::string &path) : fd_(open(path.c_str(), O_RDONLY | O_CLOEXEC)) {
        struct stat status {};
        if (fd_ >= 0 && fstat(fd_, &status) == 0) size_ = static_cast<std::uint64_t>(status.st_size);
    }
    ~FileSource() override {
        if (fd_ >= 0) close(fd_);
    }
    FileSource(const FileSource &) = delete;
    FileSource &operator=(const FileSource &) = delete;
    bool ok() const { return fd_ >= 0; }
    std::uint64_t size() const override { return size_; }
    std::uint64_t Read(void *data, std::uint64_t count, std::uint64_t offset) const override {
        if (offset >= size_) return 0;
        return ReadAtMost(fd_, data, static_cast<std::size_t>(std::min(count, size_ - offset)), offset);
    }

private:
    int fd_;
    std::uint64_t size_ = 0;
};

class MemorySource final : public Source {
public:
    MemorySource(const void *data, std::size_t size) : data_(static_cast<const unsigned char *>(data)), size_(size) {}
    std::uint64_t size() const override { return size_; }
    std::uint64_t Read(void *data, std::uint64_t count, std::uint64_t offset) const override {
        if (offset >= size_) return 0;
        const std::uint64_t n = std::min(count, size_ - offset);
        std::memcpy(data, data_ + offset, static_cast<std::size_t>(n));
        return n;
    }

private:
    const unsigned char *data_;
    std::size_t size_;
};

int64_t ReadFromSource(exr_const_context_t, void *user, void *buffer, uint64_t size, uint64_t offset,
                       exr_stream_error_func_ptr_t) {
    return static_cast<int64_t>(static_cast<const Source *>(user)->Read(buffer, size, offset));
}

int64_t SizeOfSource(exr_const_context_t, void *user) {
    return static_cast<int64_t>(static_cast<const Source *>(user)->size());
}

// A context of the core library, finished when it goes.
struct Context {
    exr_context_t ctx = nullptr;
    Context() = default;
    Context(const Context &) = delete;
    Context &operator=(const Context &) = delete;
    ~Context() {
        if (ctx != nullptr) exr_finish(&ctx);
    }
};

struct DecompressorFree {
    void operator()(libdeflate_decompressor *d) const { libdeflate_free_decompressor(d); }
};
struct CompressorFree {
    void operator()(libdeflate_compressor *c) const { libdeflate_free_compressor(c); }
};

// This thread's inflater and deflaters (one per level), made once.
libdeflate_decompressor *ThreadDecompressor() {
    thread_local std::unique_ptr<libdeflate_decompressor, DecompressorFree> d(libdeflate_alloc_decompressor());
    if (!d) throw std::bad_alloc();
    return d.get();
}

libdeflate_compressor *ThreadCompressor(int level) {
    thread_local std::array<std::unique_ptr<libdeflate_compressor, CompressorFree>, 10> compressors;
    auto &c = compressors[static_cast<std::size_t>(level)];
    if (!c) c.reset(libdeflate_alloc_compressor(level));
    if (!c) throw std::bad_alloc();
    return c.get();
}

// This thread's buffers for reading and writing chunks, kept for the next
// file: the reader's on every thread that decodes strips, the writer's on
// every thread that encodes bands.
// The writer's are the slots from kStrip on.
enum BufferSlot { kPacked, kInflated, kUnpacked, kStrip, kPlanar, kScratch, kPredicted, kSlots };

// What the writer's slots hold on every thread: a write takes that memory
// again without asking for more.
std::atomic<std::uint64_t> g_writer_slot_bytes{0};

struct ThreadBuffers {
    std::array<std::vector<unsigned char>, kSlots> slots;
    ~ThreadBuffers() {
        for (std::size_t slot = kStrip; slot < kSlots; ++slot) g_writer_slot_bytes -= slots[slot].capacity();
    }
};

unsigned char *ThreadBuffer(BufferSlot which, std::size_t bytes) {
    thread_local ThreadBuffers buffers;
    std::vector<unsigned char> &buffer = buffers.slots[which];
    if (buffer.size() < bytes) {
        const std::size_t before = buffer.capacity();
        buffer.resize(bytes);
        if (which >= kStrip) g_writer_slot_bytes += buffer.capacity() - before;
    }
    return buffer.data();
}

// A deflater's own memory, at most, at the levels an output takes (1 to
// 9): libdeflate's match finders take about 0.66 MB.
constexpr std::uint64_t kCompressorBytes = std::uint64_t{1} << 20;

// Rows of a chunk of each compression the codec takes.
int LinesPerChunk(exr_compression_t compression) { return compression == EXR_COMPRESSION_ZIP ? 16 : 1; }

// OpenImageIO's name of each, as the general path reports it.
const char *CompressionName(exr_compression_t compression) {
    switch (compression) {
        case EXR_COMPRESSION_ZIP:
            return "zip";
        case EXR_COMPRESSION_ZIPS:
            return "zips";
        default:
            return "none";
    }
}

// The channel sets the codec reads, in the order OpenImageIO presents
// them, and their layouts.
struct ChannelSet {
    std::vector<std::string> names;
    ChannelLayout layout;
};
const ChannelSet kChannelSets[] = {
    {{"R", "G", "B", "A"}, ChannelLayout::kRGBA},
    {{"R", "G", "B"}, ChannelLayout::kRGB},
    {{"Y", "A"}, ChannelLayout::kGrayAlpha},
    {{"Y"}, ChannelLayout::kGray},
};

// One channel as the file stores it: its bytes per sample and where it
// goes among the samples of a pixel read.
struct FileChannel {
    bool half = true;
    int out = 0;
};

// Four planes of `width` 16-bit samples into pixels of four samples, plane
// p giving sample p of each pixel: a chunk's half RGBA rows as the reader
// hands them on. 8 pixels at a time with SSE2.
void InterleaveHalves4(const unsigned char *const planes[4], std::size_t width, unsigned char *pixels) {
    std::size_t x = 0;
#if defined(__SSE2__)
    const auto load = [&](int p) { return _mm_loadu_si128(reinterpret_cast<const __m128i *>(planes[p] + 2 * x)); };
    for (; x + 8 <= width; x += 8) {
        const __m128i s0 = load(0), s1 = load(1), s2 = load(2), s3 = load(3);
        const __m128i low01 = _mm_unpacklo_epi16(s0, s1), high01 = _mm_unpackhi_epi16(s0, s1);
        const __m128i low23 = _mm_unpacklo_epi16(s2, s3), high23 = _mm_unpackhi_epi16(s2, s3);
        auto *out = reinterpret_cast<__m128i *>(pixels + 8 * x);
        _mm_storeu_si128(out, _mm_unpacklo_epi32(low01, low23));
        _mm_storeu_si128(out + 1, _mm_unpackhi_epi32(low01, low23));
        _mm_storeu_si128(out + 2, _mm_unpacklo_epi32(high01, high23));
        _mm_storeu_si128(out + 3, _mm_unpackhi_epi32(high01, high23));
    }
#endif
    for (; x < width; ++x)
        for (int p = 0; p < 4; ++p) std::memcpy(pixels + 8 * x + 2 * std::size_t(p), planes[p] + 2 * x, 2);
}

class ExrReader final : public CodecReader {
public:
    ExrReader(std::string path, std::unique_ptr<Source> source, bool from_file)
        : path_(std::move(path)), source_(std::move(source)), from_file_(from_file) {}

    // Fills `header` and returns true when the codec takes the file.
    bool Open(AlphaMode alpha, ImageHeader &header);
    // Throws when the file's tiles are far larger than any image needs.
    void CheckTiles();
    // Strips are read on several threads at once: each chunk is decoded
    // in its thread's buffers, from the places the table gave at Open.
    void ReadRows(A_long first, A_long rows, unsigned char *samples) override;
    bool StripsAtOnce() const override { return true; }
    // Two ZIP chunks: enough strips for the helpers to share a frame evenly.
    A_long StripRows() const override { return 32; }
    std::uint64_t HeldBytes(renderhost::Depth) const override;
    bool LooksWhole() override { return from_file_ && ExrChunksWhole(path_); }

private:
    [[noreturn]] void Damaged(const std::string &problem) const {
        throw RunError(FileMessage(path_, "cannot read its pixels (corrupt or cut short?): " + problem));
    }
    // Finds the chunk of `lines` rows from row `chunk_y` through the
    // chunk table into `info`, and checks it against the header, the
    // file's size and the row and size the chunk itself starts with.
    // Returns what is wrong, or nothing.
    std::string LocateChunk(int chunk_y, int lines, exr_chunk_info_t &info);
    // Whether every chunk is where the table says, keeping where each is
    // in chunks_. A wrong table is left to the general path, which
    // rebuilds it from the chunks themselves.
    bool TableHolds();
    // Decodes chunk `index`, of `lines` rows, in this thread's buffers;
    // its rows, each channel's samples in turn.
    const unsigned char *DecodeChunk(std::size_t index, int lines) const;

    std::string path_;
    std::unique_ptr<Source> source_;
    bool from_file_;
    Context context_;
    exr_compression_t compression_ = EXR_COMPRESSION_NONE;
    int min_x_ = 0, min_y_ = 0, width_ = 0, height_ = 0;
    int lines_ = 1;
    std::vector<FileChannel> channels_;  // in the file's order
    int out_channels_ = 0;
    bool out_float_ = false;
    std::size_t line_bytes_ = 0;  // of one row in a chunk, every channel
    // Four half channels read as four half samples: each row's planes
    // are interleaved in one pass.
    bool four_halves_ = false;
    struct ChunkPlace {
        std::uint64_t offset, size;
    };
    std::vector<ChunkPlace> chunks_;  // from the top, as the table gives them
};

// Tiles far larger than the image are refused before OpenEXR's core, or
// the general path's library, which would set aside buffers for them,
// opens the file. The header is walked here, so that one the core refuses
// is checked too; a header larger than kMaxExrHeaderBytes is left to the
// general path, which checks the tiles as its library read them.
void ExrReader::CheckTiles() {
    ExrTiling tiling;
    std::vector<unsigned char> start;
    for (std::size_t bytes = 4096;; bytes *= 4) {
        start.resize(static_cast<std::size_t>(std::min<std::uint64_t>(source_->size(), bytes)));
        if (source_->Read(start.data(), start.size(), 0) != start.size()) return;
        if (ReadExrTiling(start, tiling)) break;
        if (start.size() < bytes || bytes >= kMaxExrHeaderBytes) return;
    }
    if (tiling.tile_width > 0 && tiling.tile_height > 0)
        RefuseHugeTiles(path_, tiling.tile_width, tiling.tile_height, tiling.image_width, tiling.image_height,
                        tiling.pixel_bytes);
}

bool ExrReader::Open(AlphaMode alpha, ImageHeader &header) {
    // OpenEXR's magic number: anything else is no file of this codec's.
    unsigned char magic[4] = {};
    if (source_->Read(magic, 4, 0) != 4 || magic[0] != 0x76 || magic[1] != 0x2f || magic[2] != 0x31 || magic[3] != 0x01)
        return false;
    CheckTiles();
    exr_context_initializer_t init = EXR_DEFAULT_CONTEXT_INITIALIZER;
    init.user_data = source_.get();
    init.read_fn = ReadFromSource;
    init.size_fn = SizeOfSource;
    init.error_handler_fn = KeepMessage;
    init.flags = EXR_CONTEXT_FLAG_SILENT_HEADER_PARSE;
    // Whatever the core refuses, the general path reads or reports.
    if (exr_start_read(&context_.ctx, path_.c_str(), &init) != EXR_ERR_SUCCESS) {
        g_last_message.clear();
        return false;
    }
    exr_context_t ctx = context_.ctx;
    int parts = 0;
    exr_storage_t storage = EXR_STORAGE_LAST_TYPE;
    exr_attr_box2i_t data{}, display{};
    const exr_attr_chlist_t *list = nullptr;
    if (exr_get_count(ctx, &parts) != EXR_ERR_SUCCESS || parts != 1 ||
        exr_get_storage(ctx, 0, &storage) != EXR_ERR_SUCCESS || storage != EXR_STORAGE_SCANLINE ||
        exr_get_compression(ctx, 0, &compression_) != EXR_ERR_SUCCESS ||
        exr_get_data_window(ctx, 0, &data) != EXR_ERR_SUCCESS ||
        exr_get_display_window(ctx, 0, &display) != EXR_ERR_SUCCESS ||
        exr_get_channels(ctx, 0, &list) != EXR_ERR_SUCCESS || list == nullptr) {
        g_last_message.clear();
        return false;
    }
    if (compression_ != EXR_COMPRESSION_ZIP && compression_ != EXR_COMPRESSION_ZIPS &&
        compression_ != EXR_COMPRESSION_NONE)
        return false;

    // The channels: one of the sets, each sampled at every pixel, half or
    // float.
    std::vector<std::string> names;
    for (int c = 0; c < list->num_channels; ++c) {
        const exr_attr_chlist_entry_t &entry = list->entries[c];
        if (entry.x_sampling != 1 || entry.y_sampling != 1) return false;
        if (entry.pixel_type != EXR_PIXEL_HALF && entry.pixel_type != EXR_PIXEL_FLOAT) return false;
        names.emplace_back(entry.name.str, static_cast<std::size_t>(std::max(entry.name.length, 0)));
    }
    const ChannelSet *set = nullptr;
    for (const ChannelSet &candidate : kChannelSets) {
        if (candidate.names.size() != names.size()) continue;
        if (std::is_permutation(names.begin(), names.end(), candidate.names.begin())) set = &candidate;
    }
    if (set == nullptr) return false;
    bool any_float = false;
    for (int c = 0; c < list->num_channels; ++c) {
        FileChannel channel;
        channel.half = list->entries[c].pixel_type == EXR_PIXEL_HALF;
        channel.out = static_cast<int>(std::find(set->names.begin(), set->names.end(), names[c]) - set->names.begin());
        any_float = any_float || !channel.half;
        line_bytes_ += channel.half ? 2 : 4;
        channels_.push_back(channel);
    }
    out_channels_ = list->num_channels;
    out_float_ = any_float;
    four_halves_ = out_channels_ == 4 && !any_float;

    // The windows, with sizes that fit an int.
    const std::int64_t width = std::int64_t(data.max.x) - data.min.x + 1;
    const std::int64_t height = std::int64_t(data.max.y) - data.min.y + 1;
    if (width <= 0 || height <= 0 || width > INT_MAX || height > INT_MAX) return false;
    const std::int64_t full_width = std::int64_t(display.max.x) - display.min.x + 1;
    const std::int64_t full_height = std::int64_t(display.max.y) - display.min.y + 1;
    if (full_width > INT_MAX || full_height > INT_MAX) return false;
    min_x_ = data.min.x;
    min_y_ = data.min.y;
    width_ = static_cast<int>(width);
    height_ = static_cast<int>(height);
    line_bytes_ *= static_cast<std::size_t>(width_);
    lines_ = LinesPerChunk(compression_);
    // A whole file holds its chunk table: a header claiming more rows
    // than the file has room for is damaged (left to the general path,
    // which reports it), and the core would allocate a table that size.
    if ((std::uint64_t(height_) + std::uint64_t(lines_) - 1) / std::uint64_t(lines_) * 8u > source_->size())
        return false;
    if (!TableHolds()) return false;

    header.path = path_;
    header.format = "openexr";
    header.sample = any_float ? SampleType::kFloat : SampleType::kHalf;
    header.layout = set->layout;
    header.channels = out_channels_;
    header.rgba_names = set->layout == ChannelLayout::kRGBA;
    header.data = Window{min_x_, min_y_, width_, height_};
    header.display = full_width > 0 && full_height > 0
                         ? Window{display.min.x, display.min.y, int(full_width), int(full_height)}
                         : header.data;
    header.associated = alpha != AlphaMode::kStraight;
    header.compression = CompressionName(compression_);
    return true;
}

std::string ExrReader::LocateChunk(int chunk_y, int lines, exr_chunk_info_t &info) {
    const exr_result_t found = exr_read_scanline_chunk_info(context_.ctx, 0, chunk_y, &info);
    if (found != EXR_ERR_SUCCESS) return TakeMessage(found);
    const std::string chunk = "the chunk of row " + std::to_string(chunk_y);
    const std::uint64_t expected = std::uint64_t(line_bytes_) * std::uint64_t(lines);
    if (info.start_y != chunk_y || info.height != lines || info.width != width_)
        return chunk + " is not where the header puts it";
    // The chunk's bytes lie within the file; they are stored as they are
    // when deflating would not have made them smaller.
    const std::uint64_t size = source_->size();
    if (info.data_offset > size || info.packed_size > size - info.data_offset)
        return chunk + " runs past the end of the file";
    const bool stored = info.packed_size == expected;
    if (info.data_offset < 8 || info.packed_size > expected || (compression_ == EXR_COMPRESSION_NONE && !stored))
        return chunk + " has the wrong size";
    // The row and size the chunk starts with, which must be the table's.
    unsigned char leader[8];
    if (source_->Read(leader, 8, info.data_offset - 8) != 8) return chunk + " is cut short";
    std::int32_t own_y = 0;
    std::uint32_t own_size = 0;
    std::memcpy(&own_y, leader, 4);
    std::memcpy(&own_size, leader + 4, 4);
    if (own_y != chunk_y || own_size != info.packed_size) return chunk + " is not where the table puts it";
    return {};
}

bool ExrReader::TableHolds() {
    exr_chunk_info_t info{};
    chunks_.reserve(static_cast<std::size_t>((std::int64_t(height_) + lines_ - 1) / lines_));
    for (int chunk = 0; chunk < height_; chunk += lines_) {
        if (!LocateChunk(min_y_ + chunk, std::min(lines_, height_ - chunk), info).empty()) {
            g_last_message.clear();
            return false;
        }
        chunks_.push_back(ChunkPlace{info.data_offset, info.packed_size});
    }
    return true;
}

std::uint64_t ExrReader::HeldBytes(renderhost::Depth) const {
    // Per thread: a chunk packed, inflated and unpacked, and a strip of
    // samples.
    const std::uint64_t chunk = std::uint64_t(line_bytes_) * std::uint64_t(std::min(lines_, height_));
    const std::uint64_t samples = std::uint64_t(width_) * std::uint64_t(std::min(StripRows(), height_)) *
                                  std::uint64_t(out_channels_) * (out_float_ ? 4u : 2u);
    return CodecThreadCount() * (3u * chunk + samples);
}

const unsigned char *ExrReader::DecodeChunk(std::size_t index, int lines) const {
    const ChunkPlace &place = chunks_[index];
    const std::string row = std::to_string(min_y_ + std::int64_t(index) * lines_);
    const std::size_t expected = line_bytes_ * static_cast<std::size_t>(lines);
    // A chunk's bytes are never more than its rows' (LocateChunk); they are
    // stored as they are when deflating would not have made them smaller.
    const std::size_t most = line_bytes_ * static_cast<std::size_t>(lines_);
    unsigned char *const packed = ThreadBuffer(kPacked, most);
    if (source_->Read(packed, place.size, place.offset) != place.size)
        Damaged("the chunk of row " + row + " is cut short");
    if (place.size == expected) return packed;
    unsigned char *const inflated = ThreadBuffer(kInflated, most);
    unsigned char *const unpacked = ThreadBuffer(kUnpacked, most);
    std::size_t inflated_bytes = 0;
    const libdeflate_result result =
        libdeflate_zlib_decompress(ThreadDecompressor(), packed, place.size, inflated, expected, &inflated_bytes);
    if (result != LIBDEFLATE_SUCCESS || inflated_bytes != expected)
        Damaged("the chunk of row " + row + " does not inflate");
    ZipUnpredict(inflated, unpacked, expected);
    return unpacked;
}

void ExrReader::ReadRows(A_long first, A_long rows, unsigned char *samples) {
    if (first < 0 || rows < 0 || first > height_ - rows) throw std::logic_error("rows beyond " + path_);
    const std::size_t out_bytes = out_float_ ? 4 : 2;
    const std::size_t pixel_bytes = out_bytes * static_cast<std::size_t>(out_channels_);
    const std::size_t width = static_cast<std::size_t>(width_);
    // Chunks start at the data window's top, every lines_ rows.
    for (A_long chunk = first / lines_ * lines_; chunk < first + rows; chunk += lines_) {
        const int lines = std::min(lines_, height_ - chunk);
        const unsigned char *const rows_in = DecodeChunk(static_cast<std::size_t>(chunk / lines_), lines);
        for (int line = 0; line < lines; ++line) {
            const A_long row = chunk + line;
            if (row < first || row >= first + rows) continue;
            unsigned char *out = samples + static_cast<std::size_t>(row - first) * width * pixel_bytes;
            const unsigned char *in = rows_in + static_cast<std::size_t>(line) * line_bytes_;
            if (four_halves_) {
                const unsigned char *planes[4];
                for (std::size_t c = 0; c < 4; ++c) planes[channels_[c].out] = in + c * width * 2;
                InterleaveHalves4(planes, width, out);
                continue;
            }
            for (const FileChannel &channel : channels_) {
                unsigned char *to = out + static_cast<std::size_t>(channel.out) * out_bytes;
                if (channel.half && out_float_) {
                    std::vector<float> &floats = FloatRow(width);
                    HalvesToFloats(reinterpret_cast<const Imath::half *>(in), floats.data(), width);
                    for (std::size_t x = 0; x < width; ++x) std::memcpy(to + x * pixel_bytes, &floats[x], 4);
                    in += width * 2;
                } else if (channel.half) {
                    for (std::size_t x = 0; x < width; ++x) std::memcpy(to + x * pixel_bytes, in + 2 * x, 2);
                    in += width * 2;
                } else {
                    for (std::size_t x = 0; x < width; ++x) std::memcpy(to + x * pixel_bytes, in + 4 * x, 4);
                    in += width * 4;
                }
            }
        }
    }
}

// ---- Writing -------------------------------------------------------------

// The deflate level of an output given no level. OpenEXR's own default is
// zlib's level 4; libdeflate's level 3 writes files no larger than that on
// busy and on mostly soft frames, in less time.
constexpr int kDefaultZipLevel = 3;

// The deflate level of an output's compression: NAME:N for N from 1 to 9,
// the default otherwise (as the general writer treats 0 and levels beyond
// 9); -1 when the codec does not write it.
int ZipLevel(const std::string &compression, exr_compression_t &type) {
    const std::size_t colon = compression.find(':');
    const std::string name = compression.substr(0, colon);
    if (name.empty() || name == "zip")
        type = EXR_COMPRESSION_ZIP;
    else if (name == "zips")
        type = EXR_COMPRESSION_ZIPS;
    else
        return -1;
    if (colon == std::string::npos) return kDefaultZipLevel;
    if (name.empty()) return -1;
    const std::string level = compression.substr(colon + 1);
    if (level.empty() || level.size() > 3 || level.find_first_not_of("0123456789") != std::string::npos) return -1;
    const int n = std::stoi(level);
    return n >= 1 && n <= 9 ? n : kDefaultZipLevel;
}

// The rows of a band (whole chunks, so at least a chunk's), and the bands
// held at once: about a thirtieth of a UHD frame a band, so that helpers
// share a frame evenly, and the held bands' rooms 16 MiB for UHD half.
constexpr A_long kBandRows = 64;
constexpr std::size_t kBandsAhead = 8;

// How WriteExr cuts a world into chunks and bands. The rows go in bands of
// whole chunks, encoded at once (ForEachBand), each chunk into a room of
// its own that holds the most deflate can make of it, and written in order
// as soon as the bands before are (BandsInOrder): `held` bands' rooms.
struct Bands {
    Bands(A_long width, A_long height, bool half, exr_compression_t compression) {
        const int lines = LinesPerChunk(compression);
        chunk_bytes = std::size_t(width) * 4 * (half ? 2 : 4) * std::size_t(lines);
        chunk_room = libdeflate_zlib_compress_bound(nullptr, chunk_bytes);
        band_rows = lines * std::max(1, kBandRows / lines);
        strip_bytes = std::size_t(width) * 4 * (half ? 2 : 4) * std::size_t(band_rows);
        band_chunks = std::size_t(band_rows / lines);
        bands = std::size_t((std::int64_t(height) + band_rows - 1) / band_rows);
        held = std::min(bands, kBandsAhead);
    }
    std::size_t RoomBytes() const { return held * band_chunks * chunk_room; }
    // What each thread encoding bands holds: a band's samples, a chunk's
    // three buffers and a deflater.
    std::uint64_t ThreadBytes() const {
        return std::uint64_t(strip_bytes) + 3 * std::uint64_t(chunk_bytes) + kCompressorBytes;
    }
    // The rooms and the buffers of every thread that may encode.
    std::uint64_t HeldBytes() const { return RoomBytes() + CodecThreadCount() * ThreadBytes(); }
    std::size_t strip_bytes, chunk_bytes, chunk_room;
    A_long band_rows;
    std::size_t band_chunks, bands, held;
};

int64_t WriteToFile(exr_const_context_t, void *user, const void *buffer, uint64_t size, uint64_t offset,
                    exr_stream_error_func_ptr_t) {
    TempFile &file = *static_cast<TempFile *>(user);
    return file.WriteAt(buffer, static_cast<std::size_t>(size), offset) == size ? static_cast<int64_t>(size) : -1;
}

// `lines` rows of RGBA samples of type T as a chunk holds them: each row's
// A, B, G and R samples in turn. Returns the bytes. Half rows go 8 pixels
// at a time with SSE2.
template <class T>
std::size_t Planar(const unsigned char *in, std::size_t width, int lines, unsigned char *out) {
    const T *samples = reinterpret_cast<const T *>(in);
    T *to = reinterpret_cast<T *>(out);
    for (int line = 0; line < lines; ++line, samples += width * 4, to += width * 4) {
        std::size_t x = 0;
#if defined(__SSE2__)
        if constexpr (sizeof(T) == 2) {
            for (; x + 8 <= width; x += 8) {
                // Two pixels per register; three rounds of unpacking gather
                // each channel's eight samples.
                const auto *pixels = reinterpret_cast<const __m128i *>(samples + 4 * x);
                const __m128i p01 = _mm_loadu_si128(pixels), p23 = _mm_loadu_si128(pixels + 1);
                const __m128i p45 = _mm_loadu_si128(pixels + 2), p67 = _mm_loadu_si128(pixels + 3);
                const __m128i a = _mm_unpacklo_epi16(p01, p23), b = _mm_unpackhi_epi16(p01, p23);
                const __m128i c = _mm_unpacklo_epi16(p45, p67), d = _mm_unpackhi_epi16(p45, p67);
                const __m128i rg03 = _mm_unpacklo_epi16(a, b), ba03 = _mm_unpackhi_epi16(a, b);
                const __m128i rg47 = _mm_unpacklo_epi16(c, d), ba47 = _mm_unpackhi_epi16(c, d);
                const auto store = [&](int plane, __m128i v) {
                    _mm_storeu_si128(reinterpret_cast<__m128i *>(to + std::size_t(plane) * width + x), v);
                };
                store(0, _mm_unpackhi_epi64(ba03, ba47));  // A
                store(1, _mm_unpacklo_epi64(ba03, ba47));  // B
                store(2, _mm_unpackhi_epi64(rg03, rg47));  // G
                store(3, _mm_unpacklo_epi64(rg03, rg47));  // R
            }
        }
#endif
        for (; x < width; ++x)
            for (std::size_t plane = 0; plane < 4; ++plane) to[plane * width + x] = samples[x * 4 + 3 - plane];
    }
    return std::size_t(lines) * width * 4 * sizeof(T);
}

// The time as OpenImageIO stamps the files it writes ("capDate").
std::string CaptureDate() {
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    char text[32];
    std::strftime(text, sizeof(text), "%Y:%m:%d %H:%M:%S", &local);
    return text;
}

}  // namespace

std::unique_ptr<CodecReader> OpenExrReader(const std::string &path, AlphaMode alpha, ImageHeader &header) {
    auto source = std::make_unique<FileSource>(path);
    if (!source->ok()) return nullptr;
    auto reader = std::make_unique<ExrReader>(path, std::move(source), true);
    if (!reader->Open(alpha, header)) return nullptr;
    return reader;
}

std::unique_ptr<CodecReader> OpenExrReaderFromBytes(const std::string &name, const void *data, std::size_t size,
                                                    AlphaMode alpha, ImageHeader &header) {
    auto reader = std::make_unique<ExrReader>(name, std::make_unique<MemorySource>(data, size), false);
    if (!reader->Open(alpha, header)) return nullptr;
    return reader;
}

bool ExrWriterTakes(const OutputSpec &spec) {
    exr_compression_t type{};
    return spec.format == "openexr" && (spec.sample == SampleType::kHalf || spec.sample == SampleType::kFloat) &&
           ZipLevel(spec.compression, type) > 0;
}

std::uint64_t ExrWriterHeldBytes(const OutputSpec &spec, const Window &data) {
    exr_compression_t compression{};
    ZipLevel(spec.compression, compression);
    return Bands(data.width, data.height, spec.sample == SampleType::kHalf, compression).HeldBytes();
}

void WriteExr(TempFile &file, const renderhost::World &world, const OutputSpec &spec, const OutputWindows &windows) {
    exr_compression_t compression{};
    const int level = ZipLevel(spec.compression, compression);
    if (level < 0) throw std::logic_error("not an OpenEXR output of the fast writer: " + spec.compression);
    const auto failed = [&](const std::string &message) {
        // A failed write of the file is the cause: Commit reports it.
        if (file.failed()) return;
        throw RunError(FileMessage(file.target(), "cannot write: " + message));
    };

    Context context;
    exr_context_initializer_t init = EXR_DEFAULT_CONTEXT_INITIALIZER;
    init.user_data = &file;
    init.write_fn = WriteToFile;
    init.error_handler_fn = KeepMessage;
    exr_result_t rc = exr_start_write(&context.ctx, file.path().c_str(), EXR_WRITE_FILE_DIRECTLY, &init);
    if (rc != EXR_ERR_SUCCESS) return failed(TakeMessage(rc));
    exr_context_t ctx = context.ctx;
    const Window &data = windows.data, &display = windows.display;
    const auto box = [](const Window &w) {
        exr_attr_box2i_t b{};
        b.min.x = w.x;
        b.min.y = w.y;
        b.max.x = w.x + w.width - 1;
        b.max.y = w.y + w.height - 1;
        return b;
    };
    const exr_attr_box2i_t data_box = box(data), display_box = box(display);
    exr_attr_v2f_t center{};
    center.x = center.y = 0.f;
    const bool half = spec.sample == SampleType::kHalf;
    const exr_pixel_type_t pixel = half ? EXR_PIXEL_HALF : EXR_PIXEL_FLOAT;
    int part = 0;
    const std::string date = CaptureDate();
    if ((rc = exr_add_part(ctx, nullptr, EXR_STORAGE_SCANLINE, &part)) != EXR_ERR_SUCCESS ||
        (rc = exr_initialize_required_attr(ctx, part, &display_box, &data_box, 1.f, &center, 1.f,
                                           EXR_LINEORDER_INCREASING_Y, compression)) != EXR_ERR_SUCCESS ||
        (rc = exr_add_channel(ctx, part, "A", pixel, EXR_PERCEPTUALLY_LOGARITHMIC, 1, 1)) != EXR_ERR_SUCCESS ||
        (rc = exr_add_channel(ctx, part, "B", pixel, EXR_PERCEPTUALLY_LOGARITHMIC, 1, 1)) != EXR_ERR_SUCCESS ||
        (rc = exr_add_channel(ctx, part, "G", pixel, EXR_PERCEPTUALLY_LOGARITHMIC, 1, 1)) != EXR_ERR_SUCCESS ||
        (rc = exr_add_channel(ctx, part, "R", pixel, EXR_PERCEPTUALLY_LOGARITHMIC, 1, 1)) != EXR_ERR_SUCCESS ||
        (rc = exr_set_zip_compression_level(ctx, part, level)) != EXR_ERR_SUCCESS ||
        (rc = exr_attr_set_string(ctx, part, "capDate", date.c_str())) != EXR_ERR_SUCCESS ||
        (rc = exr_write_header(ctx)) != EXR_ERR_SUCCESS)
        return failed(TakeMessage(rc));

    const std::size_t width = static_cast<std::size_t>(world.width());
    const std::size_t pixel_bytes = 4 * (half ? 2 : 4);
    const int lines = LinesPerChunk(compression);
    const Bands layout(world.width(), world.height(), half, compression);
    const std::size_t chunk_bytes = layout.chunk_bytes, chunk_room = layout.chunk_room;
    const A_long band_rows = layout.band_rows;
    const std::size_t band_chunks = layout.band_chunks, bands = layout.bands, held = layout.held;
    // The memory the rooms and the threads' buffers take anew, checked: a
    // kept buffer serves the rooms when it can, and the threads' buffers
    // from the files before serve again.
    const std::uint64_t threads_bytes = layout.HeldBytes() - layout.RoomBytes();
    const MemoryGrant grant = GrantMemory(file.target(),
                                          KeepCodecBuffers::NewBytes({layout.RoomBytes()}) +
                                              (threads_bytes - std::min(threads_bytes, g_writer_slot_bytes.load())),
                                          AvailableMemory());
    CodecBuffer rooms(layout.RoomBytes());
    // The size of each chunk's bytes in its room.
    std::vector<std::size_t> sizes(held * band_chunks);
    const auto rows_of = [&](std::size_t band) {
        const A_long first = A_long(band) * band_rows;
        return std::make_pair(first, std::min(band_rows, world.height() - first));
    };
    // Writes band `band`'s chunks, keeping what failed.
    std::string write_error;
    const auto put = [&](std::size_t band) {
        const auto [first, rows] = rows_of(band);
        const std::size_t slot = band % held;
        for (A_long chunk = first, c = 0; chunk < first + rows; chunk += lines, ++c) {
            const std::size_t at = slot * band_chunks + std::size_t(c);
            const exr_result_t written =
                exr_write_scanline_chunk(ctx, part, data.y + chunk, rooms.data() + at * chunk_room, sizes[at]);
            if (written != EXR_ERR_SUCCESS) {
                write_error = TakeMessage(written);
                throw RunError(write_error);
            }
        }
    };
    BandsInOrder order(bands, held);
    try {
        ForEachBand(bands, [&](std::size_t band) {
            if (!order.WaitForTurn(band)) return;
            try {
                const auto [first, rows] = rows_of(band);
                const std::size_t slot = band % held;
                unsigned char *const strip = ThreadBuffer(kStrip, width * pixel_bytes * std::size_t(band_rows));
                unsigned char *const planar = ThreadBuffer(kPlanar, chunk_bytes);
                unsigned char *const scratch = ThreadBuffer(kScratch, chunk_bytes);
                unsigned char *const predicted = ThreadBuffer(kPredicted, chunk_bytes);
                libdeflate_compressor *compressor = ThreadCompressor(level);
                EncodeStrip(world, spec.sample, spec.associated, first, rows, strip);
                for (A_long chunk = first, c = 0; chunk < first + rows; chunk += lines, ++c) {
                    const int chunk_lines = std::min<A_long>(lines, first + rows - chunk);
                    const std::size_t at = slot * band_chunks + std::size_t(c);
                    unsigned char *room = rooms.data() + at * chunk_room;
                    // Each row's channels in turn, in the file's order.
                    const unsigned char *rows_in = strip + std::size_t(chunk - first) * width * pixel_bytes;
                    const std::size_t n = half ? Planar<std::uint16_t>(rows_in, width, chunk_lines, planar)
                                               : Planar<std::uint32_t>(rows_in, width, chunk_lines, planar);
                    ZipPredict(planar, scratch, predicted, n);
                    const std::size_t size = libdeflate_zlib_compress(compressor, predicted, n, room, chunk_room);
                    // Stored as they are when deflating does not make them
                    // smaller, as readers expect.
                    const bool stored = size == 0 || size >= n;
                    sizes[at] = stored ? n : size;
                    if (stored) std::memcpy(room, planar, n);
                }
            } catch (...) {
                order.Abandon();
                throw;
            }
            order.Ended(band, put);
        });
    } catch (const RunError &) {
        if (write_error.empty()) throw;
        return failed(write_error);
    }
    rc = exr_finish(&context.ctx);
    if (rc != EXR_ERR_SUCCESS) return failed(TakeMessage(rc));
}

}  // namespace veilshadow
