#include <cstdio>

#include "commands.h"
#include "errors.h"
#include "object_table.h"
#include "summary.h"

namespace img3d_tool {
namespace {

// The objects of one value: in the file's own bytes where one byte holds
// the value, else in a mask of the voxels that equal it.
ObjectLabels objects_of_value(const LoadedVolume& loaded, double value, int connectivity) {
    int first = 0, last = 0;
    if (raw_interval(loaded.voxels, value, value, first, last) && first == last)
        return label_objects(const_cast<CTarnImage3D&>(loaded.volume), first, connectivity);
    const int w = static_cast<int>(loaded.header->nx), h = static_cast<int>(loaded.header->ny),
              d = static_cast<int>(loaded.header->nz);
    CTarnImage3D mask(w, h, d);
    if (mask.getSize() == 0)
        throw RunError("not enough memory for the mask of the value: a volume of " + std::to_string(w) + "x" +
                       std::to_string(h) + "x" + std::to_string(d) + " voxels");
    select_values(loaded.voxels, value, value, mask.getPixels());
    return label_objects(mask, kObject, connectivity);
}

// The grey volume's values of each object; the volume must share the
// input's grid.
std::vector<GreyOfObject> grey_values(const ObjectsRequest& request, const LoadedVolume& loaded,
                                      const ObjectLabels& labels) {
    LoadedVolume grey;
    read_volume(request.grey, request.read, grey);
    const auto grid = [](const LoadedVolume& v) {
        return std::to_string(v.header->nx) + "x" + std::to_string(v.header->ny) + "x" + std::to_string(v.header->nz);
    };
    if (grid(grey) != grid(loaded))
        throw InputError("--grey " + request.grey + ": " + grid(grey) + " voxels, but " + request.input + " has " +
                         grid(loaded));
    return grey_of_objects(labels, grey.voxels);
}

void print_rows(const ObjectsRequest& request, const ObjectLabels& labels, const std::vector<ObjectRow>& rows,
                const TableHeading& heading) {
    switch (request.format) {
        case ObjectsRequest::Format::csv: print_csv(stdout, rows, !request.grey.empty()); return;
        case ObjectsRequest::Format::json: std::printf("%s\n", table_json(rows, labels, heading).c_str()); return;
        case ObjectsRequest::Format::table: break;
    }
    std::printf("%zu %d-connected object%s of value %s in %s (%d x %d x %d voxels), %s%s\n", rows.size(),
                request.connectivity, rows.size() == 1 ? "" : "s", heading.value.c_str(), request.input.c_str(),
                labels.width, labels.height, labels.depth, request.raster_order ? "in raster order" : "largest first",
                heading.unit_assumed ? "; units unknown, taken as mm" : "");
    if (!rows.empty())
        print_table(stdout, rows, request.limit == 0 ? rows.size() : static_cast<std::size_t>(request.limit));
}

}  // namespace

int run_objects_command(const Arguments& arguments) {
    const ObjectsRequest request = objects_request(arguments);
    Progress progress(progress_wanted(request.format != ObjectsRequest::Format::table));
    LoadedVolume loaded;
    {
        StageTimer timer(progress, "read");
        read_volume(request.input, request.read, loaded);
    }
    ObjectLabels labels;
    {
        StageTimer timer(progress, "objects");
        labels = objects_of_value(loaded, request.value, request.connectivity);
    }
    std::vector<GreyOfObject> grey;
    if (!request.grey.empty()) {
        StageTimer timer(progress, "grey values");
        grey = grey_values(request, loaded, labels);
    }
    const std::vector<ObjectRow> rows =
        object_table(labels, request.raster_order ? TableOrder::raster : TableOrder::size, loaded.geometry, grey);
    const std::string shown = format_value(request.value);
    const TableHeading heading{request.input, shown, request.grey, request.connectivity,
                               unit_taken_as_mm(loaded.geometry)};
    print_rows(request, labels, rows, heading);
    if (rows.empty()) {
        const ValueStatistics s = value_statistics(loaded.voxels);
        std::fprintf(stderr,
                     "img3d: no voxel of %s has the value %s (its values lie in %s ... %s); objects lists the objects "
                     "of one value, such as the 255 of a segmented volume (img3d segment -o): pick one with --value\n",
                     request.input.c_str(), shown.c_str(), format_value(s.minimum).c_str(),
                     format_value(s.maximum).c_str());
    }
    return 0;
}

}  // namespace img3d_tool
