// The formats' rows agree with OpenImageIO and with themselves: what a
// row says its files are called, take and hold is what writing one and
// reading it back gives.
#include "cli_test_support.h"

#include "Formats.h"
#include "ImageIO.h"
#include "OiioSampleTypes.h"

#include <OpenImageIO/imageio.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>
#include <string>
#include <vector>

namespace {

using renderhost::Depth;
using renderhost::World;
using veilshadow::FileFormat;
using veilshadow::SampleType;

// A busy 8-bit world (a gradient with noise, alpha mostly partial), so
// that every compression codes it its own way.
World BusyWorld() {
    World world(Depth::k8, 32, 16);
    unsigned seed = 12345;
    for (A_long y = 0; y < world.height(); ++y) {
        PF_Pixel *row = world.Row<PF_Pixel>(y);
        for (A_long x = 0; x < world.width(); ++x) {
            seed = seed * 1103515245u + 12345u;
            const int noise = static_cast<int>((seed >> 16) & 3);
            row[x].red = static_cast<A_u_char>(x * 4 + noise);
            row[x].green = static_cast<A_u_char>(y * 8 + noise);
            row[x].blue = static_cast<A_u_char>(x * 2 + y * 3);
            row[x].alpha = static_cast<A_u_char>(x == 0 ? 0 : 128 + x * 3);
        }
    }
    return world;
}

std::string Bytes(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream bytes;
    bytes << in.rdbuf();
    return bytes.str();
}

std::vector<const FileFormat *> OutputRows() {
    std::vector<const FileFormat *> rows;
    for (const FileFormat &format : veilshadow::FileFormats())
        if (veilshadow::IsOutputFormat(format.name)) rows.push_back(&format);
    return rows;
}

// Names and labels tell rows apart; each extension of a row picks it for
// OUT as OpenImageIO picks a writer; each row's fallback is a type it takes.
TEST(FormatRows, NamesAndExtensionsPickTheirRow) {
    std::set<std::string> names, labels;
    for (const FileFormat &format : veilshadow::FileFormats()) {
        EXPECT_TRUE(names.insert(format.name).second) << format.name;
        EXPECT_TRUE(labels.insert(format.label).second) << format.label;
        EXPECT_EQ(veilshadow::FindFormat(format.name), &format);
        ASSERT_FALSE(format.extensions.empty()) << format.name;
    }
    // The file types users name, by the extensions they write.
    const std::pair<const char *, const char *> kPicked[] = {
        {"out.png", "png"}, {"out.tif", "tiff"},    {"out.tiff", "tiff"}, {"a.b/out.exr", "openexr"}, {"out", ""},
        {"OUT.PNG", "png"}, {"out.Exr", "openexr"}, {"out.tx", ""},  // a TIFF to OpenImageIO, but no row lists it
        {"png", ""},                                                 // a format's name is no extension
    };
    for (const auto &[path, format] : kPicked) EXPECT_EQ(veilshadow::OutputFormatFor(path), format) << path;
    // The rows' extensions, matched without the library, are the ones it
    // matches to them.
    for (const FileFormat &format : veilshadow::FileFormats())
        for (const std::string &extension : format.extensions) {
            const auto out = OIIO::ImageOutput::create("out" + extension);
            ASSERT_TRUE(out) << extension;
            EXPECT_STREQ(out->format_name(), format.name) << extension;
        }
    ASSERT_FALSE(OutputRows().empty());
    for (const FileFormat *format : OutputRows())
        EXPECT_TRUE(veilshadow::FormatTakes(format->name, format->fallback)) << format->name;
}

// Every compression a row lists is one its writer knows: each gives a
// file of its own (an unknown name would give the writer's default, as
// another listed name does), and a row that keeps COMP's compression
// reads each back by its name.
TEST(FormatRows, EveryCompressionListedIsWrittenAsNamed) {
    clitest::TempDir dir;
    const World world = BusyWorld();
    for (const FileFormat *format : OutputRows()) {
        const std::string path = dir / ("out" + format->extensions.front());
        std::set<std::string> files;
        for (const std::string &compression : format->compressions) {
            EXPECT_TRUE(veilshadow::FormatTakesCompression(format->name, compression));
            veilshadow::OutputSpec spec;
            spec.format = format->name;
            spec.sample = format->fallback;
            spec.display = veilshadow::Window{0, 0, world.width(), world.height()};
            spec.compression = compression;
            veilshadow::WriteWorld(path, world, spec);
            EXPECT_TRUE(files.insert(Bytes(path)).second)
                << format->name << " " << compression << " writes what another compression does";
            if (format->keeps_compression) {
                EXPECT_EQ(veilshadow::ImageReader(path, veilshadow::AlphaMode::kAuto).header().compression, compression)
                    << format->name;
            }
        }
    }
}

// Whether OpenImageIO, asked to keep alpha as the file has it, says the
// file's colour is straight.
bool MarkedStraight(const std::string &path) {
    OIIO::ImageSpec config;
    config.attribute("oiio:UnassociatedAlpha", 1);
    auto input = OIIO::ImageInput::open(path, &config);
    EXPECT_TRUE(input) << path;
    return input && input->spec().get_int_attribute("oiio:UnassociatedAlpha", 0) != 0;
}

// A row's alpha convention is what OpenImageIO's writer of the format
// can mark: straight colour when told it is (the hint), associated when
// told nothing.
TEST(FormatRows, AlphaConventionIsWhatTheFilesCanMark) {
    clitest::TempDir dir;
    for (const FileFormat *format : OutputRows()) {
        const std::string path = dir / ("oiio" + format->extensions.front());
        bool holds[2] = {};  // straight, associated
        for (const bool straight : {true, false}) {
            OIIO::ImageSpec spec(2, 2, 4, veilshadow::TypeDescOf(format->fallback));
            if (straight) spec.attribute("oiio:UnassociatedAlpha", 1);
            const std::vector<float> pixels(16, 0.5f);
            auto out = OIIO::ImageOutput::create(path);
            ASSERT_TRUE(out && out->open(path, spec) && out->write_image(OIIO::TypeDesc::FLOAT, pixels.data()) &&
                        out->close());
            holds[straight ? 0 : 1] = MarkedStraight(path) == straight;
        }
        const veilshadow::AlphaConvention expected = holds[0] && holds[1] ? veilshadow::AlphaConvention::kMarked
                                                     : holds[0]           ? veilshadow::AlphaConvention::kStraight
                                                                          : veilshadow::AlphaConvention::kAssociated;
        EXPECT_TRUE(holds[0] || holds[1]) << format->name;
        EXPECT_EQ(static_cast<int>(format->alpha), static_cast<int>(expected)) << format->name;
    }
}

// Every sample type a row takes reads back as such; colour written
// straight and associated is marked in the file as the row's alpha
// convention says, and --alpha auto reads what the file is marked. The
// file counts as whole and a copy cut short does not.
TEST(FormatRows, SampleTypesAndAlphaReadBackAsWritten) {
    clitest::TempDir dir;
    const World world = BusyWorld();
    int checked = 0;
    for (const FileFormat *format : OutputRows()) {
        const std::string path = dir / ("out" + format->extensions.front());
        const std::string cut = dir / ("cut" + format->extensions.front());
        for (const veilshadow::SampleTraits &sample : veilshadow::kSampleTraits) {
            if (!veilshadow::FormatTakes(format->name, sample.sample)) continue;
            for (const bool associated : {false, true}) {
                const std::string what =
                    std::string(format->name) + " " + sample.name + (associated ? " associated" : " straight");
                veilshadow::OutputSpec spec;
                spec.format = format->name;
                spec.sample = sample.sample;
                spec.associated = associated;
                spec.display = veilshadow::Window{0, 0, world.width(), world.height()};
                veilshadow::WriteWorld(path, world, spec);
                veilshadow::ImageReader reader(path, veilshadow::AlphaMode::kAuto);
                EXPECT_EQ(reader.header().format, format->name) << what;
                EXPECT_EQ(reader.header().sample, sample.sample) << what;
                const bool straight = MarkedStraight(path);
                EXPECT_EQ(straight, format->alpha == veilshadow::AlphaConvention::kMarked
                                        ? !associated
                                        : format->alpha == veilshadow::AlphaConvention::kStraight)
                    << what;
                EXPECT_EQ(reader.header().associated, !straight) << what;
                EXPECT_TRUE(reader.LooksWhole()) << what;
                const veilshadow::OutputShape shape{format->name, sample.sample, reader.header().data,
                                                    reader.header().display};
                EXPECT_TRUE(veilshadow::IsWholeImage(path, shape)) << what;
                const std::string bytes = Bytes(path);
                std::ofstream(cut, std::ios::binary).write(bytes.data(), std::streamsize(bytes.size() * 3 / 4));
                EXPECT_FALSE(veilshadow::IsWholeImage(cut, shape)) << what << ", cut short";
                ++checked;
            }
        }
    }
    EXPECT_GE(checked, 12);
}

}  // namespace
