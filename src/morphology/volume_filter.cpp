// Removal of the objects whose voxel count lies outside a range.
#include "img3d.h"

extern "C" IMG3D_API int Img3DDelVolume(unsigned char*** source, unsigned char*** destination,
                                        int objectValue, int paintValue, int minVolume,
                                        int maxVolume) {
    // The restoring copy below reads the source after the extraction painted
    // the destination: with one volume for both every object would go.  A
    // paint value equal to the object value cannot mark what was taken.
    if (source == destination || (paintValue & 0xFF) == objectValue) return -1;

    Img3DCopy(source, destination);
    int count = 0;
    RunLength3D** objects = GetAllRunLength3D(destination, objectValue, paintValue, &count, 0);
    if (objects == nullptr) return -1;
    Img3DCopy(source, destination);

    for (int i = 0; i < count; ++i) {
        // A null entry is an object whose extraction ran out of memory: its
        // voxels are back from the copy above and it stays.
        if (objects[i] == nullptr) continue;
        const int voxels = ObjVolume(objects[i]);
        if (voxels > maxVolume || voxels < minVolume) Img3DFillObject(destination, objects[i], paintValue);
    }
    FreeRunLength3D(count, objects);
    return 0;
}
