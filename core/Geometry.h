// Rectangles of the layer's coordinate space, shared by the files, the
// size limits and the array front end.
#ifndef VEILSHADOW_GEOMETRY_H
#define VEILSHADOW_GEOMETRY_H

#include <PF_Host.h>

namespace veilshadow {

// A rectangle in the layer's coordinates: the origin and the size.
struct Window {
    A_long x = 0;
    A_long y = 0;
    A_long width = 0;
    A_long height = 0;
};

}  // namespace veilshadow

#endif
