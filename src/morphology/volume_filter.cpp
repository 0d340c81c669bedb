// Removal of the objects whose voxel count lies outside a range.
#include "img3d.h"
#include "morphology/whole_objects.h"
#include "volume/volume_internal.h"

extern "C" IMG3D_API int Img3DDelVolume(unsigned char*** source, unsigned char*** destination,
                                        int objectValue, int paintValue, int minVolume,
                                        int maxVolume) {
    // The restoring copy below reads the source after the extraction painted
    // the destination: with one volume for both every object would go.  A
    // paint value equal to the object value cannot mark what was taken.
    if (source == destination || (paintValue & 0xFF) == objectValue ||
        !img3d::detail::same_dimensions(source, destination))
        return -1;

    Img3DCopy(source, destination);
    int count = 0;
    RunLength3D** objects = GetAllRunLength3D(destination, objectValue, paintValue, &count, 0);
    // The copy undoes the extraction's painting, whatever came of it: on
    // failure the destination is an exact copy of the source.
    Img3DCopy(source, destination);
    if (objects == nullptr) return -1;
    if (!img3d::detail::holds_whole_objects(objects, count)) {
        FreeRunLength3D(count, objects);
        return -1;
    }

    for (int i = 0; i < count; ++i) {
        const int voxels = ObjVolume(objects[i]);
        if (voxels > maxVolume || voxels < minVolume) Img3DFillObject(destination, objects[i], paintValue);
    }
    FreeRunLength3D(count, objects);
    return 0;
}
