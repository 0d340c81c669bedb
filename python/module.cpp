// img3d._img3d: the library's operations on numpy arrays.
//
// The library works on volume blocks (Image3DAlloc).  Every array this module
// returns is a view of such a block whose base object owns it, so an array
// that comes back is handed to the library as it is; any other array is
// copied into a fresh block first, once.  Where the library takes plain
// voxel memory (the labelling), it runs on the numpy array itself.  Every
// library call and every copy runs with the GIL released.
//
// The Python layer (img3d/__init__.py) checks the integer arguments; this
// file checks the arrays, which it must do anyway before touching memory.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <climits>
#include <cstdint>
#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include "entry.h"
#include "img3d.h"

namespace py = pybind11;

namespace {

// One library block, owned by the arrays that view it (their numpy base).
class Block {
public:
    explicit Block(unsigned char*** volume) : volume(volume) {}
    ~Block() { Image3DFree(volume); }
    Block(const Block&) = delete;
    Block& operator=(const Block&) = delete;

    unsigned char* voxels() const { return volume[0][0]; }

    unsigned char*** const volume;
};

struct Extent {
    int width, height, depth;
    std::size_t voxels() const {
        return static_cast<std::size_t>(width) * static_cast<std::size_t>(height) * static_cast<std::size_t>(depth);
    }
};

[[noreturn]] void value_error(const std::string& message) { throw py::value_error(message); }

std::string shape_text(const py::array& a) {
    std::string text = "(";
    for (py::ssize_t i = 0; i < a.ndim(); ++i) text += (i ? ", " : "") + std::to_string(a.shape(i));
    return text + (a.ndim() == 1 ? ",)" : ")");
}

bool is_bool(const py::array& a) { return a.dtype().kind() == 'b'; }

// The dimensions of a block with this many slices, rows and columns; refuses
// what no block can hold (Image3DAlloc's limit: the whole block, tables
// included, within 2^31 - 1 bytes).
Extent extent_of(py::ssize_t depth, py::ssize_t height, py::ssize_t width, const char* name) {
    if (depth < 1 || height < 1 || width < 1)
        value_error(std::string(name) + " must have at least one voxel along each axis");
    const double pointer = sizeof(void*);
    const double bytes = static_cast<double>(depth) * pointer * (1.0 + static_cast<double>(height)) + 12.0 +
                         static_cast<double>(depth) * static_cast<double>(height) * static_cast<double>(width);
    if (bytes > INT_MAX)
        value_error(std::string(name) + " is too large: a volume holds at most 2^31 - 1 bytes with its tables");
    return {static_cast<int>(width), static_cast<int>(height), static_cast<int>(depth)};
}

// The checks every volume argument passes: a 3D array [z, y, x] of uint8, or
// of bool where the caller takes a mask.
Extent checked_volume(const py::array& a, const char* name, bool mask) {
    const char kind = a.dtype().kind();
    const bool ok = a.itemsize() == 1 && (kind == 'u' || (mask && kind == 'b'));
    if (!ok) {
        throw py::type_error(std::string(name) + " must be a uint8" + (mask ? " or bool" : "") + " array, not " +
                             py::str(a.dtype()).cast<std::string>());
    }
    if (a.ndim() != 3)
        value_error(std::string(name) + " must be 3-dimensional, indexed [z, y, x]; its shape is " + shape_text(a));
    return extent_of(a.shape(0), a.shape(1), a.shape(2), name);
}

bool c_contiguous(const py::array& a) { return (a.flags() & py::array::c_style) != 0; }

// A new zero-filled block, owned by the returned Block object.
py::object new_block(const Extent& e) {
    unsigned char*** volume = nullptr;
    {
        py::gil_scoped_release unlocked;
        volume = Image3DAlloc(e.width, e.height, e.depth);
    }
    if (!volume)
        img3d_python::out_of_memory(e.voxels() + static_cast<std::size_t>(e.depth) * (e.height + 1u) * sizeof(void*));
    return py::cast(new Block(volume), py::return_value_policy::take_ownership);
}

// The block's voxels as a C-contiguous [z, y, x] array that keeps it alive.
py::array view_of(const py::object& block, bool as_bool) {
    const Block& b = block.cast<const Block&>();
    const Extent e{Image3DGetWidth(b.volume), Image3DGetHeight(b.volume), Image3DGetDepth(b.volume)};
    const std::vector<py::ssize_t> shape{e.depth, e.height, e.width};
    const std::vector<py::ssize_t> strides{static_cast<py::ssize_t>(e.height) * e.width, e.width, 1};
    return py::array(as_bool ? py::dtype("bool") : py::dtype("uint8"), shape, strides, b.voxels(), block);
}

// The block an array views, when it views one whole block with the block's
// own geometry; null otherwise.  numpy does not always collapse a view's base
// to the owner, so the chain of arrays is followed.
unsigned char*** resident_volume(const py::array& a) {
    py::handle base = a.base();
    while (base && py::isinstance<py::array>(base)) base = py::reinterpret_borrow<py::array>(base).base();
    if (!base || !py::isinstance<Block>(base)) return nullptr;
    const Block& b = base.cast<const Block&>();
    if (a.ndim() != 3 || a.itemsize() != 1 || !c_contiguous(a) || a.data() != b.voxels()) return nullptr;
    if (a.shape(0) != Image3DGetDepth(b.volume) || a.shape(1) != Image3DGetHeight(b.volume) ||
        a.shape(2) != Image3DGetWidth(b.volume))
        return nullptr;
    return b.volume;
}

// Copies a checked array into a block of its extent, whatever its strides.
void copy_into(const py::object& block, const py::array& a) {
    if (c_contiguous(a)) {
        const Block& b = block.cast<const Block&>();
        const void* from = a.data();
        const std::size_t bytes = static_cast<std::size_t>(a.size());
        py::gil_scoped_release unlocked;
        std::memcpy(b.voxels(), from, bytes);
    } else {
        // numpy walks any strides and releases the GIL while it copies.
        py::module_::import("numpy").attr("copyto")(view_of(block, is_bool(a)), a);
    }
}

// A volume argument as the library takes it.
struct Source {
    py::object keep;  // what holds the voxels alive during the call
    unsigned char*** volume;
    Extent extent;
};

// The array's own block when it has one; else a copy in a new block.
Source source_of(const py::array& a, bool mask) {
    const Extent e = checked_volume(a, "a", mask);
    if (unsigned char*** volume = resident_volume(a)) return {a, volume, e};
    py::object block = new_block(e);
    copy_into(block, a);
    return {block, block.cast<const Block&>().volume, e};
}

// The volumes of an operation that may write in place: the destination is a
// new block, the source the array's own block or, for any other array, the
// destination itself once the array is copied in (one block, not two).
struct SourceAndResult {
    Source source;
    py::object result;
    unsigned char*** destination;
};

SourceAndResult in_place(const py::array& a) {
    const Extent e = checked_volume(a, "a", true);
    py::object result = new_block(e);
    unsigned char*** destination = result.cast<const Block&>().volume;
    if (unsigned char*** volume = resident_volume(a)) return {{a, volume, e}, result, destination};
    copy_into(result, a);
    return {{result, destination, e}, result, destination};
}

// Whether any voxel of the block holds value: tells "no object" from "out of
// memory" where the library returns -1 for both.
bool holds(unsigned char*** volume, const Extent& e, int value) {
    if (value < 0 || value > 255) return false;
    py::gil_scoped_release unlocked;
    return std::memchr(volume[0][0], value, e.voxels()) != nullptr;
}

void check_run_extent(const Extent& e) {
    // Records hold coordinates in 16 bits.
    if (e.width > IMG3D_MAX_OBJECT_EXTENT || e.height > IMG3D_MAX_OBJECT_EXTENT || e.depth > IMG3D_MAX_OBJECT_EXTENT)
        value_error("a is too large for run-length objects: at most " + std::to_string(IMG3D_MAX_OBJECT_EXTENT) +
                    " voxels along each axis (MAX_OBJECT_EXTENT)");
}

// ---- the bound operations --------------------------------------------------

py::array zeros(py::ssize_t depth, py::ssize_t height, py::ssize_t width, bool as_bool) {
    return view_of(new_block(extent_of(depth, height, width, "shape")), as_bool);
}

bool is_resident(const py::array& a) { return resident_volume(a) != nullptr; }

py::array_t<std::int64_t> histogram(const py::array& a) {
    const Source s = source_of(a, false);
    int counts[256];
    {
        py::gil_scoped_release unlocked;
        Img3DHisto(s.volume, counts);
    }
    py::array_t<std::int64_t> result(256);
    auto out = result.mutable_unchecked<1>();
    for (int i = 0; i < 256; ++i) out(i) = counts[i];
    return result;
}

int mean(const py::array& a) {
    const Source s = source_of(a, false);
    py::gil_scoped_release unlocked;
    return Img3DMean(s.volume);
}

py::tuple limits(const py::array& a) {
    const Source s = source_of(a, false);
    int maximum = 0, minimum = 0;
    {
        py::gil_scoped_release unlocked;
        Img3DLimit(s.volume, &maximum, &minimum);
    }
    return py::make_tuple(minimum, maximum);
}

int otsu_threshold(const py::array& a) {
    const Source s = source_of(a, false);
    py::gil_scoped_release unlocked;
    return Img3DDaJinThreshold(s.volume);
}

int two_mode_threshold(const py::array& a) {
    const Source s = source_of(a, false);
    py::gil_scoped_release unlocked;
    return Img3D2ModeThreshold(s.volume);
}

py::array segment(const py::array& a, int low, int high, int object, int background) {
    const Source s = source_of(a, false);
    py::object block = new_block(s.extent);
    unsigned char*** destination = block.cast<const Block&>().volume;
    const auto inside = static_cast<unsigned char>(object), outside = static_cast<unsigned char>(background);
    {
        py::gil_scoped_release unlocked;
        if (high >= 255)
            Img3DSingleSegment(s.volume, destination, low, inside, outside);
        else
            Img3DDoubleSegment(s.volume, destination, low, high, inside, outside);
    }
    return view_of(block, false);
}

py::array dilate(const py::array& a, int value, int background, int element) {
    const SourceAndResult v = in_place(a);
    int status = 0;
    {
        py::gil_scoped_release unlocked;
        status = Img3DDilatation(v.source.volume, v.destination, value, background, element);
    }
    if (status != 0) throw std::bad_alloc();
    return view_of(v.result, is_bool(a));
}

py::array remove_objects(const py::array& a, int value, int min_volume, int max_volume, int paint) {
    const Source s = source_of(a, true);
    check_run_extent(s.extent);
    const bool any = holds(s.volume, s.extent, value);
    py::object block = new_block(s.extent);
    int status = 0;
    {
        py::gil_scoped_release unlocked;
        status = Img3DDelVolume(s.volume, block.cast<const Block&>().volume, value, paint, min_volume, max_volume);
    }
    // -1 with no voxel of the value leaves an exact copy, which is the result.
    if (status != 0 && any) throw std::bad_alloc();
    return view_of(block, is_bool(a));
}

py::array edge_smooth(const py::array& a, int value, int background, int radius) {
    check_run_extent(checked_volume(a, "a", true));
    const SourceAndResult v = in_place(a);
    // Asked before the call: it returns -1, with the volume as it was, both
    // when there is no object and when memory runs out.
    const bool any = holds(v.source.volume, v.source.extent, value);
    int status = 0;
    {
        py::gil_scoped_release unlocked;
        status = Img3DEdgeSmooth(v.source.volume, v.destination, value, background, radius);
    }
    if (status != 0 && any) throw std::bad_alloc();
    return view_of(v.result, is_bool(a));
}

// Releases an object list on every path out.
struct ObjectList {
    RunLength3D** list = nullptr;
    int count = 0;
    ~ObjectList() { FreeRunLength3D(count, list); }
};

py::list runs(const py::array& a, int value) {
    const Extent e = checked_volume(a, "a", true);
    check_run_extent(e);
    // The extraction paints what it takes: it gets a copy, always.
    py::object scratch = new_block(e);
    copy_into(scratch, a);
    unsigned char*** volume = scratch.cast<const Block&>().volume;
    const bool any = holds(volume, e, value);
    ObjectList objects;
    {
        py::gil_scoped_release unlocked;
        if (any) objects.list = GetAllRunLength3D(volume, value, value == 0 ? 1 : 0, &objects.count, 0);
    }
    if (any && !objects.list) throw std::bad_alloc();
    py::list result;
    for (int i = 0; i < objects.count; ++i) {
        RunLength3D* record = objects.list[i];
        if (!record) throw std::bad_alloc();
        py::array_t<std::int16_t> table({static_cast<py::ssize_t>(record->count), py::ssize_t{4}});
        static_assert(sizeof(Run3D) == 4 * sizeof(std::int16_t), "a run is four int16 fields");
        std::memcpy(table.mutable_data(), RunLength3DRuns(record),
                    sizeof(Run3D) * static_cast<std::size_t>(record->count));
        result.append(table);
    }
    return result;
}

// The labels of a checked volume, written into out: the number of objects.
int label_into(const py::array& a, const Extent& e, int value, int connectivity, std::int32_t* out) {
    const py::array voxels = c_contiguous(a) ? a : py::array(py::module_::import("numpy").attr("ascontiguousarray")(a));
    const auto* data = static_cast<const std::uint8_t*>(voxels.data());
    std::int64_t n = 0;
    {
        py::gil_scoped_release unlocked;
        n = Img3DLabelVoxels(data, e.width, e.height, e.depth, value, connectivity, out, IMG3D_INT32);
    }
    if (n < 0) {
        if (connectivity != 6 && connectivity != 18 && connectivity != 26)
            value_error("connectivity must be 6, 18 or 26, not " + std::to_string(connectivity));
        throw std::bad_alloc();
    }
    // extent_of keeps the voxel count below 2^31, and so the object count.
    return static_cast<int>(n);
}

// out as label() writes it: an int32 array of a's shape, C-contiguous,
// writable, apart from a's memory.
py::array_t<std::int32_t> checked_out(const py::object& out, const py::array& a, const Extent& e) {
    if (!py::isinstance<py::array>(out)) throw py::type_error("out must be a numpy array");
    if (!py::array_t<std::int32_t>::check_(out))
        throw py::type_error("out must be an int32 array, not " + py::str(out.attr("dtype")).cast<std::string>());
    auto labels = py::reinterpret_borrow<py::array_t<std::int32_t>>(out);
    if (labels.ndim() != 3 || labels.shape(0) != e.depth || labels.shape(1) != e.height || labels.shape(2) != e.width)
        value_error("out must have the shape of a, " + shape_text(a) + ", not " + shape_text(labels));
    if (!c_contiguous(labels) || !labels.writeable()) value_error("out must be C-contiguous and writable");
    const auto* begin = reinterpret_cast<const char*>(labels.data());
    const auto* end = begin + labels.nbytes();
    const auto* a_begin = static_cast<const char*>(a.data());
    // a may have any strides: the span its voxels can occupy.
    py::ssize_t low = 0, high = 0;
    for (py::ssize_t i = 0; i < 3; ++i) (a.strides(i) < 0 ? low : high) += a.strides(i) * (a.shape(i) - 1);
    if (a_begin + low < end && begin <= a_begin + high) value_error("out must not share memory with a");
    return labels;
}

py::tuple label(const py::array& a, int value, int connectivity, const py::object& out) {
    const Extent e = checked_volume(a, "a", true);
    py::array_t<std::int32_t> labels =
        out.is_none() ? py::array_t<std::int32_t>(std::vector<py::ssize_t>{e.depth, e.height, e.width})
                      : checked_out(out, a, e);
    const int n = label_into(a, e, value, connectivity, labels.mutable_data());
    return py::make_tuple(labels, n);
}

// Per object k = label - 1: voxels (n), bbox (n, 6: z0, y0, x0, z1, y1, x1,
// the ends exclusive), centroid (n, 3: z, y, x) and first voxel (n, 3).
py::tuple objects(const py::array& a, int value, int connectivity) {
    const Extent e = checked_volume(a, "a", true);
    std::unique_ptr<std::int32_t[]> labels(new std::int32_t[e.voxels()]);
    const int n = label_into(a, e, value, connectivity, labels.get());
    std::vector<Img3DObject> stats(static_cast<std::size_t>(n));
    {
        py::gil_scoped_release unlocked;
        Img3DObjectStats(labels.get(), e.width, e.height, e.depth, n, stats.data());
        labels.reset();
    }
    const auto count = static_cast<py::ssize_t>(n);
    py::array_t<std::int64_t> voxels(count);
    py::array_t<std::int32_t> bbox({count, py::ssize_t{6}}), first({count, py::ssize_t{3}});
    py::array_t<double> centroid({count, py::ssize_t{3}});
    auto v = voxels.mutable_unchecked<1>();
    auto b = bbox.mutable_unchecked<2>();
    auto f = first.mutable_unchecked<2>();
    auto c = centroid.mutable_unchecked<2>();
    for (py::ssize_t k = 0; k < count; ++k) {
        const Img3DObject& o = stats[static_cast<std::size_t>(k)];
        v(k) = o.voxels;
        const std::int32_t box[6] = {o.zMin, o.yMin, o.xMin, o.zMax + 1, o.yMax + 1, o.xMax + 1};
        for (int i = 0; i < 6; ++i) b(k, i) = box[i];
        f(k, 0) = o.firstZ, f(k, 1) = o.firstY, f(k, 2) = o.firstX;
        const double size = o.voxels;
        c(k, 0) = static_cast<double>(o.sumZ) / size;
        c(k, 1) = static_cast<double>(o.sumY) / size;
        c(k, 2) = static_cast<double>(o.sumX) / size;
    }
    return py::make_tuple(voxels, bbox, centroid, first);
}

}  // namespace

