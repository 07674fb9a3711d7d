"""The veilshadow module: the program's pixels to the last bit, arguments
checked with the program's words, views, threads, and the plug-in's
lifecycle behind Renderer."""
import os
import subprocess
import sys
import threading

import numpy as np
import OpenImageIO as oiio
import pytest

import veilshadow

PROGRAM = os.environ["VEILSHADOW_PROGRAM"]
FAILING_PLUGIN = os.environ["VEILSHADOW_FAILING_PLUGIN"]


def random_image(rng, height, width, channels, dtype):
    """Random pixels whose alpha is a quarter each 0 and full scale."""
    dtype = np.dtype(dtype)
    if dtype.kind == "u":
        top = np.iinfo(dtype).max
        image = rng.integers(0, top, (height, width, channels), endpoint=True).astype(dtype)
    else:
        top = 1.0
        image = rng.random((height, width, channels)).astype(dtype)
    if channels in (2, 4):
        coin = rng.integers(0, 4, (height, width))
        image[..., -1][coin == 0] = 0
        image[..., -1][coin == 1] = top
    return image


def bits(array):
    array = np.ascontiguousarray(array)
    return array.view(f"u{array.itemsize}") if array.dtype.kind == "f" else array


def assert_same_bits(actual, expected):
    assert actual.dtype == expected.dtype and actual.shape == expected.shape
    np.testing.assert_array_equal(bits(actual), bits(expected))


FILE_TYPES = {np.uint8: oiio.UINT8, np.uint16: oiio.UINT16, np.float16: oiio.HALF, np.float32: oiio.FLOAT}
CHANNEL_NAMES = {1: ("Y",), 2: ("Y", "A"), 3: ("R", "G", "B"), 4: ("R", "G", "B", "A")}


def write(path, pixels, origin, alpha):
    height, width, channels = pixels.shape
    spec = oiio.ImageSpec(width, height, channels, FILE_TYPES[pixels.dtype.type])
    spec.x, spec.y = origin
    spec.full_x, spec.full_y, spec.full_width, spec.full_height = 0, 0, 64, 48
    spec.channelnames = CHANNEL_NAMES[channels]
    spec.alpha_channel = channels - 1 if channels in (2, 4) else -1
    if alpha == "straight":
        spec.attribute("oiio:UnassociatedAlpha", 1)
    out = oiio.ImageOutput.create(str(path))
    assert out.open(str(path), spec) and out.write_image(pixels) and out.close(), out.geterror()


def read(path):
    """The file's samples as they are stored, and its data window's origin."""
    config = oiio.ImageSpec()
    config.attribute("oiio:UnassociatedAlpha", 1)
    image = oiio.ImageInput.open(str(path), config)
    spec = image.spec()
    pixels = image.read_image(spec.format)
    image.close()
    return pixels, (spec.x, spec.y)


# comp dtype, layer dtype, file type, alpha, comp and layer channels, origins.
# TIFF keeps no negative origins; the layer reaches past comp's window.
PROGRAM_CASES = [
    (np.uint8, np.uint8, "tif", "straight", 4, 4, (3, 2), (10, 0)),
    (np.uint16, np.uint16, "tif", "associated", 3, 2, (0, 6), (5, 1)),
    (np.uint16, np.uint8, "tif", "straight", 2, 4, (4, 0), (0, 3)),
    (np.float16, np.float16, "exr", "associated", 4, 4, (-7, 5), (2, -3)),
    (np.float32, np.float32, "exr", "associated", 4, 3, (-7, 5), (2, -3)),
    (np.float32, np.float32, "exr", "straight", 1, 4, (4, -6), (-3, 2)),
]


@pytest.mark.parametrize("comp_dtype, layer_dtype, ext, alpha, comp_channels, layer_channels, comp_origin, "
                         "layer_origin", PROGRAM_CASES)
