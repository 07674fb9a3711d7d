// Every kind of failure: the exit code, one line naming the file (or the
// option) at fault, and no output file or temporary file left behind.
#include "cli_test_support.h"

#include <gtest/gtest.h>

#include <OpenImageIO/imageio.h>
#include <sys/stat.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <functional>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

using clitest::Sample;
using clitest::TempDir;

constexpr int kFailure = 1;
constexpr int kUsage = 2;

void WriteText(const std::string &path, const std::string &text) { std::ofstream(path, std::ios::binary) << text; }

// The first half of a good file.
void Truncate(const std::string &path) { std::filesystem::resize_file(path, std::filesystem::file_size(path) / 2); }

void WriteRgba(const std::string &path, Sample sample, int x = 0, int y = 0, int width = 24, int height = 16) {
    clitest::WriteTestImage(path, clitest::RandomImage(sample, 4, x, y, width, height, 5));
}

// A TIFF of 32-bit unsigned integer samples, which veilshadow does not take.
void WriteUint32Tiff(const std::string &path) {
    auto out = OIIO::ImageOutput::create(path);
    OIIO::ImageSpec spec(8, 8, 4, OIIO::TypeDesc::UINT32);
    std::vector<std::uint32_t> samples(8 * 8 * 4, 123456u);
    if (!out || !out->open(path, spec) || !out->write_image(OIIO::TypeDesc::UINT32, samples.data()) || !out->close())
        throw std::runtime_error("cannot write " + path);
}

struct ErrorCase {
    const char *name;
    // Writes the files into the folder; returns the arguments.
    std::function<std::vector<std::string>(const TempDir &)> prepare;
    int exit_code;
    // What the message must name: a file in the folder, or a text as is.
    const char *file_named;
    const char *text_named;
    const char *output;  // the output the run must not leave behind
    clitest::RunOptions run_options = {};
};

// COMP and LAYER as good 8-bit PNGs, and the usual arguments.
std::vector<std::string> GoodPngs(const TempDir &dir, std::vector<std::string> extra = {}) {
    WriteRgba(dir / "comp.png", Sample::kU8);
    WriteRgba(dir / "layer.png", Sample::kU8);
    std::vector<std::string> args = {"--input", dir / "comp.png", "--layer", dir / "layer.png", "-o", dir / "out.png"};
    args.insert(args.end(), extra.begin(), extra.end());
    return args;
}

std::vector<std::string> Files(const TempDir &dir, const std::string &comp, const std::string &layer,
                               const std::string &out) {
    return {"--input", dir / comp, "--layer", dir / layer, "-o", dir / out};
}

// COMP and LAYER of 64 x 48 random pixels in this format, whose output is
// larger than kSmallFileLimit.
std::vector<std::string> Written(const TempDir &dir, const std::string &extension, Sample sample) {
    for (const char *name : {"comp.", "layer."}) WriteRgba(dir / (name + extension), sample, 0, 0, 64, 48);
    return Files(dir, "comp." + extension, "layer." + extension, "out." + extension);
}
const clitest::RunOptions kSmallFileLimit = {false, 512, false, {}, {}};

void PrintTo(const ErrorCase &c, std::ostream *os) { *os << c.name; }

class Errors : public ::testing::TestWithParam<ErrorCase> {};

TEST_P(Errors, ExitCodeMessageAndNothingLeftBehind) {
    const ErrorCase &c = GetParam();
    TempDir dir;
    const std::vector<std::string> args = c.prepare(dir);
    const std::set<std::string> before = dir.Entries();
    const clitest::RunResult run = clitest::RunVeilshadow(args, c.run_options);

    EXPECT_EQ(run.exit_code, c.exit_code) << run.err;
    EXPECT_EQ(clitest::CountLines(run.err), 1) << run.err;
    EXPECT_EQ(run.err.rfind("veilshadow: ", 0), 0u) << run.err;
    if (c.file_named != nullptr) {
        EXPECT_NE(run.err.find(dir / c.file_named), std::string::npos) << run.err;
    }
    if (c.text_named != nullptr) {
        EXPECT_NE(run.err.find(c.text_named), std::string::npos) << run.err;
    }
    EXPECT_EQ(dir.Entries(), before) << "files were added or removed";
    EXPECT_FALSE(std::filesystem::exists(dir / c.output));
}

