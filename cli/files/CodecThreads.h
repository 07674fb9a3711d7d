// Threads that lend the codecs a hand when they are free. A frame's
// encoding is cut into bands; the thread writing the frame works through
// them and any helper with nothing else to do takes some too. In a
// sequence, two frames are written at once and the helpers mostly wait;
// the last frame of a sequence, or a frame on its own, is then encoded on
// every core instead of one (eight at most).
#ifndef VEILSHADOW_CODECTHREADS_H
#define VEILSHADOW_CODECTHREADS_H

#include <condition_variable>
#include <cstddef>
#include <functional>
#include <mutex>
#include <vector>

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

// How many threads may work through one ForEachBand call at most, as
// SetCodecCores set it: what a codec's per-thread buffers are counted by.
std::size_t CodecThreadCount();

// The bands of a file encoded at once (ForEachBand) and put in the file in
// order, each as soon as the bands before it are, by whichever thread ends
// one: the others go on encoding meanwhile. A band starts only when it is
// fewer than `ahead` bands past the first not yet put, so at most `ahead`
// bands are held at once (band b can use room b % ahead).
class BandsInOrder {
public:
    BandsInOrder(std::size_t bands, std::size_t ahead);
    // Holds the thread until `band` may start; false once abandoned (the
    // band is not to be encoded).
    bool WaitForTurn(std::size_t band);
    // Whether `band` may start now.
    bool MayStart(std::size_t band);
    // Counts `band` ended, then, unless another thread is putting bands,
    // calls put(b) for every band b that may be put now, in order, with
    // no lock held. A put that throws abandons the rest, and the
    // exception goes on.
    void Ended(std::size_t band, const std::function<void(std::size_t)> &put);
    // Releases every thread waiting and stops putting.
    void Abandon();
    // The bands put so far.
    std::size_t PutCount();

private:
    const std::size_t ahead_;
    std::mutex mutex_;
    std::condition_variable turn_;
    std::vector<char> ended_;
    std::size_t put_ = 0;
    bool putting_ = false, abandoned_ = false;
};

}  // namespace veilshadow

#endif
