"""same_pixels.py A B: exit 0 when image files A and B hold the same samples,
bit for bit, in the same type, channels and data and display windows (their
time stamps aside); otherwise say how they differ and exit 1."""
import sys

import numpy as np
import OpenImageIO as oiio


def stored(path):
    config = oiio.ImageSpec()
    config.attribute("oiio:UnassociatedAlpha", 1)
    image = oiio.ImageInput.open(path, config)
    if image is None:
        sys.exit(f"{path}: {oiio.geterror()}")
    spec = image.spec()
    pixels = np.ascontiguousarray(image.read_image(spec.format))
    image.close()
    layout = (str(spec.format), tuple(spec.channelnames), spec.x, spec.y, spec.width, spec.height, spec.full_x,
              spec.full_y, spec.full_width, spec.full_height)
    return layout, pixels.view(np.uint8)


(layout_a, bytes_a), (layout_b, bytes_b) = stored(sys.argv[1]), stored(sys.argv[2])
if layout_a != layout_b:
    sys.exit(f"{sys.argv[1]} is {layout_a}, {sys.argv[2]} is {layout_b}")
if not np.array_equal(bytes_a, bytes_b):
    sys.exit(f"{sys.argv[1]} and {sys.argv[2]} differ in {np.count_nonzero(bytes_a != bytes_b)} bytes of samples")
