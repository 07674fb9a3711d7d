// Helpers for the veilshadow tests: a scratch folder, running the program
// as a process, writing and reading test images with OpenImageIO, and the
// expected result computed from the plain kernels.
#ifndef VEILSHADOW_TESTS_CLI_TEST_SUPPORT_H
#define VEILSHADOW_TESTS_CLI_TEST_SUPPORT_H

#include <PF_Host.h>
#include <RenderHost/World.h>

#include <sys/resource.h>
#include <cstdint>
#include <set>
#include <string>
#include <vector>

namespace clitest {

// ---- Scratch folder ----------------------------------------------------

class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir &) = delete;
    TempDir &operator=(const TempDir &) = delete;
    const std::string &path() const { return path_; }
    std::string operator/(const std::string &name) const { return path_ + "/" + name; }
    // Names of the entries in the folder, hidden ones included.
    std::set<std::string> Entries() const;

private:
    std::string path_;
};

// ---- Running veilshadow ------------------------------------------------

// Whether the tests (and the veilshadow they run) are built with the
// address sanitizer, which cannot run under an address-space limit nor
// without /proc.
#if defined(__SANITIZE_ADDRESS__)
inline constexpr bool kAddressSanitizer = true;
#elif defined(__has_feature)
inline constexpr bool kAddressSanitizer = __has_feature(address_sanitizer);
#else
inline constexpr bool kAddressSanitizer = false;
#endif

struct RunResult {
    int exit_code = -1;  // -1: killed by a signal
    std::string out;
    std::string err;
};

struct RunOptions {
    // LeakSanitizer records whole stacks (slow), so suppressions can match
    // frames inside system libraries built without frame pointers.
    bool full_leak_stacks = false;
    // The file-size limit (ulimit -f) in bytes, 0 for none.
    rlim_t file_size_limit = 0;
    // Standard error is a pipe whose reader is gone: `err` stays empty.
    bool stderr_to_closed_pipe = false;
    // Variables to set besides, NAME=VALUE.
    std::vector<std::string> environment;
    // A copy of veilshadow to run instead of the built one.
    std::string program;
};

// Runs the built veilshadow with these arguments, standard output and
// error captured.
RunResult RunVeilshadow(const std::vector<std::string> &args, const RunOptions &options = {});
// The same with standard error (and output) on a pseudo-terminal; `err`
// holds everything the terminal received.
RunResult RunVeilshadowOnTerminal(const std::vector<std::string> &args);

int CountLines(const std::string &text);

// ---- Test images -------------------------------------------------------

enum class Sample { kU8, kU16, kHalf, kFloat };

// An image as its file holds it: samples in file units (0..255,
// 0..65535, floats), channels in file order.
struct TestImage {
    Sample sample = Sample::kU8;
    int channels = 4;
    int x = 0, y = 0, width = 0, height = 0;
    int full_x = 0, full_y = 0, full_width = 0, full_height = 0;  // 0 x 0: the data window
    int tile = 0;  // written in tiles of tile x tile pixels where the format has them; 0: scanlines
    std::vector<float> samples;

    float &at(int px, int py, int c) { return samples[(std::size_t(py) * width + px) * channels + c]; }
    float at(int px, int py, int c) const { return samples[(std::size_t(py) * width + px) * channels + c]; }
};

// Random samples: alpha (the last channel, when there is one) a mix of 0,
// full scale and values between; colours anywhere in range.
TestImage RandomImage(Sample sample, int channels, int x, int y, int width, int height, unsigned seed);

// Writes with OpenImageIO by the path's extension; PNG and TIFF with
// alpha marked unassociated, samples written as given.
void WriteTestImage(const std::string &path, const TestImage &image);

// A small PNG whose header claims width x height pixels: the pixels are
// never there, but a reader sees the size before it allocates anything.
void WritePngClaiming(const std::string &path, Sample sample, std::uint32_t width, std::uint32_t height);
// Reads the file's samples as they are (no premultiplication), half as
// float.
TestImage ReadTestImage(const std::string &path);

// ---- Expected results --------------------------------------------------

// The file's samples as a world of `depth`, by the documented rules,
// written out independently of veilshadow's code: 16-bit values v as
// (v * 32768 + 32767) / 65535, other depths rounded to nearest, associated
// colour divided by alpha where alpha > 0, missing alpha at full scale,
// gray expanded.
renderhost::World DecodeExpected(const TestImage &file, renderhost::Depth depth, bool associated);

// The world back as file samples of `sample` (RGBA): host 16-bit h as
// (h * 65535 + 16384) / 32768, colour multiplied by alpha where alpha > 0
// when associated, half rounded as the file stores it.
TestImage EncodeExpected(const renderhost::World &world, Sample sample, bool associated);

// The plain reference kernels on the two worlds: output on the input's
// data window, cleared, every row produced.
renderhost::World KernelExpected(const renderhost::World &input, const renderhost::World &layer, PF_Fixed slider);

// Compares two images sample by sample; empty when equal, else a report of
// the first differences.
std::string CompareImages(const TestImage &expected, const TestImage &actual);

}  // namespace clitest

#endif
