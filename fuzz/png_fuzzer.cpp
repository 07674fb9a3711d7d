// Fuzzes veilshadow's own PNG decoder on bytes in memory (no file is
// written): the chunks, the CRCs, the inflating and the five filters.
//
// Checks, besides the sanitizers' own:
//  - a file the codec takes decodes to exactly height x row bytes of
//    samples or gives a problem to report, never both and never neither;
//  - what it decodes, encoded again by the codec and decoded, gives the
//    same samples (the encoder's filters and the decoder's agree);
//  - an 8-bit RGBA image decoded in a world's own memory (as the program
//    reads such files) fails where the decoder fails, and otherwise gives
//    the pixels of the decoder's samples.
// Each input is decoded as it is, then with every chunk's CRC made right,
// so that mutations reach the inflating and the filters behind the CRCs.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "PngCodec.h"
#include "SampleCodec.h"

#include <libdeflate.h>

namespace {

// The largest inflated stream tried: larger claims only go as far as the
// head.
constexpr std::uint64_t kMaxFuzzBytes = std::uint64_t{1} << 22;

[[noreturn]] void Fail(const char *what) {
    std::fprintf(stderr, "png_fuzzer: %s\n", what);
    std::abort();
}

std::uint32_t Big32(const unsigned char *p) {
    return std::uint32_t(p[0]) << 24 | std::uint32_t(p[1]) << 16 | std::uint32_t(p[2]) << 8 | p[3];
}

// The same bytes with the CRC of every whole chunk set right.
std::vector<unsigned char> WithRightCrcs(const std::uint8_t *data, std::size_t size) {
    std::vector<unsigned char> bytes(data, data + size);
    for (std::size_t at = 8; at + 12 <= size;) {
        const std::uint32_t length = Big32(&bytes[at]);
        if (length > size - at - 12) break;
        const std::uint32_t crc = libdeflate_crc32(0, &bytes[at + 4], std::size_t(length) + 4);
        for (int i = 0; i < 4; ++i) bytes[at + 8 + length + i] = static_cast<unsigned char>(crc >> (24 - 8 * i));
        at += 12 + std::size_t(length);
    }
    return bytes;
}

// The image decoded in an 8-bit world's memory: whether it decodes, and
// when it does, whether its pixels are those of `samples`.
void DecodeInWorld(const std::uint8_t *data, std::size_t size, const veilshadow::PngHead &head,
                   const std::vector<unsigned char> &samples, bool decodes) {
    renderhost::World world(renderhost::Depth::k8, A_long(head.width), A_long(head.height), 0, 0, std::nullopt,
                            head.height);
    if (!veilshadow::FitsInWorld(head, world)) Fail("an 8-bit RGBA image does not fit its world");
    std::vector<unsigned char> rest(data + head.first_idat, data + size);
    const bool decoded =
        veilshadow::InflatePng(head, rest.data(), rest.size(), static_cast<unsigned char *>(world.data())).empty() &&
        veilshadow::UnfilterInWorld(head, world);
    if (decoded != decodes) Fail("decoded in its world where the decoder fails, or the other way round");
    if (!decoded) return;
    std::vector<PF_Pixel> row(head.width);
    for (std::uint32_t y = 0; y < head.height; ++y) {
        veilshadow::DecodeRgba8Row(samples.data() + std::size_t(y) * head.RowBytes(), A_long(head.width), row.data());
        if (std::memcmp(row.data(), world.Row<PF_Pixel>(A_long(y)), head.width * sizeof(PF_Pixel)) != 0)
            Fail("pixels decoded in the world differ from the samples");
    }
}

void Decode(const std::uint8_t *data, std::size_t size) {
    veilshadow::PngHead head;
    std::vector<unsigned char> samples;
    std::string error;
    if (veilshadow::DecodePng(data, size, kMaxFuzzBytes, head, samples, error) != veilshadow::PngHeadResult::kTaken)
        return;
    if (head.depth == 8 && head.channels == 4 && head.FilteredBytes() <= kMaxFuzzBytes)
        DecodeInWorld(data, size, head, samples, error.empty());
    if (!error.empty()) {
        if (!samples.empty()) Fail("samples and an error");
        return;
    }
    if (samples.size() != std::size_t(head.height) * head.RowBytes()) Fail("samples of the wrong size");

    // Encoded again with adaptive filters (the fastest level: the filters
    // are what is checked), it decodes to the same samples.
    veilshadow::PngEncoder encoder(head.width, head.height, head.depth, head.channels, 1);
    encoder.AddRows(samples.data(), head.height);
    std::vector<unsigned char> png;
    encoder.Finish([&](const unsigned char *bytes, std::size_t count) { png.insert(png.end(), bytes, bytes + count); });
    veilshadow::PngHead again;
    std::vector<unsigned char> decoded;
    if (veilshadow::DecodePng(png.data(), png.size(), kMaxFuzzBytes, again, decoded, error) !=
            veilshadow::PngHeadResult::kTaken ||
        !error.empty())
        Fail("its own file is not read back");
    if (decoded != samples) Fail("its own file reads back different samples");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    Decode(data, size);
    const std::vector<unsigned char> fixed = WithRightCrcs(data, size);
    Decode(fixed.data(), fixed.size());
    return 0;
}
