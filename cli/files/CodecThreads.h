// Threads that lend the codecs a hand when they are free. A frame's
// encoding is cut into bands; the thread writing the frame works through
// them and any helper with nothing else to do takes some too. In a
// sequence, two frames are written at once and the helpers mostly wait;
// the last frame of a sequence, or a frame on its own, is then encoded on
// every core instead of one (eight at most).
#ifndef VEILSHADOW_CODECTHREADS_H
#define VEILSHADOW_CODECTHREADS_H

#include <cstddef>
#include <functional>

namespace veilshadow {

// Calls work(i) once for every i below `count`, on this thread and on the
// helpers free meanwhile, and returns when every call is over. The first
// exception a call throws is thrown here, once all have ended.
void ForEachBand(std::size_t count, const std::function<void(std::size_t)> &work);

// How many threads may encode a file, its caller's and the helpers:
// `cores` (0: every hardware thread), and never more than the hardware
// threads nor 8. Helpers start when first needed; one the system will not
// start is done without.
void SetCodecCores(int cores);

}  // namespace veilshadow

#endif
