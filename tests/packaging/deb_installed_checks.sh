#!/usr/bin/env bash
# Run by deb_package_test.sh with the package installed and the source and
# build tree hidden, in a clean environment, in an empty folder of its own,
# with a stand-in sbatch first on PATH.
#   deb_installed_checks.sh BUILD_TREE_PROGRAM MULTIARCH
set -euo pipefail
build_program=$1 multiarch=$2
same_pixels() { /usr/bin/python3 "$(dirname "$0")/same_pixels.py" "$@"; }
fail() {
  echo "FAIL (installed): $*" >&2
  exit 1
}
plugin=/usr/lib/$multiarch/veilshadow/OrvaneVeilShadow.so
[[ ! -e $build_program ]] || fail "the build tree is still in sight: $build_program"
[[ $(command -v veilshadow) == /usr/bin/veilshadow ]] || fail "veilshadow on PATH is $(command -v veilshadow)"

# The program, with the plug-in it finds by default; --plugin still chooses.
veilshadow demo -o demo --quiet
veilshadow -i demo/input.exr -l demo/layer.exr -o installed.exr --opacity 37.5
(cd demo && veilshadow -i input.exr -l layer.exr -o ../from-demo.exr --opacity 37.5 --quiet)
same_pixels installed.exr from-demo.exr || fail "the program's output depends on the folder it runs in"
message=$(veilshadow -i demo/input.exr -l demo/layer.exr -o never.exr --plugin /nonexistent.so 2>&1) &&
  fail "--plugin /nonexistent.so rendered"
[[ $message == *"/nonexistent.so"* && ! -e never.exr ]] || fail "--plugin /nonexistent.so: $message"

# The Python module: imported without PYTHONPATH, the same plug-in, the
# program's bits.
/usr/bin/python3 - "$plugin" <<'PYTHON'
import sys

import numpy as np
import OpenImageIO as oiio

import veilshadow


def read(path):
    config = oiio.ImageSpec()
    config.attribute("oiio:UnassociatedAlpha", 1)
    image = oiio.ImageInput.open(path, config)
    spec = image.spec()
    pixels = image.read_image(spec.format)
    image.close()
    return pixels, (spec.x, spec.y)


assert veilshadow.__file__ == "/usr/lib/python3/dist-packages/veilshadow/__init__.py", veilshadow.__file__
with veilshadow.Renderer() as renderer:
    assert renderer.plugin_path == sys.argv[1], renderer.plugin_path
comp, comp_origin = read("demo/input.exr")
layer, layer_origin = read("demo/layer.exr")
expected, _ = read("installed.exr")
result = veilshadow.render(comp, layer, 37.5, comp_origin=comp_origin, layer_origin=layer_origin, alpha="associated")
assert result.dtype == expected.dtype and result.shape == expected.shape, (result.shape, expected.shape)
assert np.array_equal(result.view(np.uint8), np.ascontiguousarray(expected).view(np.uint8)), "pixels differ"
assert not np.array_equal(result, comp)
print(f"python3: veilshadow {veilshadow.__version__} from {veilshadow.__file__}, plug-in {sys.argv[1]}: "
      f"{result.shape[1]}x{result.shape[0]} {result.dtype} frame, the program's bits")
PYTHON

# The man page, made from --help: it shows every option the help shows.
[[ $(man -w veilshadow) == /usr/share/man/man1/veilshadow.1.gz ]] || fail "man -w veilshadow: $(man -w veilshadow)"
page=$(MANPAGER=cat MANWIDTH=100 man veilshadow 2>&1)
for option in $(veilshadow --help | grep -o -- '--[a-z-]*' | sort -u) $(veilshadow farm slurm --help |
  grep -o -- '--[a-z-]*' | sort -u); do
  [[ $page == *"$option"* ]] || fail "man veilshadow leaves out $option"
done
[[ $page == *"FARM SLURM"* ]] || fail "man veilshadow has no FARM SLURM section"

# Bash completion, loaded as bash-completion loads it: by the command's name.
# words (the last one is being completed) -> what is offered
completion_cases=(
  "veilshadow --op|--opacity"
  "veilshadow |demo farm"
  "veilshadow farm |slurm"
  "veilshadow farm slurm --ch|--chunk"
  "veilshadow farm slurm --keep|--keep-going"
  "veilshadow --alpha s|straight"
  "veilshadow -o demo --ch|"
)
for entry in "${completion_cases[@]}"; do
  words=${entry%%|*} want=${entry#*|}
  got=$(bash -c 'source /usr/share/bash-completion/bash_completion
    _completion_loader veilshadow  # returns 124 when it has loaded something
    [[ $(complete -p veilshadow) == "complete -F _veilshadow veilshadow" ]] || exit 1
    COMP_LINE=$1 COMP_POINT=${#1}
    read -ra COMP_WORDS <<<"$1"
    [[ $1 != *" " ]] || COMP_WORDS+=("")
    COMP_CWORD=$((${#COMP_WORDS[@]} - 1))
    _veilshadow; echo "${COMPREPLY[*]}"' - "$words") || fail "bash-completion does not load veilshadow's completion"
  [[ $got == "$want" ]] || fail "completing \"$words\" offers \"$got\", not \"$want\""
done

# farm slurm: the job script calls the installed program, and renders.
mkdir frames
for frame in 1 2; do cp demo/input.exr "frames/comp.000$frame.exr"; done
veilshadow farm slurm -i frames/comp.#.exr -l demo/layer.exr -o frames/out.#.exr --frames 1-2 --opacity 37.5 --quiet
script=$(tail -n 1 "$HOME/bin/sbatch.args")
[[ $script == "$PWD/frames/veilshadow-farm/out.exr-"*.sbatch ]] || fail "sbatch was given $script"
command=$(grep '^exec ' "$script")
[[ $command == "exec /usr/bin/veilshadow "* ]] || fail "the job script runs: $command"
SLURM_ARRAY_TASK_ID=0 bash "$script"
for frame in 1 2; do same_pixels installed.exr "frames/out.000$frame.exr" || fail "the job's frame $frame differs"; done
echo "farm slurm: the job script runs /usr/bin/veilshadow and renders the program's bits"
echo "installed: program, Python module, man page, completion and farm script work without the build tree"