INSTANTIATE_TEST_SUITE_P(
    Table, Errors,
    ::testing::Values(
        // ---- Files -----------------------------------------------------------
        // A write that fails, in every format and sample type, fails the
        // run: the file-size limit (SIGXFSZ, EFBIG) as a full disk would.
        ErrorCase{"png8_past_the_file_size_limit", [](const TempDir &dir) { return Written(dir, "png", Sample::kU8); },
                  kFailure, "out.png", "cannot write: File too large", "out.png", kSmallFileLimit},
        ErrorCase{"png16_past_the_file_size_limit",
                  [](const TempDir &dir) { return Written(dir, "png", Sample::kU16); }, kFailure, "out.png",
                  "cannot write: File too large", "out.png", kSmallFileLimit},
        ErrorCase{"tif8_past_the_file_size_limit", [](const TempDir &dir) { return Written(dir, "tif", Sample::kU8); },
                  kFailure, "out.tif", "cannot write: File too large", "out.tif", kSmallFileLimit},
        ErrorCase{"tif16_past_the_file_size_limit",
                  [](const TempDir &dir) { return Written(dir, "tif", Sample::kU16); }, kFailure, "out.tif",
                  "cannot write: File too large", "out.tif", kSmallFileLimit},
        ErrorCase{"tif_float_past_the_file_size_limit",
                  [](const TempDir &dir) { return Written(dir, "tif", Sample::kFloat); }, kFailure, "out.tif",
                  "cannot write: File too large", "out.tif", kSmallFileLimit},
        ErrorCase{"exr_half_past_the_file_size_limit",
                  [](const TempDir &dir) { return Written(dir, "exr", Sample::kHalf); }, kFailure, "out.exr",
                  "cannot write: File too large", "out.exr", kSmallFileLimit},
        ErrorCase{"exr_float_past_the_file_size_limit",
                  [](const TempDir &dir) { return Written(dir, "exr", Sample::kFloat); }, kFailure, "out.exr",
                  "cannot write: File too large", "out.exr", kSmallFileLimit},
        ErrorCase{"missing_input",
                  [](const TempDir &dir) {
                      WriteRgba(dir / "layer.png", Sample::kU8);
                      return Files(dir, "comp.png", "layer.png", "out.png");
                  },
                  kFailure, "comp.png", "no such file", "out.png"},
        ErrorCase{"missing_layer",
                  [](const TempDir &dir) {
                      WriteRgba(dir / "comp.png", Sample::kU8);
                      return Files(dir, "comp.png", "layer.png", "out.png");
                  },
                  kFailure, "layer.png", "no such file", "out.png"},
        ErrorCase{"input_is_a_folder",
                  [](const TempDir &dir) {
                      std::filesystem::create_directory(dir / "comp.png");
                      WriteRgba(dir / "layer.png", Sample::kU8);
                      return Files(dir, "comp.png", "layer.png", "out.png");
                  },
                  kFailure, "comp.png", "folder", "out.png"},
        ErrorCase{"input_not_an_image",
                  [](const TempDir &dir) {
                      WriteText(dir / "comp.png", "this is not a picture\n");
                      WriteRgba(dir / "layer.png", Sample::kU8);
                      return Files(dir, "comp.png", "layer.png", "out.png");
                  },
                  kFailure, "comp.png", "cannot read", "out.png"},
        ErrorCase{"input_exr_cut_short",
                  [](const TempDir &dir) {
                      WriteRgba(dir / "comp.exr", Sample::kHalf, -2, -2, 64, 64);
                      Truncate(dir / "comp.exr");
                      WriteRgba(dir / "layer.exr", Sample::kHalf);
                      return Files(dir, "comp.exr", "layer.exr", "out.exr");
                  },
                  kFailure, "comp.exr", nullptr, "out.exr"},
        ErrorCase{"layer_png_cut_short",
                  [](const TempDir &dir) {
                      WriteRgba(dir / "comp.png", Sample::kU8);
                      WriteRgba(dir / "layer.png", Sample::kU16, 0, 0, 64, 64);
                      Truncate(dir / "layer.png");
                      return Files(dir, "comp.png", "layer.png", "out.png");
                  },
                  kFailure,
                  "layer.png",
                  nullptr,
                  "out.png",
                  {true, 0, false, {}, {}}},
        ErrorCase{"layer_tiff_cut_short",
                  [](const TempDir &dir) {
                      WriteRgba(dir / "comp.tif", Sample::kU8);
                      WriteRgba(dir / "layer.tif", Sample::kU8, 0, 0, 64, 64);
                      Truncate(dir / "layer.tif");
                      return Files(dir, "comp.tif", "layer.tif", "out.tif");
                  },
                  kFailure, "layer.tif", nullptr, "out.tif"},
        ErrorCase{"unsupported_format",
                  [](const TempDir &dir) {
                      WriteRgba(dir / "comp.tga", Sample::kU8);
                      WriteRgba(dir / "layer.png", Sample::kU8);
                      return Files(dir, "comp.tga", "layer.png", "out.tif");
                  },
                  kFailure, "comp.tga", "unsupported format", "out.tif"},
        ErrorCase{"unsupported_channels",
                  [](const TempDir &dir) {
                      clitest::WriteTestImage(dir / "comp.exr", clitest::RandomImage(Sample::kHalf, 5, 0, 0, 8, 8, 3));
                      WriteRgba(dir / "layer.exr", Sample::kHalf);
                      return Files(dir, "comp.exr", "layer.exr", "out.exr");
                  },
                  kFailure, "comp.exr", "found 5 (R, G, B, A, Z)", "out.exr"},
        ErrorCase{"unsupported_sample_type",
                  [](const TempDir &dir) {
                      WriteRgba(dir / "comp.png", Sample::kU8);
                      WriteUint32Tiff(dir / "layer.tif");
                      return Files(dir, "comp.png", "layer.tif", "out.png");
                  },
                  kFailure, "layer.tif", "32-bit unsigned integer", "out.png"},
        ErrorCase{"too_many_pixels_for_the_host",
                  [](const TempDir &dir) {
                      clitest::WritePngClaiming(dir / "comp.png", Sample::kU8, 50000, 50000);
                      WriteRgba(dir / "layer.png", Sample::kU8);
                      return Files(dir, "comp.png", "layer.png", "out.png");
                  },
                  kFailure, "comp.png", "50000 x 50000", "out.png"},
        ErrorCase{"larger_than_the_host_lends",
                  [](const TempDir &dir) {
                      WriteRgba(dir / "comp.png", Sample::kU16);
                      clitest::WritePngClaiming(dir / "layer.png", Sample::kU16, 40000, 40000);
                      return Files(dir, "comp.png", "layer.png", "out.png");
                  },
                  kFailure, "layer.png", "the host lends one image", "out.png"},
        ErrorCase{"output_folder_missing",
                  [](const TempDir &dir) {
                      WriteRgba(dir / "comp.png", Sample::kU8);
                      WriteRgba(dir / "layer.png", Sample::kU8);
                      return Files(dir, "comp.png", "layer.png", "nowhere/out.png");
                  },
                  kFailure, "nowhere/out.png", nullptr, "nowhere/out.png"},
        ErrorCase{"plugin_missing",
                  [](const TempDir &dir) {
                      return GoodPngs(dir, {"--plugin", dir / "NoSuchPlugin.so"});
                  },
                  kFailure, "NoSuchPlugin.so", nullptr, "out.png"},
        ErrorCase{"plugin_a_fifo",  // would hold the loader up for ever
                  [](const TempDir &dir) {
                      if (mkfifo((dir / "Plugin.so").c_str(), 0600) != 0) throw std::runtime_error("mkfifo failed");
                      return GoodPngs(dir, {"--plugin", dir / "Plugin.so"});
                  },
                  kFailure, "Plugin.so", "not a regular file", "out.png"},
        // ---- Usage -----------------------------------------------------------
        ErrorCase{"opacity_above_100",
                  [](const TempDir &dir) {
                      return GoodPngs(dir, {"--opacity", "100.5"});
                  },
                  kUsage, nullptr, "--opacity \"100.5\"", "out.png"},
        ErrorCase{"opacity_negative",
                  [](const TempDir &dir) {
                      return GoodPngs(dir, {"--opacity", "-3"});
                  },
                  kUsage, nullptr, "--opacity", "out.png"},
        ErrorCase{"opacity_text",
                  [](const TempDir &dir) {
                      return GoodPngs(dir, {"--opacity", "half"});
                  },
                  kUsage, nullptr, "--opacity \"half\"", "out.png"},
        // "--NAME=" with nothing after the '=' gives an empty value, not
        // the next word.
        ErrorCase{"opacity_empty_after_equals",
                  [](const TempDir &dir) {
                      return GoodPngs(dir, {"--opacity=", "-q"});
                  },
                  kUsage, nullptr, "--opacity: the value is empty", "out.png"},
        ErrorCase{"threads_empty_after_equals",
                  [](const TempDir &dir) {
                      return GoodPngs(dir, {"--threads=", "2"});
                  },
                  kUsage, nullptr, "--threads: the value is empty", "out.png"},
        ErrorCase{"alpha_mode_unknown",
                  [](const TempDir &dir) {
                      return GoodPngs(dir, {"--alpha", "premul"});
                  },
                  kUsage, nullptr, "--alpha \"premul\"", "out.png"},
        ErrorCase{"threads_negative",
                  [](const TempDir &dir) {
                      return GoodPngs(dir, {"--threads", "-1"});
                  },
                  kUsage, nullptr, "--threads", "out.png"},
        ErrorCase{"downsample_zero",
                  [](const TempDir &dir) {
                      return GoodPngs(dir, {"--downsample", "0"});
                  },
                  kUsage, nullptr, "--downsample", "out.png"},
        ErrorCase{"unknown_option",
                  [](const TempDir &dir) {
                      return GoodPngs(dir, {"--shadow", "5"});
                  },
                  kUsage, nullptr, "--shadow", "out.png"},
        ErrorCase{"layer_not_given",
                  [](const TempDir &dir) {
                      WriteRgba(dir / "comp.png", Sample::kU8);
                      return std::vector<std::string>{"--input", dir / "comp.png", "-o", dir / "out.png"};
                  },
                  kUsage, nullptr, "--layer", "out.png"},
        ErrorCase{"output_sample_type_png_cannot_hold",
                  [](const TempDir &dir) {
                      return GoodPngs(dir, {"-d", "float"});
                  },
                  kUsage, "out.png", "-d float: PNG files take uint8 or uint16", "out.png"},
        ErrorCase{"output_sample_type_exr_cannot_hold",
                  [](const TempDir &dir) {
                      WriteRgba(dir / "comp.png", Sample::kU8);
                      WriteRgba(dir / "layer.png", Sample::kU8);
                      auto args = Files(dir, "comp.png", "layer.png", "out.exr");
                      args.insert(args.end(), {"-d", "uint16"});
                      return args;
                  },
                  kUsage, "out.exr", "-d uint16: OpenEXR files take half or float", "out.exr"},
        ErrorCase{"output_sample_type_unknown",
                  [](const TempDir &dir) {
                      return GoodPngs(dir, {"-d", "int8"});
                  },
                  kUsage, nullptr, "-d \"int8\": expected uint8, uint16, half or float", "out.png"},
        ErrorCase{"compression_png_cannot_take",
                  [](const TempDir &dir) {
                      return GoodPngs(dir, {"--compression", "dwaa"});
                  },
                  kUsage, "out.png", "--compression dwaa: PNG files take zip, filtered", "out.png"},
        ErrorCase{"compression_level_not_a_number",
                  [](const TempDir &dir) {
                      WriteRgba(dir / "comp.png", Sample::kU8);
                      WriteRgba(dir / "layer.png", Sample::kU8);
                      auto args = Files(dir, "comp.png", "layer.png", "out.tif");
                      args.insert(args.end(), {"--compression", "zip:x"});
                      return args;
                  },
                  kUsage, "out.tif", "--compression zip:x: TIFF files take none, lzw", "out.tif"},
        ErrorCase{"output_of_a_type_not_written",
                  [](const TempDir &dir) {
                      WriteRgba(dir / "comp.png", Sample::kU8);
                      WriteRgba(dir / "layer.png", Sample::kU8);
                      return Files(dir, "comp.png", "layer.png", "out.jpg");
                  },
                  kUsage, "out.jpg", "veilshadow writes PNG, TIFF and OpenEXR", "out.jpg"},
        ErrorCase{"output_of_unknown_type",
                  [](const TempDir &dir) {
                      WriteRgba(dir / "comp.png", Sample::kU8);
                      WriteRgba(dir / "layer.png", Sample::kU8);
                      return Files(dir, "comp.png", "layer.png", "out.nothing");
                  },
                  kUsage, "out.nothing", "unknown image file type", "out.nothing"},
        ErrorCase{"output_overwrites_input",
                  [](const TempDir &dir) {
                      WriteRgba(dir / "comp.png", Sample::kU8);
                      WriteRgba(dir / "layer.png", Sample::kU8);
                      return Files(dir, "comp.png", "layer.png", "./layer.png");
                  },
                  kUsage, "./layer.png", "overwrite", "no-such-output"},
        ErrorCase{"pattern_without_frames",
                  [](const TempDir &dir) {
                      WriteRgba(dir / "layer.png", Sample::kU8);
                      return Files(dir, "comp.####.png", "layer.png", "out.png");
                  },
                  kUsage, "comp.####.png", "no such file (a frame pattern needs --frames)", "out.png"},
        ErrorCase{"pattern_too_wide",
                  [](const TempDir &dir) {
                      return std::vector<std::string>{"--input", dir / "c.####.png",  "--layer",  dir / "l.png",
                                                      "-o",      dir / "o.%040d.png", "--frames", "1"};
                  },
                  kUsage, "o.%040d.png", "a frame pattern of 40 digits; at most 32", "o.1.png"},
        ErrorCase{"frames_without_pattern",
                  [](const TempDir &dir) {
                      return GoodPngs(dir, {"--frames", "1-3"});
                  },
                  kUsage, "out.png", "frame pattern", "out.png"},
        ErrorCase{"frames_backwards",
                  [](const TempDir &dir) {
                      return std::vector<std::string>{"--input", dir / "c.####.png", "--layer",  dir / "l.####.png",
                                                      "-o",      dir / "o.####.png", "--frames", "9-2"};
                  },
                  kUsage, nullptr, "--frames \"9-2\"", "o.0002.png"},
        ErrorCase{"demo_with_file_options",
                  [](const TempDir &dir) {
                      return std::vector<std::string>{"demo", "-o", dir / "demo", "--opacity", "20"};
                  },
                  kUsage, nullptr, "demo takes only", "demo"}),
    [](const ::testing::TestParamInfo<ErrorCase> &info) { return std::string(info.param.name); });

