#include "Sequence.h"

#include "AtomicFile.h"
#include "CodecBuffer.h"
#include "Errors.h"
#include "FastCodec.h"
#include "Limits.h"
#include "TaskQueue.h"

#include <algorithm>
#include <deque>
#include <exception>
#include <filesystem>
#include <future>
#include <memory>
#include <new>
#include <optional>

namespace veilshadow {
namespace {

using renderhost::World;

// Frames opened ahead of the one rendering, at most (skipped and failed
// ones included).
constexpr std::size_t kMaxAhead = 8;
// Threads that decode (COMP and LAYER of a frame at once) and that encode
// and write (two frames at once where the outputs allow).
constexpr int kDecodeThreads = 2;
constexpr int kWriteThreads = 2;

// The pixel memory of one frame's inputs, and whether a frame holds it.
struct SourceSlot {
    SourceBuffers buffers;
    bool busy = false;
};

struct OutputSlot {
    std::optional<World> world;
    bool busy = false;
};

// Where a frame is on its way through the run.
enum class FrameState {
    kDecoding,  // its inputs being decoded into a source slot
    kWriting,   // rendered, its output being written
    kSkipped,   // its OUT is whole already (--resume)
    kFailed,    // a bad input or output; `error` says why
};

// A frame opened ahead of rendering: decoding into its slot, or already
// known to be skipped or failed.
struct Ahead {
    FrameState state = FrameState::kDecoding;
    FrameFiles files;
    OpenedFrame opened;
    SourceSlot *slot = nullptr;
    std::future<void> input_done, layer_done;
    std::exception_ptr error;  // kFailed
};

// A frame past rendering: its output being written, then flushed to
// disk, or a skipped or failed frame waiting for the frames before it to
// be reported.
struct Behind {
    FrameState state = FrameState::kWriting;
    FrameFiles files;
    OutputSlot *output = nullptr;  // until the write is over
    std::future<void> written;
    // The write task's futures of its files on disk (see DiskFlusher),
    // read once `written` is ready.
    std::shared_ptr<std::vector<std::future<void>>> durable;
    std::exception_ptr write_error;
    std::string message;  // kFailed
};

// The error that stops the run, with "frame F: " in front in a sequence;
// memory that ran out anywhere in a frame's stages (a codec's buffers, not
// only the worlds, which name their file themselves) names the frame's files.
[[noreturn]] void Rethrow(std::exception_ptr error, const std::string &prefix, const FrameFiles &files) {
    try {
        std::rethrow_exception(error);
    } catch (const UsageError &e) {
        throw UsageError(prefix + e.what());
    } catch (const RunError &e) {
        throw RunError(prefix + e.what());
    } catch (const std::bad_alloc &) {
        throw RunError(prefix + "out of memory with COMP " + files.input + ", LAYER " + files.layer + " and OUT " +
                       files.output);
    }
}

// Errors that fail one frame only, when the run is to go on past them.
bool IsFrameError(std::exception_ptr error) {
    try {
        std::rethrow_exception(error);
    } catch (const InputError &) {
        return true;
    } catch (const OutputError &) {
        return true;
    } catch (...) {
        return false;
    }
}

std::string MessageOf(std::exception_ptr error) {
    try {
        std::rethrow_exception(error);
    } catch (const std::exception &e) {
        return e.what();
    }
}

// Waits for a future and hands back what it threw, if anything.
std::exception_ptr Outcome(std::future<void> &done) {
    if (!done.valid()) return nullptr;
    try {
        done.get();
    } catch (...) {
        return std::current_exception();
    }
    return nullptr;
}

// Writes a frame's output, handing the file to `flusher` (its future in
// `durable`); whatever stops it fails that frame's OUT.
void WriteOutput(const std::string &path, const World &world, const OutputSpec &spec, DiskFlusher &flusher,
                 std::vector<std::future<void>> &durable) {
    CommitLater later(flusher);
    try {
        WriteWorld(path, world, spec);
    } catch (const ModuleError &) {
        durable = later.Take();
        throw;
    } catch (const RunError &e) {
        durable = later.Take();
        throw OutputError(e.what());
    }
    durable = later.Take();
}

// Waits until the frame's files are on disk; a file that cannot be put
// there fails that frame's OUT.
std::exception_ptr Durable(std::vector<std::future<void>> &files) {
    std::exception_ptr error;
    for (std::future<void> &file : files) {
        try {
            file.get();
        } catch (const RunError &e) {
            if (!error) error = std::make_exception_ptr(OutputError(e.what()));
        } catch (...) {
            if (!error) error = std::current_exception();
        }
    }
    files.clear();
    return error;
}

// The frames of a job through the stages of Pipeline.h: frames are opened
// and decoded ahead (on the decode threads) while the main thread renders
// one and earlier ones are encoded and written (on the write threads) and
// flushed to disk (on the flusher's thread). Frames enter every stage in
// order and are reported in order, each once its OUT is on disk under its
// name; buffers go round from frame to frame, so a sequence of one frame
// size allocates its worlds once. An output world is free again once its
// frame is encoded: the flush holds no frame up.
class SequenceRun {
public:
    SequenceRun(Renderer &renderer, const SequenceJob &job, Progress &progress)
        : renderer_(renderer),
          pool_(&renderer.pool()),
          job_(job),
          shot_(job),
          progress_(progress),
          still_(shot_.HasStillLayer() ? &still_layer_ : nullptr),
          decoders_(kDecodeThreads),
          writers_(kWriteThreads) {
        sources_.push_back(std::make_unique<SourceSlot>());
        outputs_.push_back(std::make_unique<OutputSlot>());
    }
    ~SequenceRun() { WaitForAll(); }

