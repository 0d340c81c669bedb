/* The public header in a C89 translation unit: no inline functions, no
 * line comments, no declarations after statements. */
#include <img3d.h>
#include <stdio.h>

int main(void) {
    unsigned char*** volume = Image3DAlloc(3, 2, 1);
    RunLength3D** list;
    int count = 0;
    int runs = 0;
    if (volume == NULL) return 1;
    volume[0][1][2] = 7;
    list = GetAllRunLength3D(volume, 7, 0, &count, 0);
    if (count == 1 && list != NULL) runs = RunLength3DRuns(list[0])[0].xStart;
    FreeRunLength3D(count, list);
    Image3DFree(volume);
    printf("%s: %d object, run from x = %d\n", IMG3D_VERSION, count, runs);
    return count == 1 && runs == 2 ? 0 : 1;
}
