// Fuzzes veilshadow's own OpenEXR decoder on bytes in memory: each input
// is an OpenEXR file (mutated ZIP, ZIPS and uncompressed files from the
// seed corpus) read strip after strip as ImageReader reads it, with no
// file written, so that thousands of inputs run a second.
//
// Checks, besides the sanitizers' own:
//  - the decoder either declines the bytes (they go to OpenImageIO) or
//    fills a header of the sample types and layouts veilshadow reads;
//  - reading either gives every row or throws veilshadow's own error,
//    whose message names the file; nothing else may escape.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "Errors.h"
#include "ExrCodec.h"
#include "ImageIOCommon.h"

namespace {

// The largest data window, in pixels, that an input is read at (the
// program's own limits hold larger ones before any decoding).
constexpr std::int64_t kMaxFuzzPixels = std::int64_t{1} << 20;

[[noreturn]] void Fail(const std::string &what) {
    std::fprintf(stderr, "exr_fuzzer: %s\n", what.c_str());
    std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    using namespace veilshadow;
    const std::string name = "fuzz.exr";
    ImageHeader header;
    std::unique_ptr<CodecReader> reader;
    try {
        reader = OpenExrReaderFromBytes(name, data, size, AlphaMode::kAuto, header);
    } catch (const RunError &e) {
        // A file the codec refuses outright (tiles far too large).
        if (std::string(e.what()).rfind(name + ": ", 0) != 0)
            Fail(std::string("a refusal naming no file: ") + e.what());
        return 0;
    } catch (const std::exception &e) {
        Fail(std::string("opening threw: ") + e.what());
    }
    if (!reader) return 0;
    if (header.format != "openexr" || (header.sample != SampleType::kHalf && header.sample != SampleType::kFloat) ||
        header.channels < 1 || header.channels > 4 || header.data.width <= 0 || header.data.height <= 0 ||
        header.path != name)
        Fail("a header veilshadow does not read");
    if (std::int64_t(header.data.width) * header.data.height > kMaxFuzzPixels) return 0;
    const std::size_t row = std::size_t(header.data.width) * header.channels * TraitsOf(header.sample).bytes;
    std::vector<unsigned char> strip(row * std::size_t(std::min(kStripRows, header.data.height)));
    try {
        for (A_long first = 0; first < header.data.height; first += kStripRows)
            reader->ReadRows(first, std::min(kStripRows, header.data.height - first), strip.data());
    } catch (const veilshadow::RunError &e) {
        if (std::string(e.what()).rfind(name + ": ", 0) != 0)
            Fail(std::string("error not naming the file: ") + e.what());
    } catch (const std::exception &e) {
        Fail(std::string("reading threw: ") + e.what());
    }
    return 0;
}