def test_same_bits_as_the_program(tmp_path, comp_dtype, layer_dtype, ext, alpha, comp_channels, layer_channels,
                                  comp_origin, layer_origin):
    rng = np.random.default_rng(comp_channels * 10 + layer_channels)
    comp = random_image(rng, 23, 37, comp_channels, comp_dtype)
    layer = random_image(rng, 31, 29, layer_channels, layer_dtype)
    paths = {name: str(tmp_path / f"{name}.{ext}") for name in ("comp", "layer", "out")}
    write(paths["comp"], comp, comp_origin, alpha)
    write(paths["layer"], layer, layer_origin, alpha)
    subprocess.run([PROGRAM, "-i", paths["comp"], "-l", paths["layer"], "-o", paths["out"], "--opacity", "12.345",
                    "--alpha", alpha, "--quiet"], check=True)
    expected, origin = read(paths["out"])
    assert origin == comp_origin

    result = veilshadow.render(comp, layer, 12.345, comp_origin=comp_origin, layer_origin=layer_origin, alpha=alpha)
    # The program writes RGBA; gray is its red channel, RGB its first three.
    kept = {1: [0], 2: [0, 3], 3: [0, 1, 2], 4: [0, 1, 2, 3]}[comp_channels]
    assert_same_bits(result, expected[..., kept])
    assert not np.array_equal(result, comp)  # the effect did something


COMP = random_image(np.random.default_rng(1), 12, 16, 4, np.float32)
LAYER = random_image(np.random.default_rng(2), 12, 16, 4, np.float32)

VIEWS = {
    "rows reversed": lambda a: a[::-1],
    "every other column": lambda a: a[:, ::2],
    "channels reversed": lambda a: a[:, :, ::-1],
    "transposed": lambda a: a.transpose(1, 0, 2),
    "Fortran order": np.asfortranarray,
    "channels of a wider array": lambda a: np.concatenate([a, a[..., :2]], axis=2)[..., 1:5],
    "one row broadcast": lambda a: np.broadcast_to(a[:1], a.shape),
}


@pytest.mark.parametrize("dtype", [np.uint8, np.uint16, np.float16, np.float32, np.float64])
def test_views_render_as_their_copies_and_stay_unchanged(dtype):
    rng = np.random.default_rng(3)
    comp, layer = (random_image(rng, 12, 16, 4, dtype) for _ in range(2))
    for name, view in VIEWS.items():
        comp_view, layer_view = view(comp), view(layer)
        before = comp_view.copy(), layer_view.copy()
        result = veilshadow.render(comp_view, layer_view, 25, layer_origin=(1, -1))
        expected = veilshadow.render(np.ascontiguousarray(comp_view), np.ascontiguousarray(layer_view), 25,
                                     layer_origin=(1, -1))
        assert_same_bits(result, expected)
        assert result.flags.c_contiguous and result.flags.writeable, name
        assert_same_bits(comp_view, before[0])
        assert_same_bits(layer_view, before[1])


def test_float64_is_computed_in_float32():
    # Nudged by less than half a float32 step: the same frame once rounded.
    nudged = [image.astype(np.float64) * (1 + 2.0**-30) for image in (COMP, LAYER)]
    result = veilshadow.render(*nudged, 12.34)
    assert result.dtype == np.float64
    np.testing.assert_array_equal(result, veilshadow.render(COMP, LAYER, 12.34).astype(np.float64))


HUGE_8BIT = np.broadcast_to(np.zeros((1, 1, 4), np.uint8), (1 << 16, 1 << 15, 4))
HUGE_FLOAT = np.broadcast_to(np.zeros((1, 1, 4), np.float32), (1 << 14, (1 << 14) + 1, 4))