void bind_chain(py::module_& m);   // chain_module.cpp
void bind_blocks(py::module_& m);  // blocks_module.cpp

PYBIND11_MODULE(_img3d, m) {
    img3d_python::touch_exception_state();
    img3d_python::register_out_of_memory();
    m.doc() = "img3d's compiled core; use the functions of the img3d package.";
    m.attr("version") = IMG3D_VERSION;
    bind_chain(m);
    bind_blocks(m);
    m.attr("MAX_OBJECT_EXTENT") = IMG3D_MAX_OBJECT_EXTENT;
    py::class_<Block>(m, "Block", "A library volume block; the numpy base of the arrays img3d returns.");

    m.def("zeros", img3d_python::entry(&zeros), py::arg("depth"), py::arg("height"), py::arg("width"),
          py::arg("as_bool"));
    m.def("is_resident", img3d_python::entry(&is_resident), py::arg("a"));
    m.def("histogram", img3d_python::entry(&histogram), py::arg("a"));
    m.def("mean", img3d_python::entry(&mean), py::arg("a"));
    m.def("limits", img3d_python::entry(&limits), py::arg("a"));
    m.def("otsu_threshold", img3d_python::entry(&otsu_threshold), py::arg("a"));
    m.def("two_mode_threshold", img3d_python::entry(&two_mode_threshold), py::arg("a"));
    m.def("segment", img3d_python::entry(&segment), py::arg("a"), py::arg("low"), py::arg("high"), py::arg("object"),
          py::arg("background"));
    m.def("dilate", img3d_python::entry(&dilate), py::arg("a"), py::arg("value"), py::arg("background"),
          py::arg("element"));
    m.def("remove_objects", img3d_python::entry(&remove_objects), py::arg("a"), py::arg("value"), py::arg("min_volume"),
          py::arg("max_volume"), py::arg("paint"));
    m.def("edge_smooth", img3d_python::entry(&edge_smooth), py::arg("a"), py::arg("value"), py::arg("background"),
          py::arg("radius"));
    m.def("runs", img3d_python::entry(&runs), py::arg("a"), py::arg("value"));
    m.def("label", img3d_python::entry(&label), py::arg("a"), py::arg("value"), py::arg("connectivity"),
          py::arg("out"));
    m.def("objects", img3d_python::entry(&objects), py::arg("a"), py::arg("value"), py::arg("connectivity"));
}
