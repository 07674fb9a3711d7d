#include "Shot.h"

#include "Errors.h"
#include "FrameList.h"
#include "FramePattern.h"

#include <sys/stat.h>

#include <filesystem>
#include <map>
#include <set>
#include <utility>

namespace veilshadow {

namespace {

namespace fs = std::filesystem;

// Whether a path names a file as it is written (the literal name exists).
bool ExistsAsNamed(const std::string &path) {
    std::error_code ec;
    return fs::exists(path, ec);
}

// With --frames, an input whose name holds a pattern but that exists under
// that very name is one file for every frame, unless a frame's name made
// from it exists too: then it is not clear which is meant.
bool IsStillAsNamed(const std::string &path, const std::string &what, const std::vector<long> &frames) {
    if (!HasFramePattern(path) || !ExistsAsNamed(path)) return false;
    for (const long frame : frames) {
        const std::string expanded = ExpandFramePattern(path, frame);
        if (ExistsAsNamed(expanded))
            throw UsageError(FileMessage(path, what + " exists as a file of this name and as frame " +
                                                   std::to_string(frame) + " (" + expanded +
                                                   "); rename one so that the name says which is meant"));
    }
    return true;
}

// One file as the shot sees it: its path with the folders resolved (and
// the file itself, when it is a symbolic link), and its inode when it
// exists.
struct FileKey {
    std::string path;
    std::optional<std::pair<dev_t, ino_t>> inode;
};

// Keys of the files of one name pattern: the folder (the same for every
// frame, as patterns live in the last component) is resolved once.
class FileKeys {
public:
    explicit FileKeys(const std::string &pattern) {
        std::error_code ec;
        fs::path absolute = fs::absolute(pattern, ec);
        if (ec) absolute = pattern;
        fs::path folder = absolute.parent_path();
        const fs::path resolved = fs::weakly_canonical(folder, ec);
        folder_ = ec ? folder.lexically_normal() : resolved;
    }

    // The name itself, its folder resolved: the directory entry a write
    // renames into place (replacing a link there, not its target).
    std::string NameOf(const std::string &path) const { return (folder_ / fs::path(path).filename()).string(); }

    FileKey Of(const std::string &path) const {
        FileKey key;
        key.path = NameOf(path);
        struct stat info {};
        if (::lstat(key.path.c_str(), &info) != 0) return key;
        if (S_ISLNK(info.st_mode)) {
            key.path = LinkTarget(key.path);
            if (::stat(key.path.c_str(), &info) != 0) return key;
        }
        key.inode = std::make_pair(info.st_dev, info.st_ino);
        return key;
    }

private:
    // Where a symbolic link leads, followed link by link: a link whose
    // target does not exist yet (a frame's OUT, before the run writes it)
    // still names that target.
    static std::string LinkTarget(fs::path file) {
        std::error_code ec;
        for (int hops = 0; hops < 40 && fs::is_symlink(file, ec); ++hops) {
            const fs::path next = fs::read_symlink(file, ec);
            if (ec) break;
            file = next.is_absolute() ? next : file.parent_path() / next;
            const fs::path folder = fs::weakly_canonical(file.parent_path(), ec);
            file = (ec ? file.parent_path().lexically_normal() : folder) / file.filename();
        }
        return file.string();
    }

