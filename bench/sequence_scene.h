// The sequence bench's scenes, drawn once per run: `demo` (veilshadow
// demo's layer and the layer over its drop shadow) and `soft` (the same
// icon over a wide soft glow, over its blurred, offset shadow).
#ifndef VEILSHADOW_BENCH_SEQUENCE_SCENE_H
#define VEILSHADOW_BENCH_SEQUENCE_SCENE_H

#include <OpenImageIO/imagebuf.h>

#include <filesystem>
#include <vector>

namespace benchscene {

// The frames' size.
constexpr int kWidth = 3840;
constexpr int kHeight = 2160;

// The scene's two images as associated RGBA on the input's window.
struct SceneImages {
    const char *name;
    OIIO::ImageBuf layer, comp;
};

std::vector<SceneImages> Scenes();

// Writes frame 1 of the scene's COMP and LAYER as half-float zip OpenEXR
// and 8-bit PNG, resampled to 3840 x 2160, and copies it to the other
// frames (comp.0001.exr ... comp.NNNN.png, layer.*).
void MakeFrames(const SceneImages &scene, const std::filesystem::path &dir, int exr_frames, int png_frames);

}  // namespace benchscene

#endif
