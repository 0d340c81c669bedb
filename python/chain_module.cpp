// The tool's segmentation chain for the package's segment_file and the
// cohort: the option table and one run from file to files.  The chain's
// errors become Python exceptions with the tool's own messages.
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <new>
#include <string>
#include <utility>
#include <vector>

#include "entry.h"
#include "errors.h"
#include "segment_file.h"

namespace py = pybind11;

namespace {

// Each option's name (the tool's spelling), value form, help, and the
// values of `img3d segment` and of the demo when not given.
py::list option_table() {
    py::list table;
    for (const img3d_tool::ChainOption& o : img3d_tool::chain_options()) {
        py::dict entry;
        entry["name"] = o.name;
        entry["value"] = o.value;
        entry["help"] = o.help;
        entry["initial"] = o.initial;
        entry["demo"] = *o.demo ? o.demo : o.initial;
        entry["excludes"] = o.excludes;
        table.append(entry);
    }
    return table;
}

// The report of `img3d segment --json`, as text.  options: the tool's option
// names with their texts ("" for a flag).
std::string segment_file(const std::string& input, const std::string& output, const std::string& labels,
                         const std::vector<std::pair<std::string, std::string>>& options) {
    img3d_tool::SegmentRequest request;
    request.input = input;
    request.output = output;
    request.labels = labels;
    try {
        request.options = img3d_tool::parse_options(options, img3d_tool::Preset::segment);
        py::gil_scoped_release unlocked;
        return img3d_tool::segment_file(request);
    } catch (const img3d_tool::InputError& e) {
        throw py::value_error(e.what());
    } catch (const img3d_tool::RunError& e) {
        PyErr_SetString(PyExc_MemoryError, e.what());
        throw py::error_already_set();
    } catch (const std::bad_alloc&) {
        PyErr_SetString(PyExc_MemoryError, ("segment_file: not enough memory for " + input).c_str());
        throw py::error_already_set();
    }
}

void check_options(const std::vector<std::pair<std::string, std::string>>& options) {
    try {
        img3d_tool::parse_options(options, img3d_tool::Preset::segment);
    } catch (const img3d_tool::InputError& e) {
        throw py::value_error(e.what());
    }
}

}  // namespace

void bind_chain(py::module_& m) {
    m.def("option_table", img3d_python::entry(&option_table));
    m.def("check_options", img3d_python::entry(&check_options), py::arg("options"));
    m.def("segment_file", img3d_python::entry(&segment_file), py::arg("input"), py::arg("output"), py::arg("labels"),
          py::arg("options"));
}