    fs::path folder_;
};

}  // namespace

void CheckShotFiles(const SequenceJob &job) {
    const Shot shot(job);
    const FileKeys comps(job.input), layers(job.layer), outs(job.output);
    // Every input, by resolved path and by inode: what it is, for the message.
    std::map<std::string, std::string> input_paths;
    std::map<std::pair<dev_t, ino_t>, std::string> input_inodes;
    const auto add_input = [&](const FileKey &key, const std::string &what) {
        input_paths.emplace(key.path, what);
        if (key.inode) input_inodes.emplace(*key.inode, what);
    };
    const auto what = [&job](const char *role, const std::string &path, long frame) {
        return std::string(role) + (job.sequence ? " of frame " + std::to_string(frame) : "") + " (" + path + ")";
    };
    for (const long frame : job.frames) {
        const FrameFiles files = shot.Files(frame);
        add_input(comps.Of(files.input), what("COMP", files.input, frame));
        add_input(layers.Of(files.layer), what("LAYER", files.layer, frame));
    }
    // Each OUT: not an input, and not another frame's OUT.
    std::map<std::string, long> out_paths;
    for (const long frame : job.frames) {
        const std::string out = shot.Files(frame).output;
        const FileKey key = outs.Of(out);
        std::optional<std::string> input;
        if (const auto found = input_paths.find(key.path); found != input_paths.end()) input = found->second;
        if (key.inode)
            if (const auto found = input_inodes.find(*key.inode); !input && found != input_inodes.end())
                input = found->second;
        if (input) throw UsageError(FileMessage(out, "the output would overwrite an input file, " + *input));
        // Frames' OUTs are told apart by name: each is renamed into place
        // under its own, so links between them (hold frames) are replaced,
        // not written through.
        const auto [other, added] = out_paths.emplace(outs.NameOf(out), frame);
        if (!added)
            throw UsageError(FileMessage(out, "two frames would write this one file: frames " +
                                                  std::to_string(other->second) + " and " + std::to_string(frame)));
    }
}

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
        // An input that exists as named may be a still (IsStillAsNamed)
        // whose name only looks like a pattern.
        for (const std::string *path : {&options.input, &options.layer, &options.output})
            if (path == &options.output || !ExistsAsNamed(*path)) CheckFramePatterns(*path);
        if (!HasFramePattern(options.output))
            throw UsageError(
                FileMessage(options.output, "--frames needs a frame pattern in OUT's file name (#### or %04d)"));
        job.still_input = IsStillAsNamed(options.input, "COMP", job.frames);
        job.still_layer = IsStillAsNamed(options.layer, "LAYER", job.frames);
    } else {
        // Without --frames every name is a file name (logo@2x.png); an
        // input that is not there but looks like a pattern gets a hint.
        std::error_code ec;
        for (const std::string *path : {&options.input, &options.layer})
            if (HasFramePattern(*path) && !std::filesystem::exists(*path, ec))
                throw UsageError(FileMessage(*path, "no such file (a frame pattern needs --frames)"));
        if (job.shape_frame) throw UsageError("--shape-frame is for a sequence: give --frames LIST");
    }
    CheckShotFiles(job);
    return job;
}

FrameFiles Shot::Files(long frame) const {
    FrameFiles files;
    files.frame = frame;
    files.input = job_.sequence && !job_.still_input ? ExpandFramePattern(job_.input, frame) : job_.input;
    files.layer = job_.sequence && !job_.still_layer ? ExpandFramePattern(job_.layer, frame) : job_.layer;
    files.output = job_.sequence ? ExpandFramePattern(job_.output, frame) : job_.output;
    return files;
}

bool Shot::HasStillLayer() const { return job_.sequence && (job_.still_layer || !HasFramePattern(job_.layer)); }

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
    // The render's own checks, on the headers: no still layer is read and
    // nothing is decoded.
    std::optional<FrameShape> held = shape;
    const OpenedFrame frame = OpenFrame(files, job_.settings, nullptr, &held, nullptr);
    return IsWholeImage(files.output, ExpectedOutput(frame));
}

std::vector<long> Shot::Missing(const std::optional<FrameShape> &shape) const {
    std::vector<long> missing;
    for (const long frame : job_.frames) {
        bool done = false;
        if (shape) {
            try {
                done = Done(*shape, Files(frame));
            } catch (const InputError &) {
                // The render would refuse the frame: not written.
            }
        }
        if (!done) missing.push_back(frame);
    }
    return missing;
}

}  // namespace veilshadow
