// The labelling of arrays of any size: the library's labelling on plain
// memory with int32 or int64 labels, and the renumbering that joins a
// volume labelled in blocks.  Both read and write the caller's arrays in
// place, with the GIL released, so threads label and renumber blocks at
// once.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "entry.h"
#include "img3d.h"

namespace py = pybind11;

namespace {

// By kind and size: an unpickled array's dtype is an equal object, not numpy's own.
int label_type(const py::array& a, const char* name) {
    const bool native = a.dtype().byteorder() != '>';
    if (a.dtype().kind() == 'i' && native && a.itemsize() == 4) return IMG3D_INT32;
    if (a.dtype().kind() == 'i' && native && a.itemsize() == 8) return IMG3D_INT64;
    throw py::type_error(std::string(name) + " must be an int32 or int64 array, not " +
                         py::str(a.dtype()).cast<std::string>());
}

void check_writable(const py::array& a, const char* name) {
    if (!(a.flags() & py::array::c_style) || !a.writeable())
        throw py::value_error(std::string(name) + " must be C-contiguous and writable");
}

// The strides of a 3-D array's slices and rows in elements, for an array
// whose rows are contiguous and whose strides are positive multiples of its
// element size; false otherwise.
bool element_strides(const py::array& a, std::int64_t& row, std::int64_t& slice) {
    const py::ssize_t item = a.itemsize();
    if (a.shape(2) > 1 && a.strides(2) != item) return false;
    if (a.strides(0) <= 0 || a.strides(1) <= 0 || a.strides(0) % item != 0 || a.strides(1) % item != 0) return false;
    row = a.strides(1) / item;
    slice = a.strides(0) / item;
    return row >= a.shape(2) && slice >= row * a.shape(1);
}

// rows, None or a C-contiguous int64 array of one entry a row of a, as the
// library's row counts: null for None.
std::int64_t* row_counts(const py::object& rows, const py::array& a) {
    if (rows.is_none()) return nullptr;
    auto r = py::reinterpret_borrow<py::array>(rows);
    if (!py::isinstance<py::array>(rows) || r.dtype().kind() != 'i' || r.itemsize() != 8 ||
        r.dtype().byteorder() == '>' || r.ndim() != 1 || r.size() != a.shape(0) * a.shape(1))
        throw py::value_error("rows must be a 1-D int64 array of one entry a row");
    check_writable(r, "rows");
    return static_cast<std::int64_t*>(r.mutable_data());
}

// The library's refusals of a labelling, in words: a count beyond int32
// labels (-2), extents past its limit, else no memory.
[[noreturn]] void too_many_objects() {
    throw py::value_error("a has more objects than int32 labels hold (2^31 - 1): pass dtype=np.int64");
}
[[noreturn]] void labelling_failed(const py::array& a) {
    if (a.shape(0) > INT32_MAX || a.shape(1) > INT32_MAX || a.shape(2) > INT32_MAX)
        throw py::value_error("a's extents must each be at most 2^31 - 1");
    throw std::bad_alloc();
}

// The labels of a 3-D uint8 array into out (same shape, int32 or int64),
// either of them a block of a larger array whose rows are contiguous: the
// object count.  rows, when not None, receives the number of objects each
// row begins (C-contiguous int64, one entry a row, depth * height).
std::int64_t label_voxels(const py::array& a, int value, int connectivity, py::array& out, const py::object& rows) {
    std::int64_t vr = 0, vs = 0, lr = 0, ls = 0;
    if (a.ndim() != 3 || a.dtype().kind() != 'u' || a.itemsize() != 1)
        throw py::value_error("a must be a 3-D uint8 array");
    const int type = label_type(out, "out");
    if (!out.writeable()) throw py::value_error("out must be writable");
    for (py::ssize_t i = 0; i < 3; ++i)
        if (out.ndim() != 3 || out.shape(i) != a.shape(i)) throw py::value_error("out must have the shape of a");
    std::int64_t* row_objects = row_counts(rows, a);
    if (a.shape(0) == 0 || a.shape(1) == 0 || a.shape(2) == 0) return 0;
    if (connectivity != 6 && connectivity != 18 && connectivity != 26)
        throw py::value_error("connectivity must be 6, 18 or 26, not " + std::to_string(connectivity));
    if (!element_strides(a, vr, vs)) throw py::value_error("a's rows must be contiguous, in C order");
    if (!element_strides(out, lr, ls)) throw py::value_error("out's rows must be contiguous, in C order");
    const auto* voxels = static_cast<const std::uint8_t*>(a.data());
    void* labels = out.mutable_data();
    std::int64_t n = 0;
    {
        py::gil_scoped_release unlocked;
        n = Img3DLabelVoxelsStrided(voxels, a.shape(2), a.shape(1), a.shape(0), vr, vs, value, connectivity, labels,
                                    type, lr, ls, row_objects);
    }
    if (n == -2) too_many_objects();
    if (n < 0) labelling_failed(a);
    return n;
}

// labels[i] = table[labels[i]] in place: the number of labels the table
// does not hold.
std::int64_t relabel(py::array& labels, const py::array& table) {
    const int type = label_type(labels, "labels");
    check_writable(labels, "labels");
    if (!table.dtype().equal(labels.dtype()) || table.ndim() != 1 || !(table.flags() & py::array::c_style))
        throw py::value_error("table must be a contiguous 1-D array of the labels' type");
    if (table.size() == 0) throw py::value_error("table must not be empty");
    if (labels.size() == 0) return 0;
    void* data = labels.mutable_data();
    const void* entries = table.data();
    std::int64_t missed = 0;
    {
        py::gil_scoped_release unlocked;
        missed = Img3DRelabelVoxels(data, labels.size(), type, entries, table.size());
    }
    return missed;
}

// out = table[labels], row by row: labels and out arrays of one shape and
// one label type whose rows are contiguous, anywhere in larger arrays (a
// block of the whole volume's labels); out may be labels itself.  Returns
// the number of labels the table does not hold.
std::int64_t relabel_into(const py::array& labels, const py::array& table, py::array& out) {
    const int type = label_type(labels, "labels");
    if (labels.ndim() != 3) throw py::value_error("labels must be a 3-D array");
    if (!table.dtype().equal(labels.dtype()) || table.ndim() != 1 || !(table.flags() & py::array::c_style))
        throw py::value_error("table must be a contiguous 1-D array of the labels' type");
    if (table.size() == 0) throw py::value_error("table must not be empty");
    if (!out.dtype().equal(labels.dtype()) || out.ndim() != 3 || !out.writeable())
        throw py::value_error("out must be a writable 3-D array of the labels' type");
    for (py::ssize_t i = 0; i < 3; ++i)
        if (out.shape(i) != labels.shape(i)) throw py::value_error("out must have the shape of labels");
    const py::ssize_t depth = labels.shape(0), height = labels.shape(1), width = labels.shape(2);
    if (labels.size() == 0) return 0;
    if (width > 1 && (out.strides(2) != out.itemsize() || labels.strides(2) != labels.itemsize()))
        throw py::value_error("the rows of labels and out must be contiguous");
    const auto item = static_cast<std::size_t>(labels.itemsize());
    const auto row_bytes = static_cast<std::size_t>(width) * item;
    const auto* source = static_cast<const char*>(labels.data());
    auto* target = static_cast<char*>(out.mutable_data());
    const py::ssize_t zs = out.strides(0), ys = out.strides(1), lzs = labels.strides(0), lys = labels.strides(1);
    const void* entries = table.data();
    const std::int64_t count = table.size();
    std::int64_t missed = 0;
    // Each row is renumbered into a buffer that stays in the cache, then
    // copied into place: renumbered straight into rows a page apart, the
    // stores would alias the loads that follow them and run at half speed.
    std::vector<char> row(std::min<std::size_t>(row_bytes, 4096));
    const auto piece = static_cast<py::ssize_t>(row.size() / item);
    {
        py::gil_scoped_release unlocked;
        for (py::ssize_t z = 0; z < depth; ++z) {
            for (py::ssize_t y = 0; y < height; ++y) {
                const char* from = source + z * lzs + y * lys;
                char* into = target + z * zs + y * ys;
                // Rows a page apart each start a new stream that the
                // hardware would only begin to fetch after its first misses.
                if (y + 1 < height) {
                    for (std::size_t b = 0; b < std::min<std::size_t>(row_bytes, 4096); b += 64) {
                        __builtin_prefetch(from + lys + b, 0);
                        __builtin_prefetch(into + ys + b, 1);
                    }
                }
                for (py::ssize_t x = 0; x < width; x += piece, from += piece * item, into += piece * item) {
                    const py::ssize_t n = std::min(piece, width - x);
                    missed += Img3DRelabelVoxelsInto(from, row.data(), n, type, entries, count);
                    std::memcpy(into, row.data(), static_cast<std::size_t>(n) * item);
                }
            }
        }
    }
    return missed;
}

// The global labels of a block's pieces that own their object, by local
// label: r[0] = 0, r[i] = 0 for the pieces in others (sorted local labels
// of pieces owned elsewhere), else the base of i's row plus i's place among
// the block's owners up to it.  Without ends, base[0] is every row's base;
// with ends (the pieces begun up to the end of each row), base holds one
// value per row.  Values beyond the type wrap: the caller refuses such
// counts.
template <class T>
void fill_ranks(T* r, std::int64_t n, const std::int64_t* others, std::int64_t owned_elsewhere,
                const std::int64_t* base, const std::int64_t* ends, std::int64_t rows) {
    r[0] = 0;
    std::int64_t k = 0, i = 1;
    auto one = [&](std::int64_t row_base) {
        if (k < owned_elsewhere && others[k] == i) {
            r[i] = 0;
            ++k;
        } else {
            r[i] = static_cast<T>(static_cast<std::uint64_t>(row_base + i - k));
        }
    };
    if (ends == nullptr) {
        for (; i <= n; ++i) one(base[0]);
        return;
    }
    for (std::int64_t row = 0; row < rows; ++row)
        for (; i <= ends[row]; ++i) one(base[row]);
}

// Writes the ranks into out (1-D, contiguous, int32 or int64, n + 1
// entries) and returns it.
py::array block_ranks(std::int64_t n,
                      const py::array_t<std::int64_t, py::array::c_style | py::array::forcecast>& others,
                      const py::array_t<std::int64_t, py::array::c_style | py::array::forcecast>& base,
                      const py::object& ends_object, py::array& out) {
    if (n < 0) throw py::value_error("n must not be negative");
    const int type = label_type(out, "out");
    if (out.ndim() != 1 || out.shape(0) != n + 1) throw py::value_error("out must hold n + 1 labels");
    check_writable(out, "out");
    const std::int64_t rows = ends_object.is_none() ? 0 : py::len(ends_object);
    py::array_t<std::int64_t, py::array::c_style | py::array::forcecast> ends;
    if (!ends_object.is_none()) {
        ends = ends_object.cast<py::array_t<std::int64_t, py::array::c_style | py::array::forcecast>>();
        std::int64_t last = 0;
        for (std::int64_t j = 0; j < rows; ++j) {
            if (ends.data()[j] < last || ends.data()[j] > n) throw py::value_error("ends must rise from 0 to n");
            last = ends.data()[j];
        }
        if (last != n || base.size() != rows) throw py::value_error("ends must end at n, with one base a row");
    } else if (base.size() != 1) {
        throw py::value_error("base must hold one value without ends");
    }
    const std::int64_t* e = ends_object.is_none() ? nullptr : ends.data();
    {
        py::gil_scoped_release unlocked;
        if (type == IMG3D_INT32)
            fill_ranks(static_cast<std::int32_t*>(out.mutable_data()), n, others.data(), others.size(), base.data(), e,
                       rows);
        else
            fill_ranks(static_cast<std::int64_t*>(out.mutable_data()), n, others.data(), others.size(), base.data(), e,
                       rows);
    }
    return out;
}

// The pairs (a[u, v], b[u + du - ou, v + dv - ov]) of non-zero ids of two
// planes across a face, for every in-plane step (du, dv) of the
// connectivity (the face's own voxel for 6, its 4 or 8 neighbours too for 18
// and 26), where b's element [0, 0] lies at (ou, ov) of a's plane: an (m, 2)
// int64 array, step after step, row after row, a pair that repeats the one
// before it dropped.  One pass a step: numpy's masks cost ten passes.
py::array_t<std::int64_t> face_pairs(const py::array_t<std::int64_t, py::array::c_style | py::array::forcecast>& a,
                                     const py::array_t<std::int64_t, py::array::c_style | py::array::forcecast>& b,
                                     std::int64_t ou, std::int64_t ov, int connectivity) {
    if (a.ndim() != 2 || b.ndim() != 2) throw py::value_error("a and b must be 2-D arrays");
    if (connectivity != 6 && connectivity != 18 && connectivity != 26)
        throw py::value_error("connectivity must be 6, 18 or 26");
    const int most = connectivity == 6 ? 0 : connectivity == 18 ? 1 : 2;
    const std::int64_t ah = a.shape(0), aw = a.shape(1), bh = b.shape(0), bw = b.shape(1);
    const std::int64_t* pa = a.data();
    const std::int64_t* pb = b.data();
    std::vector<std::int64_t> pairs;
    {
        py::gil_scoped_release unlocked;
        for (int du = -1; du <= 1; ++du) {
            for (int dv = -1; dv <= 1; ++dv) {
                if ((du != 0) + (dv != 0) > most) continue;
                const std::int64_t su = du - ou, sv = dv - ov;
                const std::int64_t u0 = std::max<std::int64_t>(0, -su), u1 = std::min(ah, bh - su);
                const std::int64_t v0 = std::max<std::int64_t>(0, -sv), v1 = std::min(aw, bw - sv);
                std::int64_t last_p = 0, last_q = 0;
                for (std::int64_t u = u0; u < u1; ++u) {
                    const std::int64_t* row_a = pa + u * aw;
                    const std::int64_t* row_b = pb + (u + su) * bw;
                    for (std::int64_t v = v0; v < v1; ++v) {
                        const std::int64_t p = row_a[v], q = row_b[v + sv];
                        if (p == 0 || q == 0 || (p == last_p && q == last_q)) continue;
                        pairs.push_back(p);
                        pairs.push_back(q);
                        last_p = p;
                        last_q = q;
                    }
                }
            }
        }
    }
    const auto m = static_cast<py::ssize_t>(pairs.size() / 2);
    py::array_t<std::int64_t> result({m, static_cast<py::ssize_t>(2)});
    if (m > 0) std::memcpy(result.mutable_data(), pairs.data(), pairs.size() * sizeof(std::int64_t));
    return result;
}

// The root of each of count nodes joined by pairs (an (m, 2) array of node
// indices): the smallest index of its component, as an int64 array.  A
// union-find whose roots hook onto smaller roots only, so that every
// parent's index is at most its child's and one pass in index order flattens
// it.
py::array_t<std::int64_t> components(const py::array_t<std::int64_t, py::array::c_style | py::array::forcecast>& pairs,
                                     std::int64_t count) {
    if (count < 0) throw py::value_error("count must not be negative");
    if (pairs.size() > 0 && (pairs.ndim() != 2 || pairs.shape(1) != 2))
        throw py::value_error("pairs must be an (m, 2) array");
    py::array_t<std::int64_t> result(static_cast<py::ssize_t>(count));
    std::int64_t* parent = result.mutable_data();
    const std::int64_t* p = pairs.data();
    const std::int64_t m = pairs.size() / 2;
    for (std::int64_t i = 0; i < m * 2; ++i)
        if (p[i] < 0 || p[i] >= count) throw py::value_error("pairs must hold node indices below count");
    {
        py::gil_scoped_release unlocked;
        for (std::int64_t i = 0; i < count; ++i) parent[i] = i;
        auto find = [parent](std::int64_t x) {
            while (parent[x] != x) {
                parent[x] = parent[parent[x]];
                x = parent[x];
            }
            return x;
        };
        for (std::int64_t k = 0; k < m; ++k) {
            const std::int64_t a = find(p[2 * k]), b = find(p[2 * k + 1]);
            if (a < b)
                parent[b] = a;
            else if (b < a)
                parent[a] = b;
        }
        for (std::int64_t i = 0; i < count; ++i) parent[i] = parent[parent[i]];
    }
    return result;
}

// The ids of a plane's pieces in block b: label | b << 32 where the label is
// not 0, else 0, as a new int64 array of the plane's shape.
template <class Label>
void fill_ids(const Label* labels, std::int64_t* ids, std::int64_t n, std::int64_t block) {
    for (std::int64_t i = 0; i < n; ++i) ids[i] = labels[i] != 0 ? (static_cast<std::int64_t>(labels[i]) | block) : 0;
}

py::array_t<std::int64_t> piece_ids(const py::array& plane, std::int64_t b) {
    const int type = label_type(plane, "plane");
    if (b < 0 || b >= (std::int64_t{1} << 31)) throw py::value_error("b must lie in 0 ... 2^31 - 1");
    const py::array contiguous = py::array::ensure(plane, py::array::c_style);
    std::vector<py::ssize_t> shape(contiguous.shape(), contiguous.shape() + contiguous.ndim());
    py::array_t<std::int64_t> ids(shape);
    const std::int64_t n = contiguous.size(), block = b << 32;
    {
        py::gil_scoped_release unlocked;
        if (type == IMG3D_INT32)
            fill_ids(static_cast<const std::int32_t*>(contiguous.data()), ids.mutable_data(), n, block);
        else
            fill_ids(static_cast<const std::int64_t*>(contiguous.data()), ids.mutable_data(), n, block);
    }
    return ids;
}

// A labelling held between its passes: the objects of a uint8 block found
// once, whose labels are written afterwards, box by box and through a
// table, into the caller's arrays.
class RunLabels {
public:
    RunLabels(Img3DRunLabels* runs, std::int64_t shape[3]) : runs_(runs), shape_{shape[0], shape[1], shape[2]} {}
    ~RunLabels() { Img3DFreeRunLabels(runs_); }
    RunLabels(const RunLabels&) = delete;
    RunLabels& operator=(const RunLabels&) = delete;

