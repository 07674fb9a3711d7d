// The plug-in's whole life in one render host, run as a host runs it:
// global setup, params setup, a few frames in every depth, global setdown.
// Records which command made which host call and what became of every
// output, so fault runs can be checked call by call. Used by the fault
// sweep, the thread tests, the command fuzzer and the soak; needs no test
// framework.
#ifndef ORVANE_TESTS_RELIABILITY_LIFECYCLE_H
#define ORVANE_TESTS_RELIABILITY_LIFECYCLE_H

#include <RenderHost/RenderHost.h>

#include "../common/ExpectedFrame.h"
#include "VeilShadowKernels.h"

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <limits>
#include <optional>
#include <random>
#include <string>
#include <vector>

namespace reliability {

using renderhost::Depth;
using renderhost::HostOp;
using renderhost::World;

// The commands of a lifecycle, by what they do.
enum class Phase { kGlobalSetup, kParamsSetup, kPreRender, kRender, kGlobalSetdown };

inline const char *PhaseName(Phase phase) {
    switch (phase) {
        case Phase::kGlobalSetup:
            return "global setup";
        case Phase::kParamsSetup:
            return "params setup";
        case Phase::kPreRender:
            return "pre-render";
        case Phase::kRender:
            return "render";
        case Phase::kGlobalSetdown:
            return "global setdown";
    }
    return "?";
}

// What a frame's output may look like after the frame.
enum class Output {
    kUntouched,  // every byte as the host handed it over (kUntouchedByte)
    kCleared,    // transparent black
    kDrawn,      // the effect's result by the plain per-pixel rules
};

inline const char *OutputName(Output output) {
    switch (output) {
        case Output::kUntouched:
            return "untouched";
        case Output::kCleared:
            return "cleared";
        case Output::kDrawn:
            return "drawn";
    }
    return "?";
}

// Every output byte holds this before its frame, so an output the plug-in
// never wrote can be told from a cleared one.
constexpr unsigned char kUntouchedByte = 0x5A;

// One frame: the worlds the host lends and the output the plain rules give.
struct Frame {
    World input;
    std::optional<World> layer;  // none: the layer has no pixels of its own
    World output;
    World expected;
    PF_Fixed slider = 0;
};

using expected_frame::OpacityOf;
using expected_frame::ReferenceKernel;

// The output the effect must give for a slider value.
inline void ComputeExpected(const World &input, const World *layer, World &expected, PF_Fixed slider) {
    expected_frame::ComputeExpected(input, layer, expected, OpacityOf(slider));
}

inline std::size_t RowBytesUsed(const World &w) { return std::size_t(w.width()) * renderhost::PixelBytes(w.depth()); }

inline const unsigned char *RowAt(const World &w, A_long y) {
    return static_cast<const unsigned char *>(w.data()) + std::size_t(y) * std::size_t(w.rowbytes());
}

// Byte-for-byte equality of the pixels (not the padding) of two worlds.
inline bool SamePixels(const World &a, const World &b) {
    if (a.width() != b.width() || a.height() != b.height() || a.depth() != b.depth()) return false;
    for (A_long y = 0; y < a.height(); ++y)
        if (std::memcmp(RowAt(a, y), RowAt(b, y), RowBytesUsed(a)) != 0) return false;
    return true;
}

inline bool AllPixelBytesAre(const World &w, unsigned char value) {
    for (A_long y = 0; y < w.height(); ++y) {
        const unsigned char *row = RowAt(w, y);
        for (std::size_t i = 0; i < RowBytesUsed(w); ++i)
            if (row[i] != value) return false;
    }
    return true;
}

inline void FillPixelBytes(World &w, unsigned char value) {
    for (A_long y = 0; y < w.height(); ++y)
        std::memset(const_cast<unsigned char *>(RowAt(w, y)), value, RowBytesUsed(w));
}

// Whether the frame's output looks as `output` says (and no byte past the
// end of a row was written).
inline bool OutputIs(const Frame &frame, Output output) {
    if (!frame.output.PaddingIntact()) return false;
    switch (output) {
        case Output::kUntouched:
            return AllPixelBytesAre(frame.output, kUntouchedByte);
        case Output::kCleared:
            return AllPixelBytesAre(frame.output, 0);
        case Output::kDrawn:
            return SamePixels(frame.output, frame.expected);
    }
    return false;
}

// Random pixels of every kind the rules tell apart: transparent, opaque and
// partly covered; in float also values beyond 0..1, negative alphas and NaN.
inline void FillRandom(World &w, std::mt19937 &rng) {
    std::uniform_real_distribution<double> unit(0.0, 1.0);
    auto alpha = [&]() {
        const double pick = unit(rng);
        return pick < 0.25 ? 0.0 : pick < 0.45 ? 1.0 : unit(rng);
    };
    for (A_long y = 0; y < w.height(); ++y)
        for (A_long x = 0; x < w.width(); ++x) {
            const double a = alpha(), r = unit(rng), g = unit(rng), b = unit(rng);
            switch (w.depth()) {
                case Depth::k8:
                    w.At<PF_Pixel>(x, y) = {A_u_char(a * 255 + 0.5), A_u_char(r * 255 + 0.5), A_u_char(g * 255 + 0.5),
                                            A_u_char(b * 255 + 0.5)};
                    break;
                case Depth::k16:
                    w.At<PF_Pixel16>(x, y) = {A_u_short(a * 32768 + 0.5), A_u_short(r * 32768 + 0.5),
                                              A_u_short(g * 32768 + 0.5), A_u_short(b * 32768 + 0.5)};
                    break;
                case Depth::k32: {
                    const double odd = unit(rng);
                    PF_PixelFloat p{float(a), float(r), float(g), float(b)};
                    if (odd < 0.03)
                        p.alpha = -0.25f;
                    else if (odd < 0.05)
                        p.alpha = 1.5f;
                    else if (odd < 0.06)
                        p.red = std::numeric_limits<float>::quiet_NaN();
                    else if (odd < 0.08)
                        p.green = 2.0f;
                    w.At<PF_PixelFloat>(x, y) = p;
                    break;
                }
            }
        }
}

// Where a frame's three worlds lie in the layer's coordinates. Strides are
// the row plus `pad` pixels.
struct FramePlan {
    Depth depth;
    bool with_layer;
    PF_Fixed slider;
    A_long layer_w, layer_h, layer_pad;
    A_long input_x, input_y, input_w, input_h, input_pad;
    A_long out_x, out_y, out_w, out_h, out_pad;
};

inline Frame MakeFrame(const FramePlan &p, unsigned seed) {
    std::mt19937 rng(seed);
    const A_long px = A_long(renderhost::PixelBytes(p.depth));
    Frame f{World(p.depth, p.input_w, p.input_h, p.input_x, p.input_y, (p.input_w + p.input_pad) * px), std::nullopt,
            World(p.depth, p.out_w, p.out_h, p.out_x, p.out_y, (p.out_w + p.out_pad) * px),
            World(p.depth, p.out_w, p.out_h, p.out_x, p.out_y), p.slider};
    FillRandom(f.input, rng);
    if (p.with_layer) {
        f.layer.emplace(p.depth, p.layer_w, p.layer_h, 0, 0, (p.layer_w + p.layer_pad) * px);
        FillRandom(*f.layer, rng);
    }
    ComputeExpected(f.input, f.layer ? &*f.layer : nullptr, f.expected, f.slider);
    return f;
}

// The frames of a lifecycle: one per depth, each with the input larger than
// the layer and the output clipping both, and one frame whose layer has no
// pixels. Small, so a sweep of hundreds of lifecycles stays quick.
inline std::vector<Frame> StandardFrames(unsigned seed = 1) {
    constexpr PF_Fixed kHalf = 50 << 16, kQuarter = 25 << 16, kFull = 100 << 16;
    const FramePlan plans[] = {
        {Depth::k8, true, kHalf, 9, 6, 0, -2, -1, 13, 9, 1, -1, -2, 12, 8, 0},
        {Depth::k16, true, kQuarter, 8, 7, 2, -1, -2, 11, 10, 0, 1, -1, 9, 9, 3},
        {Depth::k32, true, kFull, 10, 5, 1, -3, -1, 15, 8, 2, -2, 0, 13, 6, 1},
        {Depth::k8, false, kHalf, 0, 0, 0, 0, 0, 6, 4, 0, 0, 0, 6, 4, 2},
    };
    std::vector<Frame> frames;
    unsigned s = seed;
    for (const FramePlan &plan : plans) frames.push_back(MakeFrame(plan, s++));
    return frames;
}

// ---- Running a lifecycle ----------------------------------------------

// One command the host sent: the host calls it made are the journal
// entries [first, last).
struct CommandRecord {
    Phase phase;
    int frame;  // the frame of a pre-render or render; -1 otherwise
    PF_Err result;
    std::size_t first;
    std::size_t last;
};

struct LifecycleRun {
    std::vector<CommandRecord> commands;
    std::vector<renderhost::JournalEntry> journal;  // every call of the lifecycle
    // The record of a phase (and frame), when that command was sent.
    const CommandRecord *Find(Phase phase, int frame = -1) const {
        for (const CommandRecord &c : commands)
            if (c.phase == phase && c.frame == frame) return &c;
        return nullptr;
    }
};

// Stands between the host and the module's entry point and notes, for
// every command, where in the host's journal its calls begin and end. One
// lifecycle at a time in a process, as one host dispatches at a time.
class CommandLog {
public:
    static PF_Err Entry(PF_Cmd cmd, PF_InData *in_data, PF_OutData *out_data, PF_ParamDef *params[],
                        PF_LayerDef *output, void *extra) {
        CommandLog &log = *current_;
        const std::size_t first = log.host_.Journal().size();
        const PF_Err err = log.target_(cmd, in_data, out_data, params, output, extra);
        const std::size_t last = log.host_.Journal().size();
        log.commands_.push_back(CommandRecord{PhaseOf(cmd), IsFrameCommand(cmd) ? log.frame_ : -1, err, first, last});
        return err;
    }