# Arguments replaced in render(COMP, LAYER), the exception, its message.
ERRORS = [
    ({"comp": [[[0.0]]]}, TypeError, "comp: expected a numpy array, got list"),
    ({"layer": LAYER.astype(np.int32)}, TypeError, "layer: unsupported dtype int32 (veilshadow reads uint8, uint16,"),
    ({"comp": COMP.astype(">f4")}, TypeError, "comp: unsupported dtype >f4"),
    ({"comp": COMP.astype(bool)}, TypeError, "comp: unsupported dtype bool"),
    ({"comp": COMP[..., 0]}, ValueError, "comp: expected an array shaped (height, width, channels), got shape (12, 16)"),
    ({"layer": np.zeros((4, 5, 5), np.uint8)}, ValueError,
     "layer: unsupported channels: found 5; veilshadow reads gray, gray+alpha, RGB and RGBA"),
    ({"comp": COMP[:0]}, ValueError, "comp: has no pixels (data window 16 x 0)"),
    ({"comp": HUGE_8BIT}, ValueError, "comp: 32768 x 65536 pixels do not fit the host's 32-bit pixel addressing"),
    ({"layer": HUGE_FLOAT}, ValueError, "pixels take 4.0 GiB, more than the 4.0 GiB the host lends one image"),
    ({"comp_origin": (1, 2, 3)}, ValueError, "comp_origin (1, 2, 3): expected two integers (x, y)"),
    ({"layer_origin": (0.5, 0)}, ValueError, "layer_origin (0.5, 0): expected two integers (x, y)"),
    ({"layer_origin": (0, -(2**31) - 1)}, ValueError, "layer_origin (0, -2147483649): beyond the host's 32-bit"),
    ({"comp_origin": (2**70, 0)}, ValueError, "comp_origin (1180591620717411303424, 0): beyond the host's 32-bit"),
    ({"layer_origin": (np.int64(5), -(2**70))}, ValueError, "layer_origin (5, -1180591620717411303424): beyond the"),
    ({"comp_origin": (np.True_, 0)}, ValueError, "comp_origin (True, 0): expected two integers (x, y)"),
    ({"comp_origin": (2**31 - 10, 0)}, ValueError,
     "comp: its data window (16 x 12 at 2147483638, 0) reaches beyond the host's 32-bit coordinates"),
    ({"opacity": 100.5}, ValueError, 'opacity "100.5": expected a percentage from 0 to 100, such as 50 or 12.5'),
    ({"opacity": -1}, ValueError, 'opacity "-1": expected a percentage'),
    ({"opacity": float("nan")}, ValueError, 'opacity "nan": expected a percentage'),
    ({"opacity": 10**30}, ValueError, 'opacity "1000000000000000000000000000000": expected a percentage'),
    ({"opacity": None}, ValueError, "opacity None: expected a percentage from 0 to 100"),
    ({"alpha": 1}, ValueError, "alpha 1: expected straight or associated"),
    ({"alpha": "auto"}, ValueError, 'alpha "auto": expected straight or associated'),
    ({"threads": 1025}, ValueError, "threads: Value 1025 not in range 0 to 1024"),
    ({"threads": 2**70}, ValueError, "threads: Value 1180591620717411303424 not in range 0 to 1024"),
    ({"threads": np.uint64(2**64 - 1)}, ValueError, "threads: Value 18446744073709551615 not in range 0 to 1024"),
    ({"threads": 2.5}, ValueError, "threads 2.5: expected an integer from 0 to 1024"),
]


@pytest.mark.parametrize("arguments, error, message", ERRORS)
def test_bad_arguments_raise_with_the_programs_words(arguments, error, message):
    with pytest.raises(error) as raised:
        veilshadow.render(**{"comp": COMP, "layer": LAYER, **arguments})
    assert message in str(raised.value) and "array(" not in str(raised.value)


def test_numpy_scalars_and_0d_arrays_are_their_values():
    expected = veilshadow.render(COMP, LAYER, 50, threads=2)
    for opacity in (np.array(50.0), np.array(50), np.float32(50.0), np.array(50.0, np.float16)):
        assert_same_bits(veilshadow.render(COMP, LAYER, opacity, threads=np.array(2)), expected)
    with pytest.raises(ValueError, match="expected an integer from 0 to 1024"):
        veilshadow.render(COMP, LAYER, threads=np.array(2.0))


def test_renderer_keeps_the_plugin_for_frames_and_closes():
    with veilshadow.Renderer(threads=2) as renderer:
        assert renderer.plugin_version == veilshadow.__version__
        assert os.path.dirname(renderer.plugin_path) == os.path.dirname(veilshadow.__file__)
        first = renderer.render(COMP, LAYER, 50, comp_origin=(2, 1))
        assert_same_bits(renderer.render(COMP, LAYER, 50, comp_origin=(2, 1)), first)
        assert_same_bits(veilshadow.render(COMP, LAYER, 50, comp_origin=(2, 1), threads=1), first)
        assert not renderer.closed
    assert renderer.closed
    with pytest.raises(ValueError, match="the Renderer is closed"):
        renderer.render(COMP, LAYER)


