// The rows of the image file formats, and what the program asks of them.
#include "Formats.h"

#include "Errors.h"
#include "ExrCodec.h"
#include "FileStructure.h"
#include "PngCodec.h"

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <stdexcept>

namespace veilshadow {

const std::vector<FileFormat> &FileFormats() {
    static const std::vector<FileFormat> formats = {
        {"png",
         "PNG",
         {".png"},
         AlphaConvention::kStraight,
         nullptr,
         PngEndsWhole,
         false,
         true,
         {true, true, false, false},
         SampleType::kUInt8,
         {"zip", "filtered", "huffman", "rle", "fixed"},
         false,
         OriginHeld::kZero,
         DisplayHeld::kNone,
         "a PNG file sits at (0, 0)",
         OpenPngReader,
         PngWriterTakes,
         [](TempFile &file, const renderhost::World &world, const OutputSpec &spec, const OutputWindows &) {
             WritePng(file, world, spec);  // a PNG sits at (0, 0), its frame its pixels
         },
         PngWriterHeldBytes},
        {"tiff",
         "TIFF",
         {".tif", ".tiff"},
         AlphaConvention::kMarked,
         "a multi-page TIFF",
         nullptr,
         true,
         false,
         {true, true, false, true},
         SampleType::kFloat,
         {"none", "lzw", "zip", "packbits"},
         true,
         OriginHeld::kNotNegative,
         DisplayHeld::kSizeOnly,
         "a TIFF file places its pixels at (0, 0) or right of and below it, and its display window at (0, 0)",
         nullptr,
         nullptr,
         nullptr,
         nullptr},
        {"openexr",
         "OpenEXR",
         {".exr"},
         AlphaConvention::kAssociated,
         "a multi-part OpenEXR file",
         ExrChunksWhole,
         false,
         false,
         {false, false, true, true},
         SampleType::kHalf,
         {"none", "rle", "zips", "zip", "piz", "pxr24", "b44", "b44a", "dwaa", "dwab"},
         true,
         OriginHeld::kAny,
         DisplayHeld::kAny,
         "",
         OpenExrReader,
         ExrWriterTakes,
         WriteExr,
         ExrWriterHeldBytes},
    };
    return formats;
}

const FileFormat *FindFormat(const std::string &name) {
    for (const FileFormat &format : FileFormats())
        if (name == format.name) return &format;
    return nullptr;
}

const FileFormat &FormatNamed(const std::string &name) {
    const FileFormat *format = FindFormat(name);
    if (format == nullptr) throw std::logic_error("no file format named " + name);
    return *format;
}

bool FormatChatters(const std::string &name) {
    const FileFormat *format = FindFormat(name);
    return format != nullptr && format->chatters;
}

namespace {

// "a, b `last` c".
std::string JoinedWith(const std::vector<std::string> &names, const char *last) {
    std::string list;
    for (std::size_t i = 0; i < names.size(); ++i)
        list += (i == 0 ? "" : i + 1 == names.size() ? std::string(" ") + last + " " : ", ") + names[i];
    return list;
}

const FileFormat *OutputFormatOf(const std::string &name) {
    const FileFormat *format = FindFormat(name);
    if (format == nullptr) return nullptr;
    const bool writes = std::any_of(std::begin(format->takes), std::end(format->takes), [](bool t) { return t; });
    return writes ? format : nullptr;
}

std::string PointText(A_long x, A_long y) { return "(" + std::to_string(x) + ", " + std::to_string(y) + ")"; }

// What of these windows a file of the format cannot hold; empty when it
// holds them.
std::string WindowNotHeld(const FileFormat &format, const Window &data, const Window &display) {
    const bool at_zero = data.x == 0 && data.y == 0;
    const bool origin_held = format.origin == OriginHeld::kAny ||
                             (format.origin == OriginHeld::kNotNegative ? data.x >= 0 && data.y >= 0 : at_zero);
    if (!origin_held) return "a data window at " + PointText(data.x, data.y);
    if (format.display != DisplayHeld::kSizeOnly) return {};
    if (display.x != 0 || display.y != 0) return "a display window at " + PointText(display.x, display.y);
    if (!at_zero && display.width == data.width && display.height == data.height)
        return "a display window at (0, 0) of the size of its data window at " + PointText(data.x, data.y) +
               " (readers place it on the data window)";
    return {};
}

// The extension of the first output format that holds any windows: the
// way out of a refusal.
std::string ExtensionHoldingAny() {
    for (const FileFormat &format : FileFormats())
        if (OutputFormatOf(format.name) != nullptr && format.origin == OriginHeld::kAny &&
            format.display == DisplayHeld::kAny)
            return format.extensions.front();
    throw std::logic_error("no output format holds any windows");
}

}  // namespace

bool IsOutputFormat(const std::string &format) { return OutputFormatOf(format) != nullptr; }

std::string FormatLabel(const std::string &format) {
    const FileFormat *row = FindFormat(format);
    return row != nullptr ? row->label : format;
}

bool FormatTakes(const std::string &format, SampleType sample) {
    const FileFormat *row = FindFormat(format);
    return row != nullptr && row->takes[static_cast<int>(sample)];
}

SampleType DefaultSampleFor(const std::string &format, SampleType comp) {
    const FileFormat *row = OutputFormatOf(format);
    if (row == nullptr || FormatTakes(format, comp)) return comp;
    return row->fallback;
}

bool FormatTakesCompression(const std::string &format, const std::string &compression) {
    const FileFormat *row = OutputFormatOf(format);
    if (row == nullptr) return false;
    const std::size_t colon = compression.find(':');
    const std::string name = compression.substr(0, colon);
    if (colon != std::string::npos) {
        const std::string level = compression.substr(colon + 1);
        if (level.empty() || level.size() > 3 || level.find_first_not_of("0123456789") != std::string::npos)
            return false;
    }
    return std::find(row->compressions.begin(), row->compressions.end(), name) != row->compressions.end();
}

std::string CompressionNames(const std::string &format) {
    const FileFormat *row = OutputFormatOf(format);
    return row != nullptr ? JoinedWith(row->compressions, "or") : std::string();
}

std::string SampleTypeNames(const std::string &format) {
    std::vector<std::string> names;
    for (const SampleTraits &row : kSampleTraits)
        if (FormatTakes(format, row.sample)) names.push_back(row.option_name);
    return JoinedWith(names, "or");
}

std::string OutputFormatFor(const std::string &path) {
    // The rows' own extensions, in any case, as the library matches them.
    std::string extension = std::filesystem::path(path).extension().string();
    std::transform(extension.begin(), extension.end(), extension.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    for (const FileFormat &format : FileFormats())
        if (std::find(format.extensions.begin(), format.extensions.end(), extension) != format.extensions.end())
            return format.name;
    return {};
}

std::string ReadFormatLabels() {
    std::vector<std::string> labels;
    for (const FileFormat &format : FileFormats()) labels.push_back(format.label);
    return JoinedWith(labels, "and");
}

std::string OutputFormatList() {
    std::vector<std::string> labels;
    std::string extensions;
    for (const FileFormat &format : FileFormats()) {
        if (!IsOutputFormat(format.name)) continue;
        extensions += (labels.empty() ? "" : ", ") + format.extensions.front();
        labels.push_back(format.label);
    }
    return JoinedWith(labels, "and") + " (" + extensions + ")";
}

std::string FallbackSampleList() {
    std::string list;
    for (const FileFormat &format : FileFormats())
        if (IsOutputFormat(format.name))
            list += (list.empty() ? "" : ", ") + std::string(format.label) + " " + SampleTypeName(format.fallback);
    return list;
}

OutputWindows WindowsAsWritten(const std::string &path, const std::string &format, const Window &data,
                               const Window &display) {
    const FileFormat *row = OutputFormatOf(format);
    if (row == nullptr) throw std::logic_error("not an output format: " + format);
    const std::string problem = WindowNotHeld(*row, data, display);
    if (!problem.empty())
        throw OutputError(FileMessage(path, "cannot hold " + problem + ": " + row->placement + "; write " +
                                                ExtensionHoldingAny() + ", which holds any data and display window"));
    return OutputWindows{data, row->display == DisplayHeld::kNone ? data : display};
}

}  // namespace veilshadow
