// The tool's NIfTI reader on arbitrary .nii files.  A file it accepts must
// hold what a plain reading of the header's fields says; anything else must
// be refused with the tool's error, never read out of bounds.
#include "reader_files.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string path = img3d::fuzz::scratch_file("input.nii", data, size);
    img3d::fuzz::read_and_check(path, {data, data + size});
    return 0;
}
