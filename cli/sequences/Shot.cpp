#include "Shot.h"

#include "Errors.h"
#include "FramePattern.h"
#include "FrameRange.h"

#include <filesystem>

namespace veilshadow {

SequenceJob JobOf(const JobOptions &options) {
    if (options.input.empty() || options.layer.empty() || options.output.empty())
        throw UsageError("--input COMP, --layer LAYER and -o OUT are all required (or run: veilshadow demo)");
    SequenceJob job;
    job.input = options.input;
    job.layer = options.layer;
    job.output = options.output;
    job.settings.slider = ParseOpacity(options.opacity);
    job.settings.alpha = ParseAlphaMode(options.alpha);
    job.settings.downsample = options.downsample;
    job.settings.format = CheckOutputPath(FrameFiles{options.input, options.layer, options.output, 0});
    if (!options.sample.empty()) {
        job.settings.sample = SampleTypeNamed(options.sample);
        if (!job.settings.sample)
            throw UsageError("-d \"" + options.sample + "\": expected uint8, uint16, half or float");
    }
    job.settings.compression = options.compression;
    CheckOutputChoice(options.output, job.settings.format, job.settings);
    job.resume = options.resume;
    job.keep_going = options.keep_going;
    job.sequence = options.frames.has_value();
    job.shape_frame = options.shape_frame;
    if (job.sequence) {
        job.frames = ParseFrameList(*options.frames);
        for (const std::string *path : {&options.input, &options.layer, &options.output}) CheckFramePatterns(*path);
        if (!HasFramePattern(options.output))
            throw UsageError(FileMessage(options.output, "--frames needs a frame pattern (#### or %04d) in OUT"));
    } else {
        // Without --frames every name is a file name (logo@2x.png); an
        // input that is not there but looks like a pattern gets a hint.
        std::error_code ec;
        for (const std::string *path : {&options.input, &options.layer})
            if (HasFramePattern(*path) && !std::filesystem::exists(*path, ec))
                throw UsageError(FileMessage(*path, "no such file (a frame pattern needs --frames)"));
        if (job.shape_frame) throw UsageError("--shape-frame is for a sequence: give --frames LIST");
    }
    return job;
}

FrameFiles Shot::Files(long frame) const {
    FrameFiles files;
    files.frame = frame;
    files.input = job_.sequence ? ExpandFramePattern(job_.input, frame) : job_.input;
    files.layer = job_.sequence ? ExpandFramePattern(job_.layer, frame) : job_.layer;
    files.output = job_.sequence ? ExpandFramePattern(job_.output, frame) : job_.output;
    return files;
}

bool Shot::HasStillLayer() const { return job_.sequence && !HasFramePattern(job_.layer); }

std::optional<FrameShape> Shot::FindShape() const {
    if (job_.shape_frame) {
        try {
            return ReadFrameShape(Files(*job_.shape_frame), job_.settings.alpha);
        } catch (const RunError &e) {
            throw RunError("frame " + std::to_string(*job_.shape_frame) +
                           ", whose type and size every frame must have: " + e.what());
        }
    }
    for (const long frame : job_.frames) {
        try {
            return ReadFrameShape(Files(frame), job_.settings.alpha);
        } catch (const InputError &) {
        }
    }
    return std::nullopt;
}

bool Shot::Done(const FrameShape &shape, const FrameFiles &files) const {
    FrameSettings settings = job_.settings;
    settings.format = CheckOutputPath(files);
    CheckOutputChoice(files.output, settings.format, settings);
    // OUT's windows are this frame's own (data windows change from frame
    // to frame); a frame whose inputs cannot be read is not done, and its
    // render reports them.
    FrameShape frame = shape;
    try {
        const FrameShape own = ReadFrameShape(files, job_.settings.alpha);
        frame.comp_data = own.comp_data;
        frame.layer_display = own.layer_display;
    } catch (const InputError &) {
        return false;
    }
    return IsWholeImage(files.output, ExpectedOutput(frame, settings, files.output));
}

std::vector<long> Shot::Missing(const std::optional<FrameShape> &shape) const {
    std::vector<long> missing;
    for (const long frame : job_.frames)
        if (!shape || !Done(*shape, Files(frame))) missing.push_back(frame);
    return missing;
}

}  // namespace veilshadow
