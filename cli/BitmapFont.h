// A small built-in 5 x 7 pixel font for the labels of the contact sheet,
// so the demo needs no font files and draws the same on every machine.
#ifndef VEILSHADOW_BITMAPFONT_H
#define VEILSHADOW_BITMAPFONT_H

#include <functional>
#include <string>

namespace veilshadow {

inline constexpr int kGlyphWidth = 5;
inline constexpr int kGlyphHeight = 7;

// Whether the font has the character (A-Z, 0-9, space and % : - . ( ) +);
// lower case is drawn as upper case.
bool HasGlyph(char c);

// Width in pixels of a text drawn at `scale`, one blank column between
// characters.
int TextWidth(const std::string &text, int scale);

// Calls plot(x, y) for every set pixel of the text, its top-left corner
// at (0, 0), each font pixel a scale x scale square. Characters without a
// glyph are drawn as blanks.
void DrawText(const std::string &text, int scale, const std::function<void(int, int)> &plot);

} // namespace veilshadow

#endif
