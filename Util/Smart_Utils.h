/*
 * Rectangle helpers for the smart-render commands. Rectangles are the host's
 * PF_LRect: signed left, top, right, bottom, with right and bottom exclusive.
 * Arguments must not be null.
 */
#ifndef ORVANE_UTIL_SMART_UTILS_H
#define ORVANE_UTIL_SMART_UTILS_H

#include "PF_Host.h"

#if defined(__GNUC__) && !defined(_WIN32)
#pragma GCC visibility push(hidden)
#endif

/* True when r has no area: left >= right or top >= bottom. */
bool IsEmptyRect(const PF_LRect *r);

/* Grows *dst to the smallest rectangle holding both *src and *dst. An empty
 * *dst becomes a copy of *src (even an empty one); an empty *src leaves a
 * non-empty *dst unchanged. src and dst may be the same rectangle. */
void UnionLRect(const PF_LRect *src, PF_LRect *dst);

/* True when (x, y) lies on r's outline, the right and bottom values counted
 * as outline lines too: x is left or right with top <= y <= bottom, or y is
 * top or bottom with left <= x <= right. */
bool IsEdgePixel(PF_LRect *r, A_long x, A_long y);

#if defined(__GNUC__) && !defined(_WIN32)
#pragma GCC visibility pop
#endif

#endif
