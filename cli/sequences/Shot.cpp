#include "Shot.h"

#include "Errors.h"
#include "FramePattern.h"

namespace veilshadow {

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
    return IsWholeImage(files.output, ExpectedOutput(shape, settings));
}

std::vector<long> Shot::Missing(const std::optional<FrameShape> &shape) const {
    std::vector<long> missing;
    for (const long frame : job_.frames)
        if (!shape || !Done(*shape, Files(frame))) missing.push_back(frame);
    return missing;
}

}  // namespace veilshadow