    FrameCounts Run() {
        if (job_.shape_frame) shape_ = shot_.FindShape();
        for (;;) {
            Prepare();
            if (ahead_.empty()) break;
            Advance();
            Report(false);
        }
        Report(true);
        progress_.Summary();
        return progress_.counts();
    }

private:
    // Opens frames ahead while a source slot is free and starts decoding
    // them; frames whose OUT is whole already are left out with --resume.
    void Prepare() {
        while (next_ < job_.frames.size() && ahead_.size() < kMaxAhead) {
            if (!waiting_) {
                waiting_ = std::make_unique<Ahead>();
                waiting_->files = shot_.Files(job_.frames[next_]);
                if (job_.resume) LeaveOutIfDone(*waiting_);
            }
            if (waiting_->state == FrameState::kDecoding) {
                SourceSlot *slot = FreeSource();
                if (slot == nullptr) return;
                Open(*waiting_, *slot);
            }
            ahead_.push_back(std::move(waiting_));
            ++next_;
        }
    }

    // Marks the frame skipped when its OUT is done, or failed when the
    // checks a rendered frame meets refuse it. The sequence's shape is
    // taken first (from this frame, when it is the first to open).
    void LeaveOutIfDone(Ahead &ahead) {
        try {
            if (!shape_) shape_ = ReadFrameShape(ahead.files, job_.settings.alpha);
            if (shot_.Done(*shape_, ahead.files)) ahead.state = FrameState::kSkipped;
        } catch (...) {
            ahead.state = FrameState::kFailed;
            ahead.error = std::current_exception();
        }
    }

    void Open(Ahead &ahead, SourceSlot &slot) {
        try {
            ahead.opened = OpenFrame(ahead.files, job_.settings, still_, job_.sequence ? &shape_ : nullptr, pool_);
        } catch (...) {
            ahead.state = FrameState::kFailed;
            ahead.error = std::current_exception();
            return;
        }
        if (!in_flight_chosen_) ChooseInFlight(ahead.opened);
        ahead.slot = &slot;
        slot.busy = true;
        OpenedFrame *opened = &ahead.opened;
        // The decode threads keep their codec buffers for the next frame's
        // files. After the run's last frame there is none: they are freed
        // before its render and write take their memory.
        const bool last = next_ + 1 == job_.frames.size();
        ahead.input_done = decoders_.Submit([this, opened, &slot, last] {
            FreeKeptAfter after{last};
            DecodeInput(*opened, job_.settings, slot.buffers, pool_);
        });
        if (!opened->still_layer)
            ahead.layer_done = decoders_.Submit([this, opened, &slot, last] {
                FreeKeptAfter after{last};
                DecodeLayer(*opened, job_.settings, slot.buffers, pool_);
            });
    }

    // Frees the thread's kept codec buffers as it goes, when `last`.
    struct FreeKeptAfter {
        bool last;
        ~FreeKeptAfter() {
            if (last) KeepCodecBuffers::FreeKept();
        }
    };