// A failing run leaves an existing output as it was: it is replaced only
// by a complete new file.
TEST(Errors, ExistingOutputIsKeptWhenARunFails) {
    TempDir dir;
    WriteRgba(dir / "comp.exr", Sample::kFloat, 0, 0, 32, 32);
    Truncate(dir / "comp.exr");
    WriteRgba(dir / "layer.exr", Sample::kFloat);
    WriteText(dir / "out.exr", "previous result");
    const clitest::RunResult run =
        clitest::RunVeilshadow({"--input", dir / "comp.exr", "--layer", dir / "layer.exr", "-o", dir / "out.exr"});
    EXPECT_EQ(run.exit_code, kFailure);
    std::ifstream in(dir / "out.exr");
    std::string text;
    std::getline(in, text);
    EXPECT_EQ(text, "previous result");
    EXPECT_EQ(dir.Entries(), (std::set<std::string>{"comp.exr", "layer.exr", "out.exr"}));
}

TEST(Usage, HelpFitsAScreenAndVersionNamesThePlugin) {
    const clitest::RunResult help = clitest::RunVeilshadow({"--help"});
    EXPECT_EQ(help.exit_code, 0);
    EXPECT_LE(clitest::CountLines(help.out), 35) << help.out;
    for (const char *option :
         {"--input", "--layer", "--output", "-d", "--compression", "--opacity", "--alpha", "--frames", "--threads",
          "--downsample", "--plugin", "--quiet", "--resume", "--keep-going", "demo", "farm", "--version"})
        EXPECT_NE(help.out.find(option), std::string::npos) << option;
    std::size_t start = 0;
    while (start < help.out.size()) {
        const std::size_t end = help.out.find('\n', start);
        EXPECT_LE((end == std::string::npos ? help.out.size() : end) - start, 80u)
            << help.out.substr(start, end - start);
        start = end == std::string::npos ? help.out.size() : end + 1;
    }

    const clitest::RunResult version = clitest::RunVeilshadow({"--version"});
    EXPECT_EQ(version.exit_code, 0);
    EXPECT_EQ(version.out.rfind("veilshadow 1.0.0", 0), 0u) << version.out;
}

}  // namespace