def test_plugin_failures_are_runtime_errors_and_close_sends_the_setdown(tmp_path):
    renderer = veilshadow.Renderer(plugin=FAILING_PLUGIN, threads=1)
    assert renderer.plugin_version == "2.3.4"
    with pytest.raises(RuntimeError) as raised:
        renderer.render(COMP, LAYER)
    assert str(raised.value) == "comp: the plug-in's pre-render failed: out of memory (no memory for the shadow)"
    with pytest.raises(RuntimeError) as raised:
        renderer.close()
    assert str(raised.value) == (FAILING_PLUGIN + ": the plug-in's global setdown failed: out of memory "
                                 "(setdown refused)")
    assert renderer.closed
    renderer.close()  # sent once only
    with pytest.raises(RuntimeError, match="setdown refused"):
        with veilshadow.Renderer(plugin=FAILING_PLUGIN):
            pass
    with pytest.raises(RuntimeError, match="no_such_module.so"):
        veilshadow.Renderer(plugin=tmp_path / "no_such_module.so")


def test_two_renderers_render_at_once_from_two_threads():
    rng = np.random.default_rng(4)
    frames = [(random_image(rng, 96, 128, 4, np.uint16), random_image(rng, 96, 128, 4, np.uint16)) for _ in range(6)]
    expected = [veilshadow.render(comp, layer, 30) for comp, layer in frames]
    start = threading.Barrier(2)
    results = {}

    def work(name):
        with veilshadow.Renderer(threads=2) as renderer:
            start.wait()
            results[name] = [renderer.render(comp, layer, 30) for comp, layer in frames]

    workers = [threading.Thread(target=work, args=(name,)) for name in ("a", "b")]
    for worker in workers:
        worker.start()
    for worker in workers:
        worker.join()
    assert sorted(results) == ["a", "b"]
    for name in results:
        for actual, wanted in zip(results[name], expected):
            assert_same_bits(actual, wanted)


def test_other_threads_run_while_a_frame_renders(tmp_path, monkeypatch):
    # The plug-in waits inside its pre-render until this thread answers,
    # which it can only do if the render let go of the interpreter.
    handshake = tmp_path / "handshake"
    monkeypatch.setenv("VEILSHADOW_TEST_HANDSHAKE", str(handshake))
    renderer = veilshadow.Renderer(plugin=FAILING_PLUGIN, threads=1)
    errors = []

    def render():
        try:
            renderer.render(COMP, LAYER)
        except RuntimeError as error:
            errors.append(str(error))

    worker = threading.Thread(target=render)
    worker.start()
    while not handshake.with_suffix(".waiting").exists() and worker.is_alive():
        threading.Event().wait(0.001)
    handshake.with_suffix(".go").touch()
    worker.join()
    assert errors == ["comp: the plug-in's pre-render failed: out of memory (no memory for the shadow)"]
    with pytest.raises(RuntimeError, match="setdown refused"):
        renderer.close()


def test_cmake_install_puts_a_working_package_in_site_packages(tmp_path):
    subprocess.run([os.environ["CMAKE_COMMAND"], "--install", os.environ["VEILSHADOW_BUILD_DIR"]], check=True,
                   capture_output=True, env={**os.environ, "DESTDIR": str(tmp_path)})
    (package,) = tmp_path.rglob("veilshadow/__init__.py")
    site = package.parent.parent
    assert "/" + str(site.relative_to(tmp_path)) in sys.path
    probe = "import veilshadow, numpy\nwith veilshadow.Renderer() as r: print(r.plugin_path)"
    shown = subprocess.run([sys.executable, "-c", probe], check=True, capture_output=True, text=True,
                           env={**os.environ, "PYTHONPATH": str(site)}, cwd=tmp_path)
    assert shown.stdout.strip() == str(package.parent / "OrvaneVeilShadow.so")
