#include "ContactSheet.h"

#include "Errors.h"
#include "GeneralCodecs.h"
#include "ImageIO.h"

#include <OpenImageIO/imagebufalgo.h>

#include <algorithm>
#include <stdexcept>

namespace veilshadow {
namespace {

namespace IBA = OIIO::ImageBufAlgo;
using renderhost::Depth;
using renderhost::World;

constexpr const char *kFont = "DejaVuSans";
constexpr int kFontSize = 20;
constexpr int kDash = 6, kDashPeriod = 10;  // outline: 6 pixels drawn in every 10
constexpr float kPaper[] = {0.97f, 0.97f, 0.97f, 1.0f};
constexpr float kInk[] = {0.16f, 0.16f, 0.16f, 1.0f};
constexpr float kOutline[] = {0.30f, 0.30f, 0.30f, 1.0f};
constexpr float kLight[] = {kCheckerLight, kCheckerLight, kCheckerLight, 1.0f};
constexpr float kDark[] = {kCheckerDark, kCheckerDark, kCheckerDark, 1.0f};

void Check(bool ok, const char *what, const OIIO::ImageBuf &buf) {
    if (!ok) throw RunError(std::string("contact sheet: cannot ") + what + ": " + buf.geterror());
}

// The image as RGBA with associated alpha, at the world's origin. The
// world is wrapped, not copied, and only read.
OIIO::ImageBuf Associated(const World &image) {
    OIIO::ImageSpec spec(image.width(), image.height(), 4, OIIO::TypeDesc::FLOAT);
    spec.x = image.origin_x();
    spec.y = image.origin_y();
    const OIIO::ImageBuf argb(spec, const_cast<void *>(image.data()), OIIO::AutoStride, image.rowbytes());
    // Named anew: the alpha channel is found by its name, "A".
    const int rgba_order[] = {1, 2, 3, 0};
    const std::string rgba_names[] = {"R", "G", "B", "A"};
    OIIO::ImageBuf rgba = IBA::channels(argb, 4, rgba_order, {}, rgba_names);
    Check(IBA::premult(rgba, rgba), "premultiply a panel", rgba);
    return rgba;
}

// A dashed line from (x0, y0) to (x1, y1), which lie on one row or column.
void DashedLine(OIIO::ImageBuf &dst, int x0, int y0, int x1, int y1) {
    const int length = std::max(x1 - x0, y1 - y0);
    const int dx = x1 > x0 ? 1 : 0, dy = y1 > y0 ? 1 : 0;
    for (int s = 0; s <= length; s += kDashPeriod) {
        const int e = std::min(s + kDash - 1, length);
        IBA::render_line(dst, x0 + dx * s, y0 + dy * s, x0 + dx * e, y0 + dy * e, kOutline);
    }
}

// `area` of the image over the checkerboard, with the outline, in layer
// coordinates.
OIIO::ImageBuf Panel(const World &image, const Window &area, const Window &outline) {
    const OIIO::ROI roi(area.x, area.x + area.width, area.y, area.y + area.height, 0, 1, 0, 4);
    const OIIO::ImageBuf board = IBA::checker(kCheckerSize, kCheckerSize, 1, kLight, kDark, area.x, area.y, 0, roi);
    OIIO::ImageBuf panel = IBA::over(Associated(image), board, roi);
    Check(!panel.has_error(), "composite a panel", panel);
    const int x0 = outline.x - 1, y0 = outline.y - 1;
    const int x1 = outline.x + outline.width, y1 = outline.y + outline.height;
    DashedLine(panel, x0, y0, x1, y0);
    DashedLine(panel, x0, y1, x1, y1);
    DashedLine(panel, x0, y0, x0, y1);
    DashedLine(panel, x1, y0, x1, y1);
    return panel;
}

}  // namespace

OIIO::ImageBuf MakeContactSheet(const std::vector<SheetPanel> &panels, const Window &area, const Window &outline) {
    if (panels.empty() || area.width <= 0 || area.height <= 0)
        throw std::invalid_argument("a contact sheet needs panels and an area");
    const int count = static_cast<int>(panels.size());
    OIIO::ImageBuf sheet(OIIO::ImageSpec(kSheetMargin + count * (area.width + kSheetMargin),
                                         kSheetMargin + area.height + kSheetLabelHeight, 4, OIIO::TypeDesc::FLOAT));
    Check(IBA::fill(sheet, kPaper), "fill the sheet", sheet);

    for (int i = 0; i < count; ++i) {
        const SheetPanel &panel = panels[static_cast<std::size_t>(i)];
        if (panel.image == nullptr || panel.image->depth() != Depth::k32)
            throw std::invalid_argument("contact sheet panels are float images");
        const int left = kSheetMargin + i * (area.width + kSheetMargin);
        Check(IBA::paste(sheet, left - area.x, kSheetMargin - area.y, 0, 0, Panel(*panel.image, area, outline)),
              "place a panel", sheet);
        const int label_middle = kSheetMargin + area.height + kSheetLabelHeight / 2;
        if (!IBA::render_text(sheet, left + area.width / 2, label_middle, panel.label, kFontSize, kFont, kInk,
                              IBA::TextAlignX::Center, IBA::TextAlignY::Center))
            throw RunError(
                "contact sheet: cannot draw the labels (is the DejaVu Sans font, Debian's "
                "fonts-dejavu-core, installed?): " +
                sheet.geterror());
    }
    return sheet;
}

void WriteContactSheet(const std::string &path, const OIIO::ImageBuf &sheet) {
    OIIO::ImageSpec spec = sheet.spec();
    spec.set_format(OIIO::TypeDesc::UINT8);
    TempFile file(path);
    WriteImageFile(file, "png", spec, [&](OIIO::ImageOutput &out) { return sheet.write(&out); });
    file.Commit();
}

}  // namespace veilshadow
