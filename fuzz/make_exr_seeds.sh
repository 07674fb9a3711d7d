#!/bin/sh
# Writes the seed corpus of exr_fuzzer: small scanline OpenEXR files with
# ZIP, ZIPS and no compression, half, float and mixed samples, RGBA, RGB,
# Y and YA channels, chunks that deflate and chunks stored as they are,
# data windows off the origin. Needs oiiotool (openimageio-tools).
#
#   fuzz/make_exr_seeds.sh fuzz/corpus/exr_fuzzer
set -eu
out=${1:?usage: make_exr_seeds.sh FOLDER}
mkdir -p "$out"
o() { oiiotool --nosoftwareattrib "$@"; }
smooth() { # SIZE CHANNELS
    echo "--pattern fill:topleft=0,0.2,0.4,1:bottomright=1,0.6,0.2,0.5 $1 4 --ch $2"
}
noise() { # SIZE CHANNELS SEED
    echo "--pattern noise:type=uniform:min=0:max=1:seed=$3 $1 $2"
}
o $(smooth 20x37 R,G,B,A) -d half --compression zip -o "$out/rgba_half_zip.exr"
o $(smooth 13x9 R,G,B,A) -d float --compression zips -o "$out/rgba_float_zips.exr"
o $(smooth 9x18 R,G,B) -d half --compression zips -o "$out/rgb_half_zips.exr"
o $(smooth 11x17 R,G,B) -d float --compression zip -o "$out/rgb_float_zip.exr"
o $(noise 8x20 3 1) --chnames R,G,B -d half --compression zip -o "$out/rgb_half_zip_noise.exr"
o $(smooth 10x5 R) --chnames Y -d half --compression zip -o "$out/y_half_zip.exr"
o $(smooth 7x6 R,A) --chnames Y,A -d float --compression zips -o "$out/ya_float_zips.exr"
o $(smooth 6x4 R,G,B,A) -d half --compression none -o "$out/rgba_half_none.exr"
o $(smooth 12x20 R,G,B,A) -d half -d R=float -d A=float --compression zip -o "$out/rgba_mixed_zip.exr"
o $(noise 9x7 4 2) --chnames R,G,B,A --origin +3-5 --fullsize 16x16+0+0 -d half --compression zips \
    -o "$out/rgba_half_zips_window.exr"
