#include "ContactSheet.h"

#include "BitmapFont.h"

#include <algorithm>
#include <stdexcept>

namespace veilshadow {
namespace {

using renderhost::Depth;
using renderhost::World;

constexpr int kMargin = 16;
constexpr int kLabelHeight = 34;
constexpr int kTextScale = 2;
constexpr int kChecker = 12;
constexpr float kCheckerLight = 0.84f, kCheckerDark = 0.66f;
constexpr float kPaper = 0.97f, kInk = 0.16f, kOutline = 0.30f;

A_u_char ToByte(float v) {
    const float scaled = std::clamp(v, 0.0f, 1.0f) * 255.0f + 0.5f;
    return static_cast<A_u_char>(scaled);
}

void Put(World &sheet, int x, int y, float value) {
    if (x < 0 || y < 0 || x >= sheet.width() || y >= sheet.height())
        return;
    PF_Pixel &p = sheet.At<PF_Pixel>(x, y);
    p.alpha = 255;
    p.red = p.green = p.blue = ToByte(value);
}

// The image over the checkerboard, in one panel whose top-left corner is at
// (left, top) of the sheet.
void DrawPanel(World &sheet, const World &image, const Window &area, int left, int top) {
    for (int y = 0; y < area.height; ++y) {
        for (int x = 0; x < area.width; ++x) {
            const float board = ((x / kChecker + y / kChecker) % 2 == 0) ? kCheckerLight : kCheckerDark;
            float rgb[3] = {board, board, board};
            const long ix = long{area.x} + x - image.origin_x(), iy = long{area.y} + y - image.origin_y();
            if (ix >= 0 && iy >= 0 && ix < image.width() && iy < image.height()) {
                const PF_PixelFloat &p = image.At<PF_PixelFloat>(static_cast<A_long>(ix), static_cast<A_long>(iy));
                const float a = std::clamp(p.alpha, 0.0f, 1.0f);
                const float colour[3] = {p.red, p.green, p.blue};
                for (int c = 0; c < 3; ++c)
                    rgb[c] = a * colour[c] + (1.0f - a) * board;
            }
            PF_Pixel &out = sheet.At<PF_Pixel>(left + x, top + y);
            out.alpha = 255;
            out.red = ToByte(rgb[0]);
            out.green = ToByte(rgb[1]);
            out.blue = ToByte(rgb[2]);
        }
    }
}

// A dashed rectangle around `outline`, clipped to the panel.
void DrawOutline(World &sheet, const Window &area, const Window &outline, int left, int top) {
    const int x0 = outline.x - area.x - 1, y0 = outline.y - area.y - 1;
    const int x1 = x0 + outline.width + 1, y1 = y0 + outline.height + 1;
    const auto dash = [](int i) { return i % 10 < 6; };
    const auto plot = [&](int x, int y) {
        if (x >= 0 && y >= 0 && x < area.width && y < area.height)
            Put(sheet, left + x, top + y, kOutline);
    };
    for (int x = x0; x <= x1; ++x)
        if (dash(x - x0)) {
            plot(x, y0);
            plot(x, y1);
        }
    for (int y = y0; y <= y1; ++y)
        if (dash(y - y0)) {
            plot(x0, y);
            plot(x1, y);
        }
}

} // namespace

World MakeContactSheet(const std::vector<SheetPanel> &panels, const Window &area, const Window &outline) {
    if (panels.empty() || area.width <= 0 || area.height <= 0)
        throw std::invalid_argument("a contact sheet needs panels and an area");
    const int count = static_cast<int>(panels.size());
    const int width = kMargin + count * (area.width + kMargin);
    const int height = kMargin + area.height + kLabelHeight;
    World sheet(Depth::k8, width, height);
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x)
            Put(sheet, x, y, kPaper);

    for (int i = 0; i < count; ++i) {
        const SheetPanel &panel = panels[static_cast<std::size_t>(i)];
        if (panel.image == nullptr || panel.image->depth() != Depth::k32)
            throw std::invalid_argument("contact sheet panels are float images");
        const int left = kMargin + i * (area.width + kMargin);
        DrawPanel(sheet, *panel.image, area, left, kMargin);
        DrawOutline(sheet, area, outline, left, kMargin);
        const int text_left = left + (area.width - TextWidth(panel.label, kTextScale)) / 2;
        const int text_top = kMargin + area.height + (kLabelHeight - kGlyphHeight * kTextScale) / 2;
        DrawText(panel.label, kTextScale, [&](int x, int y) { Put(sheet, text_left + x, text_top + y, kInk); });
    }
    return sheet;
}

} // namespace veilshadow
