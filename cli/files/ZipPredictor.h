// The byte reordering and prediction OpenEXR's ZIP and ZIPS compressions
// apply to a chunk's bytes around deflate: the even bytes first, then the
// odd ones, each stored as its difference to the byte before plus 128.
// Runs 16 bytes at a time with SSE2 where the build has it.
#ifndef VEILSHADOW_ZIPPREDICTOR_H
#define VEILSHADOW_ZIPPREDICTOR_H

#include <cstddef>

namespace veilshadow {

enum class PredictorPath {
    kPortable,  // one byte at a time
    kSse2,      // x86-64
};

// Whether this build has the path.
bool PredictorPathAvailable(PredictorPath path);

// `n` bytes of a chunk into what is deflated: `scratch` and `out` hold n
// bytes each.
void ZipPredict(const unsigned char *in, unsigned char *scratch, unsigned char *out, std::size_t n);
// What was inflated back into the chunk's bytes; `in` is overwritten.
void ZipUnpredict(unsigned char *in, unsigned char *out, std::size_t n);

// On the given path, for tests and benchmarks: false, and nothing
// written, where it is not available.
bool ZipPredictOn(PredictorPath path, const unsigned char *in, unsigned char *scratch, unsigned char *out,
                  std::size_t n);
bool ZipUnpredictOn(PredictorPath path, unsigned char *in, unsigned char *out, std::size_t n);

}  // namespace veilshadow

#endif
