// The veilshadow Python module: the effect on numpy arrays, through the
// render host and the plug-in module that sits beside this extension. The
// arguments are checked and described here, with the interpreter's lock
// held; conversions and the render run in ArrayImage without it.
#include "ArrayImage.h"
#include "Errors.h"
#include "JobOptions.h"
#include "OrvaneVersion.h"

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>
#include <pybind11/stl/filesystem.h>

#include <filesystem>
#include <optional>
#include <string>

namespace py = pybind11;

namespace veilshadow {
namespace {

// An argument array with the reference that keeps its memory alive while
// the lock is released. float16 is widened to float32 here, exactly.
struct ArgumentArray {
    py::array array;
    ArrayImage image;
    bool half = false;
};

std::string Repr(const py::handle &value) { return py::repr(value).cast<std::string>(); }

ArgumentArray Describe(const std::string &name, const py::handle &object, Origin origin) {
    if (!py::isinstance<py::array>(object))
        throw ArrayTypeError(FileMessage(
            name, "expected a numpy array, got " + py::type::of(object).attr("__name__").cast<std::string>()));
    ArgumentArray argument;
    argument.array = py::reinterpret_borrow<py::array>(object);
    const py::dtype dtype = argument.array.dtype();
    DtypeDesc described;
    described.kind = dtype.kind();
    described.itemsize = dtype.itemsize();
    described.byteorder = dtype.byteorder();
    described.name = py::str(static_cast<const py::handle &>(dtype)).cast<std::string>();
    ArrayType type = ArrayTypeOf(name, described);
    if (type == ArrayType::kFloat16) {
        argument.array = argument.array.attr("astype")("float32");
        argument.half = true;
        type = ArrayType::kFloat32;
    }
    ArrayDesc desc;
    desc.data = argument.array.data();
    desc.type = type;
    for (py::ssize_t axis = 0; axis < argument.array.ndim(); ++axis) {
        desc.shape.push_back(argument.array.shape(axis));
        desc.strides.push_back(argument.array.strides(axis));
    }
    argument.image = CheckArrayImage(name, desc, origin);
    return argument;
}

// Python's bool or numpy's.
bool IsBool(const py::handle &value) {
    return PyBool_Check(value.ptr()) ||
           (!PyLong_Check(value.ptr()) && py::isinstance(value, py::module_::import("numpy").attr("bool_")));
}

// An integer argument: a Python int, a numpy integer or anything else
// whose __index__ gives one, but not a bool. Its decimal digits as given,
// and its value when it fits 64 bits. A numpy array has __index__ but
// refuses it unless it holds one integer (TypeError): it is then no
// integer, and a 0-d float array is read by its float value.
struct Integer {
    std::string text;
    std::optional<std::int64_t> value;
};

std::optional<Integer> AsInteger(const py::handle &value) {
    if (!PyIndex_Check(value.ptr()) || IsBool(value)) return std::nullopt;
    const py::object index = py::reinterpret_steal<py::object>(PyNumber_Index(value.ptr()));
    if (!index && PyErr_ExceptionMatches(PyExc_TypeError)) {
        PyErr_Clear();
        return std::nullopt;
    }
    if (!index) throw py::error_already_set();
    int overflow = 0;
    const long long v = PyLong_AsLongLongAndOverflow(index.ptr(), &overflow);
    if (v == -1 && PyErr_Occurred() != nullptr) throw py::error_already_set();
    Integer integer{py::str(index).cast<std::string>(), std::nullopt};
    if (overflow == 0) integer.value = v;
    return integer;
}

// The argument `name`_origin: a pair of integers (x, y), as a tuple, a
// list, numpy integers. Beyond 64 bits is beyond the host's coordinates,
// said with the digits as given.
Origin ParseOrigin(const std::string &name, const py::handle &value) {
    const UsageError bad(name + "_origin " + Repr(value) + ": expected two integers (x, y)");
    if (!PySequence_Check(value.ptr()) || py::isinstance<py::str>(value) || py::len(value) != 2) throw bad;
    std::optional<Integer> xy[2];
    for (int i = 0; i < 2; ++i)
        if (!(xy[i] = AsInteger(py::reinterpret_borrow<py::sequence>(value)[i]))) throw bad;
    if (!xy[0]->value || !xy[1]->value) throw OriginBeyondCoordinates(name, xy[0]->text, xy[1]->text);
    return Origin{*xy[0]->value, *xy[1]->value};
}

// None (one per hardware thread) or an integer in the range of the
// program's --threads (0 to 1024).
int Threads(const py::handle &threads) {
    if (threads.is_none()) return CheckThreads(0);
    const std::optional<Integer> count = AsInteger(threads);
    if (!count)
        throw UsageError("threads " + Repr(threads) + ": expected an integer from " +
                         RangeText(FindJobOption("threads")));
    if (!count->value) throw ThreadsOutOfRange(count->text);
    return CheckThreads(*count->value);
}

// A percentage: an integer by its digits (so a huge one is refused as
// written), anything else by its float value; a bool is neither.
PF_Fixed Opacity(const py::handle &opacity) {
    if (const std::optional<Integer> whole = AsInteger(opacity)) return OpacitySlider(whole->text);
    const bool boolean = IsBool(opacity);
    const double percent = boolean ? -1.0 : PyFloat_AsDouble(opacity.ptr());
    if (boolean || (percent == -1.0 && PyErr_Occurred() != nullptr)) {
        PyErr_Clear();
        throw UsageError("opacity " + Repr(opacity) + ": expected a percentage from 0 to 100, such as 50 or 12.5");
    }
    return OpacitySlider(percent);
}

// "straight" or "associated".
bool Alpha(const py::handle &alpha) {
    if (!py::isinstance<py::str>(alpha)) throw UsageError("alpha " + Repr(alpha) + ": expected straight or associated");
    return ParseAssociated(alpha.cast<std::string>());
}

// One render of arrays: with `renderer`, or with a renderer of its own
// (loaded and set down around the frame) when it is null. Everything is
// checked before the plug-in is loaded.
py::object RenderArrays(ArrayRenderer *renderer, const std::string &plugin, int threads, const py::handle &comp,
                        const py::handle &layer, const py::handle &opacity, const py::handle &comp_origin,
                        const py::handle &layer_origin, const py::handle &alpha) {
    const ArgumentArray in = Describe("comp", comp, ParseOrigin("comp", comp_origin));
    const ArgumentArray lay = Describe("layer", layer, ParseOrigin("layer", layer_origin));
    const PF_Fixed slider = Opacity(opacity);
    const bool associated = Alpha(alpha);
    py::array out(in.array.dtype(), {in.image.window.height, in.image.window.width, in.image.channels});
    auto *samples = static_cast<unsigned char *>(out.mutable_data());
    {
        py::gil_scoped_release unlocked;
        if (renderer != nullptr) {
            renderer->Render(in.image, lay.image, slider, associated, samples);
        } else {
            ArrayRenderer own(plugin, threads);
            own.Render(in.image, lay.image, slider, associated, samples);
            own.Close();
        }
    }
    return in.half ? out.attr("astype")("float16") : py::object(out);
}

constexpr const char kRenderDoc[] = R"(Renders the effect: the layer's shadow taken out of comp where the layer
covers it, kept at `opacity` percent (0 to 100).

comp: the layer as it arrives, over its shadow; layer: the layer's own
pixels. Each is a numpy array shaped (height, width, channels) with 1 to 4
channels (gray, gray+alpha, RGB, RGBA), of dtype uint8, uint16 (0-65535),
float16, float32 or float64 (computed in float32); views and
non-contiguous arrays are fine, and neither is modified. comp_origin and
layer_origin place them in the layer's coordinates (x, y), as a file's data
window does. alpha: "straight" or "associated" (colour multiplied by
alpha). Returns a new array of comp's shape and dtype.

TypeError: not an array, or an unsupported dtype. ValueError: a bad shape,
channel count, origin, opacity, alpha or threads. RuntimeError: the plug-in
failed.)";

}  // namespace
}  // namespace veilshadow

