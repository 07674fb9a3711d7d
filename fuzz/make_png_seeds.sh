#!/bin/sh
# Writes the seed corpus of png_fuzzer: small PNG files of every colour
# type the codec decodes (gray, gray+alpha, RGB, RGBA) at 8 and 16 bits,
# noise and smooth content, one a single column. Needs oiiotool
# (openimageio-tools).
#
#   fuzz/make_png_seeds.sh fuzz/corpus/png_fuzzer
set -eu
out=${1:?usage: make_png_seeds.sh FOLDER}
mkdir -p "$out"
o() { oiiotool --nosoftwareattrib "$@"; }
noise() { # SEED SIZE CHANNELS
    echo "--pattern noise:type=uniform:min=0:max=1:seed=$1 $2 $3"
}
o $(noise 1 9x7 1) -d uint8 -o "$out/gray8.png"
o $(noise 2 7x5 1) -d uint16 -o "$out/gray16.png"
o $(noise 3 8x6 2) --chnames Y,A -d uint8 -o "$out/gray_alpha8.png"
o $(noise 4 5x4 2) --chnames Y,A -d uint16 -o "$out/gray_alpha16.png"
o $(noise 5 11x6 3) -d uint8 -o "$out/rgb8.png"
o $(noise 6 6x5 3) -d uint16 -o "$out/rgb16.png"
o $(noise 7 12x9 4) -d uint8 -o "$out/rgba8.png"
o $(noise 8 9x7 4) -d uint16 -o "$out/rgba16.png"
o --pattern fill:top=0,0.2,0.4,1:bottom=1,0.5,0,0.5 16x16 4 -d uint8 -o "$out/rgba8_smooth.png"
o --pattern fill:left=0,0.2,0.4:right=1,0.5,0 1x9 3 -d uint16 -o "$out/rgb16_one_column.png"
