// The general codec's table, and its parts that are a few lines each: the
// library's threads and the demo's shadow.
#include "GeneralCodecs.h"

#include "ContactSheet.h"
#include "Errors.h"
#include "ImageIOCommon.h"

#include <OpenImageIO/imagebufalgo.h>

namespace veilshadow {
namespace {

void SetThreads(int threads) {
    OIIO::attribute("threads", threads);
    OIIO::attribute("exr_threads", threads);
}

std::vector<float> ShadowAlpha(const renderhost::World &layer, const Window &area, int offset, float blur) {
    OIIO::ImageSpec spec(area.width, area.height, 1, OIIO::TypeDesc::FLOAT);
    spec.x = area.x;
    spec.y = area.y;
    OIIO::ImageBuf moved(spec);
    OIIO::ImageBufAlgo::zero(moved);
    for (A_long y = 0; y < layer.height(); ++y)
        for (A_long x = 0; x < layer.width(); ++x) {
            const float alpha = layer.At<PF_PixelFloat>(x, y).alpha;
            moved.setpixel(layer.origin_x() + x + offset, layer.origin_y() + y + offset, &alpha, 1);
        }
    const OIIO::ImageBuf kernel = OIIO::ImageBufAlgo::make_kernel("gaussian", blur, blur);
    const OIIO::ImageBuf blurred = OIIO::ImageBufAlgo::convolve(moved, kernel);
    std::vector<float> alpha(std::size_t(area.width) * std::size_t(area.height));
    if (blurred.has_error() || !blurred.get_pixels(moved.roi(), OIIO::TypeDesc::FLOAT, alpha.data()))
        throw RunError("demo: cannot blur the shadow: " + blurred.geterror());
    return alpha;
}

void WriteSheet(const std::string &path, const std::vector<SheetPanel> &panels, const Window &area,
                const Window &outline) {
    WriteContactSheet(path, MakeContactSheet(panels, area, outline));
}

}  // namespace

std::string TakeGlobalError() { return LibraryMessage(OIIO::geterror()); }

const GeneralCodec &GeneralCodecTable() {
    static const GeneralCodec table{OpenGeneralReader, WriteGeneral, SetThreads, ShadowAlpha, WriteSheet};
    return table;
}

}  // namespace veilshadow