    // Sets how many frames may be in flight from the first frame opened.
    void ChooseInFlight(const OpenedFrame &frame) {
        in_flight_chosen_ = true;
        if (job_.sequence) {
            const FramesInFlight in_flight = ChooseFramesInFlight(frame.memory.sources, frame.memory.output,
                                                                  AvailableMemory(), FastWriterTakes(frame.out));
            while (static_cast<int>(sources_.size()) < in_flight.sources)
                sources_.push_back(std::make_unique<SourceSlot>());
            while (static_cast<int>(outputs_.size()) < in_flight.outputs)
                outputs_.push_back(std::make_unique<OutputSlot>());
        }
        // Writes go one at a time with one output world: on one thread,
        // so that the encoder's buffers are kept once, not on each.
        writers_.UseThreads(outputs_.size());
    }

    SourceSlot *FreeSource() {
        for (const auto &slot : sources_)
            if (!slot->busy) return slot.get();
        return nullptr;
    }

    // A free output world, waiting for the oldest write when none is.
    OutputSlot &FreeOutput() {
        for (;;) {
            for (const auto &slot : outputs_)
                if (!slot->busy) return *slot;
            const auto writing =
                std::find_if(behind_.begin(), behind_.end(), [](const Behind &frame) { return frame.output; });
            if (writing != behind_.end())
                Collect(*writing);
            else
                ReportFront();
        }
    }

    // Waits for the frame's write, keeps its outcome and frees its world.
    static void Collect(Behind &frame) {
        if (frame.written.valid()) frame.write_error = Outcome(frame.written);
        if (frame.output != nullptr) frame.output->busy = false;
        frame.output = nullptr;
    }

    // Whether the frame can be reported without waiting: written, and its
    // OUT on disk.
    static bool Ready(Behind &frame) {
        const auto ready = [](const std::future<void> &future) {
            return future.wait_for(std::chrono::seconds(0)) == std::future_status::ready;
        };
        if (frame.written.valid()) {
            if (!ready(frame.written)) return false;
            Collect(frame);
        }
        if (frame.durable)
            for (const std::future<void> &file : *frame.durable)
                if (file.valid() && !ready(file)) return false;
        return true;
    }

    // The frame at the front: wait for its decoding, render it and hand
    // it to a write thread.
    void Advance() {
        std::unique_ptr<Ahead> ahead = std::move(ahead_.front());
        ahead_.pop_front();
        Behind behind;
        behind.state = ahead->state;
        behind.files = ahead->files;
        if (ahead->state == FrameState::kDecoding) {
            std::exception_ptr error = Outcome(ahead->input_done);
            const std::exception_ptr layer_error = Outcome(ahead->layer_done);
            if (!error) error = layer_error;
            if (!error) error = Render(*ahead, behind);
            ahead->slot->busy = false;
            behind.state = error ? FrameState::kFailed : FrameState::kWriting;
            if (error) ahead->error = error;
        }
        if (behind.state == FrameState::kFailed) {
            if (!job_.keep_going || !IsFrameError(ahead->error)) Stop(ahead->error, ahead->files.frame, true);
            behind.message = MessageOf(ahead->error);
        }
        behind_.push_back(std::move(behind));
    }

    std::exception_ptr Render(Ahead &ahead, Behind &behind) {
        OutputSlot &output = FreeOutput();
        try {
            RenderFrame(renderer_, ahead.opened, job_.settings, ahead.slot->buffers, still_, output.world);
        } catch (...) {
            return std::current_exception();
        }
        output.busy = true;
        behind.output = &output;
        behind.durable = std::make_shared<std::vector<std::future<void>>>();
        behind.written =
            writers_.Submit([this, world = &*output.world, path = ahead.files.output, spec = ahead.opened.out,
                             durable = behind.durable] { WriteOutput(path, *world, spec, flusher_, *durable); });
        return nullptr;
    }

    // Reports the frames at the front of `behind_` that are done (all of
    // them, waiting, with `wait`). More than a few frames behind, the run
    // waits for the oldest: the disk is then its slowest stage.
    void Report(bool wait) {
        while (!behind_.empty()) {
            if (!wait && behind_.size() <= DiskFlusher::kMaxWaiting && !Ready(behind_.front())) return;
            ReportFront();
        }
    }

