// `veilshadow demo`: a scene built in code, rendered at three opacities,
// and a contact sheet of the results.
#ifndef VEILSHADOW_DEMO_H
#define VEILSHADOW_DEMO_H

#include <RenderHost/World.h>

#include <cstdio>
#include <string>

namespace veilshadow {

struct DemoSettings {
    std::string folder = "demo-output";
    std::string plugin;        // the plug-in module
    int threads = 0;           // render threads, 0 for one per core
    std::FILE *log = nullptr;  // one line per file written; null for none
};

// The scene's two images, float, straight colour.
struct DemoScene {
    renderhost::World layer;  // the layer: opaque disc, glass panel, alpha gradient
    renderhost::World input;  // the layer over its drop shadow, on a larger data window
};

// Builds the scene: the layer, then a shadow drawn from its alpha
// (blurred with OpenImageIO, offset, tinted) and the layer composited over
// it with the straight-alpha over, on a data window that reaches past the
// layer's bounds on every side.
DemoScene BuildDemoScene();

// Writes layer.exr, input.exr, output-000.exr, output-050.exr,
// output-100.exr (renders at 0, 50 and 100 % through the same path as the
// command line) and contact.png into the folder. Throws RunError.
void RunDemo(const DemoSettings &settings);

}  // namespace veilshadow

#endif
