#!/bin/sh
# Writes the seed corpus of image_fuzzer: small PNG, TIFF and OpenEXR files
# of every sample type and channel layout veilshadow reads, with
# transparent, opaque and partly covered pixels, data windows off the
# origin, and the usual compressions. Needs oiiotool (openimageio-tools).
#
#   fuzz/make_image_seeds.sh fuzz/corpus/image_fuzzer
set -eu
out=${1:?usage: make_image_seeds.sh FOLDER}
mkdir -p "$out"
noise() { # SIZE CHANNELS SEED
    echo "--pattern noise:type=uniform:min=0:max=1:seed=$3 $1 $2"
}
# Alpha with holes and solid parts: noise pushed beyond 0..1 and clamped.
alpha() { # SIZE SEED
    echo "--pattern noise:type=uniform:min=-0.5:max=1.5:seed=$2 $1 1 --clamp:min=0:max=1"
}
rgba() { # SIZE SEED
    echo "$(noise "$1" 3 "$2") $(alpha "$1" "$2") --chappend --chnames R,G,B,A"
}
o() { oiiotool --nosoftwareattrib "$@"; }

o $(rgba 12x9 1) -d uint8 -o "$out/rgba8.png"
o $(rgba 9x7 2) -d uint16 -o "$out/rgba16.png"
o $(noise 10x6 1 3) $(alpha 10x6 3) --chappend --chnames Y,A -d uint8 -o "$out/gray_alpha8.png"
o $(noise 8x5 3 4) -d uint8 -o "$out/rgb8.png"
o $(noise 7x7 1 5) -d uint16 -o "$out/gray16.png"

o $(rgba 11x8 6) --attrib oiio:UnassociatedAlpha 1 -d uint8 --compression none -o "$out/rgba8_none.tif"
o $(rgba 10x9 7) --attrib oiio:UnassociatedAlpha 1 -d uint16 --compression lzw -o "$out/rgba16_lzw.tif"
o $(rgba 9x6 8) -d float --compression zip -o "$out/rgba_float_assoc_zip.tif"
o $(rgba 12x10 9) --attrib oiio:UnassociatedAlpha 1 -d uint8 --tile 16 16 --compression zip -o "$out/rgba8_tiled.tif"
o $(noise 6x6 3 10) -d uint16 --compression none -o "$out/rgb16.tif"

o $(rgba 10x8 11) --origin +3+2 --fullsize 16x12+0+0 -d half --compression zip -o "$out/rgba_half_window.exr"
o $(rgba 9x7 12) -d float --compression none -o "$out/rgba_float.exr"
o $(rgba 8x8 13) --origin -2-1 --fullsize 8x8+0+0 -d half --compression piz -o "$out/rgba_half_piz.exr"
o $(rgba 12x6 14) -d half --compression rle --tile 16 16 -o "$out/rgba_half_tiled.exr"
o $(noise 7x5 3 15) -d half --compression zips -o "$out/rgb_half.exr"
