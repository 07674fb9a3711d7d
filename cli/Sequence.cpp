#include "Sequence.h"

#include "Downsample.h"
#include "Errors.h"
#include "FrameRange.h"
#include "Limits.h"
#include "TaskQueue.h"

#include <algorithm>
#include <deque>
#include <exception>
#include <filesystem>
#include <future>
#include <memory>
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

// A frame opened ahead of rendering: decoding into its slot, or already
// known to be skipped or failed.
struct Ahead {
    enum class Kind { kDecoding, kSkipped, kFailed };
    Kind kind = Kind::kDecoding;
    FrameFiles files;
    OpenedFrame opened;
    SourceSlot *slot = nullptr;
    std::future<void> input_done, layer_done;
    std::exception_ptr error;  // kFailed
};

// A frame past rendering: its output being written, or a skipped or
// failed frame waiting for the frames before it to be reported.
struct Behind {
    Ahead::Kind kind = Ahead::Kind::kDecoding;  // kDecoding: being written
    FrameFiles files;
    OutputSlot *output = nullptr;
    std::future<void> written;
    std::string message;  // kFailed
};

// The error that stops the run, with "frame F: " in front in a sequence.
[[noreturn]] void Rethrow(std::exception_ptr error, const std::string &prefix) {
    try {
        std::rethrow_exception(error);
    } catch (const UsageError &e) {
        throw UsageError(prefix + e.what());
    } catch (const RunError &e) {
        throw RunError(prefix + e.what());
    }
}

