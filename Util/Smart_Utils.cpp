#include "Smart_Utils.h"

bool IsEmptyRect(const PF_LRect *r) { return r->left >= r->right || r->top >= r->bottom; }

void UnionLRect(const PF_LRect *src, PF_LRect *dst) {
    const PF_LRect s = *src;
    if (IsEmptyRect(dst)) {
        *dst = s;
        return;
    }
    if (IsEmptyRect(&s)) {
        return;
    }
    if (s.left < dst->left) {
        dst->left = s.left;
    }
    if (s.top < dst->top) {
        dst->top = s.top;
    }
    if (s.right > dst->right) {
        dst->right = s.right;
    }
    if (s.bottom > dst->bottom) {
        dst->bottom = s.bottom;
    }
}

bool IsEdgePixel(PF_LRect *r, A_long x, A_long y) {
    if (x == r->left || x == r->right) {
        return r->top <= y && y <= r->bottom;
    }
    if (y == r->top || y == r->bottom) {
        return r->left <= x && x <= r->right;
    }
    return false;
}