    void ReportFront() {
        Behind front = std::move(behind_.front());
        behind_.pop_front();
        std::exception_ptr error;
        if (!ReportBehind(front, error)) Stop(error, front.files.frame, false);
    }

    // Waits for the frame's write and its OUT on disk, and reports it.
    // False, with `error`, when the write failed in a way that stops the
    // run.
    bool ReportBehind(Behind &frame, std::exception_ptr &error) {
        switch (frame.state) {
            case FrameState::kDecoding:
            case FrameState::kWriting: {
                Collect(frame);
                std::exception_ptr written = frame.write_error;
                const std::exception_ptr flushed = frame.durable ? Durable(*frame.durable) : nullptr;
                if (!written) written = flushed;
                if (!written) {
                    progress_.FrameDone(frame.files.frame, frame.files.output);
                } else if (job_.keep_going && IsFrameError(written)) {
                    progress_.FrameFailed(frame.files.frame, MessageOf(written));
                } else {
                    error = written;
                    return false;
                }
                break;
            }
            case FrameState::kSkipped:
                progress_.FrameSkipped(frame.files.frame, frame.files.output);
                break;
            case FrameState::kFailed:
                progress_.FrameFailed(frame.files.frame, frame.message);
                break;
        }
        return true;
    }

    // Ends the run with `error` at `frame`, once every decode and write
    // has finished. When the frames in `behind_` come before it
    // (`behind_earlier`) they are reported first, and the first of them
    // whose write failed is the error instead.
    [[noreturn]] void Stop(std::exception_ptr error, long frame, bool behind_earlier) {
        for (auto &ahead : ahead_) {
            Outcome(ahead->input_done);
            Outcome(ahead->layer_done);
        }
        ahead_.clear();
        bool failed = !behind_earlier;
        while (!behind_.empty()) {
            Behind front = std::move(behind_.front());
            behind_.pop_front();
            if (failed) {
                Collect(front);  // after the failing frame: not reported
                continue;
            }
            std::exception_ptr write_error;
            if (!ReportBehind(front, write_error)) {
                failed = true;
                error = write_error;
                frame = front.files.frame;
            }
        }
        progress_.Finish();
        Rethrow(error, job_.sequence ? "frame " + std::to_string(frame) + ": " : "", shot_.Files(frame));
    }

    void WaitForAll() {
        for (auto &ahead : ahead_) {
            Outcome(ahead->input_done);
            Outcome(ahead->layer_done);
        }
        for (Behind &behind : behind_) Outcome(behind.written);
    }

    Renderer &renderer_;
    renderhost::ThreadPool *const pool_;  // the box filter's threads: the renderer's
    const SequenceJob &job_;
    const Shot shot_;
    Progress &progress_;
    StillLayer still_layer_;
    StillLayer *const still_;
    std::optional<FrameShape> shape_;
    std::vector<std::unique_ptr<SourceSlot>> sources_;
    std::vector<std::unique_ptr<OutputSlot>> outputs_;
    bool in_flight_chosen_ = false;
    std::size_t next_ = 0;            // the next frame to open
    std::unique_ptr<Ahead> waiting_;  // frame next_, checked, waiting for a source slot
    std::deque<std::unique_ptr<Ahead>> ahead_;
    std::deque<Behind> behind_;
    // Last, so that their threads end first: the writers before the
    // flusher they hand their files to.
    DiskFlusher flusher_;
    TaskQueue decoders_;
    TaskQueue writers_;
};

}  // namespace

FramesInFlight ChooseFramesInFlight(std::uint64_t source_bytes, std::uint64_t output_bytes,
                                    std::uint64_t available_memory, bool banded_writer) {
    if (banded_writer) return FramesInFlight{1, 1};
    const std::uint64_t budget =
        available_memory == 0 ? kInFlightBudget : std::min(kInFlightBudget, available_memory / 2);
    if (source_bytes + 2 * output_bytes <= budget) return FramesInFlight{1, 2};
    return FramesInFlight{1, 1};
}

FrameCounts RunSequence(Renderer &renderer, const SequenceJob &job, Progress &progress) {
    SequenceRun run(renderer, job, progress);
    return run.Run();
}

}  // namespace veilshadow
