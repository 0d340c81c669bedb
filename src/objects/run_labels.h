// The 6-connected objects of one grey value as a union-find over the
// volume's runs, for filters that need each object's voxel count or its
// runs but not its record: no record is built and nothing is painted.
//
// Runs are numbered in raster order (slice, row, then column), the order in
// which for_each_run meets them; a second scan of the same voxels meets them
// in the same order, so run i of that scan asks object_voxels(i).
#pragma once

#include <cstddef>
#include <cstdint>

namespace img3d::detail {

class RunLabels {
public:
    RunLabels() = default;
    ~RunLabels();
    RunLabels(const RunLabels&) = delete;
    RunLabels& operator=(const RunLabels&) = delete;

    // Joins the runs of `value` of a width x height x depth voxel array into
    // objects.  False when memory ran out.
    bool label(const std::uint8_t* voxels, int width, int height, int depth, std::uint8_t value) noexcept;

    // How many runs label() met.
    std::size_t runs() const noexcept { return runs_; }

    // The voxel count of the object that run i belongs to.
    std::int32_t object_voxels(std::size_t run) const noexcept {
        const std::int32_t up = parent_[run];
        return up < 0 ? -up : -parent_[up];
    }

    // Numbers the objects whose voxel count keep() accepts 0, 1, 2 ... in
    // raster order of their first voxel, and returns how many it kept; then
    // object(i) tells the object of run i, and object_voxels() no longer
    // answers.
    template <class Keep>
    std::int32_t number_objects(Keep keep) noexcept {
        std::int32_t kept = 0;
        for (std::size_t i = 0; i < runs_; ++i)
            if (parent_[i] < 0) parent_[i] = keep(-parent_[i]) ? -2 - kept++ : -1;
        return kept;
    }

    // The number number_objects() gave the object of run i, or -1 when it
    // did not keep it.
    std::int32_t object(std::size_t run) const noexcept {
        const std::int32_t up = parent_[run];
        return -2 - (up < 0 ? up : parent_[up]);
    }

private:
    // One slice: each row's bits (word_bits, `words` per row) and the number
    // of its first run.
    struct Slice {
        std::uint64_t* bits = nullptr;
        std::uint32_t* first_run = nullptr;
    };

    // parent_[i] is the run's parent, or minus the object's voxel count for
    // the run that stands for its object.  A parent comes before its
    // children in run order; once label() is done every run's parent is the
    // run that stands for its object.
    std::int32_t find(std::int32_t run) noexcept {
        while (parent_[run] >= 0) {
            const std::int32_t up = parent_[run];
            if (parent_[up] >= 0) parent_[run] = parent_[up];
            run = up;
        }
        return run;
    }
    void unite(std::int32_t a, std::int32_t b) noexcept;
    // Joins the overlapping runs of two rows, given by their bits and the
    // numbers of their first runs.
    void link(const std::uint64_t* a, std::uint32_t a_first, const std::uint64_t* b, std::uint32_t b_first,
              std::size_t words) noexcept;

    std::int32_t* parent_ = nullptr;
    std::size_t runs_ = 0;
    Slice slices_[2];
};

}  // namespace img3d::detail
