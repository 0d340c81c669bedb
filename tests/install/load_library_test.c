/* A Windows host that binds to the library at run time: it loads img3d.dll
 * by name, looks up every function of the header by its plain name, and
 * calls a few through the pointers it got, as such hosts do. */
#define WIN32_LEAN_AND_MEAN
#include <windows.h>
#include <stdio.h>

#include "header_functions.h"

typedef unsigned char*** (*alloc_fn)(int, int, int);
typedef int (*dimension_fn)(unsigned char***);
typedef void (*free_fn)(unsigned char***);

/* FARPROC carries no prototype; going through a generic function pointer
 * keeps the conversion explicit. */
typedef void (*any_fn)(void);

static any_fn find(HMODULE library, const char* name) {
    return (any_fn)(void (*)(void))GetProcAddress(library, name);
}

int main(void) {
    HMODULE library = LoadLibraryA("img3d.dll");
    size_t i;
    int failures = 0;
    if (library == NULL) {
        printf("LoadLibrary(img3d.dll) failed: error %lu\n", (unsigned long)GetLastError());
        return 1;
    }
    for (i = 0; i < sizeof header_functions / sizeof header_functions[0]; ++i) {
        if (find(library, header_functions[i]) == NULL) {
            printf("GetProcAddress(%s) failed\n", header_functions[i]);
            ++failures;
        }
    }

    {
        alloc_fn alloc = (alloc_fn)find(library, "Image3DAlloc");
        dimension_fn width = (dimension_fn)find(library, "Image3DGetWidth");
        dimension_fn depth = (dimension_fn)find(library, "Image3DGetDepth");
        free_fn release = (free_fn)find(library, "Image3DFree");
        if (alloc && width && depth && release) {
            unsigned char*** one = alloc(1, 1, 1);
            unsigned char*** block = alloc(3, 2, 5);
            /* One slice pointer, one row pointer, the 12-byte header: the
             * single voxel of a 1x1x1 volume sits 2P + 12 bytes in, 20 in
             * the 32-bit DLL. */
            const long voxel_offset = (long)(2 * sizeof(void*) + 12);
            if (one == NULL || one[0][0] - (unsigned char*)one != voxel_offset) {
                printf("1x1x1 volume: first voxel not at offset %ld\n", voxel_offset);
                ++failures;
            }
            if (block == NULL || width(block) != 3 || depth(block) != 5) {
                printf("3x2x5 volume: wrong dimensions through the DLL\n");
                ++failures;
            }
            release(one);
            release(block);
        }
    }

    if (!FreeLibrary(library)) {
        printf("FreeLibrary failed\n");
        ++failures;
    }
    printf("%u functions looked up, %d failures\n",
           (unsigned)(sizeof header_functions / sizeof header_functions[0]), failures);
    return failures == 0 ? 0 : 1;
}
