#include <img3d.h>
#include <stdio.h>

int main(void) {
    unsigned char*** v = Image3DAlloc(4, 3, 2);
    int maximum = -1, minimum = -1;
    if (v == NULL) return 1;
    v[1][2][3] = 200;
    Img3DLimit(v, &maximum, &minimum);
    printf("%s: %dx%dx%d max %d min %d\n", IMG3D_VERSION, Image3DGetWidth(v),
           Image3DGetHeight(v), Image3DGetDepth(v), maximum, minimum);
    Image3DFree(v);
    return (maximum == 200 && minimum == 0) ? 0 : 1;
}