    CommandLog(renderhost::Host &host, PF_EntryPointFunc target) : host_(host), target_(target) { current_ = this; }
    ~CommandLog() { current_ = nullptr; }
    CommandLog(const CommandLog &) = delete;
    CommandLog &operator=(const CommandLog &) = delete;

    void SetFrame(int frame) { frame_ = frame; }
    std::vector<CommandRecord> TakeCommands() { return std::move(commands_); }

private:
    static bool IsFrameCommand(PF_Cmd cmd) { return cmd == PF_Cmd_SMART_PRE_RENDER || cmd == PF_Cmd_SMART_RENDER; }
    static Phase PhaseOf(PF_Cmd cmd) {
        switch (cmd) {
            case PF_Cmd_GLOBAL_SETUP:
                return Phase::kGlobalSetup;
            case PF_Cmd_PARAMS_SETUP:
                return Phase::kParamsSetup;
            case PF_Cmd_SMART_PRE_RENDER:
                return Phase::kPreRender;
            case PF_Cmd_SMART_RENDER:
                return Phase::kRender;
            default:
                return Phase::kGlobalSetdown;
        }
    }

    static inline CommandLog *current_ = nullptr;
    renderhost::Host &host_;
    PF_EntryPointFunc target_;
    int frame_ = -1;
    std::vector<CommandRecord> commands_;
};

// The host a lifecycle runs on: two pool threads, and the journal kept,
// since RunLifecycle reads each command's calls from it.
inline renderhost::HostOptions LifecycleHost() { return {2, renderhost::CallJournal::kOn}; }

// Runs the lifecycle as a host does: a failed global setup ends it (the
// host drops the plug-in); a failed params setup is followed by global
// setdown only; a failed frame does not stop the next one. Every output is
// filled with kUntouchedByte before its frame.
inline LifecycleRun RunLifecycle(renderhost::Host &host, PF_EntryPointFunc entry, std::vector<Frame> &frames) {
    for (Frame &f : frames) FillPixelBytes(f.output, kUntouchedByte);
    CommandLog log(host, entry);
    {
        renderhost::Effect effect(host, &CommandLog::Entry);
        if (effect.GlobalSetup() == PF_Err_NONE) {
            if (effect.ParamsSetup() == PF_Err_NONE) {
                for (std::size_t i = 0; i < frames.size(); ++i) {
                    Frame &f = frames[i];
                    renderhost::FrameSpec spec;
                    spec.input = &f.input;
                    spec.layer = f.layer ? &*f.layer : nullptr;
                    spec.output = &f.output;
                    spec.slider = f.slider;
                    log.SetFrame(int(i));
                    effect.RenderFrame(spec);
                }
                log.SetFrame(-1);
            }
            effect.GlobalSetdown();
        }
    }
    LifecycleRun run;
    run.commands = log.TakeCommands();
    run.journal = host.Journal();
    return run;
}

// What is wrong with the host's books after a lifecycle: anything still
// lent out beyond `allowed_live_handles` handles, and every misuse. Empty
// when all is well.
inline std::string AccountingProblems(const renderhost::Host &host, std::size_t allowed_live_handles = 0) {
    std::string problems;
    if (host.LiveHandles() != allowed_live_handles)
        problems += std::to_string(host.LiveHandles()) + " live handles, expected " +
                    std::to_string(allowed_live_handles) + "\n";
    if (host.OutstandingSuites() != 0) problems += std::to_string(host.OutstandingSuites()) + " suites outstanding\n";
    if (host.OutstandingCheckouts() != 0)
        problems += std::to_string(host.OutstandingCheckouts()) + " checkouts outstanding\n";
    for (const std::string &misuse : host.Misuses()) problems += "misuse: " + misuse + "\n";
    if (!problems.empty()) problems += host.LeakReport();
    return problems;
}

// Whether the host call is one that hands out a pointer, so that failing
// it can also mean "no error, but no pointer".
inline bool ReturnsPointer(HostOp op) {
    return op == HostOp::AcquireSuite || op == HostOp::CheckoutLayerPixels || op == HostOp::CheckoutOutput ||
           op == HostOp::NewHandle || op == HostOp::LockHandle || op == HostOp::Strcpy;
}

}  // namespace reliability

#endif