    const Img3DRunLabels* get() const { return runs_; }
    std::int64_t extent(int axis) const { return shape_[axis]; }

private:
    Img3DRunLabels* runs_;
    std::int64_t shape_[3];
};

std::unique_ptr<RunLabels> label_runs(const py::array& a, int value, int connectivity, const py::object& rows) {
    if (a.ndim() != 3 || a.dtype().kind() != 'u' || a.itemsize() != 1)
        throw py::value_error("a must be a 3-D uint8 array");
    if (a.shape(0) == 0 || a.shape(1) == 0 || a.shape(2) == 0)
        throw py::value_error("a must have at least one voxel along each axis");
    if (connectivity != 6 && connectivity != 18 && connectivity != 26)
        throw py::value_error("connectivity must be 6, 18 or 26, not " + std::to_string(connectivity));
    std::int64_t* row_objects = row_counts(rows, a);
    std::int64_t vr = 0, vs = 0;
    if (!element_strides(a, vr, vs)) throw py::value_error("a's rows must be contiguous, in C order");
    const auto* voxels = static_cast<const std::uint8_t*>(a.data());
    std::int64_t shape[3] = {a.shape(0), a.shape(1), a.shape(2)};
    Img3DRunLabels* runs = nullptr;
    {
        py::gil_scoped_release unlocked;
        runs = Img3DLabelRuns(voxels, shape[2], shape[1], shape[0], vr, vs, value, connectivity, nullptr, row_objects);
    }
    if (runs == nullptr) labelling_failed(a);
    return std::make_unique<RunLabels>(runs, shape);
}

std::int64_t run_labels_count(const RunLabels& runs) { return Img3DRunLabelsCount(runs.get()); }

// Writes the labels of the box of the block at origin (z, y, x), of out's
// shape, into out (int32 or int64, rows contiguous), through table (of
// out's type, more entries than objects) when given.
void write_run_labels(const RunLabels& runs, py::array& out, const py::tuple& origin, const py::object& table) {
    const int type = label_type(out, "out");
    if (!out.writeable()) throw py::value_error("out must be writable");
    if (out.ndim() != 3 || origin.size() != 3) throw py::value_error("out must be 3-D, origin (z, y, x)");
    std::int64_t at[3];
    for (int i = 0; i < 3; ++i) {
        at[i] = origin[static_cast<std::size_t>(i)].cast<std::int64_t>();
        if (at[i] < 0 || out.shape(i) < 1 || at[i] > runs.extent(i) - out.shape(i))
            throw py::value_error("out must lie inside the labelled block at origin");
    }
    std::int64_t lr = 0, ls = 0;
    if (!element_strides(out, lr, ls)) throw py::value_error("out's rows must be contiguous, in C order");
    const void* entries = nullptr;
    std::int64_t count = 0;
    py::array held;
    if (!table.is_none()) {
        held = py::reinterpret_borrow<py::array>(table);
        if (!py::isinstance<py::array>(table) || !held.dtype().equal(out.dtype()) || held.ndim() != 1 ||
            !(held.flags() & py::array::c_style))
            throw py::value_error("table must be a contiguous 1-D array of out's type");
        count = held.size();
        if (count <= Img3DRunLabelsCount(runs.get())) throw py::value_error("table must hold an entry per object");
        entries = held.data();
    }
    void* labels = out.mutable_data();
    int result = 0;
    {
        py::gil_scoped_release unlocked;
        result = Img3DWriteRunLabels(runs.get(), at[2], at[1], at[0], out.shape(2), out.shape(1), out.shape(0), labels,
                                     type, lr, ls, entries, count);
    }
    if (result == -2) too_many_objects();
    if (result != 0) throw py::value_error("out cannot take these labels");
}

}  // namespace

