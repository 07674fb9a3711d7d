// Arrays as the render host's worlds, without Python: the checks of an
// array's element type, shape, strides and placement, its samples to a
// world and a world back to samples, and a renderer for arrays. The Python
// module describes numpy arrays with these records; the array fuzzer calls
// the same code without an interpreter.
#ifndef VEILSHADOW_ARRAYIMAGE_H
#define VEILSHADOW_ARRAYIMAGE_H

#include "Errors.h"
#include "Geometry.h"
#include "Limits.h"
#include "Renderer.h"

#include <RenderHost/World.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

namespace veilshadow {

// An argument of the wrong type: not an array, or an element type the
// module does not render. (Bad values throw UsageError, failed renders
// RunError.)
class ArrayTypeError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// float16 arrays are widened to float32 (exactly) by the caller before
// they are described, and results narrowed back (to nearest even).
enum class ArrayType { kUInt8, kUInt16, kFloat16, kFloat32, kFloat64 };

// An element type as numpy describes it.
struct DtypeDesc {
    char kind = 0;              // 'u', 'i', 'f', 'b', ...
    std::int64_t itemsize = 0;  // bytes
    char byteorder = '=';       // '=' and '|' are the machine's own, or '<' / '>'
    std::string name;           // for messages: "int32", ">u2"
};

// Throws ArrayTypeError naming `name` for an unsupported dtype, one of a
// byte order not the machine's included.
ArrayType ArrayTypeOf(const std::string &name, const DtypeDesc &dtype);
// The size and world depth of an element type, as the table of sample
// types (SampleTypes.h) gives them; float64, which only arrays hold, is 8
// bytes and runs as float.
std::size_t ItemBytes(ArrayType type);
renderhost::Depth WorldDepthOf(ArrayType type);

// An array as it lies in memory: numpy's shape, and its strides in bytes
// (any sign, zero included).
struct ArrayDesc {
    const void *data = nullptr;
    ArrayType type = ArrayType::kUInt8;
    std::vector<std::int64_t> shape;
    std::vector<std::int64_t> strides;
};

// A point in the layer's coordinates.
struct Origin {
    std::int64_t x = 0;
    std::int64_t y = 0;
};

// An array checked to be an image: (height, width, channels), 1 to 4
// channels (gray, gray+alpha, RGB, RGBA), placed at window's origin.
struct ArrayImage {
    const unsigned char *data = nullptr;
    ArrayType type = ArrayType::kUInt8;
    Window window;
    int channels = 0;
    std::ptrdiff_t row_step = 0;  // bytes
    std::ptrdiff_t pixel_step = 0;
    std::ptrdiff_t channel_step = 0;
    // The bytes the samples lie in, relative to data: [first_byte, end_byte).
    std::ptrdiff_t first_byte = 0;
    std::ptrdiff_t end_byte = 0;
};

// Checks the array `name` ("comp", "layer") placed at `origin` (the
// argument `name`_origin). Throws UsageError for a shape that is no image,
// a channel count other than 1 to 4, an origin or far edge beyond the
// host's 32-bit coordinates, or an image the host cannot hold, worded as
// the program words them for files.
ArrayImage CheckArrayImage(const std::string &name, const ArrayDesc &desc, Origin origin);
// The refusal of an origin beyond the host's 32-bit coordinates, the
// argument `name`_origin with its coordinates written as given.
UsageError OriginBeyondCoordinates(const std::string &name, const std::string &x, const std::string &y);

// The image's samples as a world of `depth` at the image's origin: alpha
// at full scale where there is none, gray expanded, colour divided by
// alpha when `associated`, converted as the program converts file samples.
renderhost::World ToWorld(const ArrayImage &image, renderhost::Depth depth, bool associated);

// Writes the world as packed (height, width, channels) samples of `type`
// (of the world's depth), colour multiplied by alpha when `associated`.
void FromWorld(const renderhost::World &world, ArrayType type, int channels, bool associated, unsigned char *out);

// An opacity percentage as the slider's 16.16 value, rounded exactly as
// the program rounds the same number written in decimal. Throws
// UsageError outside 0 to 100 and for NaN.
PF_Fixed OpacitySlider(double percent);
// The same for a percentage written in decimal, such as an integer's
// digits: refused with the text as it is.
PF_Fixed OpacitySlider(const std::string &decimal);
// "straight" or "associated" (colour multiplied by alpha); anything else
// throws UsageError.
bool ParseAssociated(const std::string &alpha);
// Render threads: 0 (one per hardware thread) to the most the program's
// --threads takes (its range and words, JobOptions.h); anything else
// throws UsageError.
int CheckThreads(std::int64_t threads);
// The refusal of a thread count outside that range, written as given.
UsageError ThreadsOutOfRange(const std::string &threads);

// The plug-in module beside the shared object (or program) this code is
// linked into, or else the installed one that Debian's layout puts
// VEILSHADOW_PLUGIN_FROM_PYTHON away from it.
std::string DefaultPluginOfThisModule();

// The plug-in loaded once and driven through the program's Renderer for
// any number of frames of arrays. The render host dispatches one host at a
// time in a process, so the commands of all ArrayRenderers take turns;
// their conversions run side by side. Every member may be called from any
// thread.
class ArrayRenderer {
public:
    // Loads the module, global setup and params setup. Throws RunError.
    ArrayRenderer(const std::string &plugin_path, int threads);
    // Sends the global setdown when Close has not.
    ~ArrayRenderer();
    ArrayRenderer(const ArrayRenderer &) = delete;
    ArrayRenderer &operator=(const ArrayRenderer &) = delete;

    // Renders the layer's shadow out of comp into `out`: packed samples of
    // comp's shape and type. Throws RunError with the host's message when
    // the plug-in fails, UsageError once closed.
    void Render(const ArrayImage &comp, const ArrayImage &layer, PF_Fixed slider, bool associated, unsigned char *out);
    // Sends the global setdown (once; later calls do nothing) and unloads
    // the module. Throws RunError when the plug-in fails the setdown.
    void Close();
    bool closed() const;

    const std::string &plugin_path() const { return plugin_path_; }
    // The version the plug-in gave in its global setup.
    A_u_long plugin_version() const { return plugin_version_; }

private:
    std::unique_ptr<Renderer> renderer_;  // null once closed
    std::string plugin_path_;
    A_u_long plugin_version_ = 0;
};

}  // namespace veilshadow

#endif
