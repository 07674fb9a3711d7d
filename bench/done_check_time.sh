#!/bin/bash
# The time --resume takes to find every frame of a long sequence done: the
# whole-shot check of the files, then, for each frame, the headers of COMP
# and LAYER held to the first frame's shape and OUT read as a whole file
# of what the render writes (no pixels are decoded). Prints
#   done_check frames N seconds S ms_per_frame M
# for a run over N frames that are all written (the program's start-up
# included; run it twice to see the figure with a warm cache).
# Usage: bench/done_check_time.sh VEILSHADOW [FRAMES] [IMAGE]
set -euo pipefail
veilshadow=${1:?usage: $0 VEILSHADOW [FRAMES] [IMAGE]}
frames=${2:-2400}
image=${3:-$(dirname "$0")/../fuzz/corpus/image_fuzzer/rgb_half.exr}
dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT
cp "$image" "$dir/comp.exr"
cp "$image" "$dir/layer.exr"
for ((f = 1; f <= frames; f++)); do
  printf -v n '%04d' "$f"
  ln "$dir/comp.exr" "$dir/comp.$n.exr"
  ln "$dir/layer.exr" "$dir/layer.$n.exr"
done
"$veilshadow" -q -i "$dir/comp.####.exr" -l "$dir/layer.####.exr" -o "$dir/out.####.exr" --frames 1
for ((f = 2; f <= frames; f++)); do
  printf -v n '%04d' "$f"
  cp "$dir/out.0001.exr" "$dir/out.$n.exr"
done
args=(-q -i "$dir/comp.####.exr" -l "$dir/layer.####.exr" -o "$dir/out.####.exr" --frames "1-$frames" --resume)
"$veilshadow" "${args[@]}" # warms the cache
start=$(date +%s.%N)
"$veilshadow" "${args[@]}"
end=$(date +%s.%N)
awk -v n="$frames" -v s="$start" -v e="$end" \
  'BEGIN { printf "done_check frames %d seconds %.3f ms_per_frame %.3f\n", n, e - s, (e - s) * 1000 / n }'