PYBIND11_MODULE(_veilshadow, m) {
    using namespace veilshadow;
    namespace fs = std::filesystem;
    m.doc() = "The OrvaneVeilShadow effect on numpy arrays, through the render host and its plug-in module.";
    m.attr("__version__") = VersionText(orvane::kPluginVersion);

    py::register_exception_translator([](std::exception_ptr error) {
        try {
            if (error) std::rethrow_exception(error);
        } catch (const ArrayTypeError &e) {
            PyErr_SetString(PyExc_TypeError, e.what());
        } catch (const UsageError &e) {
            PyErr_SetString(PyExc_ValueError, e.what());
        } catch (const RunError &e) {
            PyErr_SetString(PyExc_RuntimeError, e.what());
        }
    });

    // Where the extension was loaded from, taken once: the working folder
    // may change later.
    static const std::string default_plugin = DefaultPluginOfThisModule();
    const auto plugin_path = [](const std::optional<fs::path> &plugin) {
        return plugin ? plugin->string() : default_plugin;
    };

    m.def(
        "render",
        [plugin_path](const py::handle &comp, const py::handle &layer, const py::handle &opacity,
                      const py::handle &comp_origin, const py::handle &layer_origin, const py::handle &alpha,
                      const py::handle &threads) {
            return RenderArrays(nullptr, plugin_path(std::nullopt), Threads(threads), comp, layer, opacity, comp_origin,
                                layer_origin, alpha);
        },
        kRenderDoc, py::arg("comp"), py::arg("layer"), py::arg("opacity") = 0.0, py::kw_only(),
        py::arg("comp_origin") = py::make_tuple(0, 0), py::arg("layer_origin") = py::make_tuple(0, 0),
        py::arg("alpha") = "straight", py::arg("threads") = py::none());

    py::class_<ArrayRenderer>(m, "Renderer",
                              "The plug-in loaded once for many frames. Renderer(plugin=None, threads=None): "
                              "plugin is the module's path (default: the one beside this extension, else the "
                              "installed one), threads the render threads (default: one per hardware thread). "
                              "close(), or leaving a with block, sends the host's setdown.")
        .def(py::init([plugin_path](const std::optional<fs::path> &plugin, const py::handle &threads) {
                 const std::string path = plugin_path(plugin);
                 const int count = Threads(threads);
                 py::gil_scoped_release unlocked;
                 return std::make_unique<ArrayRenderer>(path, count);
             }),
             py::arg("plugin") = py::none(), py::arg("threads") = py::none())
        .def(
            "render",
            [](ArrayRenderer &renderer, const py::handle &comp, const py::handle &layer, const py::handle &opacity,
               const py::handle &comp_origin, const py::handle &layer_origin, const py::handle &alpha) {
                return RenderArrays(&renderer, {}, 0, comp, layer, opacity, comp_origin, layer_origin, alpha);
            },
            kRenderDoc, py::arg("comp"), py::arg("layer"), py::arg("opacity") = 0.0, py::kw_only(),
            py::arg("comp_origin") = py::make_tuple(0, 0), py::arg("layer_origin") = py::make_tuple(0, 0),
            py::arg("alpha") = "straight")
        .def(
            "close",
            [](ArrayRenderer &renderer) {
                py::gil_scoped_release unlocked;
                renderer.Close();
            },
            "Sends the host's global setdown and unloads the plug-in; later calls do nothing.")
        .def("__enter__", [](py::object self) { return self; })
        .def("__exit__",
             [](ArrayRenderer &renderer, const py::args &) {
                 py::gil_scoped_release unlocked;
                 renderer.Close();
             })
        .def_property_readonly("closed", &ArrayRenderer::closed)
        .def_property_readonly("plugin_path", &ArrayRenderer::plugin_path)
        .def_property_readonly(
            "plugin_version", [](const ArrayRenderer &renderer) { return VersionText(renderer.plugin_version()); },
            "The version the plug-in gave in its global setup, major.minor.bug.");
}