void bind_blocks(py::module_& m) {
    py::class_<RunLabels>(m, "RunLabels", "A labelling held between its passes: a block's objects found once.")
        .def_property_readonly("n", img3d_python::entry(&run_labels_count))
        .def("write", img3d_python::entry(&write_run_labels), py::arg("out"),
             py::arg("origin") = py::make_tuple(0, 0, 0), py::arg("table") = py::none());
    m.def("label_runs", img3d_python::entry(&label_runs), py::arg("a"), py::arg("value"), py::arg("connectivity"),
          py::arg("rows") = py::none());
    m.def("label_voxels", img3d_python::entry(&label_voxels), py::arg("a"), py::arg("value"), py::arg("connectivity"),
          py::arg("out"), py::arg("rows") = py::none());
    m.def("relabel_into", img3d_python::entry(&relabel_into), py::arg("labels"), py::arg("table"), py::arg("out"));
    m.def("relabel", img3d_python::entry(&relabel), py::arg("labels"), py::arg("table"));
    m.def("face_pairs", img3d_python::entry(&face_pairs), py::arg("a"), py::arg("b"), py::arg("ou"), py::arg("ov"),
          py::arg("connectivity"));
    m.def("piece_ids", img3d_python::entry(&piece_ids), py::arg("plane"), py::arg("b"));
    m.def("components", img3d_python::entry(&components), py::arg("pairs"), py::arg("count"));
    m.def("block_ranks", img3d_python::entry(&block_ranks), py::arg("n"), py::arg("others"), py::arg("base"),
          py::arg("ends"), py::arg("out"));
}
