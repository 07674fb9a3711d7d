// veilshadow's own PNG codec against OpenImageIO's (libpng's) on the same
// files: headers, pixels, every filter, damaged files, and what it writes.
#include "CodecThreads.h"
#include "DeflateBands.h"
#include "Errors.h"
#include "ImageIO.h"
#include "PngCodec.h"
#include "SampleCodec.h"

#include "cli_test_support.h"

#include <gtest/gtest.h>
#include <libdeflate.h>

#include <cstring>
#include <fstream>
#include <iterator>
#include <memory>
#include <optional>
#include <random>
#include <set>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace veilshadow {
namespace {

using clitest::Sample;
using Bytes = std::vector<unsigned char>;

Bytes Load(const std::string &path) {
    std::ifstream file(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(file), {});
}
void Save(const std::string &path, const Bytes &bytes) {
    std::ofstream file(path, std::ios::binary | std::ios::trunc);
    file.write(reinterpret_cast<const char *>(bytes.data()), std::streamsize(bytes.size()));
}

std::uint32_t Get32(const unsigned char *p) { return std::uint32_t(p[0]) << 24 | p[1] << 16 | p[2] << 8 | p[3]; }
void Put32(unsigned char *p, std::uint32_t v) {
    for (int i = 0; i < 4; ++i) p[i] = static_cast<unsigned char>(v >> (24 - 8 * i));
}

Bytes Chunk(const std::string &type, const Bytes &data) {
    Bytes chunk(12 + data.size());
    Put32(chunk.data(), std::uint32_t(data.size()));
    std::memcpy(&chunk[4], type.data(), 4);
    std::copy(data.begin(), data.end(), chunk.begin() + 8);
    Put32(&chunk[8 + data.size()], libdeflate_crc32(0, &chunk[4], data.size() + 4));
    return chunk;
}

// Where each chunk starts, and its type.
std::vector<std::pair<std::size_t, std::string>> Chunks(const Bytes &png) {
    std::vector<std::pair<std::size_t, std::string>> chunks;
    for (std::size_t at = 8; at + 12 <= png.size(); at += 12 + Get32(&png[at]))
        chunks.emplace_back(at, std::string(reinterpret_cast<const char *>(&png[at + 4]), 4));
    return chunks;
}
std::size_t Find(const Bytes &png, const std::string &type) {
    for (const auto &chunk : Chunks(png))
        if (chunk.second == type) return chunk.first;
    return 0;
}
void FixCrc(Bytes &png, std::size_t at) {
    const std::uint32_t length = Get32(&png[at]);
    Put32(&png[at + 8 + length], libdeflate_crc32(0, &png[at + 4], length + 4));
}

// The image as each reader decodes it into a world, and the header.
struct Read {
    ImageHeader header;
    std::vector<unsigned char> pixels;
};
Read ReadWith(const std::string &path, AlphaMode alpha, bool fast) {
    SetPngCodecEnabled(fast);
    ImageReader reader(path, alpha);
    const renderhost::World world =
        reader.ReadWorld(reader.header().sample == SampleType::kUInt8 ? renderhost::Depth::k8 : renderhost::Depth::k16);
    SetPngCodecEnabled(true);
    Read read{reader.header(), {}};
    for (A_long y = 0; y < world.height(); ++y) {
        const auto *row = world.depth() == renderhost::Depth::k8
                              ? reinterpret_cast<const unsigned char *>(world.Row<PF_Pixel>(y))
                              : reinterpret_cast<const unsigned char *>(world.Row<PF_Pixel16>(y));
        read.pixels.insert(read.pixels.end(), row, row + world.width() * PixelBytes(world.depth()));
    }
    return read;
}

void ExpectSameRead(const std::string &path, bool taken) {
    ImageHeader unused;
    EXPECT_EQ(OpenPngReader(path, AlphaMode::kAuto, unused) != nullptr, taken) << path;
    for (AlphaMode alpha : {AlphaMode::kAuto, AlphaMode::kStraight, AlphaMode::kAssociated}) {
        const Read fast = ReadWith(path, alpha, true), general = ReadWith(path, alpha, false);
        const ImageHeader &f = fast.header, &g = general.header;
        EXPECT_EQ(f.path, g.path);
        EXPECT_EQ(f.format, g.format) << path;
        EXPECT_EQ(f.sample, g.sample) << path;
        EXPECT_EQ(f.layout, g.layout) << path;
        EXPECT_EQ(f.channels, g.channels) << path;
        EXPECT_EQ(f.rgba_names, g.rgba_names) << path;
        EXPECT_TRUE(f.data.x == g.data.x && f.data.y == g.data.y && f.data.width == g.data.width &&
                    f.data.height == g.data.height)
            << path;
        EXPECT_TRUE(f.display.x == g.display.x && f.display.y == g.display.y && f.display.width == g.display.width &&
                    f.display.height == g.display.height)
            << path;
        EXPECT_EQ(f.associated, g.associated) << path << " alpha " << AlphaModeName(alpha);
        EXPECT_EQ(f.compression, g.compression) << path;
        EXPECT_TRUE(fast.pixels == general.pixels) << path << " alpha " << AlphaModeName(alpha);
    }
}

// Files libpng wrote (adaptive filters), with the chunks other writers
// add; those the codec leaves to OpenImageIO read the same through it.
struct ReadCase {
    const char *name;
    Sample sample;
    int channels, width, height;
    std::vector<std::pair<std::string, Bytes>> extra;  // chunks added after IHDR
    bool taken;
};

TEST(PngCodec, ReadsAsTheGeneralPathDoes) {
    clitest::TempDir dir;
    const Bytes gamma = {0, 0, 0xb1, 0x8f}, srgb = {0}, offset = {0, 0, 0, 7, 0, 0, 0, 3, 0}, bits = {5, 6, 7, 8};
    const Bytes text = {'C', 'o', 'm', 'm', 'e', 'n', 't', 0, 'h', 'i'}, background = {0, 9, 0, 200, 1, 4};
    const std::vector<ReadCase> cases = {
        {"gray8", Sample::kU8, 1, 13, 9, {}, true},
        {"gray16", Sample::kU16, 1, 1, 5, {}, true},
        {"gray_alpha8", Sample::kU8, 2, 7, 6, {{"gAMA", gamma}}, true},
        {"gray_alpha16", Sample::kU16, 2, 9, 4, {{"sRGB", srgb}}, true},
        {"rgb8", Sample::kU8, 3, 5, 7, {{"oFFs", offset}}, true},
        {"rgb16", Sample::kU16, 3, 11, 3, {{"tEXt", text}}, true},
        {"rgba8", Sample::kU8, 4, 300, 270, {{"sBIT", bits}, {"gAMA", gamma}}, true},
        {"rgba16", Sample::kU16, 4, 33, 17, {{"bKGD", background}}, true},
        {"rgba8_one_pixel", Sample::kU8, 4, 1, 1, {}, true},
        {"rgb8_key_colour", Sample::kU8, 3, 6, 6, {{"tRNS", {0, 9, 0, 200, 1, 4}}}, false},
        {"rgba8_bad_text_crc", Sample::kU8, 4, 6, 6, {{"tEXt", text}}, false},
    };
    std::set<int> filters_seen;
    for (const ReadCase &c : cases) {
        const std::string path = dir / (std::string(c.name) + ".png");
        clitest::TestImage image = clitest::RandomImage(c.sample, c.channels, 0, 0, c.width, c.height, 11);
        // Smooth rows between random ones, so that libpng picks every filter.
        for (int y = 0; y < c.height; y += 3)
            for (int x = 0; x < c.width; ++x)
                for (int ch = 0; ch < c.channels; ++ch) image.at(x, y, ch) = float((x * 3 + ch * 7 + y) % 200);
        clitest::WriteTestImage(path, image);
        Bytes png = Load(path);
        std::size_t at = 8 + 25;
        for (const auto &extra : c.extra) {
            Bytes chunk = Chunk(extra.first, extra.second);
            if (std::string(c.name).find("bad_text_crc") != std::string::npos) chunk.back() ^= 1;
            png.insert(png.begin() + std::ptrdiff_t(at), chunk.begin(), chunk.end());
            at += chunk.size();
        }
        Save(path, png);
        ExpectSameRead(path, c.taken);

        PngHead head;
        if (ReadPngHead(png.data(), png.size(), head) != PngHeadResult::kTaken) continue;
        Bytes rest(png.begin() + std::ptrdiff_t(head.first_idat), png.end());
        Bytes filtered(head.FilteredBytes());
        ASSERT_EQ(InflatePng(head, rest.data(), rest.size(), filtered.data()), "") << c.name;
        for (std::uint32_t y = 0; y < head.height; ++y) filters_seen.insert(filtered[y * (1 + head.RowBytes())]);
    }
    EXPECT_EQ(filters_seen, (std::set<int>{0, 1, 2, 3, 4}));
    // Palette, interlaced and 4-bit files stay with OpenImageIO.
    for (const char *name : {"palette", "interlaced", "gray4"}) {
        const std::string path = dir / (std::string(name) + ".png");
        Bytes png = Load(dir / "rgba8_one_pixel.png");
        Bytes ihdr(png.begin() + 16, png.begin() + 29);
        if (std::string(name) == "palette") ihdr[9] = 3;
        if (std::string(name) == "interlaced") ihdr[12] = 1;
        if (std::string(name) == "gray4") ihdr[8] = 4, ihdr[9] = 0;
        const Bytes chunk = Chunk("IHDR", ihdr);
        std::copy(chunk.begin(), chunk.end(), png.begin() + 8);
        Save(path, png);
        ImageHeader header;
        EXPECT_EQ(OpenPngReader(path, AlphaMode::kAuto, header), nullptr) << name;
    }
}

// What the encoder writes (each filter forced, and adaptive) reads back the
// same through libpng and through the codec's own reader.
TEST(PngCodec, EveryFilterRoundTripsThroughLibpng) {
    clitest::TempDir dir;
    std::mt19937 rng(3);
    for (int depth : {8, 16})
        for (int channels = 1; channels <= 4; ++channels)
            for (std::uint32_t width : {1u, 5u, 13u})
                for (int filter = -1; filter <= 4; ++filter) {
                    const std::uint32_t height = 6;
                    Bytes samples(std::size_t(width) * height * channels * (depth / 8));
                    for (auto &s : samples) s = static_cast<unsigned char>(rng() % 7 == 0 ? rng() : rng() % 16);
                    PngEncoder encoder(width, height, depth, channels, filter < 0 ? 6 : 1, filter);
                    encoder.AddRows(samples.data(), height);
                    Bytes png;
                    encoder.Finish(
                        [&](const unsigned char *data, std::size_t size) { png.insert(png.end(), data, data + size); });
                    const std::string label = std::to_string(depth) + "-bit, " + std::to_string(channels) +
                                              " channels, width " + std::to_string(width) + ", filter " +
                                              std::to_string(filter);
                    PngHead head;
                    Bytes decoded;
                    std::string error;
                    ASSERT_EQ(DecodePng(png.data(), png.size(), 1 << 20, head, decoded, error), PngHeadResult::kTaken);
                    EXPECT_EQ(error, "") << label;
                    EXPECT_TRUE(decoded == samples) << label;
                    const std::string path = dir / "f.png";
                    Save(path, png);
                    const clitest::TestImage libpng = clitest::ReadTestImage(path);
                    ASSERT_EQ(libpng.samples.size() * (depth / 8), samples.size()) << label;
                    for (std::size_t i = 0; i < libpng.samples.size(); ++i) {
                        std::uint16_t v = samples[i * (depth / 8)];
                        if (depth == 16) std::memcpy(&v, &samples[i * 2], 2);
                        ASSERT_EQ(libpng.samples[i], float(v)) << label << " sample " << i;
                    }
                }
}

// The encoder's SSE2 filtering writes the same files as its AVX2 filtering
// (which the tests around check where the processor has it), for rows
// of every width up to two 32-byte blocks and beyond.
TEST(PngCodec, FilteringWritesTheSameWithAvx2OnAndOff) {
    std::mt19937 rng(41);
    for (int depth : {8, 16})
        for (int channels = 1; channels <= 4; ++channels)
            for (std::uint32_t width = 1; width <= 70; width += 3) {
                const std::uint32_t height = 5;
                Bytes samples(std::size_t(width) * height * channels * (depth / 8));
                for (auto &s : samples) s = static_cast<unsigned char>(rng() % 5 == 0 ? rng() : rng() % 8);
                Bytes png[2];
                for (int avx2 = 0; avx2 < 2; ++avx2) {
                    SetPngAvx2Enabled(avx2 == 1);
                    PngEncoder encoder(width, height, depth, channels, 1);
                    encoder.AddRows(samples.data(), height);
                    encoder.Finish(
                        [&](const unsigned char *d, std::size_t n) { png[avx2].insert(png[avx2].end(), d, d + n); });
                }
                SetPngAvx2Enabled(true);
                EXPECT_TRUE(png[0] == png[1]) << depth << "-bit, " << channels << " channels, width " << width;
            }
}

// The filter each row gets without one forced is the one whose bytes cost
// least (the first of equal ones), a byte read as signed costing its size
// and 64 more when it is not 0, worked out here from the filters'
// definitions; rows long enough for the encoder's 16-byte steps and their
// ends. A gradient under a row of spikes is one where the sizes alone
// choose another filter.
TEST(PngCodec, EachRowGetsTheFilterThatCostsLeast) {
    std::mt19937 rng(11);
    for (int depth : {8, 16})
        for (int channels : {3, 4})
            for (std::uint32_t width : {2u, 7u, 37u}) {
                const std::uint32_t height = 30;
                const std::size_t bpp = std::size_t(channels) * (depth / 8), n = width * bpp;
                // Rows of each kind: smooth across, smooth down, a gradient
                // with spikes, the gradient without them, noisy.
                Bytes samples(n * height);
                for (std::uint32_t y = 0; y < height; ++y)
                    for (std::size_t i = 0; i < n; ++i) {
                        const std::size_t spike = y % 5 == 2 && i % 9 == 4 ? 100 : 0;
                        samples[y * n + i] = static_cast<unsigned char>(y % 5 == 0   ? i / bpp * 3
                                                                        : y % 5 == 1 ? y * 5 + i % bpp
                                                                        : y % 5 < 4  ? i / bpp + spike
                                                                                     : rng());
                    }
                PngEncoder encoder(width, height, depth, channels, 1);
                encoder.AddRows(samples.data(), height);
                Bytes png;
                encoder.Finish([&](const unsigned char *d, std::size_t size) { png.insert(png.end(), d, d + size); });
                PngHead head;
                ASSERT_EQ(ReadPngHead(png.data(), png.size(), head), PngHeadResult::kTaken);
                Bytes rest(png.begin() + std::ptrdiff_t(head.first_idat), png.end());
                Bytes filtered(head.FilteredBytes());
                ASSERT_EQ(InflatePng(head, rest.data(), rest.size(), filtered.data()), "");
                for (std::uint32_t y = 0; y < height; ++y) {
                    // The file holds 16-bit samples big-endian.
                    const auto at = [&](std::uint32_t row, std::size_t i) -> int {
                        if (row >= height) return 0;  // above the first row
                        const std::size_t k = depth == 16 ? (i ^ 1) : i;
                        return samples[row * n + k];
                    };
                    const std::uint32_t above = y == 0 ? height : y - 1;
                    long best_cost = -1;
                    int best = 0;
                    for (int f = 0; f < 5; ++f) {
                        long cost = 0;
                        for (std::size_t i = 0; i < n; ++i) {
                            const int x = at(y, i), b = at(above, i);
                            const int a = i >= bpp ? at(y, i - bpp) : 0, c = i >= bpp ? at(above, i - bpp) : 0;
                            const int pa = std::abs(b - c), pb = std::abs(a - c), pc = std::abs(a + b - 2 * c);
                            const int predicted[5] = {0, a, b, (a + b) / 2,
                                                      pa <= pb && pa <= pc ? a
                                                      : pb <= pc           ? b
                                                                           : c};
                            const int size = std::abs(int(static_cast<signed char>(x - predicted[f])));
                            cost += size + (size != 0 ? 64 : 0);
                        }
                        if (best_cost < 0 || cost < best_cost) best_cost = cost, best = f;
                    }
                    EXPECT_EQ(filtered[y * (n + 1)], best)
                        << depth << "-bit, " << channels << " channels, width " << width << ", row " << y;
                }
            }
}

// A damaged file is an error for that file, whose message names it; the
// sanitizers watch that no byte beyond the file is read.
struct DamageCase {
    const char *name;
    void (*damage)(Bytes &png);
    const char *message;
};

TEST(PngCodec, DamagedFilesAreErrorsNamingTheFile) {
    clitest::TempDir dir;
    const std::string good = dir / "good.png";
    clitest::WriteTestImage(good, clitest::RandomImage(Sample::kU8, 4, 0, 0, 40, 300, 7));
    const DamageCase cases[] = {
        {"bad IDAT CRC", [](Bytes &png) { png[Find(png, "IDAT") + 20] ^= 0x10; }, "CRC of a IDAT chunk"},
        {"bad IEND CRC", [](Bytes &png) { png.back() ^= 1; }, "CRC of a IEND chunk"},
        {"no IEND", [](Bytes &png) { png.resize(png.size() - 12); }, "ends before its IEND"},
        {"cut in a chunk", [](Bytes &png) { png.resize(Find(png, "IDAT") + 100); }, "beyond the end of the file"},
        {"cut in a header", [](Bytes &png) { png.resize(png.size() - 6); }, "cut short"},
        {"length beyond the file", [](Bytes &png) { Put32(&png[Find(png, "IEND")], 0x7ffffff0u); },
         "beyond the end of the file"},
        {"damaged stream",
         [](Bytes &png) {
             const std::size_t at = Find(png, "IDAT");
             for (std::size_t i = 8; i < 40; ++i) png[at + i] = 0xff;
             FixCrc(png, at);
         },
         "damaged"},
        {"fewer rows than the header",
         [](Bytes &png) {
             Put32(&png[16 + 4], Get32(&png[16 + 4]) + 1);
             FixCrc(png, 8);
         },
         "end before its last row"},
        {"more rows than the header",
         [](Bytes &png) {
             Put32(&png[16 + 4], Get32(&png[16 + 4]) - 1);
             FixCrc(png, 8);
         },
         "more rows than its size"},
        {"bad filter type",
         [](Bytes &png) {
             // Row 200's filter byte set to 5, the stream made again.
             PngHead head;
             ReadPngHead(png.data(), png.size(), head);
             Bytes rest(png.begin() + std::ptrdiff_t(head.first_idat), png.end());
             Bytes filtered(head.FilteredBytes());
             InflatePng(head, rest.data(), rest.size(), filtered.data());
             filtered[200 * (1 + head.RowBytes())] = 5;
             libdeflate_compressor *c = libdeflate_alloc_compressor(1);
             Bytes z(libdeflate_zlib_compress_bound(c, filtered.size()));
             z.resize(libdeflate_zlib_compress(c, filtered.data(), filtered.size(), z.data(), z.size()));
             libdeflate_free_compressor(c);
             png.resize(head.first_idat);
             for (const Bytes &chunk : {Chunk("IDAT", z), Chunk("IEND", {})})
                 png.insert(png.end(), chunk.begin(), chunk.end());
         },
         "filter type"},
        {"IDAT chunks apart",
         [](Bytes &png) {
             const std::size_t at = Find(png, "IDAT");
             const Bytes text = Chunk("tEXt", {'a', 0, 'b'});
             png.insert(png.begin() + std::ptrdiff_t(at + 12 + 100), text.begin(), text.end());
             // The IDAT cut in two around it.
             Bytes first =
                 Chunk("IDAT", Bytes(png.begin() + std::ptrdiff_t(at + 8), png.begin() + std::ptrdiff_t(at + 108)));
             const std::uint32_t length = Get32(&png[at]);
             Bytes second = Chunk("IDAT", Bytes(png.begin() + std::ptrdiff_t(at + 108 + text.size()),
                                                png.begin() + std::ptrdiff_t(at + 8 + length + text.size())));
             Bytes out(png.begin(), png.begin() + std::ptrdiff_t(at));
             for (const Bytes &part : {first, text, second}) out.insert(out.end(), part.begin(), part.end());
             out.insert(out.end(), png.begin() + std::ptrdiff_t(at + 12 + length + text.size()), png.end());
             png = out;
         },
         "not one after the other"},
    };
    for (const DamageCase &c : cases) {
        Bytes png = Load(good);
        c.damage(png);
        const std::string path = dir / "damaged.png";
        Save(path, png);
        ImageReader reader(path, AlphaMode::kAuto);
        try {
            reader.ReadWorld(renderhost::Depth::k8);
            ADD_FAILURE() << c.name << ": read without an error";
        } catch (const RunError &e) {
            const std::string message = e.what();
            EXPECT_EQ(message.rfind(path + ": ", 0), 0u) << c.name << ": " << message;
            EXPECT_NE(message.find(c.message), std::string::npos) << c.name << ": " << message;
        }
    }
    // A header that claims far more pixels than memory holds is refused
    // before the pixels are allocated.
    Bytes png = Load(good);
    Put32(&png[16], 1000000);
    Put32(&png[20], 1000000);
    FixCrc(png, 8);
    Save(dir / "huge.png", png);
    ImageHeader header;
    auto reader = OpenPngReader(dir / "huge.png", AlphaMode::kAuto, header);
    ASSERT_NE(reader, nullptr);
    unsigned char unused[1];
    EXPECT_THROW(reader->ReadRows(0, 256, unused), RunError);
}

// Bands deflated alone and joined inflate to what went in, at every
// level: stored, fixed and dynamic blocks, ending anywhere in a byte; the
// Adler-32 of the joined bytes is checked by the inflater. Every stream
// cut short is found not whole, and its ends are where the whole one's are.
TEST(DeflateBands, JoinedBandsInflateToTheirBytes) {
    std::mt19937 rng(17);
    std::set<unsigned> first_block_types;
    const std::unique_ptr<libdeflate_decompressor, void (*)(libdeflate_decompressor *)> inflater(
        libdeflate_alloc_decompressor(), libdeflate_free_decompressor);
    for (int level : {0, 1, 6, 12}) {
        const std::unique_ptr<libdeflate_compressor, void (*)(libdeflate_compressor *)> compressor(
            libdeflate_alloc_compressor(level), libdeflate_free_compressor);
        ASSERT_NE(compressor, nullptr);
        for (int round = 0; round < 6; ++round) {
            Bytes all;
            std::vector<DeflatedBand> bands(3 + rng() % 3);
            for (std::size_t b = 0; b < bands.size(); ++b) {
                // Empty, 300 bytes of a short repeat (a fixed block), noise,
                // runs and repeats, or skewed bytes (rare ones get codes
                // longer than 10 bits).
                const std::size_t size = b == 1 ? 0 : b == 2 ? 300 : rng() % 90000;
                Bytes data(size);
                const unsigned kind = b == 2 ? 3 : rng() % 3;
                for (std::size_t i = 0; i < size; ++i)
                    data[i] = static_cast<unsigned char>(kind == 3    ? 'a' + i % 26
                                                         : kind == 0  ? rng()
                                                         : kind == 1  ? (i > 40 && rng() % 4 ? data[i - 37] : rng() % 5)
                                                         : rng() % 64 ? __builtin_ctz(rng() | 1u << 20)
                                                                      : rng());
                DeflateBand(*compressor, data.data(), data.size(), bands[b]);
                if (!bands[b].bytes.empty()) first_block_types.insert(bands[b].bytes[0] >> 1 & 3);
                DeflateEnds ends;
                ASSERT_TRUE(FindDeflateEnds(bands[b].bytes.data(), bands[b].bytes.size(), ends));
                EXPECT_EQ((ends.end + 7) / 8, bands[b].bytes.size());
                for (std::size_t cut = 0; cut < bands[b].bytes.size(); cut += 1 + cut / 16) {
                    const Bytes part(bands[b].bytes.begin(), bands[b].bytes.begin() + std::ptrdiff_t(cut));
                    DeflateEnds cut_ends;
                    EXPECT_FALSE(FindDeflateEnds(part.data(), part.size(), cut_ends)) << level << " " << cut;
                }
                all.insert(all.end(), data.begin(), data.end());
            }
            JoinZlibBands(bands, level);
            Bytes stream;
            for (const DeflatedBand &band : bands) stream.insert(stream.end(), band.bytes.begin(), band.bytes.end());
            Bytes out(all.size() + 1);
            std::size_t got = 0;
            ASSERT_EQ(
                libdeflate_zlib_decompress(inflater.get(), stream.data(), stream.size(), out.data(), out.size(), &got),
                LIBDEFLATE_SUCCESS)
                << "level " << level << ", " << bands.size() << " bands";
            out.resize(got);
            EXPECT_TRUE(out == all) << "level " << level;
            EXPECT_EQ(Get32(stream.data() + stream.size() - 4), libdeflate_adler32(1, all.data(), all.size()));
        }
    }
    EXPECT_EQ(first_block_types, (std::set<unsigned>{0, 1, 2}));
    // Adler-32 sums past the modulus, and of nothing.
    Bytes ones(200000, 0xff);
    for (std::size_t split : {std::size_t{0}, std::size_t{1}, std::size_t{65521}, std::size_t{199999}})
        EXPECT_EQ(CombineAdler32(libdeflate_adler32(1, ones.data(), split),
                                 libdeflate_adler32(1, ones.data() + split, ones.size() - split), ones.size() - split),
                  libdeflate_adler32(1, ones.data(), ones.size()))
            << split;
}

// The file does not depend on how the rows come in: all at once, a few
// at a time across bands, or band by band backwards (bands of the fewest
// rows here).
TEST(PngCodec, TheFileIsTheSameHoweverTheRowsComeIn) {
    const std::uint32_t width = 9, height = 2 * PngEncoder::kBandRows + 5;
    std::mt19937 rng(23);
    Bytes samples(std::size_t(width) * height * 4);
    for (auto &s : samples) s = static_cast<unsigned char>(rng() % 3 ? rng() % 8 : rng());
    const std::size_t n = std::size_t(width) * 4;
    const auto file = [&](int how) {
        PngEncoder encoder(width, height, 8, 4, 6, -1, 1);
        EXPECT_EQ(encoder.Bands(), 3u);
        if (how == 0) encoder.AddRows(samples.data(), height);
        for (std::uint32_t y = 0; how == 1 && y < height; y += std::min<std::uint32_t>(7, height - y))
            encoder.AddRows(samples.data() + y * n, std::min<std::uint32_t>(7, height - y));
        for (std::uint32_t band = encoder.Bands(); how == 2 && band-- > 0;) {
            const std::size_t first = std::size_t(band) * encoder.RowsPerBand();
            encoder.EncodeBand(band, samples.data() + first * n,
                               first > 0 ? samples.data() + (first - 1) * n : nullptr);
        }
        Bytes png;
        encoder.Finish([&](const unsigned char *d, std::size_t size) { png.insert(png.end(), d, d + size); });
        return png;
    };
    const Bytes whole = file(0);
    EXPECT_EQ(file(1), whole);
    EXPECT_EQ(file(2), whole);
    // Put as the bands are done: a band's bytes once every band before it
    // is encoded, the head first and IEND last.
    {
        PngEncoder encoder(width, height, 8, 4, 6, -1, 1);
        Bytes png;
        const PngEncoder::Put put = [&](const unsigned char *d, std::size_t size) {
            png.insert(png.end(), d, d + size);
        };
        std::vector<std::size_t> given;
        for (const std::uint32_t band : {1u, 0u, 2u}) {
            const std::size_t first = std::size_t(band) * encoder.RowsPerBand();
            encoder.EncodeBand(band, samples.data() + first * n,
                               first > 0 ? samples.data() + (first - 1) * n : nullptr);
            encoder.Ended(band, put);
            given.push_back(png.size());
        }
        EXPECT_EQ(given[0], 0u);            // band 0 is not done
        EXPECT_GT(given[1], 8u + 25 + 21);  // the signature, IHDR and oFFs, then bands 0 and 1
        EXPECT_GT(given[2], given[1]);
        encoder.Finish(put);
        EXPECT_EQ(png.size(), given[2] + 12);
        EXPECT_TRUE(png == whole);
    }
    PngHead head;
    Bytes decoded;
    std::string error;
    ASSERT_EQ(DecodePng(whole.data(), whole.size(), 1 << 20, head, decoded, error), PngHeadResult::kTaken);
    EXPECT_EQ(error, "");
    EXPECT_TRUE(decoded == samples);
    PngEncoder short_of_rows(width, height, 8, 4, 6);
    short_of_rows.AddRows(samples.data(), height - 1);
    EXPECT_THROW(short_of_rows.Finish([](const unsigned char *, std::size_t) {}), std::logic_error);
}

// Threads encode at most kBandsAhead bands past the first not yet put,
// so the encoder's memory does not grow with the image; Abandon releases
// a thread waiting for its turn.
TEST(PngCodec, EncodingThreadsHoldAtMostTheBandsAhead) {
    constexpr std::uint32_t kAhead = PngEncoder::kBandsAhead;
    const std::uint32_t height = (kAhead + 2) * PngEncoder::kBandRows;
    const Bytes samples(std::size_t(height) * 4, 7);
    PngEncoder encoder(1, height, 8, 4, 1, -1, 1);
    ASSERT_EQ(encoder.Bands(), kAhead + 2);
    Bytes png;
    const PngEncoder::Put put = [&](const unsigned char *d, std::size_t size) { png.insert(png.end(), d, d + size); };
    const auto encode = [&](std::uint32_t band) {
        const std::size_t first = std::size_t(band) * encoder.RowsPerBand() * 4;
        encoder.EncodeBand(band, samples.data() + first, band > 0 ? samples.data() + first - 4 : nullptr);
        encoder.Ended(band, put);
    };
    EXPECT_TRUE(encoder.MayEncode(kAhead - 1));
    EXPECT_FALSE(encoder.MayEncode(kAhead));
    for (std::uint32_t band = 1; band < kAhead; ++band) encode(band);
    EXPECT_FALSE(encoder.MayEncode(kAhead));  // band 0 holds them all back
    bool turn = false;
    std::thread waiting([&] { turn = encoder.WaitForTurn(kAhead + 1); });
    encode(0);
    EXPECT_TRUE(encoder.MayEncode(kAhead + 1));
    waiting.join();
    EXPECT_TRUE(turn);
    encode(kAhead);
    encode(kAhead + 1);
    encoder.Finish(put);
    Bytes decoded;
    PngHead head;
    std::string error;
    ASSERT_EQ(DecodePng(png.data(), png.size(), 1 << 20, head, decoded, error), PngHeadResult::kTaken);
    EXPECT_EQ(error, "");
    EXPECT_TRUE(decoded == samples);

    PngEncoder stopped(1, height, 8, 4, 1, -1, 1);
    std::thread released([&] { turn = stopped.WaitForTurn(kAhead); });
    stopped.Abandon();
    released.join();
    EXPECT_FALSE(turn);
    EXPECT_FALSE(stopped.WaitForTurn(0));

    // What the memory check counts stops growing past kBandsAhead bands.
    const std::uint32_t rows = PngEncoder::RowsPerBand(3840, 8, 4);
    EXPECT_LT(PngEncoder::HeldBytes(3840, rows * (kAhead - 1), 8, 4), PngEncoder::HeldBytes(3840, rows * kAhead, 8, 4));
    EXPECT_EQ(PngEncoder::HeldBytes(3840, rows * kAhead, 8, 4), PngEncoder::HeldBytes(3840, 8 * 2160, 8, 4));
}

// 8-bit RGBA rows decoded four pixels at a time are those of the general
// row decoder, wherever the row starts against the 16-byte blocks and
// whatever its width.
TEST(PngCodec, Rgba8RowsDecodeAsEveryRowDoes) {
    std::mt19937 rng(29);
    Bytes in(4 * 40);
    for (auto &s : in) s = static_cast<unsigned char>(rng());
    std::vector<PF_Pixel> ours(44), reference(44);
    for (A_long width = 0; width <= 40; ++width)
        for (std::size_t shift = 0; shift < 4; ++shift) {
            std::fill(ours.begin(), ours.end(), PF_Pixel{1, 2, 3, 4});
            reference = ours;
            DecodeRgba8Row(in.data(), width, ours.data() + shift);
            DecodeRow<std::uint8_t>(in.data(), PackedSteps<std::uint8_t>(4), 4, false, width, reference.data() + shift);
            EXPECT_EQ(std::memcmp(ours.data(), reference.data(), ours.size() * sizeof(PF_Pixel)), 0)
                << "width " << width << ", " << shift << " pixels past a block";
        }
}

// 8-bit RGBA rows of random bytes under every ordered pair of filter
// types, and runs of 1 to 9 average or Paeth rows (each after a row of
// type 0, so that rows that wait on their left pixel are undone two or
// four together), unfiltered in a strip and in a world's memory, with
// AVX2 on and off, against the filters' definitions; and an unknown type
// in or after such a run.
TEST(PngCodec, EveryRunOfRowFiltersIsUndone) {
    std::mt19937 rng(37);
    std::vector<int> types;
    for (int t0 = 0; t0 <= 4; ++t0)
        for (int t1 = 0; t1 <= 4; ++t1) types.insert(types.end(), {0, t0, t1});
    for (int type : {3, 4})
        for (int run = 1; run <= 9; ++run) {
            types.push_back(0);
            types.insert(types.end(), std::size_t(run), type);
        }
    types.insert(types.end(), {4, 4, 4});  // the last rows, with none below them
    for (const std::uint32_t width : {2u, 3u, 37u})
        for (const bool avx2 : {true, false}) {
            PngHead head;
            head.width = width;
            head.height = std::uint32_t(types.size());
            const std::size_t n = head.RowBytes(), stride = n + 1;
            Bytes filtered(head.FilteredBytes()), expected(n * head.height);
            for (std::uint32_t y = 0; y < head.height; ++y) {
                filtered[y * stride] = static_cast<unsigned char>(types[y]);
                for (std::size_t i = 0; i < n; ++i) {
                    const int x = filtered[y * stride + 1 + i] = static_cast<unsigned char>(rng());
                    const int a = i >= 4 ? expected[y * n + i - 4] : 0, b = y > 0 ? expected[(y - 1) * n + i] : 0,
                              c = i >= 4 && y > 0 ? expected[(y - 1) * n + i - 4] : 0;
                    const int p = a + b - c, pa = std::abs(p - a), pb = std::abs(p - b), pc = std::abs(p - c);
                    const int predicted[5] = {0, a, b, (a + b) / 2, pa <= pb && pa <= pc ? a : pb <= pc ? b : c};
                    expected[y * n + i] = static_cast<unsigned char>(x + predicted[types[y]]);
                }
            }
            renderhost::World world(renderhost::Depth::k8, A_long(width), A_long(head.height), 0, 0, std::nullopt,
                                    head.height);
            std::memcpy(world.data(), filtered.data(), filtered.size());
            SetPngAvx2Enabled(avx2);
            const bool in_world = UnfilterInWorld(head, world),
                       in_strip = UnfilterPngRows(head, filtered.data(), 0, head.height);
            SetPngAvx2Enabled(true);
            ASSERT_TRUE(in_world && in_strip);
            for (std::uint32_t y = 0; y < head.height; ++y) {
                const std::string where = "width " + std::to_string(width) + ", row " + std::to_string(y) + ", types " +
                                          std::to_string(types[y > 0 ? y - 1 : 0]) + " over " +
                                          std::to_string(types[y]) + (avx2 ? "" : ", AVX2 off");
                EXPECT_EQ(std::memcmp(&filtered[y * stride + 1], &expected[y * n], n), 0) << where;
                std::vector<PF_Pixel> pixels(width);
                DecodeRow<std::uint8_t>(&expected[y * n], PackedSteps<std::uint8_t>(4), 4, false, A_long(width),
                                        pixels.data());
                EXPECT_EQ(std::memcmp(world.Row<PF_Pixel>(A_long(y)), pixels.data(), n), 0) << where;
            }
        }
    // An unknown filter type ends a run and fails the image, inside or
    // just after one.
    for (const std::vector<unsigned char> &bad : {std::vector<unsigned char>{3, 3, 3, 7}, {4, 4, 4, 4, 200}})
        for (const bool avx2 : {true, false}) {
            PngHead head;
            head.width = 4;
            head.height = std::uint32_t(bad.size());
            Bytes filtered(head.FilteredBytes(), 1);
            for (std::uint32_t y = 0; y < head.height; ++y) filtered[y * (head.RowBytes() + 1)] = bad[y];
            renderhost::World world(renderhost::Depth::k8, 4, A_long(head.height), 0, 0, std::nullopt, head.height);
            std::memcpy(world.data(), filtered.data(), filtered.size());
            SetPngAvx2Enabled(avx2);
            EXPECT_FALSE(UnfilterInWorld(head, world)) << int(bad.back());
            EXPECT_FALSE(UnfilterPngRows(head, filtered.data(), 0, head.height)) << int(bad.back());
            SetPngAvx2Enabled(true);
        }
}

// An 8-bit straight RGBA file decodes in an 8-bit world's own memory, for
// every filter, to the pixels the row decoder gives; any other file,
// world or alpha is left to the strip path, and a damaged row is an error
// naming the file.
TEST(PngCodec, DecodesInTheWorldsMemoryWhereItFits) {
    clitest::TempDir dir;
    std::mt19937 rng(31);
    const auto write = [&](const std::string &path, std::uint32_t width, std::uint32_t height, int depth, int channels,
                           int filter, Bytes &samples) {
        samples.resize(std::size_t(width) * height * std::size_t(channels) * std::size_t(depth / 8));
        for (auto &v : samples) v = static_cast<unsigned char>(rng() % 4 ? rng() % 9 : rng());
        PngEncoder encoder(width, height, depth, channels, 6, filter);
        encoder.AddRows(samples.data(), height);
        Bytes png;
        encoder.Finish([&](const unsigned char *d, std::size_t size) { png.insert(png.end(), d, d + size); });
        Save(path, png);
        return png;
    };
    const auto open = [](const std::string &path, AlphaMode alpha) {
        ImageHeader header;
        return OpenPngReader(path, alpha, header);
    };
    const std::string path = dir / "in.png";
    Bytes samples;
    for (int filter = -1; filter <= 4; ++filter)
        for (const auto &[width, height] : {std::pair<A_long, A_long>{1, 1}, {3, 7}, {17, 70}}) {
            write(path, std::uint32_t(width), std::uint32_t(height), 8, 4, filter, samples);
            auto reader = open(path, AlphaMode::kAuto);
            ASSERT_EQ(reader->InPlaceSpare(renderhost::Depth::k8), std::uint64_t(height));
            renderhost::World world(renderhost::Depth::k8, width, height, 0, 0, std::nullopt, std::size_t(height));
            ASSERT_TRUE(reader->ReadInPlace(world)) << filter;
            EXPECT_FALSE(reader->ReadInPlace(world));  // once per reader
            for (A_long y = 0; y < height; ++y) {
                std::vector<PF_Pixel> expected(static_cast<std::size_t>(width));
                DecodeRow<std::uint8_t>(samples.data() + std::size_t(y) * std::size_t(width) * 4,
                                        PackedSteps<std::uint8_t>(4), 4, false, width, expected.data());
                EXPECT_EQ(std::memcmp(world.Row<PF_Pixel>(y), expected.data(), expected.size() * sizeof(PF_Pixel)), 0)
                    << "filter " << filter << ", " << width << " x " << height << ", row " << y;
            }
        }
    // What stays with the strip path.
    write(path, 5, 4, 8, 4, -1, samples);
    const auto declines = [&](AlphaMode alpha, renderhost::Depth depth, std::size_t spare,
                              std::optional<A_long> rowbytes) {
        auto reader = open(path, alpha);
        renderhost::World world(depth, 5, 4, 0, 0, rowbytes, spare);
        return !reader->ReadInPlace(world);
    };
    EXPECT_TRUE(declines(AlphaMode::kAssociated, renderhost::Depth::k8, 4, std::nullopt));
    EXPECT_TRUE(declines(AlphaMode::kAuto, renderhost::Depth::k16, 4, std::nullopt));
    EXPECT_TRUE(declines(AlphaMode::kAuto, renderhost::Depth::k8, 3, std::nullopt));
    EXPECT_TRUE(declines(AlphaMode::kAuto, renderhost::Depth::k8, 64, A_long{24}));
    {
        auto reader = open(path, AlphaMode::kAuto);
        renderhost::World shorter(renderhost::Depth::k8, 5, 3, 0, 0, std::nullopt, 64);
        EXPECT_FALSE(reader->ReadInPlace(shorter));
    }
    EXPECT_FALSE(declines(AlphaMode::kAuto, renderhost::Depth::k8, 4, std::nullopt));
    EXPECT_EQ(open(path, AlphaMode::kAssociated)->InPlaceSpare(renderhost::Depth::k8), 0u);
    EXPECT_EQ(open(path, AlphaMode::kAuto)->InPlaceSpare(renderhost::Depth::k32), 0u);
    for (const auto &[depth, channels] : {std::pair<int, int>{16, 4}, {8, 3}}) {
        write(path, 5, 4, depth, channels, -1, samples);
        EXPECT_EQ(open(path, AlphaMode::kAuto)->InPlaceSpare(renderhost::Depth::k8), 0u) << depth << " " << channels;
    }
    // A row whose filter type is unknown, its stream deflated again.
    write(path, 5, 4, 8, 4, 0, samples);
    {
        Bytes filtered(4 * 21, 0);
        filtered[2 * 21] = 7;
        libdeflate_compressor *compressor = libdeflate_alloc_compressor(1);
        Bytes z(256);
        z.resize(libdeflate_zlib_compress(compressor, filtered.data(), filtered.size(), z.data(), z.size()));
        libdeflate_free_compressor(compressor);
        Bytes png = Load(path);
        const std::size_t idat = Find(png, "IDAT");
        Bytes chunk = Chunk("IDAT", z);
        png.erase(png.begin() + std::ptrdiff_t(idat), png.end() - 12);
        png.insert(png.end() - 12, chunk.begin(), chunk.end());
        Save(path, png);
    }
    auto reader = open(path, AlphaMode::kAuto);
    ASSERT_NE(reader, nullptr);
    renderhost::World world(renderhost::Depth::k8, 5, 4, 0, 0, std::nullopt, 4);
    try {
        reader->ReadInPlace(world);
        ADD_FAILURE() << "an unknown filter type read";
    } catch (const RunError &e) {
        EXPECT_NE(std::string(e.what()).find(path), std::string::npos) << e.what();
    }
}

// Worlds written by the codec read back, through libpng, as those written
// by OpenImageIO, with the same chunks but the pixels'. The 9000-wide one
// makes two bands, encoded with a helper free to take one.
TEST(PngCodec, WritesWhatTheGeneralWriterWrites) {
    clitest::TempDir dir;
    SetCodecCores(2);
    for (const SampleType sample : {SampleType::kUInt8, SampleType::kUInt16})
        for (const auto &[width, height] :
             {std::pair<A_long, A_long>{1, 9}, {7, 150}, {300, 9}, {300, 150}, {9000, 130}})
            for (const char *compression : {"", "zip", "zip:0", "zip:1", "zip:9", "zip:12"})
                for (const bool associated : {false, true}) {
                    // The wide one, in bands of 117 and 13 rows (8-bit), once.
                    if (width == 9000 && (sample != SampleType::kUInt8 || *compression != '\0' || associated)) continue;
                    const clitest::TestImage image = clitest::RandomImage(Sample::kU16, 4, 0, 0, width, height, 5);
                    const renderhost::World world = clitest::DecodeExpected(image, renderhost::Depth::k16, false);
                    OutputSpec spec;
                    spec.format = "png";
                    spec.sample = sample;
                    spec.associated = associated;
                    spec.display = Window{0, 0, width, height};
                    spec.compression = compression;
                    EXPECT_TRUE(FastWriterTakes(spec));
                    const std::string ours = dir / "ours.png", theirs = dir / "theirs.png";
                    WriteWorld(ours, world, spec);
                    SetPngCodecEnabled(false);
                    WriteWorld(theirs, world, spec);
                    SetPngCodecEnabled(true);
                    const std::string label = std::string(SampleTypeOptionName(sample)) + " " + std::to_string(width) +
                                              " x " + std::to_string(height) + " " + compression;
                    EXPECT_EQ(clitest::CompareImages(clitest::ReadTestImage(theirs), clitest::ReadTestImage(ours)), "")
                        << label;
                    std::vector<std::string> our_chunks, their_chunks;
                    for (const auto &chunk : Chunks(Load(ours)))
                        if (chunk.second != "IDAT") our_chunks.push_back(chunk.second);
                    for (const auto &chunk : Chunks(Load(theirs)))
                        if (chunk.second != "IDAT") their_chunks.push_back(chunk.second);
                    EXPECT_EQ(our_chunks, their_chunks) << label;
                    const Bytes a = Load(ours), b = Load(theirs);
                    EXPECT_TRUE(std::equal(a.begin(), a.begin() + Find(a, "IDAT"), b.begin())) << label;
                }
    for (const char *strategy : {"filtered", "huffman", "rle", "fixed", "rle:3"}) {
        OutputSpec spec;
        spec.format = "png";
        spec.compression = strategy;
        EXPECT_FALSE(FastWriterTakes(spec)) << strategy;
    }
    SetCodecCores(0);
}

// An output without a level is deflated at level 6, as the README says:
// its file, written by this codec, is that of zip:6 byte for byte, and
// not that of zip:5 or zip:7, which differ on this frame (with
// libdeflate 1.14's settings for those levels).
TEST(PngCodec, ZipWithoutALevelIsLevelSix) {
    clitest::TempDir dir;
    renderhost::World world(renderhost::Depth::k8, 300, 200);
    for (A_long y = 0; y < 200; ++y)
        for (A_long x = 0; x < 300; ++x)
            world.Row<PF_Pixel>(y)[x] = PF_Pixel{255, static_cast<A_u_char>(x * 3 + y), static_cast<A_u_char>(x ^ y),
                                                 static_cast<A_u_char>(x * y / 7)};
    const auto written = [&](const char *compression) {
        OutputSpec spec;
        spec.format = "png";
        spec.sample = SampleType::kUInt8;
        spec.display = Window{0, 0, 300, 200};
        spec.compression = compression;
        EXPECT_TRUE(PngWriterTakes(spec)) << compression;
        const std::string path = dir / "out.png";
        WriteWorld(path, world, spec);
        return Load(path);
    };
    const Bytes six = written("zip:6");
    EXPECT_TRUE(written("") == six);
    EXPECT_TRUE(written("zip") == six);
    EXPECT_FALSE(written("zip:5") == six);
    EXPECT_FALSE(written("zip:7") == six);
}

// The joined stream starts with the header libdeflate itself writes for
// one stream at the same level (its level hint included).
TEST(DeflateBands, TheJoinedHeaderIsLibdeflatesOwn) {
    const unsigned char data[] = "bands of bytes, bands of bytes";
    for (int level = 0; level <= 12; ++level) {
        const std::unique_ptr<libdeflate_compressor, void (*)(libdeflate_compressor *)> compressor(
            libdeflate_alloc_compressor(level), libdeflate_free_compressor);
        std::vector<DeflatedBand> bands(2);
        DeflateBand(*compressor, data, 10, bands[0]);
        DeflateBand(*compressor, data + 10, sizeof data - 10, bands[1]);
        JoinZlibBands(bands, level);
        unsigned char whole[128];
        ASSERT_GT(libdeflate_zlib_compress(compressor.get(), data, sizeof data, whole, sizeof whole), 2u);
        EXPECT_EQ(bands[0].bytes[0], whole[0]) << "level " << level;
        EXPECT_EQ(bands[0].bytes[1], whole[1]) << "level " << level;
    }
    // Bands whose ends were not found where they were deflated are
    // refused, not joined at a guessed place.
    std::vector<DeflatedBand> by_hand(2);
    by_hand[0].bytes = by_hand[1].bytes = {0x03, 0x00};  // an empty fixed block, final
    EXPECT_THROW(JoinZlibBands(by_hand, 6), std::logic_error);
}

// Deflating in bands costs little against one stream of the same filtered
// rows, also where a band holds few bytes: narrow images, and frames that
// are mostly empty.
TEST(PngCodec, BandsCostLittleAgainstOneStream) {
    struct Case {
        std::uint32_t width, height;
    };
    for (const Case c : {Case{16, 2048}, Case{256, 256}, Case{1920, 1080}}) {
        // Transparent black but for one opaque square.
        Bytes samples(std::size_t(c.width) * c.height * 4, 0);
        for (std::uint32_t y = c.height / 3; y < c.height / 2; ++y)
            for (std::uint32_t x = c.width / 4; x < c.width / 2; ++x)
                for (int i = 0; i < 4; ++i) samples[(std::size_t(y) * c.width + x) * 4 + i] = i == 3 ? 255 : 180;
        PngEncoder encoder(c.width, c.height, 8, 4, 7);
        encoder.AddRows(samples.data(), c.height);
        Bytes png;
        encoder.Finish([&](const unsigned char *d, std::size_t size) { png.insert(png.end(), d, d + size); });
        Bytes stream;
        std::size_t chunks_bytes = 0;
        for (const auto &chunk : Chunks(png))
            if (chunk.second == "IDAT") {
                const std::uint32_t length = Get32(&png[chunk.first]);
                stream.insert(stream.end(), &png[chunk.first + 8], &png[chunk.first + 8] + length);
                chunks_bytes += 12 + length;
            }
        Bytes filtered(std::size_t(c.height) * (1 + std::size_t(c.width) * 4));
        const std::unique_ptr<libdeflate_decompressor, void (*)(libdeflate_decompressor *)> inflater(
            libdeflate_alloc_decompressor(), libdeflate_free_decompressor);
        ASSERT_EQ(libdeflate_zlib_decompress(inflater.get(), stream.data(), stream.size(), filtered.data(),
                                             filtered.size(), nullptr),
                  LIBDEFLATE_SUCCESS);
        const std::unique_ptr<libdeflate_compressor, void (*)(libdeflate_compressor *)> compressor(
            libdeflate_alloc_compressor(7), libdeflate_free_compressor);
        Bytes whole(libdeflate_zlib_compress_bound(compressor.get(), filtered.size()));
        const std::size_t one =
            libdeflate_zlib_compress(compressor.get(), filtered.data(), filtered.size(), whole.data(), whole.size());
        ASSERT_GT(one, 0u);
        // One IDAT chunk's 12 bytes around one stream, 3 % and 64 bytes
        // more: each band of an HD frame that is mostly empty begins its
        // codes and its window afresh, 2.3 % more in all.
        EXPECT_LE(chunks_bytes, 12 + one + 3 * one / 100 + 64) << c.width << " x " << c.height;
    }
}

}  // namespace
}  // namespace veilshadow
