// The labelling of arrays of any size: the library's labelling on plain
// memory with int32 or int64 labels, and the renumbering that joins a
// volume labelled in blocks.  Both read and write the caller's arrays in
// place, with the GIL released, so threads label and renumber blocks at
// once.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <cstdint>
#include <string>

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

// The labels of a C-contiguous 3-D uint8 array into out (same shape,
// C-contiguous, int32 or int64): the object count.
std::int64_t label_voxels(const py::array& a, int value, int connectivity, py::array& out) {
    if (a.ndim() != 3 || a.dtype().kind() != 'u' || a.itemsize() != 1 || !(a.flags() & py::array::c_style))
        throw py::value_error("a must be a C-contiguous 3-D uint8 array");
    const int type = label_type(out, "out");
    check_writable(out, "out");
    for (py::ssize_t i = 0; i < 3; ++i)
        if (out.ndim() != 3 || out.shape(i) != a.shape(i)) throw py::value_error("out must have the shape of a");
    if (a.shape(0) == 0 || a.shape(1) == 0 || a.shape(2) == 0) return 0;
    if (connectivity != 6 && connectivity != 18 && connectivity != 26)
        throw py::value_error("connectivity must be 6, 18 or 26, not " + std::to_string(connectivity));
    const auto* voxels = static_cast<const std::uint8_t*>(a.data());
    void* labels = out.mutable_data();
    std::int64_t n = 0;
    {
        py::gil_scoped_release unlocked;
        n = Img3DLabelVoxels(voxels, a.shape(2), a.shape(1), a.shape(0), value, connectivity, labels, type);
    }
    if (n < 0) {
        if (type == IMG3D_INT32 && a.size() > INT32_MAX)
            throw py::value_error("a has " + std::to_string(a.size()) +
                                  " voxels, more than int32 labels index: pass dtype=np.int64");
        if (a.shape(0) > INT32_MAX || a.shape(1) > INT32_MAX || a.shape(2) > INT32_MAX)
            throw py::value_error("a's extents must each be at most 2^31 - 1");
        throw std::bad_alloc();
    }
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

}  // namespace

void bind_blocks(py::module_& m) {
    m.def("label_voxels", img3d_python::entry(&label_voxels), py::arg("a"), py::arg("value"), py::arg("connectivity"),
          py::arg("out"));
    m.def("relabel", img3d_python::entry(&relabel), py::arg("labels"), py::arg("table"));
}
