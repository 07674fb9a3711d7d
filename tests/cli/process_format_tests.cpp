// OUT in another file type or sample type than COMP's: the world rendered
// in COMP's depth, converted as it is written, compared with a plain
// conversion of the plain kernels' result; where OUT's pixels and frame
// read back, and which OUT counts as done.
#include "cli_test_support.h"

#include "Errors.h"
#include "ImageIO.h"

#include <Imath/half.h>
#include <OpenImageIO/imagebuf.h>
#include <OpenImageIO/imagebufalgo.h>
#include <OpenImageIO/imageio.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <set>
#include <string>
#include <vector>

namespace {

using clitest::Sample;
using clitest::TestImage;
using renderhost::Depth;
using renderhost::World;
using veilshadow::Window;

struct FormatCase {
    const char *name;
    const char *comp_ext;
    Sample comp_sample;
    const char *out_ext;
    std::vector<std::string> options;
    Sample out_sample;
    bool out_associated;
    const char *compression;  // as OUT's header gives it; null: not checked
};

void PrintTo(const FormatCase &c, std::ostream *os) { *os << c.name; }

double MaxOf(Sample sample) { return sample == Sample::kU8 ? 255.0 : sample == Sample::kU16 ? 65535.0 : 1.0; }
bool IsFloat(Sample sample) { return sample == Sample::kHalf || sample == Sample::kFloat; }

// The world's straight samples in its own type, converted to `to`: where
// either side is float, by way of float (integers divided by their full
// scale, colour multiplied by alpha there, floats rounded half away from
// zero onto an integer scale); integers to integers rounded to nearest.
TestImage ConvertExpected(const World &world, Sample to, bool associated) {
    const Sample own = world.depth() == Depth::k8    ? Sample::kU8
                       : world.depth() == Depth::k16 ? Sample::kU16
                                                     : Sample::kFloat;
    TestImage file = clitest::EncodeExpected(world, own, false);
    file.sample = to;
    for (std::size_t p = 0; p < file.samples.size(); p += 4) {
        float *px = &file.samples[p];
        if (!IsFloat(own) && !IsFloat(to)) {
            for (int c = 0; c < 4; ++c) px[c] = std::floor(px[c] * MaxOf(to) / MaxOf(own) + 0.5);
            continue;
        }
        for (int c = 0; c < 4; ++c) px[c] = px[c] / static_cast<float>(MaxOf(own));
        if (associated && px[3] > 0)
            for (int c = 0; c < 3; ++c) px[c] *= px[3];
        for (int c = 0; c < 4; ++c) {
            if (to == Sample::kHalf) px[c] = static_cast<float>(Imath::half(px[c]));
            if (!IsFloat(to))
                px[c] =
                    std::clamp(std::round(px[c] * static_cast<float>(MaxOf(to))), 0.0f, static_cast<float>(MaxOf(to)));
        }
    }
    return file;
}

class WriteFormats : public ::testing::TestWithParam<FormatCase> {};

TEST_P(WriteFormats, OutputIsTheRenderConverted) {
    const FormatCase &c = GetParam();
    clitest::TempDir dir;
    const std::string comp = dir / (std::string("comp.") + c.comp_ext);
    const std::string layer = dir / (std::string("layer.") + c.comp_ext);
    const std::string out = dir / (std::string("out.") + c.out_ext);
    clitest::WriteTestImage(comp, clitest::RandomImage(c.comp_sample, 4, 0, 0, 36, 28, 11));
    clitest::WriteTestImage(layer, clitest::RandomImage(c.comp_sample, 4, 0, 0, 30, 24, 12));
    std::vector<std::string> args = {"-i", comp, "-l", layer, "-o", out, "--opacity", "50"};
    args.insert(args.end(), c.options.begin(), c.options.end());
    const clitest::RunResult run = clitest::RunVeilshadow(args);
    ASSERT_EQ(run.exit_code, 0) << run.err;

    const Depth depth = IsFloat(c.comp_sample) ? Depth::k32 : c.comp_sample == Sample::kU16 ? Depth::k16 : Depth::k8;
    const bool comp_associated = std::string(c.comp_ext) == "exr";
    const World rendered = clitest::KernelExpected(
        clitest::DecodeExpected(clitest::ReadTestImage(comp), depth, comp_associated),
        clitest::DecodeExpected(clitest::ReadTestImage(layer), depth, comp_associated), 3276800);
    const TestImage actual = clitest::ReadTestImage(out);
    EXPECT_EQ(actual.sample, c.out_sample);
    EXPECT_EQ(clitest::CompareImages(ConvertExpected(rendered, c.out_sample, c.out_associated), actual), "");
    if (c.compression != nullptr) {
        auto in = OIIO::ImageInput::open(out);
        ASSERT_TRUE(in);
        EXPECT_EQ(in->spec().get_string_attribute("compression"), c.compression);
    }
}

// clang-format off
INSTANTIATE_TEST_SUITE_P(
    Table, WriteFormats,
    ::testing::Values(
        FormatCase{"exr_half_to_png_straight_8bit", "exr", Sample::kHalf, "png", {}, Sample::kU8, false, nullptr},
        FormatCase{"exr_float_to_tiff16_associated", "exr", Sample::kFloat, "tif", {"-d", "uint16"}, Sample::kU16,
                   true, nullptr},
        FormatCase{"png8_to_exr_half_associated", "png", Sample::kU8, "exr", {}, Sample::kHalf, true, "zip"},
        FormatCase{"png16_to_png8", "png", Sample::kU16, "png", {"-d", "uint8"}, Sample::kU8, false, nullptr},
        FormatCase{"tiff8_to_tiff_float_lzw", "tif", Sample::kU8, "tif", {"-d", "float", "--compression", "lzw"},
                   Sample::kFloat, false, "lzw"},
        FormatCase{"exr_half_piz", "exr", Sample::kHalf, "exr", {"--compression", "piz"}, Sample::kHalf, true, "piz"},
        FormatCase{"png16_same_type_asked", "png", Sample::kU16, "png", {"-d", "uint16"}, Sample::kU16, false,
                   nullptr}),
    [](const ::testing::TestParamInfo<FormatCase> &info) { return std::string(info.param.name); });
// clang-format on

// ---- Where OUT's pixels are ----------------------------------------------

std::string WindowsText(const Window &data, const Window &display) {
    const auto text = [](const Window &w) {
        return std::to_string(w.x) + "," + std::to_string(w.y) + " " + std::to_string(w.width) + "x" +
               std::to_string(w.height);
    };
    return text(data) + " in " + text(display);
}

// The data and display windows of the file as OpenImageIO reads them.
std::string WindowsOf(const std::string &path) {
    auto in = OIIO::ImageInput::open(path);
    if (!in) return "unreadable";
    const OIIO::ImageSpec &s = in->spec();
    return WindowsText({s.x, s.y, s.width, s.height}, {s.full_x, s.full_y, s.full_width, s.full_height});
}

// Writes RGBA 8-bit with OpenImageIO alone; parts > 1: a multi-part file.
void WriteRaw(const std::string &path, const Window &data, const Window &display, int parts = 1) {
    std::vector<OIIO::ImageSpec> specs(parts, OIIO::ImageSpec(data.width, data.height, 4, OIIO::TypeDesc::UINT8));
    for (int part = 0; part < parts; ++part) {
        specs[part].x = data.x;
        specs[part].y = data.y;
        specs[part].full_x = display.x;
        specs[part].full_y = display.y;
        specs[part].full_width = display.width;
        specs[part].full_height = display.height;
        specs[part].attribute("name", "part" + std::to_string(part));
    }
    const std::vector<unsigned char> pixels(std::size_t(data.width) * data.height * 4, 100);
    auto out = OIIO::ImageOutput::create(path);
    bool ok = out->open(path, parts, specs.data());
    for (int part = 0; part < parts; ++part)
        ok = ok && (part == 0 || out->open(path, specs[part], OIIO::ImageOutput::AppendSubimage)) &&
             out->write_image(OIIO::TypeDesc::UINT8, pixels.data());
    ASSERT_TRUE(ok && out->close()) << out->geterror();
}

// Each output format's row agrees with OpenImageIO: what WriteWorld writes
// reads back, in OpenImageIO and in veilshadow, with the windows
// WindowsAsWritten gives; what it refuses, written by OpenImageIO alone,
// would read back elsewhere.
TEST(WindowsAsWritten, AgreesWithWhatOpenImageIOReadsBack) {
    clitest::TempDir dir;
    const Window data_windows[] = {{0, 0, 6, 4}, {3, 2, 6, 4}, {-5, 1, 6, 4}, {0, 3, 6, 4}};
    const Window displays[] = {{0, 0, 6, 4}, {0, 0, 9, 8}, {2, 1, 6, 4}, {-3, -3, 12, 12}, {0, 0, 4, 3}};
    int held = 0, refused = 0;
    for (const char *format : {"png", "tiff", "openexr"}) {
        const std::string path = dir / (std::string("out.") + (format[0] == 'o' ? "exr" : format));
        for (const Window &data : data_windows) {
            for (const Window &display : displays) {
                const std::string wanted = WindowsText(data, display);
                veilshadow::OutputSpec spec;
                spec.format = format;
                spec.display = display;
                try {
                    veilshadow::WriteWorld(path, World(Depth::k8, data.width, data.height, data.x, data.y), spec);
                } catch (const veilshadow::OutputError &) {
                    ++refused;
                    WriteRaw(path, data, display);
                    const Window ours = veilshadow::ImageReader(path, veilshadow::AlphaMode::kAuto).header().data;
                    EXPECT_TRUE(WindowsOf(path) != wanted || ours.x != data.x || ours.y != data.y)
                        << format << " refuses " << wanted << ", which reads back";
                    continue;
                }
                ++held;
                const veilshadow::OutputWindows windows = veilshadow::WindowsAsWritten(path, format, data, display);
                const veilshadow::ImageHeader ours =
                    veilshadow::ImageReader(path, veilshadow::AlphaMode::kAuto).header();
                EXPECT_EQ(WindowsOf(path), WindowsText(windows.data, windows.display)) << format << " " << wanted;
                EXPECT_EQ(WindowsText(ours.data, ours.display), WindowsText(windows.data, windows.display)) << format;
                EXPECT_EQ(WindowsText(windows.data, windows.display),
                          std::string(format) == "png" ? WindowsText(data, data) : wanted);
            }
        }
    }
    EXPECT_GT(held, 10);
    EXPECT_GT(refused, 10);
}

// The program: OUT read back with OpenImageIO has COMP's data window and
// LAYER's display window (a PNG none: its pixels are its frame), and
// counts as done; a file type that cannot hold them is refused before
// anything is written, with the way out. A PNG COMP sits at (0, 0),
// whatever its oFFs says; a COMP of two images is refused.
struct PlaceCase {
    const char *name;
    const char *in_ext;  // COMP's and LAYER's
    Window comp, layer, layer_display;
    const char *out_ext;
    std::vector<std::string> options;
    Window out_data, out_display;  // as read back
    const char *refused;           // "FILE: message" of a refusal; null: written
    int comp_parts = 1;
};

void PrintTo(const PlaceCase &c, std::ostream *os) { *os << c.name; }

class Placement : public ::testing::TestWithParam<PlaceCase> {};

TEST_P(Placement, OutReadsBackInPlaceOrIsRefused) {
    const PlaceCase &c = GetParam();
    clitest::TempDir dir;
    const std::string comp = dir / (std::string("comp.") + c.in_ext);
    const std::string layer = dir / (std::string("layer.") + c.in_ext);
    const std::string out = dir / (std::string("out.") + c.out_ext);
    WriteRaw(comp, c.comp, c.comp, c.comp_parts);
    WriteRaw(layer, c.layer, c.layer_display);
    std::vector<std::string> args = {"-i", comp, "-l", layer, "-o", out};
    args.insert(args.end(), c.options.begin(), c.options.end());

    const clitest::RunResult run = clitest::RunVeilshadow(args);
    if (c.refused != nullptr) {
        EXPECT_EQ(run.exit_code, 1) << run.err;
        EXPECT_NE(run.err.find("veilshadow: " + (dir / c.refused)), std::string::npos) << run.err;
        if (c.comp_parts == 1) {
            EXPECT_NE(run.err.find("; write .exr, which holds any data and display window\n"), std::string::npos);
        }
        EXPECT_EQ(dir.Entries().size(), 2u) << "written: " << out;
        return;
    }
    ASSERT_EQ(run.exit_code, 0) << run.err;
    EXPECT_EQ(WindowsOf(out), WindowsText(c.out_data, c.out_display));
    args.push_back("--resume");
    EXPECT_NE(clitest::RunVeilshadow(args).err.find("skipped, " + out + " is written"), std::string::npos);
}

constexpr Window kTiny{0, 0, 24, 16};

// clang-format off
INSTANTIATE_TEST_SUITE_P(
    Table, Placement,
    ::testing::Values(
        PlaceCase{"exr_to_tiff_negative_origin", "exr", {-5, -7, 30, 20}, kTiny, kTiny, "tif", {}, {}, {},
                  "out.tif: cannot hold a data window at (-5, -7): a TIFF file places its pixels at (0, 0) or right"},
        PlaceCase{"exr_to_tiff_display_window_apart", "exr", {12, 11, 20, 20}, {10, 10, 32, 32}, {10, 10, 32, 32},
                  "tif", {}, {}, {}, "out.tif: cannot hold a display window at (10, 10)"},
        PlaceCase{"exr_to_tiff_display_of_the_data_size", "exr", {3, 2, 24, 16}, kTiny, kTiny, "tif", {}, {}, {},
                  "out.tif: cannot hold a display window at (0, 0) of the size of its data window at (3, 2)"},
        PlaceCase{"exr_to_tiff_held", "exr", {3, 5, 30, 20}, kTiny, {0, 0, 40, 30}, "tif", {}, {3, 5, 30, 20},
                  {0, 0, 40, 30}, nullptr},
        PlaceCase{"exr_to_png_downsampled_origin", "exr", {-5, -7, 30, 20}, kTiny, kTiny, "png",
                  {"--downsample", "2"}, {}, {}, "out.png: cannot hold a data window at (-3, -4): a PNG file sits at (0, 0)"},
        PlaceCase{"exr_to_png_positive_origin", "exr", {3, 5, 30, 20}, kTiny, kTiny, "png", {}, {}, {},
                  "out.png: cannot hold a data window at (3, 5)"},
        PlaceCase{"exr_to_png_held", "exr", {0, 0, 30, 20}, kTiny, {0, 0, 40, 30}, "png", {}, {0, 0, 30, 20},
                  {0, 0, 30, 20}, nullptr},
        PlaceCase{"png_offsets_are_ignored", "png", {7, 3, 30, 20}, {5, 2, 24, 16}, {5, 2, 24, 16}, "exr", {},
                  {0, 0, 30, 20}, {0, 0, 24, 16}, nullptr},
        PlaceCase{"exr_to_exr_held", "exr", {-5, -7, 30, 20}, {2, 1, 24, 16}, {-10, -10, 64, 48}, "exr",
                  {"--downsample", "3"}, {-2, -3, 11, 8}, {-4, -4, 22, 17}, nullptr},
        PlaceCase{"multipart_exr_comp", "exr", {0, 0, 30, 20}, kTiny, kTiny, "exr", {}, {}, {},
                  "comp.exr: holds more than one image (a multi-part OpenEXR file)", 2}),
    [](const ::testing::TestParamInfo<PlaceCase> &info) { return std::string(info.param.name); });
// clang-format on

// ---- Which OUT is done -----------------------------------------------------
// --resume keeps OUT only when it is the file the render writes: its type,
// sample type, channels, data window and display window. An OUT left by a
// run with other options, or by another program, is rendered again, into
// the file a plain run writes.

struct DoneCase {
    const char *name;
    const char *comp_ext;
    const char *out_ext;
    std::vector<std::string> earlier;  // the options of the run that wrote OUT
    // Or OUT written by another program: half, these channels and windows.
    int channels;
    Window data, display;
};

void PrintTo(const DoneCase &c, std::ostream *os) { *os << c.name; }

class ResumeKeeps : public ::testing::TestWithParam<DoneCase> {};

TEST_P(ResumeKeeps, OnlyWhatTheRenderWrites) {
    const DoneCase &c = GetParam();
    clitest::TempDir dir;
    const std::string comp = dir / (std::string("comp.") + c.comp_ext);
    const std::string layer = dir / (std::string("layer.") + c.comp_ext);
    const std::string out = dir / (std::string("out.") + c.out_ext);
    const std::string plain = dir / (std::string("plain.") + c.out_ext);
    // COMP 40 x 32 (an OpenEXR one at (-4, -3) unless OUT is a PNG, which
    // sits at (0, 0)), LAYER's display window 36 x 28 at (0, 0).
    const int at = std::string(c.comp_ext) == "exr" && std::string(c.out_ext) != "png" ? 1 : 0;
    const Sample sample = std::string(c.comp_ext) == "exr" ? Sample::kHalf : Sample::kU16;
    clitest::WriteTestImage(comp, clitest::RandomImage(sample, 4, -4 * at, -3 * at, 40, 32, 5));
    TestImage layer_image = clitest::RandomImage(sample, 4, 2, 1, 30, 24, 6);
    layer_image.full_width = 36;
    layer_image.full_height = 28;
    clitest::WriteTestImage(layer, layer_image);
    std::vector<std::string> args = {"-i", comp, "-l", layer, "-o", out};

    if (c.channels == 0) {
        std::vector<std::string> earlier = args;
        earlier.insert(earlier.end(), c.earlier.begin(), c.earlier.end());
        ASSERT_EQ(clitest::RunVeilshadow(earlier).exit_code, 0);
    } else {
        TestImage foreign =
            clitest::RandomImage(Sample::kHalf, c.channels, c.data.x, c.data.y, c.data.width, c.data.height, 7);
        foreign.full_x = c.display.x;
        foreign.full_y = c.display.y;
        foreign.full_width = c.display.width;
        foreign.full_height = c.display.height;
        clitest::WriteTestImage(out, foreign);
    }
    args.push_back("--resume");
    const clitest::RunResult run = clitest::RunVeilshadow(args);
    ASSERT_EQ(run.exit_code, 0) << run.err;
    EXPECT_EQ(run.err.find("skipped"), std::string::npos) << run.err;
    ASSERT_EQ(clitest::RunVeilshadow({"-i", comp, "-l", layer, "-o", plain}).exit_code, 0);
    EXPECT_EQ(WindowsOf(out), WindowsOf(plain));
    EXPECT_EQ(clitest::CompareImages(clitest::ReadTestImage(plain), clitest::ReadTestImage(out)), "");
}

// clang-format off
INSTANTIATE_TEST_SUITE_P(
    Table, ResumeKeeps,
    ::testing::Values(
        DoneCase{"png_preview_of_exr", "exr", "png", {"--downsample", "4"}, 0, {}, {}},
        DoneCase{"png_preview_of_tiff", "tif", "png", {"--downsample", "4"}, 0, {}, {}},
        DoneCase{"exr_crop", "exr", "exr", {}, 4, {0, 0, 10, 10}, {0, 0, 36, 28}},
        DoneCase{"exr_data_window_moved", "exr", "exr", {}, 4, {0, 0, 40, 32}, {0, 0, 36, 28}},
        DoneCase{"exr_display_window_moved", "exr", "exr", {}, 4, {-4, -3, 40, 32}, {5, 5, 36, 28}},
        DoneCase{"exr_without_alpha", "exr", "exr", {}, 3, {-4, -3, 40, 32}, {0, 0, 36, 28}}),
    [](const ::testing::TestParamInfo<DoneCase> &info) { return std::string(info.param.name); });
// clang-format on

// The same pixels under other channel names (another program's layers, or
// X, Y, Z, A) are not what the render writes.
TEST(ResumeKeepsOnly, ChannelsNamedRGBA) {
    clitest::TempDir dir;
    const std::string comp = dir / "comp.exr", layer = dir / "layer.exr", out = dir / "out.exr";
    clitest::WriteTestImage(comp, clitest::RandomImage(Sample::kHalf, 4, 0, 0, 20, 16, 3));
    clitest::WriteTestImage(layer, clitest::RandomImage(Sample::kHalf, 4, 0, 0, 20, 16, 4));
    const std::vector<std::string> args = {"-i", comp, "-l", layer, "-o", out, "--resume"};
    ASSERT_EQ(clitest::RunVeilshadow(args).exit_code, 0);
    const TestImage rendered = clitest::ReadTestImage(out);
    OIIO::ImageBuf renamed;
    const int order[] = {0, 1, 2, 3};
    const std::string names[] = {"X", "Y", "Z", "A"};
    ASSERT_TRUE(OIIO::ImageBufAlgo::channels(renamed, OIIO::ImageBuf(out), 4, order, {}, names));
    ASSERT_TRUE(renamed.write(dir / "renamed.exr"));
    std::filesystem::rename(dir / "renamed.exr", out);
    const clitest::RunResult run = clitest::RunVeilshadow(args);
    ASSERT_EQ(run.exit_code, 0) << run.err;
    EXPECT_EQ(run.err.find("skipped"), std::string::npos) << run.err;
    EXPECT_EQ(clitest::CompareImages(rendered, clitest::ReadTestImage(out)), "");
    EXPECT_NE(clitest::RunVeilshadow(args).err.find("skipped"), std::string::npos);
}

// The general codec (OpenImageIO) is a module the program loads only for a
// file its own codecs do not take: runs on OpenEXR ZIP and PNG files, and
// --help, never load it; a TIFF read or written does. The dynamic loader
// names each object it loads (LD_DEBUG=files).
TEST(GeneralCodec, LoadedOnlyForAFileTheOwnCodecsDoNotTake) {
    clitest::TempDir dir;
    clitest::WriteTestImage(dir / "c.png", clitest::RandomImage(Sample::kU8, 4, 0, 0, 20, 16, 5));
    clitest::WriteTestImage(dir / "c.exr", clitest::RandomImage(Sample::kHalf, 4, 0, 0, 20, 16, 6));
    clitest::WriteTestImage(dir / "c.tif", clitest::RandomImage(Sample::kU16, 4, 0, 0, 20, 16, 7));
    const struct {
        std::vector<std::string> args;
        bool loads;
    } kRuns[] = {
        {{"--help"}, false},
        {{"-i", dir / "c.png", "-l", dir / "c.png", "-o", dir / "png.png"}, false},
        {{"-i", dir / "c.exr", "-l", dir / "c.exr", "-o", dir / "exr.exr"}, false},
        {{"-i", dir / "c.png", "-l", dir / "c.exr", "-o", dir / "mixed.exr", "-d", "float"}, false},
        {{"-i", dir / "c.tif", "-l", dir / "c.png", "-o", dir / "tif-in.png"}, true},
        {{"-i", dir / "c.png", "-l", dir / "c.png", "-o", dir / "tif-out.tif"}, true},
    };
    clitest::RunOptions options;
    options.environment = {"LD_DEBUG=files"};
    for (const auto &run : kRuns) {
        const clitest::RunResult result = clitest::RunVeilshadow(run.args, options);
        const std::string what = run.args.back();
        EXPECT_EQ(result.exit_code, 0) << what << "\n" << result.err;
        EXPECT_EQ(result.err.find("veilshadow-general") != std::string::npos, run.loads) << what;
        EXPECT_EQ(result.err.find("libOpenImageIO") != std::string::npos, run.loads) << what;
    }
}

// A program whose general module cannot be loaded (none beside it, a FIFO,
// an empty file, another library) still renders what its own codecs take;
// a run that needs the module fails naming it and why, leaving nothing
// behind, and a farm that cannot tell whether a TIFF OUT is whole submits
// nothing rather than counting the frame missing.
TEST(GeneralCodec, AModuleThatCannotBeLoadedStopsOnlyWhatNeedsIt) {
    namespace fs = std::filesystem;
    const struct {
        const char *name;
        void (*make)(const std::string &path);
        const char *problem;
    } kModules[] = {
        {"none", [](const std::string &) {}, "No such file"},
        {"a FIFO", [](const std::string &path) { ASSERT_EQ(mkfifo(path.c_str(), 0600), 0); }, "not a regular file"},
        {"an empty file", [](const std::string &path) { std::ofstream{path}; }, "file too short"},
        {"another library", [](const std::string &path) { fs::copy_file(ORVANE_PLUGIN_PATH, path); },
         "not the module of this veilshadow"},
    };
    for (const auto &module : kModules) {
        SCOPED_TRACE(module.name);
        clitest::TempDir dir;
        fs::copy_file(VEILSHADOW_PATH, dir / "veilshadow");
        module.make(dir / "veilshadow-general.so");
        clitest::WriteTestImage(dir / "c.0001.exr", clitest::RandomImage(Sample::kHalf, 4, 0, 0, 20, 16, 8));
        clitest::RunOptions options;
        options.program = dir / "veilshadow";
        const std::vector<std::string> base = {"--plugin", ORVANE_PLUGIN_PATH, "-i", dir / "c.0001.exr",
                                               "-l",       dir / "c.0001.exr"};
        std::vector<std::string> own = base, general = base;
        own.insert(own.end(), {"-o", dir / "out.exr"});
        general.insert(general.end(), {"-o", dir / "out.tif"});
        const clitest::RunResult fast = clitest::RunVeilshadow(own, options);
        EXPECT_EQ(fast.exit_code, 0) << fast.err;
        const clitest::RunResult refused = clitest::RunVeilshadow(general, options);
        EXPECT_EQ(refused.exit_code, 1);
        EXPECT_NE(refused.err.find(dir / "veilshadow-general.so: cannot load veilshadow's general image codec"),
                  std::string::npos)
            << refused.err;
        EXPECT_NE(refused.err.find(module.problem), std::string::npos) << refused.err;
        std::set<std::string> entries = {"c.0001.exr", "out.exr", "veilshadow"};
        if (fs::exists(fs::symlink_status(dir / "veilshadow-general.so"))) entries.insert("veilshadow-general.so");
        EXPECT_EQ(dir.Entries(), entries);

        clitest::WriteTestImage(dir / "o.0001.tif", clitest::RandomImage(Sample::kU8, 4, 0, 0, 20, 16, 9));
        fs::create_directory(dir / "bin");
        std::ofstream(dir / "bin/sbatch") << "#!/bin/sh\ntouch '" << dir / "submitted"
                                          << "'\necho 4242\n";
        fs::permissions(dir / "bin/sbatch", fs::perms::owner_all);
        options.environment = {"PATH=" + dir / "bin" + ":/usr/bin:/bin"};
        const clitest::RunResult farm =
            clitest::RunVeilshadow({"--plugin", ORVANE_PLUGIN_PATH, "farm", "slurm", "-i", dir / "c.#.exr", "-l",
                                    dir / "c.0001.exr", "-o", dir / "o.#.tif", "--frames", "1"},
                                   options);
        EXPECT_EQ(farm.exit_code, 1) << farm.err;
        EXPECT_NE(farm.err.find("veilshadow-general.so: cannot load"), std::string::npos) << farm.err;
        EXPECT_FALSE(fs::exists(dir / "submitted"));
    }
}

// Where /proc is not mounted (a chroot), the program finds its modules
// where it is, by the path it was started by, never in the working folder,
// whatever that folder holds.
TEST(GeneralCodec, WithoutProcTheModuleIsTheProgramsNeverTheWorkingFolders) {
    if (geteuid() != 0) GTEST_SKIP() << "a mount namespace needs root";
    if (clitest::kAddressSanitizer) GTEST_SKIP() << "the address sanitizer cannot start without /proc";
    namespace fs = std::filesystem;
    clitest::TempDir dir;
    fs::create_directory(dir / "bin");
    fs::create_directory(dir / "work");
    fs::copy_file(VEILSHADOW_PATH, dir / "bin/veilshadow");
    fs::copy_file(ORVANE_PLUGIN_PATH, dir / "work/veilshadow-general.so");  // never to be loaded
    clitest::WriteTestImage(dir / "c.tif", clitest::RandomImage(Sample::kU8, 4, 0, 0, 20, 16, 10));
    clitest::RunOptions options;
    options.program = "/usr/bin/unshare";
    const clitest::RunResult run = clitest::RunVeilshadow(
        {"--mount", "sh", "-c", "umount -l /proc && cd \"$0\" && exec \"$@\"", dir / "work", "../bin/veilshadow",
         "--plugin", ORVANE_PLUGIN_PATH, "-i", dir / "c.tif", "-l", dir / "c.tif", "-o", dir / "out.tif"},
        options);
    EXPECT_EQ(run.exit_code, 1) << run.err;
    EXPECT_NE(run.err.find(dir / "bin/veilshadow-general.so: cannot load"), std::string::npos) << run.err;
    EXPECT_FALSE(fs::exists(dir / "out.tif"));
}

}  // namespace
