// The fast OpenEXR codec against OpenImageIO: the header it fills and the
// samples it reads for files OpenImageIO wrote, the files it declines,
// damaged files (an error naming the file, never a read out of bounds),
// the files it writes read back through OpenImageIO, and the predictor's
// paths against its definition.
#include "CodecThreads.h"
#include "Errors.h"
#include "ExrCodec.h"
#include "FileStructure.h"
#include "ImageIO.h"
#include "ImageIOCommon.h"
#include "OiioSampleTypes.h"
#include "ZipPredictor.h"
#include "cli_test_support.h"

#include <OpenImageIO/imageio.h>
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <map>
#include <random>

namespace veilshadow {
namespace {

using clitest::TempDir;
using OIIO::TypeDesc;

// ---- Files written by OpenImageIO ----------------------------------------

struct FileCase {
    const char *name;
    std::vector<std::string> channels;
    std::vector<TypeDesc> types;  // per channel
    const char *compression;
    int x, y, width, height;
    int full_x, full_y, full_width, full_height;
    int tile = 0;
};

TypeDesc kHalf = TypeDesc::HALF, kFloat = TypeDesc::FLOAT;

// Random finite samples in the file's types; a gradient with a little
// noise when `smooth` (chunks that deflate).
void WriteExr(const std::string &path, const FileCase &c, unsigned seed, bool smooth = false) {
    OIIO::ImageSpec spec(c.width, c.height, int(c.channels.size()), c.types[0]);
    spec.channelnames = c.channels;
    spec.channelformats = c.types;
    spec.alpha_channel = -1;
    for (std::size_t i = 0; i < c.channels.size(); ++i)
        if (c.channels[i] == "A") spec.alpha_channel = int(i);
    spec.x = c.x;
    spec.y = c.y;
    spec.full_x = c.full_x;
    spec.full_y = c.full_y;
    spec.full_width = c.full_width;
    spec.full_height = c.full_height;
    if (c.tile > 0) spec.tile_width = spec.tile_height = c.tile;
    spec.attribute("compression", c.compression);
    std::mt19937 random(seed);
    std::uniform_real_distribution<float> value(-2.f, 2.f);
    std::vector<float> samples(std::size_t(c.width) * c.height * c.channels.size());
    for (std::size_t i = 0; i < samples.size(); ++i)
        samples[i] = smooth ? float(i % 97) / 64.f + value(random) / 256.f : value(random);
    auto out = OIIO::ImageOutput::create(path);
    ASSERT_TRUE(out && out->open(path, spec)) << OIIO::geterror();
    ASSERT_TRUE(out->write_image(TypeDesc::FLOAT, samples.data())) << out->geterror();
    ASSERT_TRUE(out->close());
}

std::vector<unsigned char> Bytes(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// The header as ImageReader's general path fills it from OpenImageIO's
// spec, for OpenEXR files.
ImageHeader GeneralHeader(const std::string &path, AlphaMode alpha, OIIO::ImageInput &input) {
    const OIIO::ImageSpec &spec = input.spec();
    ImageHeader h;
    h.path = path;
    h.format = input.format_name();
    bool any_float = false;
    for (int c = 0; c < spec.nchannels; ++c) any_float = any_float || spec.channelformat(c) == TypeDesc::FLOAT;
    h.sample = any_float ? SampleType::kFloat : SampleType::kHalf;
    h.channels = spec.nchannels;
    h.layout = spec.nchannels == 1   ? ChannelLayout::kGray
               : spec.nchannels == 2 ? ChannelLayout::kGrayAlpha
               : spec.nchannels == 3 ? ChannelLayout::kRGB
                                     : ChannelLayout::kRGBA;
    h.rgba_names = spec.channelnames == std::vector<std::string>{"R", "G", "B", "A"};
    h.data = Window{spec.x, spec.y, spec.width, spec.height};
    h.display = Window{spec.full_x, spec.full_y, spec.full_width, spec.full_height};
    h.associated = alpha != AlphaMode::kStraight;
    h.compression = spec.get_string_attribute("compression");
    return h;
}

std::string Describe(const ImageHeader &h) {
    const auto window = [](const Window &w) {
        return std::to_string(w.x) + "," + std::to_string(w.y) + " " + std::to_string(w.width) + "x" +
               std::to_string(w.height);
    };
    return h.path + " " + h.format + " sample " + std::to_string(int(h.sample)) + " layout " +
           std::to_string(int(h.layout)) + " channels " + std::to_string(h.channels) + " rgba " +
           std::to_string(h.rgba_names) + " data " + window(h.data) + " display " + window(h.display) + " associated " +
           std::to_string(h.associated) + " compression " + h.compression;
}

const FileCase kTaken[] = {
    {"rgba_half_zip", {"R", "G", "B", "A"}, {kHalf, kHalf, kHalf, kHalf}, "zip", 0, 0, 300, 300, 0, 0, 300, 300},
    {"rgba_float_zips", {"R", "G", "B", "A"}, {kFloat, kFloat, kFloat, kFloat}, "zips", -7, 11, 37, 41, 0, 0, 64, 32},
    {"rgb_half_zips", {"R", "G", "B"}, {kHalf, kHalf, kHalf}, "zips", 3, 2, 1, 19, -4, -4, 9, 30},
    {"rgb_float_zip", {"R", "G", "B"}, {kFloat, kFloat, kFloat}, "zip", 0, 0, 33, 17, 0, 0, 33, 17},
    {"y_half_zip", {"Y"}, {kHalf}, "zip", 0, 0, 20, 35, 0, 0, 20, 35},
    {"ya_float_zips", {"Y", "A"}, {kFloat, kFloat}, "zips", 1, 1, 16, 16, 0, 0, 18, 18},
    {"mixed_zip", {"R", "G", "B", "A"}, {kHalf, kFloat, kHalf, kFloat}, "zip", 0, 0, 31, 270, 0, 0, 31, 270},
    {"rgba_half_none", {"R", "G", "B", "A"}, {kHalf, kHalf, kHalf, kHalf}, "none", 0, 0, 12, 5, 0, 0, 12, 5},
};

// Each file's header is OpenImageIO's, field for field, under every alpha
// mode, and its samples are OpenImageIO's bit for bit, read strip after
// strip as ImageReader reads them.
TEST(ExrCodec, ReadsHeaderAndSamplesAsOpenImageIO) {
    TempDir dir;
    unsigned seed = 1;
    for (const FileCase &c : kTaken) {
        SCOPED_TRACE(c.name);
        const std::string path = dir / (std::string(c.name) + ".exr");
        WriteExr(path, c, seed++);
        auto input = OIIO::ImageInput::open(path);
        ASSERT_TRUE(input);
        for (AlphaMode alpha : {AlphaMode::kAuto, AlphaMode::kStraight, AlphaMode::kAssociated}) {
            ImageHeader fast;
            auto reader = OpenExrReader(path, alpha, fast);
            ASSERT_TRUE(reader) << "declined";
            EXPECT_EQ(Describe(fast), Describe(GeneralHeader(path, alpha, *input)));
        }
        ImageHeader header;
        auto reader = OpenExrReader(path, AlphaMode::kAuto, header);
        const std::size_t bytes = header.sample == SampleType::kFloat ? 4 : 2;
        const std::size_t row = std::size_t(header.data.width) * header.channels * bytes;
        std::vector<unsigned char> fast(row * header.data.height), general(fast.size());
        for (A_long first = 0; first < header.data.height; first += kStripRows)
            reader->ReadRows(first, std::min(kStripRows, header.data.height - first), &fast[row * first]);
        ASSERT_TRUE(input->read_image(0, 0, 0, header.channels,
                                      header.sample == SampleType::kFloat ? TypeDesc::FLOAT : TypeDesc::HALF,
                                      general.data()));
        EXPECT_TRUE(fast == general) << "samples differ";
        EXPECT_TRUE(reader->LooksWhole());
    }
}

// What the codec leaves to OpenImageIO: other compressions, tiles, other
// channels or sample types, other formats.
TEST(ExrCodec, DeclinesWhatItDoesNotRead) {
    TempDir dir;
    const FileCase declined[] = {
        {"piz", {"R", "G", "B", "A"}, {kHalf, kHalf, kHalf, kHalf}, "piz", 0, 0, 8, 8, 0, 0, 8, 8},
        {"rle", {"R", "G", "B"}, {kHalf, kHalf, kHalf}, "rle", 0, 0, 8, 8, 0, 0, 8, 8},
        {"tiled", {"R", "G", "B", "A"}, {kHalf, kHalf, kHalf, kHalf}, "zip", 0, 0, 40, 40, 0, 0, 40, 40, 16},
        {"uint", {"R", "G", "B"}, {TypeDesc::UINT, TypeDesc::UINT, TypeDesc::UINT}, "zip", 0, 0, 8, 8, 0, 0, 8, 8},
        {"five", {"R", "G", "B", "A", "Z"}, {kHalf, kHalf, kHalf, kHalf, kFloat}, "zip", 0, 0, 8, 8, 0, 0, 8, 8},
        {"xy", {"X", "Y"}, {kHalf, kHalf}, "zip", 0, 0, 8, 8, 0, 0, 8, 8},
    };
    for (const FileCase &c : declined) {
        SCOPED_TRACE(c.name);
        const std::string path = dir / (std::string(c.name) + ".exr");
        WriteExr(path, c, 7);
        ImageHeader header;
        EXPECT_EQ(OpenExrReader(path, AlphaMode::kAuto, header), nullptr);
    }
    const std::string png = dir / "rgb.png";
    clitest::WriteTestImage(png, clitest::RandomImage(clitest::Sample::kU8, 3, 0, 0, 4, 4, 1));
    ImageHeader header;
    EXPECT_EQ(OpenExrReader(png, AlphaMode::kAuto, header), nullptr);
}

// Where the value of the header's attribute `name` starts.
std::size_t AttributeAt(const std::vector<unsigned char> &file, const char *name) {
    std::size_t at = 8;
    while (file.at(at) != 0) {
        const bool found = std::strcmp(reinterpret_cast<const char *>(&file[at]), name) == 0;
        at += std::strlen(reinterpret_cast<const char *>(&file[at])) + 1;
        at += std::strlen(reinterpret_cast<const char *>(&file[at])) + 1;
        std::int32_t size;
        std::memcpy(&size, &file.at(at), 4);
        if (found) return at + 4;
        at += 4 + std::size_t(size);
    }
    ADD_FAILURE() << "no attribute " << name;
    return 0;
}

// Tiles of more pixels than the image and more than 256 MiB are refused
// when the file opens, before any tile is read; up to either, a tiled
// file opens. 8 bytes a pixel (RGBA half).
TEST(TiledFiles, TilesFarLargerThanTheImageAreRefused) {
    TempDir dir;
    const FileCase tiled{"tiled", {"R", "G", "B", "A"}, {kHalf, kHalf, kHalf, kHalf}, "zip", 0, 0, 40, 40, 0, 0, 40, 40,
                         16};
    const std::string written = dir / "written.exr";
    WriteExr(written, tiled, 5);
    const struct {
        std::uint32_t width, height;
        bool refused;
    } cases[] = {
        {4096, 8192, false}, {4097, 8192, true}, {16646160, 16, true}, {40, 40, false}, {64, 64, false},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(std::to_string(c.width) + " x " + std::to_string(c.height));
        std::vector<unsigned char> bytes = Bytes(written);
        const std::size_t at = AttributeAt(bytes, "tiles");
        std::memcpy(&bytes.at(at), &c.width, 4);
        std::memcpy(&bytes.at(at + 4), &c.height, 4);
        const std::string path = dir / "huge.exr";
        std::ofstream(path, std::ios::binary)
            .write(reinterpret_cast<const char *>(bytes.data()), std::streamsize(bytes.size()));
        try {
            ImageReader reader(path, AlphaMode::kAuto);
            EXPECT_FALSE(c.refused) << "not refused";
            EXPECT_EQ(reader.header().data.width, 40);
        } catch (const RunError &e) {
            EXPECT_TRUE(c.refused) << e.what();
            EXPECT_EQ(std::string(e.what()).rfind(path + ": its tiles of " + std::to_string(c.width) + " x", 0), 0u)
                << e.what();
        }
    }
}

// The header walked as OpenEXR's library reads it: a value from the first
// bytes of a longer one, the last of two of one name, 64 x 64 without a
// data window, no tiles in a single-part scanline file, 2 bytes a half
// channel and 4 a float; false for a header cut short.
TEST(TiledFiles, HeaderIsWalkedAsTheLibraryReadsIt) {
    using Bytes = std::vector<unsigned char>;
    const auto le = [](std::initializer_list<std::uint32_t> words) {
        Bytes bytes;
        for (std::uint32_t w : words)
            for (int i = 0; i < 4; ++i) bytes.push_back(static_cast<unsigned char>(w >> (8 * i)));
        return bytes;
    };
    const auto attribute = [&](const std::string &name, const std::string &type, Bytes value) {
        Bytes bytes(name.begin(), name.end());
        bytes.push_back(0);
        bytes.insert(bytes.end(), type.begin(), type.end());
        bytes.push_back(0);
        const Bytes size = le({std::uint32_t(value.size())});
        bytes.insert(bytes.end(), size.begin(), size.end());
        bytes.insert(bytes.end(), value.begin(), value.end());
        return bytes;
    };
    const auto channel = [&](char name, std::uint32_t type) {
        Bytes bytes{static_cast<unsigned char>(name), 0};
        const Bytes rest = le({type, 0, 1, 1});
        bytes.insert(bytes.end(), rest.begin(), rest.end());
        return bytes;
    };
    Bytes half_and_float = channel('A', 1);
    const Bytes g = channel('G', 2);
    half_and_float.insert(half_and_float.end(), g.begin(), g.end());
    half_and_float.push_back(0);
    Bytes tiles = le({300, 20});
    tiles.push_back(0);
    Bytes tiles_long = tiles;
    tiles_long.push_back(0);
    const Bytes window = attribute("dataWindow", "box2i", le({0, 0, 11, 5}));
    const Bytes wide = attribute("dataWindow", "box2i", le({0, 0, 99999, 99999}));
    const struct {
        const char *name;
        std::uint32_t version;
        std::vector<Bytes> attributes;
        std::uint32_t tile_width, tile_height;
        std::uint64_t width, height;
    } cases[] = {
        {"tiled", 0x202, {attribute("tiles", "tiledesc", tiles), window}, 300, 20, 12, 6},
        {"tiles of 10 bytes", 0x202, {attribute("tiles", "tiledesc", tiles_long), window}, 300, 20, 12, 6},
        {"tiles of 8 bytes", 0x202, {attribute("tiles", "tiledesc", le({300, 20})), window}, 0, 0, 12, 6},
        {"two windows", 0x202, {wide, attribute("tiles", "tiledesc", tiles), window}, 300, 20, 12, 6},
        {"no window", 0x202, {attribute("tiles", "tiledesc", tiles)}, 300, 20, 64, 64},
        {"scanline", 0x002, {attribute("tiles", "tiledesc", tiles), window}, 0, 0, 12, 6},
        {"multi-part", 0x1002, {attribute("tiles", "tiledesc", tiles), window}, 300, 20, 12, 6},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        Bytes header = le({20000630u, c.version});
        for (const Bytes &a : c.attributes) header.insert(header.end(), a.begin(), a.end());
        const Bytes channels = attribute("channels", "chlist", half_and_float);
        header.insert(header.end(), channels.begin(), channels.end());
        header.push_back(0);
        ExrTiling tiling;
        ASSERT_TRUE(ReadExrTiling(header, tiling));
        EXPECT_EQ(tiling.tile_width, c.tile_width);
        EXPECT_EQ(tiling.tile_height, c.tile_height);
        EXPECT_EQ(tiling.image_width, c.width);
        EXPECT_EQ(tiling.image_height, c.height);
        EXPECT_EQ(tiling.pixel_bytes, 6u);
        for (std::size_t cut = 0; cut < header.size(); ++cut) {
            const Bytes start(header.begin(), header.begin() + std::ptrdiff_t(cut));
            ExrTiling part;
            EXPECT_FALSE(ReadExrTiling(start, part)) << "cut at " << cut;
        }
    }
}

// ---- Damaged files -------------------------------------------------------

// Where the header ends: the chunk table's first entry.
std::size_t TableOffset(const std::vector<unsigned char> &file) {
    std::size_t at = 8;
    while (file.at(at) != 0) {
        at += std::strlen(reinterpret_cast<const char *>(&file[at])) + 1;  // name
        at += std::strlen(reinterpret_cast<const char *>(&file[at])) + 1;  // type
        std::int32_t size;
        (void)file.at(at + 3);
        std::memcpy(&size, &file[at], 4);
        at += 4 + std::size_t(size);
    }
    return at + 1;
}

std::uint64_t Entry(const std::vector<unsigned char> &file, int chunk) {
    std::uint64_t offset;
    std::memcpy(&offset, &file.at(TableOffset(file) + 8 * std::size_t(chunk)), 8);
    return offset;
}

void SetEntry(std::vector<unsigned char> &file, int chunk, std::uint64_t offset) {
    std::memcpy(&file.at(TableOffset(file) + 8 * std::size_t(chunk)), &offset, 8);
}

// What becomes of a damaged file. A chunk the table points to wrongly,
// or whose own row or size disagrees with the table, is left to the
// general path, which rebuilds the table from the chunks themselves
// where it can (every chunk whole) and otherwise reports the file. An
// entry that points nowhere useful is rebuilt by the core, as OpenEXR's
// own reader rebuilds it, and the codec reads the whole file's samples.
// A chunk found where the table says that does not inflate is the
// codec's error, naming the file. A file too short to hold the chunk
// table the header implies is left to the general path.
TEST(ExrCodec, DamagedFilesAreErrorsNamingThem) {
    enum Outcome { kRead, kError, kGeneralReads, kGeneralRefuses };
    using Damage = std::function<void(std::vector<unsigned char> &)>;
    const struct {
        const char *name;
        Damage damage;
        Outcome outcome;
    } damages[] = {
        {"cut in the last chunk", [](auto &f) { f.resize(f.size() - 20); }, kGeneralRefuses},
        {"cut in the chunk table", [](auto &f) { f.resize(TableOffset(f) + 12); }, kGeneralRefuses},
        {"chunk past the end", [](auto &f) { SetEntry(f, 1, f.size() + 100); }, kRead},
        {"chunk at the magic number", [](auto &f) { SetEntry(f, 2, 0); }, kRead},
        {"chunk of another row", [](auto &f) { SetEntry(f, 1, Entry(f, 2)); }, kGeneralReads},
        {"every entry at the first chunk",
         [](auto &f) {
             const std::uint64_t first = Entry(f, 0);
             for (int chunk = 1; TableOffset(f) + 8 * std::size_t(chunk) < first; ++chunk) SetEntry(f, chunk, first);
         },
         kGeneralReads},
        {"entry 4 bytes early", [](auto &f) { SetEntry(f, 1, Entry(f, 1) - 4); }, kGeneralReads},
        {"huge chunk size", [](auto &f) { std::memcpy(&f.at(Entry(f, 0) + 4), "\xff\xff\xff\x7f", 4); },
         kGeneralRefuses},
        {"short chunk size", [](auto &f) { std::memcpy(&f.at(Entry(f, 0) + 4), "\x09\x00\x00\x00", 4); }, kError},
        {"flipped deflate byte", [](auto &f) { f.at(Entry(f, 1) + 8 + 30) ^= 0x5a; }, kError},
        {"chunk y changed", [](auto &f) { f.at(Entry(f, 3)) ^= 1; }, kGeneralRefuses},
    };
    TempDir dir;
    for (const char *compression : {"zip", "zips"}) {
        const FileCase c{
            "damaged", {"R", "G", "B", "A"}, {kHalf, kHalf, kHalf, kHalf}, compression, 0, 0, 64, 70, 0, 0, 64, 70};
        const std::string path = dir / (std::string(compression) + ".exr");
        WriteExr(path, c, 3, true);
        const std::vector<unsigned char> whole = Bytes(path);
        std::vector<unsigned char> expected(64 * 70 * 4 * 2);
        ImageHeader header;
        OpenExrReaderFromBytes("whole.exr", whole.data(), whole.size(), AlphaMode::kAuto, header)
            ->ReadRows(0, 70, expected.data());
        for (const auto &d : damages) {
            SCOPED_TRACE(std::string(compression) + ": " + d.name);
            std::vector<unsigned char> bytes = whole;
            d.damage(bytes);
            auto reader = OpenExrReaderFromBytes("frame.exr", bytes.data(), bytes.size(), AlphaMode::kAuto, header);
            if (d.outcome == kGeneralReads || d.outcome == kGeneralRefuses) {
                ASSERT_FALSE(reader) << "taken";
                const std::string damaged = dir / "frame.exr";
                std::ofstream(damaged, std::ios::binary)
                    .write(reinterpret_cast<const char *>(bytes.data()), std::streamsize(bytes.size()));
                try {
                    ImageReader general(damaged, AlphaMode::kAuto);
                    const renderhost::World read = general.ReadWorld(renderhost::Depth::k32);
                    EXPECT_EQ(d.outcome, kGeneralReads) << "read";
                    ImageReader intact(path, AlphaMode::kAuto);
                    const renderhost::World want = intact.ReadWorld(renderhost::Depth::k32);
                    for (A_long y = 0; y < 70; ++y)
                        ASSERT_EQ(std::memcmp(read.Row<PF_PixelFloat>(y), want.Row<PF_PixelFloat>(y),
                                              64 * sizeof(PF_PixelFloat)),
                                  0)
                            << "row " << y;
                } catch (const RunError &e) {
                    EXPECT_EQ(d.outcome, kGeneralRefuses) << e.what();
                    EXPECT_EQ(std::string(e.what()).rfind(damaged + ": ", 0), 0u) << e.what();
                }
                continue;
            }
            ASSERT_TRUE(reader) << "declined";
            std::vector<unsigned char> samples(expected.size());
            try {
                reader->ReadRows(0, 70, samples.data());
                EXPECT_EQ(d.outcome, kRead) << "read";
                EXPECT_TRUE(samples == expected);
            } catch (const RunError &e) {
                EXPECT_EQ(d.outcome, kError) << e.what();
                EXPECT_EQ(std::string(e.what()).rfind("frame.exr: cannot read its pixels", 0), 0u) << e.what();
            }
        }
    }
}

// Read in strips on several threads, a file with several damaged chunks
// is reported by its topmost one every time, as reading strip after strip
// reports it: here the second chunk of the first strip, while the other
// thread meets the first chunk of the second strip first.
TEST(ExrCodec, TheTopmostDamagedChunkIsReported) {
    SetCodecCores(2);
    TempDir dir;
    const FileCase c{"damaged", {"R", "G", "B", "A"}, {kHalf, kHalf, kHalf, kHalf}, "zip", 0, 0, 64, 300, 0, 0, 64,
                     300};
    const std::string path = dir / "several.exr";
    WriteExr(path, c, 4, true);
    std::vector<unsigned char> bytes = Bytes(path);
    for (int chunk : {12, 2, 1}) bytes.at(Entry(bytes, chunk) + 8 + 30) ^= 0x5a;
    std::ofstream(path, std::ios::binary)
        .write(reinterpret_cast<const char *>(bytes.data()), std::streamsize(bytes.size()));
    for (int run = 0; run < 20; ++run) {
        ImageReader reader(path, AlphaMode::kAuto);
        try {
            reader.ReadWorld(renderhost::Depth::k32);
            ADD_FAILURE() << "read";
        } catch (const RunError &e) {
            EXPECT_NE(std::string(e.what()).find("the chunk of row 16 does not inflate"), std::string::npos)
                << e.what();
        }
    }
    SetCodecCores(0);
}

// ---- Writing -------------------------------------------------------------

// What an OpenEXR file holds, as OpenImageIO reads it: its spec's fields
// and attributes but the time of writing.
std::string Held(const std::string &path) {
    auto input = OIIO::ImageInput::open(path);
    if (!input) return "unreadable";
    const OIIO::ImageSpec &spec = input->spec();
    std::string held = spec.format.c_str() + std::string(" ") + std::to_string(spec.x) + "," + std::to_string(spec.y) +
                       " " + std::to_string(spec.width) + "x" + std::to_string(spec.height) + " full " +
                       std::to_string(spec.full_x) + "," + std::to_string(spec.full_y) + " " +
                       std::to_string(spec.full_width) + "x" + std::to_string(spec.full_height) + " tile " +
                       std::to_string(spec.tile_width) + " alpha " + std::to_string(spec.alpha_channel);
    for (const std::string &name : spec.channelnames) held += " " + name;
    for (const OIIO::ParamValue &p : spec.extra_attribs)
        if (p.name() != "DateTime") held += "\n" + p.name().string() + "=" + p.get_string();
    return held;
}

// Files the codec writes hold what OpenImageIO's writer puts in them, and
// read back through OpenImageIO with the samples EncodeStrip gives. The
// rows make two waves of bands, the last one short, with a helper free to
// take bands.
TEST(ExrCodec, WritesWhatOpenImageIOWrites) {
    TempDir dir;
    SetCodecCores(2);
    renderhost::World world(renderhost::Depth::k32, 70, 600, -5, 7);
    std::mt19937 random(5);
    std::uniform_real_distribution<float> value(0.f, 1.f);
    for (A_long y = 0; y < world.height(); ++y)
        for (A_long x = 0; x < world.width(); ++x) {
            PF_PixelFloat &p = world.Row<PF_PixelFloat>(y)[x];
            p = {value(random), value(random), value(random) * (y % 7 == 0 ? 0.f : 1.f), value(random)};
        }
    std::map<std::string, std::uintmax_t> sizes;
    for (SampleType sample : {SampleType::kHalf, SampleType::kFloat})
        for (const char *compression : {"", "zip", "zips", "zip:0", "zip:1", "zip:3", "zip:4", "zips:9"}) {
            const std::string name = std::string(sample == SampleType::kHalf ? "half" : "float") + compression;
            SCOPED_TRACE(name);
            OutputSpec spec;
            spec.format = "openexr";
            spec.sample = sample;
            spec.associated = true;
            spec.display = Window{0, 0, 64, 320};
            spec.compression = compression;
            ASSERT_TRUE(ExrWriterTakes(spec));
            const std::string path = dir / (name + ".exr");
            WriteWorld(path, world, spec);
            sizes[name] = std::filesystem::file_size(path);

            // OpenImageIO's writer on the same spec, as ImageWrite.cpp sets it.
            OIIO::ImageSpec general(world.width(), world.height(), 4, TypeDescOf(sample));
            general.x = -5;
            general.y = 7;
            general.full_width = 64;
            general.full_height = 320;
            general.alpha_channel = 3;
            if (*compression != '\0') general.attribute("compression", compression);
            const std::string reference = dir / (name + "-oiio.exr");
            auto out = OIIO::ImageOutput::create(reference);
            ASSERT_TRUE(out && out->open(reference, general));
            std::vector<unsigned char> expected(std::size_t(EncodeBytes(Window{0, 0, 70, 600}, sample)));
            EncodeStrip(world, sample, true, 0, 600, expected.data());
            ASSERT_TRUE(out->write_image(general.format, expected.data()) && out->close());
            EXPECT_EQ(Held(path), Held(reference));

            auto input = OIIO::ImageInput::open(path);
            ASSERT_TRUE(input);
            std::vector<unsigned char> read(expected.size());
            ASSERT_TRUE(input->read_image(0, 0, 0, 4, TypeDescOf(sample), read.data()));
            EXPECT_TRUE(read == expected) << "samples differ";
        }
    // No level, or one out of range, is level 3; a level given is kept.
    EXPECT_EQ(sizes["half"], sizes["halfzip:3"]);
    EXPECT_EQ(sizes["halfzip:0"], sizes["halfzip:3"]);
    EXPECT_NE(sizes["halfzip:1"], sizes["halfzip:3"]);
    EXPECT_NE(sizes["halfzip:4"], sizes["halfzip:3"]);
    OutputSpec tiff;
    tiff.format = "tiff";
    tiff.sample = SampleType::kFloat;
    OutputSpec piz{"openexr", SampleType::kHalf, true, Window{}, "piz"};
    EXPECT_FALSE(ExrWriterTakes(tiff));
    EXPECT_FALSE(ExrWriterTakes(piz));
    SetCodecCores(0);
}

// ---- The predictor -------------------------------------------------------

// Its definition: even bytes, then odd ones, each as the difference to the
// byte before plus 128.
std::vector<unsigned char> Predicted(const std::vector<unsigned char> &in) {
    std::vector<unsigned char> split;
    for (std::size_t i = 0; i < in.size(); i += 2) split.push_back(in[i]);
    for (std::size_t i = 1; i < in.size(); i += 2) split.push_back(in[i]);
    std::vector<unsigned char> out(split.size());
    for (std::size_t i = 0; i < split.size(); ++i)
        out[i] = i == 0 ? split[0] : static_cast<unsigned char>(split[i] - split[i - 1] + 128);
    return out;
}

TEST(ExrCodec, PredictorPathsFollowTheDefinition) {
    std::mt19937 random(9);
    for (PredictorPath path : {PredictorPath::kPortable, PredictorPath::kSse2}) {
        if (!PredictorPathAvailable(path)) continue;
        for (std::size_t n : {0, 1, 2, 15, 16, 17, 31, 32, 33, 47, 64, 65, 1001, 100003}) {
            SCOPED_TRACE(std::to_string(int(path)) + " n=" + std::to_string(n));
            std::vector<unsigned char> in(n);
            for (unsigned char &b : in) b = static_cast<unsigned char>(random());
            std::vector<unsigned char> scratch(n), out(n), back(n);
            ASSERT_TRUE(ZipPredictOn(path, in.data(), scratch.data(), out.data(), n));
            EXPECT_TRUE(out == Predicted(in));
            ASSERT_TRUE(ZipUnpredictOn(path, out.data(), back.data(), n));
            EXPECT_TRUE(back == in);
        }
    }
}

}  // namespace
}  // namespace veilshadow
