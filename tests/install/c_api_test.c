/* The public header as a C host sees it: compiled as C99 with every warning
 * an error, linked against the shared library. */
#include <img3d.h>
#include <stddef.h>
#include <stdio.h>
#include <string.h>

#define CHECK(cond)                                                   \
    do {                                                              \
        if (!(cond)) {                                                \
            fprintf(stderr, "%s:%d: %s\n", __FILE__, __LINE__, #cond); \
            return 1;                                                 \
        }                                                             \
    } while (0)

int main(void) {
    unsigned char*** v = Image3DAlloc(3, 2, 2);
    int word[3];
    int histogram[256];
    int maximum, minimum;
    int64_t labels[12];
    CHECK(v != NULL);
    memcpy(word, v[0][0] - 12, sizeof word);
    CHECK(word[0] == 3 && word[1] == 2 && word[2] == 2);
    CHECK(v[1][1] + 2 == v[0][0] + 11);
    CHECK((unsigned char*)v[0][0] - (unsigned char*)v ==
          (ptrdiff_t)(2 * sizeof(void*) + 4 * sizeof(void*) + 12));
    v[1][1][2] = 9;
    CHECK(Img3DHisto(v, histogram) == 0 && histogram[0] == 11 && histogram[9] == 1);
    CHECK(Img3DLimit(v, &maximum, &minimum) == 0 && maximum == 9 && minimum == 0);
    CHECK(Img3DLabelVoxels(v[0][0], 3, 2, 2, 9, 26, labels, IMG3D_INT64) == 1 && labels[11] == 1 && labels[10] == 0);
    CHECK(Img3DLabelVoxels(v[0][0], 3, 2, 2, 9, 26, labels, IMG3D_UINT8) == -1);
    CHECK(Img3DReverse(v, v) == 0 && v[1][1][2] == 246);
    CHECK(sizeof(Run3D) == 8 && sizeof(RunLength3D) == 4);
    CHECK(offsetof(Run3D, y) == 0 && offsetof(Run3D, z) == 2);
    CHECK(offsetof(Run3D, xStart) == 4 && offsetof(Run3D, xEnd) == 6);
    Image3DFree(v);
    Image3DFree(NULL);
    CHECK(Image3DGetWidth(NULL) == 0 && Image3DGetHeight(NULL) == 0 && Image3DGetDepth(NULL) == 0);
    puts("C host: ok");
    return 0;
}