bool IsInputError(std::exception_ptr error) {
    try {
        std::rethrow_exception(error);
    } catch (const InputError &) {
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

// The frames of a job through the stages of Pipeline.h: frames are opened
// and decoded ahead (on the decode threads) while the main thread renders
// one and earlier ones are encoded and written (on the write threads).
// Frames enter every stage in order and are reported in order; buffers go
// round from frame to frame, so a sequence of one frame size allocates
// its worlds once.
class SequenceRun {
public:
    SequenceRun(Renderer &renderer, const SequenceJob &job, Progress &progress)
        : renderer_(renderer),
          job_(job),
          progress_(progress),
          still_(job.sequence && !HasFramePattern(job.layer) ? &still_layer_ : nullptr),
          decoders_(kDecodeThreads),
          writers_(kWriteThreads) {
        sources_.push_back(std::make_unique<SourceSlot>());
        outputs_.push_back(std::make_unique<OutputSlot>());
    }
    ~SequenceRun() { WaitForAll(); }

    FrameCounts Run() {
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
    // them.
    void Prepare() {
        while (next_ < job_.frames.size() && ahead_.size() < kMaxAhead) {
            auto ahead = std::make_unique<Ahead>();
            ahead->files = FilesOf(job_, job_.frames[next_]);
            if (job_.resume && OutputExists(ahead->files.output)) {
                ahead->kind = Ahead::Kind::kSkipped;
            } else {
                SourceSlot *slot = FreeSource();
                if (slot == nullptr) return;
                Open(*ahead, *slot);
            }
            ahead_.push_back(std::move(ahead));
            ++next_;
        }
    }

    void Open(Ahead &ahead, SourceSlot &slot) {
        try {
            ahead.opened = OpenFrame(ahead.files, job_.settings, still_, job_.sequence ? &shape_ : nullptr);
        } catch (...) {
            ahead.kind = Ahead::Kind::kFailed;
            ahead.error = std::current_exception();
            return;
        }
        if (!depth_chosen_) ChooseDepth(ahead.opened);
        ahead.slot = &slot;
        slot.busy = true;
        OpenedFrame *opened = &ahead.opened;
        ahead.input_done =
            decoders_.Submit([this, opened, &slot] { DecodeInput(*opened, job_.settings, slot.buffers); });
        if (!opened->still_layer)
            ahead.layer_done =
                decoders_.Submit([this, opened, &slot] { DecodeLayer(*opened, job_.settings, slot.buffers); });
    }

    // Sizes the pipeline from the first frame opened.
    void ChooseDepth(const OpenedFrame &frame) {
        depth_chosen_ = true;
        if (!job_.sequence) return;
        const int n = job_.settings.downsample;
        const Window out = n > 1 ? DownsampledWindow(frame.comp.data, n) : frame.comp.data;
        std::uint64_t source = WorldBytes(frame.comp.data, frame.depth) + (n > 1 ? WorldBytes(out, frame.depth) : 0);
        if (!frame.still_layer) source += WorldBytes(frame.layer.data, frame.depth) * (n > 1 ? 2 : 1);
        const PipelineDepth depth = ChoosePipelineDepth(source, WorldBytes(out, frame.depth), AvailableMemory());
        while (static_cast<int>(sources_.size()) < depth.sources) sources_.push_back(std::make_unique<SourceSlot>());
        while (static_cast<int>(outputs_.size()) < depth.outputs) outputs_.push_back(std::make_unique<OutputSlot>());
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
            ReportFront();
        }
    }

    // The frame at the front: wait for its decoding, render it and hand
    // it to a write thread.
    void Advance() {
        std::unique_ptr<Ahead> ahead = std::move(ahead_.front());
        ahead_.pop_front();
        Behind behind;
        behind.kind = ahead->kind;
        behind.files = ahead->files;
        if (ahead->kind == Ahead::Kind::kDecoding) {
            std::exception_ptr error = Outcome(ahead->input_done);
            const std::exception_ptr layer_error = Outcome(ahead->layer_done);
            if (!error) error = layer_error;
            if (!error) error = Render(*ahead, behind);
            ahead->slot->busy = false;
            if (error) {
                behind.kind = Ahead::Kind::kFailed;
                ahead->error = error;
            }
        }
        if (behind.kind == Ahead::Kind::kFailed) {
            if (!job_.keep_going || !IsInputError(ahead->error)) Stop(ahead->error, ahead->files.frame, true);
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
        behind.written =
            writers_.Submit([world = &*output.world, path = ahead.files.output,
                             spec = OutputSpecOf(ahead.opened, job_.settings)] { WriteWorld(path, *world, spec); });
        return nullptr;
    }

    // Reports the frames at the front of `behind_` that are done (all of
    // them, waiting, with `wait`).
    void Report(bool wait) {
        while (!behind_.empty()) {
            Behind &front = behind_.front();
            if (!wait && front.written.valid() &&
                front.written.wait_for(std::chrono::seconds(0)) != std::future_status::ready)
                return;
            ReportFront();
        }
    }

    void ReportFront() {
        Behind front = std::move(behind_.front());
        behind_.pop_front();
        switch (front.kind) {
            case Ahead::Kind::kDecoding: {
                const std::exception_ptr error = Outcome(front.written);
                front.output->busy = false;
                if (error) Stop(error, front.files.frame, false);
                progress_.FrameDone(front.files.frame, front.files.output);
                break;
            }
            case Ahead::Kind::kSkipped:
                progress_.FrameSkipped(front.files.frame, front.files.output);
                break;
            case Ahead::Kind::kFailed:
                progress_.FrameFailed(front.files.frame, front.message);
                break;
        }
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
            const std::exception_ptr write_error = Outcome(front.written);
            if (failed) continue;  // after the failing frame: not reported
            if (write_error) {
                failed = true;
                error = write_error;
                frame = front.files.frame;
            } else if (front.kind == Ahead::Kind::kDecoding) {
                progress_.FrameDone(front.files.frame, front.files.output);
            } else if (front.kind == Ahead::Kind::kSkipped) {
                progress_.FrameSkipped(front.files.frame, front.files.output);
            } else {
                progress_.FrameFailed(front.files.frame, front.message);
            }
        }
        progress_.Finish();
        Rethrow(error, job_.sequence ? "frame " + std::to_string(frame) + ": " : "");
    }

    void WaitForAll() {
        for (auto &ahead : ahead_) {
            Outcome(ahead->input_done);
            Outcome(ahead->layer_done);
        }
        for (Behind &behind : behind_) Outcome(behind.written);
    }

    Renderer &renderer_;
    const SequenceJob &job_;
    Progress &progress_;
    StillLayer still_layer_;
    StillLayer *const still_;
    std::optional<FrameShape> shape_;
    std::vector<std::unique_ptr<SourceSlot>> sources_;
    std::vector<std::unique_ptr<OutputSlot>> outputs_;
    bool depth_chosen_ = false;
    std::size_t next_ = 0;  // the next frame to open
    std::deque<std::unique_ptr<Ahead>> ahead_;
    std::deque<Behind> behind_;
    // Last, so that their threads end first.
    TaskQueue decoders_;
    TaskQueue writers_;
};

}  // namespace

PipelineDepth ChoosePipelineDepth(std::uint64_t source_bytes, std::uint64_t output_bytes,
                                  std::uint64_t available_memory) {
    const std::uint64_t budget =
        available_memory == 0 ? kPipelineBudget : std::min(kPipelineBudget, available_memory / 2);
    for (const PipelineDepth depth : {PipelineDepth{2, 3}, PipelineDepth{2, 2}, PipelineDepth{1, 2}})
        if (source_bytes * std::uint64_t(depth.sources) + output_bytes * std::uint64_t(depth.outputs) <= budget)
            return depth;
    return PipelineDepth{1, 1};
}

bool OutputExists(const std::string &path) {
    std::error_code ec;
    return std::filesystem::is_regular_file(path, ec);
}

FrameFiles FilesOf(const SequenceJob &job, long frame) {
    FrameFiles files;
    files.frame = frame;
    files.input = job.sequence ? ExpandFramePattern(job.input, frame) : job.input;
    files.layer = job.sequence ? ExpandFramePattern(job.layer, frame) : job.layer;
    files.output = job.sequence ? ExpandFramePattern(job.output, frame) : job.output;
    return files;
}

FrameCounts RunSequence(Renderer &renderer, const SequenceJob &job, Progress &progress) {
    SequenceRun run(renderer, job, progress);
    return run.Run();
}

}  // namespace veilshadow
