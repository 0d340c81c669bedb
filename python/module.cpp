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
#include <pybind11/stl.h>

#include <algorithm>
#include <climits>
#include <cstdint>
#include <cstring>
#include <limits>
#include <memory>
#include <new>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

#include "entry.h"
#include "img3d.h"
#include "intensity.h"

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

// The extents of the functions on raw memory, which take any size.
struct Extent64 {
    std::int64_t width, height, depth;
    std::int64_t voxels() const { return width * height * depth; }
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
bool fits_block(py::ssize_t depth, py::ssize_t height, py::ssize_t width) {
    const double pointer = sizeof(void*);
    const double bytes = static_cast<double>(depth) * pointer * (1.0 + static_cast<double>(height)) + 12.0 +
                         static_cast<double>(depth) * static_cast<double>(height) * static_cast<double>(width);
    return bytes <= INT_MAX;
}

Extent extent_of(py::ssize_t depth, py::ssize_t height, py::ssize_t width, const char* name) {
    if (depth < 1 || height < 1 || width < 1)
        value_error(std::string(name) + " must have at least one voxel along each axis");
    if (!fits_block(depth, height, width))
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

// Otsu's (otsu) or the two-mode level of 256 counts (histogram() or
// grey_histogram(), summed over an array's slabs).
int histogram_threshold(const py::array_t<std::int64_t, py::array::c_style | py::array::forcecast>& counts,
                        bool otsu) {
    if (counts.ndim() != 1 || counts.size() != 256) value_error("counts must hold 256 entries");
    const std::int64_t* histogram = counts.data();
    int level = 0;
    {
        py::gil_scoped_release unlocked;
        level = otsu ? Img3DHistogramDaJinThreshold(histogram) : Img3DHistogram2ModeThreshold(histogram);
    }
    if (level < 0) value_error("counts must be non-negative, summing to 1 ... 2^63 - 1");
    return level;
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

py::tuple intensity_arrays(const void* labels, int label_type, const py::array& grey, const Extent64& e,
                           std::int64_t count);

// Per object k = label - 1: voxels (n), bbox (n, 6: z0, y0, x0, z1, y1, x1,
// the ends exclusive), centroid (n, 3: z, y, x) and first voxel (n, 3); with
// a grey image (C-contiguous, of a's shape), its intensity_stats too.
py::tuple objects(const py::array& a, int value, int connectivity, const py::object& grey) {
    const Extent e = checked_volume(a, "a", true);
    // A numpy array, not new[]: numpy asks for huge pages on large arrays,
    // and faulting in the labels 4 KiB at a time costs more than labelling.
    py::array_t<std::int32_t> label_array(static_cast<py::ssize_t>(e.voxels()));
    std::int32_t* labels = label_array.mutable_data();
    const int n = label_into(a, e, value, connectivity, labels);
    std::vector<Img3DObject> stats(static_cast<std::size_t>(n));
    {
        py::gil_scoped_release unlocked;
        Img3DObjectStats(labels, e.width, e.height, e.depth, n, stats.data());
    }
    py::object intensity = py::none();
    if (!grey.is_none())
        intensity = intensity_arrays(labels, IMG3D_INT32, grey.cast<py::array>(),
                                     Extent64{e.width, e.height, e.depth}, n);
    label_array = py::array_t<std::int32_t>();
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
    if (!intensity.is_none()) return py::make_tuple(voxels, bbox, centroid, first, intensity);
    return py::make_tuple(voxels, bbox, centroid, first);
}

// ---- the functions on raw memory -------------------------------------------
//
// These take plain C-ordered arrays of any size the machine can address, so a
// result is a library block only where one can hold it (the older functions
// then take it without a copy), a numpy array otherwise.

Extent64 checked_raw(const py::array& a, const char* name) {
    if (a.ndim() != 3)
        value_error(std::string(name) + " must be 3-dimensional, indexed [z, y, x]; its shape is " + shape_text(a));
    if (a.shape(0) < 1 || a.shape(1) < 1 || a.shape(2) < 1)
        value_error(std::string(name) + " must have at least one voxel along each axis");
    return {a.shape(2), a.shape(1), a.shape(0)};
}

// A uint8 (or bool) volume for the raw functions.
Extent64 checked_mask(const py::array& a) {
    const char kind = a.dtype().kind();
    if (a.itemsize() != 1 || (kind != 'u' && kind != 'b'))
        throw py::type_error("a must be a uint8 or bool array, not " + py::str(a.dtype()).cast<std::string>());
    return checked_raw(a, "a");
}

py::array new_result(const py::array& a, const Extent64& e) {
    if (fits_block(e.depth, e.height, e.width))
        return view_of(new_block({static_cast<int>(e.width), static_cast<int>(e.height), static_cast<int>(e.depth)}),
                       is_bool(a));
    return py::array(a.dtype(), std::vector<py::ssize_t>{e.depth, e.height, e.width});
}

// A new result array and the memory an operation reads: a itself when it is
// C-contiguous, else the result once a is copied in (the operations may work
// in place).
struct RawOperands {
    py::array result;
    const std::uint8_t* source;
    std::uint8_t* destination;
    Extent64 extent;
};

RawOperands raw_operands(const py::array& a) {
    const Extent64 e = checked_mask(a);
    py::array result = new_result(a, e);
    auto* destination = static_cast<std::uint8_t*>(result.mutable_data());
    if (c_contiguous(a)) return {result, static_cast<const std::uint8_t*>(a.data()), destination, e};
    py::module_::import("numpy").attr("copyto")(result, a);  // releases the GIL while it copies
    return {result, destination, destination, e};
}

// Whether a (uint8 or bool, any layout) holds the byte value.
bool holds_value(const py::array& a, int value) {
    checked_mask(a);
    if (!c_contiguous(a)) {
        const py::object equal = a.attr("view")("uint8").attr("__eq__")(value);
        return py::module_::import("numpy").attr("any")(equal).cast<bool>();
    }
    const void* data = a.data();
    const auto bytes = static_cast<std::size_t>(a.size());
    py::gil_scoped_release unlocked;
    return std::memchr(data, value, bytes) != nullptr;
}

using Morphology = int (*)(const std::uint8_t*, std::uint8_t*, std::int64_t, std::int64_t, std::int64_t, int, int, int,
                           int);

py::array morphology(const py::array& a, const std::string& operation, int value, int background, int connectivity,
                     int iterations) {
    Morphology f = operation == "dilate"    ? Img3DBinaryDilate
                   : operation == "erode"   ? Img3DBinaryErode
                   : operation == "opening" ? Img3DBinaryOpen
                                            : Img3DBinaryClose;
    const RawOperands v = raw_operands(a);
    const Extent64 e = v.extent;
    int status = 0;
    {
        py::gil_scoped_release unlocked;
        status = f(v.source, v.destination, e.width, e.height, e.depth, value, background, connectivity, iterations);
    }
    if (status != 0) throw std::bad_alloc();  // the arguments were checked
    return v.result;
}

py::tuple fill_holes(const py::array& a, int value, int background, int connectivity, int axis) {
    const RawOperands v = raw_operands(a);
    const Extent64 e = v.extent;
    std::int64_t holes = 0;
    {
        py::gil_scoped_release unlocked;
        holes =
            Img3DFillHoles(v.source, v.destination, e.width, e.height, e.depth, value, background, connectivity, axis);
    }
    if (holes < 0) throw std::bad_alloc();
    return py::make_tuple(v.result, holes);
}

// Img3DKeepLargest (keep >= 0) or Img3DRemoveBySize (keep < 0).
py::tuple select_objects(const py::array& a, int value, int connectivity, std::int64_t keep, std::int64_t low,
                         std::int64_t high, int paint) {
    const RawOperands v = raw_operands(a);
    const Extent64 e = v.extent;
    std::int64_t removed = 0;
    {
        py::gil_scoped_release unlocked;
        removed = keep >= 0 ? Img3DKeepLargest(v.source, v.destination, e.width, e.height, e.depth, value, connectivity,
                                               keep, paint)
                            : Img3DRemoveBySize(v.source, v.destination, e.width, e.height, e.depth, value,
                                                connectivity, low, high, paint);
    }
    if (removed < 0) throw std::bad_alloc();
    return py::make_tuple(v.result, removed);
}

int element_type(const py::array& a, const char* name, const std::string& allowed) {
    const std::string type = py::str(a.dtype()).cast<std::string>();
    const char kind = a.dtype().kind();
    const auto size = a.itemsize();
    int t = 0;
    if (kind == 'u' && size == 1) t = IMG3D_UINT8;
    if (kind == 'b') t = IMG3D_UINT8;
    if (kind == 'i' && size == 2) t = IMG3D_INT16;
    if (kind == 'u' && size == 2) t = IMG3D_UINT16;
    if (kind == 'i' && size == 4) t = IMG3D_INT32;
    if (kind == 'i' && size == 8) t = IMG3D_INT64;
    if (kind == 'f' && size == 4) t = IMG3D_FLOAT32;
    if (t == 0 || allowed.find(static_cast<char>('0' + t)) == std::string::npos ||
        !a.dtype().attr("isnative").cast<bool>())
        throw py::type_error(std::string(name) + " must be a native " + allowed.substr(allowed.find(':') + 1) +
                             " array, not " + type);
    return t;
}

const std::string kLabelAllTypes = "1234:uint8, uint16, int16 or int32";

// The pieces of every non-zero value: (labels, values, n).  a is
// C-contiguous (the Python layer sees to it); labels is out or new.
py::tuple label_all(const py::array& a, int connectivity, py::array labels) {
    const int voxel_type = element_type(a, "a", kLabelAllTypes);
    const Extent64 e = checked_raw(a, "a");
    const int label_type = labels.itemsize() == 8 ? IMG3D_INT64 : IMG3D_INT32;
    if (label_type == IMG3D_INT32 && e.voxels() > INT32_MAX)
        value_error("a has " + std::to_string(e.voxels()) +
                    " voxels: int32 labels take at most 2^31 - 1 voxels; pass dtype=np.int64");
    // The values of the first pieces come back from the call; those of any
    // further ones are read from the voxels by the caller.
    const std::int64_t capacity = std::min<std::int64_t>(e.voxels(), std::int64_t{1} << 20);
    py::array_t<std::int64_t> values(capacity);
    std::int64_t* piece_values = values.mutable_data();
    const void* voxels = a.data();
    void* out = labels.mutable_data();
    std::int64_t n = 0;
    {
        py::gil_scoped_release unlocked;
        n = Img3DLabelAll(voxels, voxel_type, e.width, e.height, e.depth, connectivity, out, label_type, piece_values,
                          capacity);
    }
    if (n < 0) throw std::bad_alloc();
    return py::make_tuple(labels, values, n);
}

// Per label 1 ... count: count, exact integer sum, sum, mean, std, min, max
// (arrays) and the voxels whose label lies outside 0 ... count.
py::tuple intensity_arrays(const void* labels, int label_type, const py::array& grey, const Extent64& e,
                           std::int64_t count) {
    const int grey_type = element_type(grey, "grey", "1236:uint8, int16, uint16 or float32");
    // The records, and the library's working memory (48 or 56 bytes a
    // label): what ran out is said in bytes.
    const double record_bytes = static_cast<double>(count) * sizeof(Img3DIntensity);
    std::vector<Img3DIntensity> stats;
    try {
        if (record_bytes > static_cast<double>(PTRDIFF_MAX)) throw std::bad_alloc();
        stats.resize(static_cast<std::size_t>(count));
    } catch (const std::bad_alloc&) {
        img3d_python::out_of_memory(static_cast<std::size_t>(std::min(record_bytes, static_cast<double>(SIZE_MAX))));
    }
    const void* grey_data = grey.data();
    std::int64_t outside = 0;
    {
        py::gil_scoped_release unlocked;
        outside = Img3DIntensityStats(labels, label_type, grey_data, grey_type, e.width, e.height, e.depth, count,
                                      stats.data());
    }
    if (outside < 0) img3d_python::out_of_memory(static_cast<std::size_t>(count) * 56);
    // One array per field.
    auto column = [&stats](auto member) {
        using T = std::remove_cv_t<std::remove_reference_t<decltype(stats[0].*member)>>;
        py::array_t<T> out(static_cast<py::ssize_t>(stats.size()));
        T* to = out.mutable_data();
        for (std::size_t k = 0; k < stats.size(); ++k) to[k] = stats[k].*member;
        return out;
    };
    return py::make_tuple(column(&Img3DIntensity::count), column(&Img3DIntensity::integerSum),
                          column(&Img3DIntensity::sum), column(&Img3DIntensity::mean),
                          column(&Img3DIntensity::deviation), column(&Img3DIntensity::minimum),
                          column(&Img3DIntensity::maximum), outside);
}

// labels (int32 or int64) and grey, both C-contiguous of one shape.
py::tuple intensity_stats(const py::array& labels, const py::array& grey, std::int64_t count) {
    const int label_type = element_type(labels, "labels", "45:int32 or int64");
    const Extent64 e = checked_raw(labels, "labels");
    return intensity_arrays(labels.data(), label_type, grey, e, count);
}

// ---- grey images of other types, through the tool's level map -------------

img3d_tool::FileVoxels file_voxels(const py::array& a) {
    img3d_tool::FileVoxels voxels;
    const int t = element_type(a, "a", "1236:uint8, int16, uint16 or float32");
    voxels.datatype = t == IMG3D_UINT8    ? DT_UINT8
                      : t == IMG3D_INT16  ? DT_INT16
                      : t == IMG3D_UINT16 ? DT_UINT16
                                          : DT_FLOAT32;
    voxels.count = static_cast<std::size_t>(a.size());
    voxels.data = a.data();
    return voxels;
}

// The levels of a (C-contiguous) by the map over its minimum ... maximum or
// the window, in a new block.
struct Levels {
    img3d_tool::FileVoxels voxels;
    img3d_tool::LevelMap map;
    py::object block;
    unsigned char*** volume;
};

Levels levels_of(const py::array& a, const py::object& window) {
    const Extent e = extent_of(a.shape(0), a.shape(1), a.shape(2), "a");
    Levels l{file_voxels(a), {}, new_block(e), nullptr};
    l.volume = l.block.cast<const Block&>().volume;
    double bounds[2] = {0, 0};
    if (!window.is_none()) {
        const auto pair = window.cast<std::pair<double, double>>();
        bounds[0] = pair.first, bounds[1] = pair.second;
    }
    {
        py::gil_scoped_release unlocked;
        // The minimum and maximum only serve without a window.
        const img3d_tool::ValueStatistics statistics =
            window.is_none() ? img3d_tool::value_statistics(l.voxels) : img3d_tool::ValueStatistics{};
        l.map = img3d_tool::choose_levels(l.voxels, statistics, window.is_none() ? nullptr : bounds);
        l.map.raw = false;  // uint8 reaches here only with a window
        img3d_tool::make_levels(l.voxels, l.map, l.volume[0][0]);
    }
    return l;
}

py::tuple grey_histogram(const py::array& a, const py::object& window) {
    const Levels l = levels_of(a, window);
    int counts[256];
    {
        py::gil_scoped_release unlocked;
        Img3DHisto(l.volume, counts);
    }
    py::array_t<std::int64_t> result(256);
    py::array_t<double> edges(257);
    auto out = result.mutable_unchecked<1>();
    auto edge = edges.mutable_unchecked<1>();
    for (int i = 0; i < 256; ++i) out(i) = counts[i];
    // Level k holds the values from its lower bound to the next one's.
    edge(0) = l.map.low - 0.5 * (l.map.high - l.map.low) / 255.0;
    for (int k = 1; k <= 256; ++k) edge(k) = l.map.lower_bound(l.voxels, k);
    return py::make_tuple(result, edges);
}

// (minimum, maximum, count) of the finite values of a (C-contiguous), in
// its units; minimum and maximum are 0 when the count is.
py::tuple grey_range(const py::array& a) {
    const img3d_tool::FileVoxels voxels = file_voxels(a);
    img3d_tool::ValueStatistics statistics;
    {
        py::gil_scoped_release unlocked;
        statistics = img3d_tool::value_statistics(voxels);
    }
    return py::make_tuple(statistics.minimum, statistics.maximum, voxels.count - statistics.non_finite);
}

py::array grey_segment(const py::array& a, double low, double high, int object, int background) {
    const Extent e = extent_of(a.shape(0), a.shape(1), a.shape(2), "a");
    const img3d_tool::FileVoxels voxels = file_voxels(a);
    py::object block = new_block(e);
    unsigned char*** destination = block.cast<const Block&>().volume;
    {
        py::gil_scoped_release unlocked;
        img3d_tool::select_values(voxels, low, high, destination[0][0]);
        // The selection is 255 / 0; other values by the library's band.
        if (object != 255 || background != 0)
            Img3DSingleSegment(destination, destination, 255, static_cast<unsigned char>(object),
                               static_cast<unsigned char>(background));
    }
    return view_of(block, false);
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
    m.def("fits_block", img3d_python::entry(&fits_block), py::arg("depth"), py::arg("height"), py::arg("width"));
    m.def("histogram", img3d_python::entry(&histogram), py::arg("a"));
    m.def("mean", img3d_python::entry(&mean), py::arg("a"));
    m.def("limits", img3d_python::entry(&limits), py::arg("a"));
    m.def("histogram_threshold", img3d_python::entry(&histogram_threshold), py::arg("counts"), py::arg("otsu"));
    m.def("segment", img3d_python::entry(&segment), py::arg("a"), py::arg("low"), py::arg("high"), py::arg("object"),
          py::arg("background"));
    m.def("edge_smooth", img3d_python::entry(&edge_smooth), py::arg("a"), py::arg("value"), py::arg("background"),
          py::arg("radius"));
    m.def("runs", img3d_python::entry(&runs), py::arg("a"), py::arg("value"));
    m.def("label", img3d_python::entry(&label), py::arg("a"), py::arg("value"), py::arg("connectivity"),
          py::arg("out"));
    m.def("objects", img3d_python::entry(&objects), py::arg("a"), py::arg("value"), py::arg("connectivity"),
          py::arg("grey") = py::none());
    m.def("holds", img3d_python::entry(&holds_value), py::arg("a"), py::arg("value"));
    m.def("morphology", img3d_python::entry(&morphology), py::arg("a"), py::arg("operation"), py::arg("value"),
          py::arg("background"), py::arg("connectivity"), py::arg("iterations"));
    m.def("fill_holes", img3d_python::entry(&fill_holes), py::arg("a"), py::arg("value"), py::arg("background"),
          py::arg("connectivity"), py::arg("axis"));
    m.def("select_objects", img3d_python::entry(&select_objects), py::arg("a"), py::arg("value"),
          py::arg("connectivity"), py::arg("keep"), py::arg("low"), py::arg("high"), py::arg("paint"));
    m.def("label_all", img3d_python::entry(&label_all), py::arg("a"), py::arg("connectivity"), py::arg("labels"));
    m.def("intensity_stats", img3d_python::entry(&intensity_stats), py::arg("labels"), py::arg("grey"),
          py::arg("count"));
    m.def("grey_histogram", img3d_python::entry(&grey_histogram), py::arg("a"), py::arg("window"));
    m.def("grey_range", img3d_python::entry(&grey_range), py::arg("a"));
    m.def("grey_segment", img3d_python::entry(&grey_segment), py::arg("a"), py::arg("low"), py::arg("high"),
          py::arg("object"), py::arg("background"));
}
