#include "Sequence.h"

#include "Errors.h"
#include "FrameRange.h"

#include <filesystem>
#include <optional>

namespace veilshadow {
namespace {

bool OutputExists(const std::string &path) {
    std::error_code ec;
    return std::filesystem::is_regular_file(path, ec);
}

std::string FramePrefix(const SequenceJob &job, long frame) {
    return job.sequence ? "frame " + std::to_string(frame) + ": " : "";
}

} // namespace

FrameFiles FilesOf(const SequenceJob &job, long frame) {
    FrameFiles files;
    files.frame = frame;
    files.input = job.sequence ? ExpandFramePattern(job.input, frame) : job.input;
    files.layer = job.sequence ? ExpandFramePattern(job.layer, frame) : job.layer;
    files.output = job.sequence ? ExpandFramePattern(job.output, frame) : job.output;
    return files;
}

FrameCounts RunSequence(Renderer &renderer, const SequenceJob &job, Progress &progress) {
    StillLayer still;
    StillLayer *const still_layer = job.sequence && !HasFramePattern(job.layer) ? &still : nullptr;
    std::optional<FrameShape> shape;
    for (const long frame : job.frames) {
        const FrameFiles files = FilesOf(job, frame);
        if (job.resume && OutputExists(files.output)) {
            progress.FrameSkipped(frame, files.output);
            continue;
        }
        try {
            RenderFiles(renderer, files, job.settings, still_layer, job.sequence ? &shape : nullptr);
        } catch (const InputError &e) {
            if (!job.keep_going) {
                progress.Finish();
                throw RunError(FramePrefix(job, frame) + e.what());
            }
            progress.FrameFailed(frame, e.what());
            continue;
        } catch (const UsageError &e) {
            progress.Finish();
            throw UsageError(FramePrefix(job, frame) + e.what());
        } catch (const RunError &e) {
            progress.Finish();
            throw RunError(FramePrefix(job, frame) + e.what());
        } catch (...) {
            progress.Finish(); // the message goes on a line of its own
            throw;
        }
        progress.FrameDone(frame, files.output);
    }
    progress.Summary();
    return progress.counts();
}

} // namespace veilshadow
