/*
 * img3d.h -- 3D image processing for 8-bit grey-level volumes.
 *
 * Besides volumes of 8-bit grey values, the functions on raw memory near
 * the end also work on label images (int32 or int64 object numbers) and on
 * grey images of the element types of Img3DType.
 *
 * This header is the library's manual: every function below carries its
 * contract (what it reads, what it writes, who owns what, every result).
 *
 * ---------------------------------------------------------------------------
 * Volumes
 * ---------------------------------------------------------------------------
 * A volume is a handle of type `unsigned char***` returned by Image3DAlloc.
 * With x the column (fastest in memory), y the row and z the slice,
 *
 *     volume[z][y][x]
 *
 * is one voxel, an unsigned 8-bit grey value 0 ... 255.  One zero-filled heap
 * block holds, with no gaps and in this order (P = sizeof(void*), 4 on 32-bit
 * targets, 8 on 64-bit ones):
 *
 *     offset 0                       slice table: depth pointers, entry z is
 *                                    the row table of slice z
 *     depth*P                        row tables: depth*height pointers, entry
 *                                    (z, y) is the first voxel of that row
 *     depth*P + depth*height*P       dimension header: int width, height,
 *                                    depth (12 bytes)
 *     depth*P + depth*height*P + 12  voxels: width*height*depth bytes
 *
 * The voxels are contiguous: voxel (x, y, z) lies (z*height + y)*width + x
 * bytes after volume[0][0], the first voxel.  The dimension header ends at
 * the first voxel: width is the int at volume[0][0] - 12, height at - 8,
 * depth at - 4.  A 1x1x1 volume takes 21 bytes with P = 4 (29 with P = 8).
 *
 * Dimensions are always given as width, height, depth, in that order.
 *
 * ---------------------------------------------------------------------------
 * Conventions
 * ---------------------------------------------------------------------------
 * - Grey-value arguments (object, background, paint and fill values) are
 *   ints.  A voxel matches a value when its unsigned 8-bit value equals the
 *   whole int, so a value outside 0 ... 255 matches no voxel.  Where a value
 *   is written, its low 8 bits are stored (300 stores 44, -1 stores 255).
 * - Operations with two volumes take the source first and the destination
 *   second.  The dimensions come from the source; each operation's
 *   paragraph says how large its destination must be.
 * - Objects are sets of connected voxels of one value.  GetAllRunLength3D,
 *   Img3DDelVolume and Img3DEdgeSmooth take 6-connected objects: two voxels
 *   touch when they differ by one in exactly one coordinate, so voxels
 *   touching only along an edge or at a corner belong to different objects.
 *   Img3DLabel and Img3DLabelVoxels take a connectivity: 6, 18 (edges too)
 *   or 26 (corners too).
 * - Results: the voxel-wise transforms, statistics, segmentations and the
 *   dilation return 0; the thresholds return a grey level; the object filters
 *   return 0 when they processed the objects and -1 otherwise; allocating
 *   functions return NULL on failure.  A call the library can see is wrong
 *   is refused before anything is written: each function's paragraph lists
 *   its refusals and what it returns for them.
 * - The library keeps no global state, starts no threads, opens no files and
 *   never prints.  Every call runs to completion on the caller's thread; calls
 *   on disjoint volumes may run concurrently.  No C++ exception ever leaves a
 *   function of this header.
 *
 * Left to the caller, because the library cannot see them:
 * - a handle that did not come from Image3DAlloc, was already released, or
 *   whose tables or header were overwritten;
 * - arrays shorter than stated (a histogram of 256 ints, a table of 256
 *   bytes, a voxel array of one byte per voxel, a label array of one entry
 *   of its type per voxel) and result pointers that do not address
 *   writable ints;
 * - a record whose count exceeds the runs its block holds, and records or
 *   lists released twice;
 * - two calls that write the same volume at the same time.
 *
 * ---------------------------------------------------------------------------
 * Memory
 * ---------------------------------------------------------------------------
 * Every block the library hands out or uses comes from malloc, calloc,
 * realloc or (blocks of 4 MiB and more on Linux) posix_memalign, and is
 * released with free.  What outlives a call is the caller's:
 * volumes (Image3DFree), object lists with their records
 * (FreeRunLength3D) and held labellings (Img3DFreeRunLabels).  Working
 * memory lives for one call only:
 *
 *   Img3DDilatation     five slices of the source, 1 byte per voxel (none
 *                       when they cannot be had and the destination is
 *                       another volume)
 *   GetAllRunLength3D   each record while it is built, and the fill's stack
 *                       of points (6 bytes each)
 *   Img3DLabel          1 bit per voxel (rows rounded up to 64 bits), 5
 *                       bytes per row, and a parent per run: 4 bytes for
 *                       each run the extents can hold ((width + 1)/2 a
 *                       row, so at most 2 bytes per voxel), reserved at
 *                       once and touched only as far as the runs found
 *                       reach
 *   Img3DLabelVoxels    as Img3DLabel, and where the extents can hold more
 *                       than 2^31 - 1 runs, 9 bytes per row and 8 per run
 *                       found, in a block that doubles as runs are found;
 *                       Img3DLabelVoxelsStrided the same
 *   Img3DLabelRuns      the same, kept (and the caller's) until
 *                       Img3DFreeRunLabels; Img3DWriteRunLabels none
 *   Img3DDelVolume      4 bytes per run of the object value (a run being a
 *                       stretch of the value along x) and 1 bit per voxel of
 *                       two slices; no record per object is built
 *   Img3DEdgeSmooth     4 bytes per run of objectValue and 1 bit per voxel
 *                       of two slices (finding the objects); a claim mask of
 *                       1 bit per voxel of the volume (rows rounded up to
 *                       whole bytes); 4 bytes per row of the volume and 24
 *                       per object that can pass a window; per object, in
 *                       turn, window sums of 4 bytes per voxel of one slice
 *                       of its bounding box, for about w + 2 slices at
 *                       radius 0 ... 4 and 2 above (w = 2*radius + 1)
 *   Img3DBinaryDilate, Img3DBinaryErode, Img3DBinaryOpen, Img3DBinaryClose
 *                       three copies of the set at 1 bit per voxel (rows
 *                       rounded up to 64 bits) and one row of them more
 *   Img3DFillHoles      4 bytes per run of the other voxels (a stretch
 *                       along x, for 18 and 26 of two rows at once; 8
 *                       bytes from 2^31 voxels on) and at most 2 bits per
 *                       voxel of two slices (rows rounded up to 64 bits);
 *                       with an axis, a label per voxel of one plane (4 or
 *                       8 bytes), 1 byte per piece and the plane's voxels
 *   Img3DKeepLargest, Img3DRemoveBySize
 *                       as Img3DFillHoles without an axis, for the runs of
 *                       value; 4 (8) bytes per object more for
 *                       Img3DKeepLargest with 0 < keep < objects, and 12
 *                       (24) per object of the keep-th largest size when
 *                       only some of those stay
 *   Img3DIntensityStats 48 bytes per label (56 for FLOAT32 grey)
 *
 * Everything else allocates nothing but what it returns.  On Linux, blocks
 * of 4 MiB and more are marked with madvise(MADV_HUGEPAGE), so that where
 * transparent huge pages are enabled on request they fault in 2 MiB at a
 * time; this is advice only and changes no result.
 */
#ifndef IMG3D_H
#define IMG3D_H

#include <stdint.h>

#define IMG3D_VERSION_MAJOR 1
#define IMG3D_VERSION_MINOR 3
#define IMG3D_VERSION_PATCH 0
#define IMG3D_VERSION "1.3.0"

/* IMG3D_API marks what the library exports; everything else is hidden. */
#if defined(_WIN32) || defined(__CYGWIN__)
#  if defined(IMG3D_BUILDING)
#    define IMG3D_API __declspec(dllexport)
#  elif defined(IMG3D_STATIC)
#    define IMG3D_API
#  else
#    define IMG3D_API __declspec(dllimport)
#  endif
#elif defined(__GNUC__)
#  define IMG3D_API __attribute__((visibility("default")))
#else
#  define IMG3D_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

/*
 * The element types of the plain arrays (voxels, label images, grey images)
 * that the functions on raw memory take, each in this machine's byte order.
 * Each such function lists the types it accepts and refuses the others.  The
 * functions take the type as an int, so any int may be passed: a value
 * that names no type here is refused like any other.
 */
typedef enum Img3DType {
    IMG3D_UINT8 = 1,    /* uint8_t  */
    IMG3D_INT16 = 2,    /* int16_t  */
    IMG3D_UINT16 = 3,   /* uint16_t */
    IMG3D_INT32 = 4,    /* int32_t  */
    IMG3D_INT64 = 5,    /* int64_t  */
    IMG3D_FLOAT32 = 6   /* float    */
} Img3DType;

/* ===========================================================================
 * Volume storage
 * ======================================================================== */

/*
 * Allocates a zero-filled volume of width x height x depth voxels in one heap
 * block laid out as described above.
 *
 * Returns the handle, owned by the caller, who releases it with Image3DFree.
 * Returns NULL, allocating nothing, when the memory is not available, when a
 * dimension is below 1, or when the voxel count or the block size would not
 * fit in a signed 32-bit integer.
 */
IMG3D_API unsigned char*** Image3DAlloc(int width, int height, int depth);

/*
 * Releases a volume made by Image3DAlloc: tables, header and voxels at once.
 * The handle and every address taken from it are invalid afterwards.
 * A NULL volume is accepted and ignored.  Releasing a volume twice, or a
 * pointer that did not come from Image3DAlloc, is undefined.
 */
IMG3D_API void Image3DFree(unsigned char*** volume);

/*
 * Return the width (x extent), height (y extent) and depth (z extent) of a
 * volume, read from its dimension header.  A NULL volume gives 0.
 */
IMG3D_API int Image3DGetWidth(unsigned char*** volume);
IMG3D_API int Image3DGetHeight(unsigned char*** volume);
IMG3D_API int Image3DGetDepth(unsigned char*** volume);

/* ===========================================================================
 * Voxel-wise transforms
 *
 * Each treats a volume as one array of width*height*depth voxels in storage
 * order, the count taken from the first volume named.  A destination must
 * hold at least that many voxels; voxels correspond by position in the
 * array, not by coordinates, and destination voxels past that count keep
 * their values.  Each returns 0, or -1 without writing anything for a NULL
 * volume or table or a destination with fewer voxels than the source.
 * ======================================================================== */

/*
 * Copies the source's voxels into the destination's first voxels.  The copy
 * is overlap-safe: source and destination may be the same volume (nothing
 * changes).
 */
IMG3D_API int Img3DCopy(unsigned char*** source, unsigned char*** destination);

/* Sets every voxel of the volume to the low 8 bits of value. */
IMG3D_API int Img3DClear(unsigned char*** volume, int value);

/*
 * destination voxel i = table[source voxel i], for every voxel of the source.
 * table must address 256 readable entries.  Source and destination may be
 * the same volume (conversion in place).
 */
IMG3D_API int Img3DConvert(unsigned char*** source, unsigned char*** destination,
                           const unsigned char* table);

/*
 * destination voxel i = 255 - source voxel i.  Source and destination may be
 * the same volume.
 */
IMG3D_API int Img3DReverse(unsigned char*** source, unsigned char*** destination);

/* ===========================================================================
 * Statistics
 * ======================================================================== */

/*
 * Counts the voxels of each grey value: histogram[v] becomes the number of
 * voxels whose value is v.  histogram must address 256 writable ints; their
 * previous contents are discarded.  The counts sum to the voxel count.
 * Returns 0; -1 for a NULL volume or histogram (nothing written).
 */
IMG3D_API int Img3DHisto(unsigned char*** volume, int* histogram);

/*
 * Returns the mean grey value, truncated toward zero (the floor of the
 * exact mean), 0 ... 255.  The sum is exact (64-bit).  -1 for a NULL volume.
 */
IMG3D_API int Img3DMean(unsigned char*** volume);

/*
 * Stores the largest grey value of the volume in *maximum and the smallest in
 * *minimum.  Both pointers must address writable ints.  Returns 0; -1 for
 * a NULL volume or pointer (nothing written).
 */
IMG3D_API int Img3DLimit(unsigned char*** volume, int* maximum, int* minimum);

/* ===========================================================================
 * Thresholds and segmentation
 *
 * The two threshold selections read a volume, count its histogram and
 * return a grey level chosen from the histogram alone: the order of the
 * voxels never matters, nothing is written and nothing is allocated on the
 * heap.  Each paragraph says which voxels its level separates; the
 * segmentations take a voxel of exactly the threshold into the upper class.
 * ======================================================================== */

/*
 * Otsu's threshold.  Returns the level t, 0 ... 255, whose split of the grey
 * levels into a lower class 0 ... t (t included) and an upper class
 * t+1 ... 255 has the largest between-class variance; t is the highest grey
 * level of the lower class.  The volume is only read.  To take exactly the
 * upper class, pass t + 1 to Img3DSingleSegment (passing t also takes the
 * voxels of value t).
 *
 * With N the voxel count and h[i] the count of level i, the computation is
 * IEEE double with each operation rounded, in this order, so that every
 * build gives the same level:
 *   p[i]  = h[i] / N
 *   mean  = sum of i * p[i], added in ascending order of i
 *   w(t)  = p[0] + ... + p[t],  m(t) = 0*p[0] + ... + t*p[t]  (ascending)
 *   d(t)  = (1 - w(t)) * w(t)
 *   score = 0 where d(t) is exactly 0, else
 *           (mean*w(t) - m(t)) * (mean*w(t) - m(t)) / d(t)
 * Ties go to the highest level: the best level is the last t whose score is
 * at least the best score so far.  Consequences:
 * - a volume of one grey value (a single voxel included) returns 255, as
 *   every score is 0;
 * - when the best split lies in a run of empty levels, every level of the
 *   run scores the same and the result is the level just below the next
 *   occupied one (0 and 255 only: 254; 10 and 200 only: 199).
 * The result is always in 0 ... 255; -1 only for a NULL volume.
 */
IMG3D_API int Img3DDaJinThreshold(unsigned char*** volume);

/*
 * Two-mode threshold.  Returns the valley level, 1 ... 254, that lies
 * deepest between a higher level on its left and one on its right, or 0
 * when no level has both (then no split was found; as a threshold, 0 takes
 * every voxel).  Integer arithmetic only.  The volume is only read.
 *
 * The histogram h is first smoothed, each value from h alone, with
 * truncating division: s[i] = (h[i-1] + h[i] + h[i+1]) / 3 for i = 1 ...
 * 254, s[0] = (h[0] + h[1]) / 2, s[255] = (h[254] + h[255]) / 2.
 * A candidate m (1 ... 254) looks left at the even levels below it and
 * right at the levels m+1, m+3, ... up to 255 (the other parity than m).
 * With L the largest of the left values and R the largest of the right
 * ones, m scores (L - s[m]) * (R - s[m]), exactly in 64 bits, when both
 * differences are positive, and does not qualify otherwise.  The lowest
 * candidate with the highest score wins.  Consequences:
 * - a histogram with a single mode (one value, or rising then falling, not
 *   necessarily strictly) returns 0;
 * - 32 voxels each of 10 and 200 return 12; of 0 and 255, 2.
 * The result is always in 0 ... 254; -1 only for a NULL volume.
 */
IMG3D_API int Img3D2ModeThreshold(unsigned char*** volume);

/*
 * The two selections above on a histogram the caller has counted: for
 * hosts that hold a volume in pieces, or more voxels than one volume
 * takes.  histogram addresses 256 counts, entry v the number of voxels of
 * grey level v; it is only read, and nothing is allocated.
 *
 * Each returns the level its volume function returns on a volume with this
 * histogram, by the computation described there with N the sum of the
 * counts, for any N: Img3DHistogramDaJinThreshold as Img3DDaJinThreshold
 * (0 ... 255), Img3DHistogram2ModeThreshold as Img3D2ModeThreshold (0 ...
 * 254), its scores compared exactly in 128 bits rather than 64.  Returns
 * -1 for a NULL histogram, a negative count, or counts whose sum is 0 or
 * above INT64_MAX.
 */
IMG3D_API int Img3DHistogramDaJinThreshold(const int64_t* histogram);
IMG3D_API int Img3DHistogram2ModeThreshold(const int64_t* histogram);

/*
 * Binarises by one threshold.  For every voxel (x, y, z) of the source:
 * destination[z][y][x] = high when source[z][y][x] >= threshold, low
 * otherwise.
 *
 * The voxel (0 ... 255) is compared with the int threshold as an int, so
 * every threshold is meaningful: 0 or below writes high everywhere, 256 or
 * above writes low everywhere, t in 1 ... 255 gives voxels of exactly t the
 * high value.  Equal high and low fill the extent with that value.
 *
 * Reads the source; writes the destination, and only the source's width x
 * height x depth corner of it, through the destination's own row tables:
 * the destination must be at least as wide, high and deep as the source,
 * and a larger one keeps every voxel outside that corner.  The destination
 * may be the source itself (segmentation in place).  Returns 0; -1 without
 * writing anything for a NULL volume or a destination smaller than the
 * source in any dimension.
 */
IMG3D_API int Img3DSingleSegment(unsigned char*** source, unsigned char*** destination,
                                 int threshold, unsigned char high, unsigned char low);

/*
 * Binarises by a band.  For every voxel (x, y, z) of the source:
 * destination[z][y][x] = inside when lowThreshold <= source[z][y][x] <=
 * highThreshold (both ends included), outside otherwise.
 *
 * The voxel is compared with both thresholds as ints: equal thresholds c
 * select exactly the voxels of value c; lowThreshold > highThreshold, or a
 * band that misses 0 ... 255, writes outside everywhere; lowThreshold <= 0
 * with highThreshold >= 255 writes inside everywhere.  Equal inside and
 * outside fill the extent with that value.
 *
 * Reads and writes like Img3DSingleSegment: only the source's extent of the
 * destination, through its own tables, which must be at least as large; in
 * place allowed.  Returns 0; -1 as for Img3DSingleSegment.
 */
IMG3D_API int Img3DDoubleSegment(unsigned char*** source, unsigned char*** destination,
                                 int lowThreshold, int highThreshold,
                                 unsigned char inside, unsigned char outside);

/* ===========================================================================
 * Connected objects
 * ======================================================================== */

/*
 * Objects of one grey value are extracted by a scan-line flood fill that
 * paints every voxel it takes, and are handed out as run-length records.
 *
 * One run: the voxels volume[z][y][xStart] ... volume[z][y][xEnd] (xEnd
 * inclusive, xStart <= xEnd) of one row.  Eight bytes, four signed 16-bit
 * fields in this order, no padding: y at byte 0, z at 2, xStart at 4, xEnd
 * at 6.  Coordinates are 0 ... 32767, so records describe only volumes whose
 * width, height and depth are at most IMG3D_MAX_OBJECT_EXTENT (32768).
 */
#define IMG3D_MAX_OBJECT_EXTENT 32768

typedef struct Run3D {
    int16_t y;
    int16_t z;
    int16_t xStart;
    int16_t xEnd;
} Run3D;

/*
 * One 6-connected object: a single malloc block of exactly 4 + 8*count bytes,
 * the int32 count followed directly by count Run3D entries (use
 * RunLength3DRuns to reach them).  (Only when memory runs out just as a
 * block is trimmed to that size does it stay larger; count and runs are the
 * same and it is released the same way.)  Within a record:
 * - runs never share a voxel, and each is a whole stretch: the voxels just
 *   left of xStart and right of xEnd (where they exist) are not the object's;
 * - run 0 holds the seed, the voxel the fill started from.  In a list
 *   without NULL entries that is the object's first voxel in raster order
 *   (z, then y, then x), so run 0 lies in the object's lowest slice, on its
 *   lowest row there, and starts at the seed's column (see
 *   GetAllRunLength3D for the records of a list with NULL entries);
 * - the other runs follow in the order the fill took them.  That order is
 *   fixed: points wait on a last-in, first-out stack, starting with the
 *   seed.  A point whose voxel no longer holds the value yields nothing;
 *   otherwise its stretch of the row becomes the next run and is painted,
 *   then the rows next to the run are scanned over the run's columns, in
 *   this order: row y-1 and row y+1 of slice z, row y of slice z-1 and of
 *   slice z+1 (those that exist).  Each stretch of the value met in such a
 *   row, cut to those columns, pushes one point, its rightmost voxel there;
 *   the stretches of a row are pushed from left to right.
 */
typedef struct RunLength3D {
    int32_t count;
    /* followed by count Run3D entries */
} RunLength3D;

/* The first run of a record (a RunLength3D pointer), as a Run3D pointer. */
#define RunLength3DRuns(record) ((Run3D*)(void*)((record) + 1))

/*
 * Extracts every 6-connected object whose voxels equal value.
 *
 * Reads and writes the volume: objects are found in raster order of their
 * first voxel (z outermost, x innermost) and each becomes one RunLength3D
 * record; every voxel taken is overwritten with the low 8 bits of paint.
 * After a complete call exactly the voxels that held value hold the paint
 * value and every other voxel is unchanged: the volume is consumed, so work
 * on a copy to keep it.  Painting every record back with Img3DFillObject and
 * value restores it.  reserved is not read; pass 0.
 *
 * Returns the object list: a malloc block of exactly *count record pointers,
 * entry i being the i-th object found.  The caller owns the list and its
 * records and releases them together with FreeRunLength3D(*count, list), or
 * with free() on every entry and then on the list.
 *
 * An entry is NULL when memory ran out while that object was taken; *count
 * includes such entries, so skip them before passing entries on.  When the
 * object's record could not be allocated at all nothing of it was painted,
 * so its next voxel in raster order (if any) starts a new extraction that
 * takes the rest of the object: that record begins at a later voxel than
 * the object's first, and only a single-voxel object keeps its value.  When
 * the record or the fill's working memory could not grow, the part already
 * taken stays painted and the rest is found as one or more further objects.
 * In such a list, run 0 of a record need not be its object's first voxel
 * nor lie in its lowest slice.
 *
 * Returns NULL and sets *count to 0 when:
 * - volume or count is NULL (count left alone when it is the NULL one);
 * - no voxel holds value (also when value lies outside 0 ... 255), the
 *   volume unchanged;
 * - the low 8 bits of paint equal value, or width, height or depth exceeds
 *   IMG3D_MAX_OBJECT_EXTENT: refused, the volume unchanged;
 * - the list itself cannot be allocated or grown: every record made so far
 *   is released (nothing is left to free), the objects taken before the
 *   failure stay painted.
 * A NULL result always comes with *count 0, so FreeRunLength3D(*count, NULL)
 * is harmless.
 */
IMG3D_API RunLength3D** GetAllRunLength3D(unsigned char*** volume, int value, int paint,
                                          int* count, int reserved);

/*
 * Releases an object list and its records: entries 0 ... count-1 with
 * free(), then the list.  count is the one GetAllRunLength3D returned (note
 * the order: count first).  A NULL list is ignored, NULL entries are skipped,
 * a count of 0 or below releases only the list block.  Releasing a list
 * twice is undefined.
 */
IMG3D_API void FreeRunLength3D(int count, RunLength3D** list);

/*
 * Returns the number of voxels of a record: the sum over its runs of
 * xEnd - xStart + 1; 0 for a record of no runs.  Only reads the record.
 * -1 for a NULL record (the NULL entries of an object list).
 */
IMG3D_API int ObjVolume(const RunLength3D* record);

/*
 * Stores the inclusive bounding box of a record: *xMin and *xMax the smallest
 * xStart and largest xEnd, *yMin and *yMax the smallest and largest y, *zMax
 * the largest z.  *zMin is run 0's z, which for every record made by
 * GetAllRunLength3D is the object's lowest slice; a record assembled by
 * other means gets run 0's z even if a later run lies lower.  The box spans
 * xMax - xMin + 1 columns, and likewise for y and z.  Only reads the
 * record.  A NULL record or output pointer, or a record of no runs (which
 * has no box), writes nothing.
 */
IMG3D_API void GetObjectXYLimit3D(const RunLength3D* record, int* xMin, int* xMax,
                                  int* yMin, int* yMax, int* zMin, int* zMax);

/*
 * Sets every voxel of every run of the record to the low 8 bits of value
 * (256 writes 0, -1 writes 255); no other voxel changes.  The record is only
 * read.  A run that does not lie wholly inside the volume (records may be
 * assembled by hosts) is skipped; a NULL volume or record writes nothing.
 */
IMG3D_API void Img3DFillObject(unsigned char*** volume, const RunLength3D* record, int value);

/*
 * Labels the objects of the voxels equal to value: labels[i], for every voxel
 * i = (z*height + y)*width + x, becomes the number of the voxel's object, or
 * 0 for a voxel of another value.  connectivity says which voxels touch: 6
 * (across a face), 18 (a face or an edge) or 26 (a face, an edge or a
 * corner).  Objects are numbered 1 ... n in raster order of their first
 * voxel (x fastest, then y, then z) -- the numbering scipy.ndimage.label
 * gives on the [z][y][x] array.  With connectivity 6, object k is the object
 * whose record GetAllRunLength3D lists at index k-1 on the same volume (when
 * that list holds no NULL entry).
 *
 * Reads the volume and writes every one of its width*height*depth entries of
 * labels, an array the caller provides; nothing is painted, and any volume
 * Image3DAlloc made is accepted.
 *
 * Returns n, the number of objects (0 for a value outside 0 ... 255, with
 * every label 0).  Returns -1, with labels untouched, for a NULL volume or
 * labels, a connectivity other than 6, 18 or 26, or when the working memory
 * cannot be allocated.
 */
IMG3D_API int Img3DLabel(unsigned char*** volume, int value, int connectivity, int32_t* labels);

/*
 * Img3DLabel on voxels held in plain memory rather than in a volume: for
 * hosts whose arrays live elsewhere (a numpy array, a memory-mapped file).
 *
 * voxels is an array of width*height*depth bytes, voxel (x, y, z) at
 * (z*height + y)*width + x (x fastest); it is only read.  labels is an
 * array of width*height*depth entries of labelType, IMG3D_INT32 (int32_t) or
 * IMG3D_INT64 (int64_t), that the caller provides; every entry is written,
 * entry i with the label of voxel i.  The two arrays must not overlap.  The
 * labels are exactly Img3DLabel's on a volume of the same voxels: objects
 * of the voxels equal to value, touching as connectivity says (6, 18 or
 * 26), numbered 1 ... n in raster order of their first voxel (the numbering
 * of scipy.ndimage.label on the [z][y][x] array), 0 for every other voxel.
 * Extents above IMG3D_MAX_OBJECT_EXTENT are labelled like any others.
 *
 * Returns n, the number of objects (0 for a value outside 0 ... 255, with
 * every label 0).  Returns -1, with labels untouched, when
 * - voxels or labels is NULL;
 * - width, height or depth is below 1;
 * - connectivity is not 6, 18 or 26;
 * - labelType is neither IMG3D_INT32 nor IMG3D_INT64;
 * - width, height or depth is above 2^31 - 1, or the arrays' last entry
 *   lies beyond what a pointer addresses;
 * - the working memory cannot be allocated.
 * Returns -2, with labels untouched, when labelType is IMG3D_INT32 and the
 * objects are more than 2^31 - 1 (INT64 labels hold them).  Either label
 * type takes volumes of any size that fits in memory.
 */
IMG3D_API int64_t Img3DLabelVoxels(const uint8_t* voxels, int64_t width, int64_t height, int64_t depth,
                                   int value, int connectivity, void* labels, int labelType);

/*
 * Img3DLabelVoxels on a block of larger arrays, telling where each object
 * begins: for hosts that label a large volume in blocks, write each block's
 * labels into their place in the whole volume's label image, and number the
 * blocks' objects together in raster order.
 *
 * The block's voxel (x, y, z) is voxels[z*voxelSliceStride +
 * y*voxelRowStride + x] and its label labels[z*labelSliceStride +
 * y*labelRowStride + x] (an entry of labelType); a stride of 0 means packed
 * (width for a row, height times the row stride for a slice).  Only those
 * width*height*depth entries of labels are written, each once with its
 * label, and nothing else of either array is touched; the two arrays must
 * not overlap.
 *
 * rowObjects is NULL, or an array of height*depth entries that the caller
 * provides; entry z*height + y receives the number of objects whose first
 * voxel (in raster order) lies in row y of slice z.  The objects a row
 * begins are numbered consecutively, so with S(r) the sum of the entries 0
 * ... r, row r begins the objects S(r-1) + 1 ... S(r), and object k's first
 * voxel lies in the first row r with S(r) >= k.  Every entry is written (0
 * for a value outside 0 ... 255).
 *
 * The labels, the result, the working memory and the refusals are
 * Img3DLabelVoxels's on the block's voxels, with these refusals more (-1,
 * nothing written): a negative stride; a nonzero row stride below width or
 * slice stride below height times the row stride; and an array whose last
 * entry's offset overflows.
 */
IMG3D_API int64_t Img3DLabelVoxelsStrided(const uint8_t* voxels, int64_t width, int64_t height, int64_t depth,
                                          int64_t voxelRowStride, int64_t voxelSliceStride, int value,
                                          int connectivity, void* labels, int labelType, int64_t labelRowStride,
                                          int64_t labelSliceStride, int64_t* rowObjects);

/*
 * The labelling of a block held between its two passes, for hosts that
 * label a large volume in blocks: each block's objects are found once and
 * kept as runs; the host reads the labels on the blocks' faces, numbers
 * the blocks' objects together, and then writes each block's labels once,
 * through its table, into their place in the whole volume's label image.
 * No pass over the label image of its own, and no label image per block.
 *
 * Img3DLabelRuns finds the objects of a block of voxels, as
 * Img3DLabelVoxelsStrided does (the same voxels, value, connectivity and
 * numbering, 1 ... n in the block's raster order, and rowObjects as
 * there), and returns them held: *objects (when objects is not NULL)
 * receives n.  The voxels are only read, and not needed afterwards.  The
 * holding keeps 1 bit per voxel of the block (rows rounded up to 64 bits),
 * 5 bytes per row and 4 bytes per run the block's extents can hold ((width
 * + 1)/2 a row; pages beyond the runs found are reserved, not touched), or
 * where they can hold more than 2^31 - 1 runs, 9 bytes per row and 8 per
 * run found.  Returns NULL, writing nothing, when voxels is NULL; an
 * extent is below 1 or above 2^31 - 1; connectivity is not 6, 18 or 26; a
 * stride is refused as by Img3DLabelVoxelsStrided; or the memory cannot be
 * allocated.  A value outside 0 ... 255 holds no object.
 *
 * Img3DRunLabelsCount returns the n of a holding (-1 for NULL).
 *
 * Img3DWriteRunLabels writes the labels of the box of the block that starts
 * at voxel (x, y, z) and spans width x height x depth voxels: the box's
 * voxel (i, j, k) goes to labels[k*labelSliceStride + j*labelRowStride + i]
 * (entries of labelType, IMG3D_INT32 or IMG3D_INT64; strides in entries, 0
 * for packed), and every one of those entries is written, nothing else.  A
 * voxel of object k gets table[k] where table is not NULL (an array of
 * `entries` values of labelType, entries > n; table[0] is not read), else
 * k; every other voxel gets 0.  The holding is only read: calls on one
 * holding may run at once, each into its own entries, and may be repeated.
 * Returns 0.  Returns -1, writing nothing, when runs or labels is NULL,
 * labelType is neither type, the box is empty or does not lie inside the
 * block, a stride is refused as by Img3DLabelVoxelsStrided, or table is
 * given with entries <= n; -2, writing nothing, when table is NULL,
 * labelType is IMG3D_INT32 and n is above 2^31 - 1.
 *
 * Img3DFreeRunLabels releases a holding (nothing for NULL).
 */
typedef struct Img3DRunLabels Img3DRunLabels;

IMG3D_API Img3DRunLabels* Img3DLabelRuns(const uint8_t* voxels, int64_t width, int64_t height, int64_t depth,
                                         int64_t voxelRowStride, int64_t voxelSliceStride, int value,
                                         int connectivity, int64_t* objects, int64_t* rowObjects);
IMG3D_API int64_t Img3DRunLabelsCount(const Img3DRunLabels* runs);
IMG3D_API int Img3DWriteRunLabels(const Img3DRunLabels* runs, int64_t x, int64_t y, int64_t z, int64_t width,
                                  int64_t height, int64_t depth, void* labels, int labelType, int64_t labelRowStride,
                                  int64_t labelSliceStride, const void* table, int64_t entries);
IMG3D_API void Img3DFreeRunLabels(Img3DRunLabels* runs);

/*
 * Renumbers labels in place through a table: each of the count entries of
 * labels, an array of labelType (IMG3D_INT32 or IMG3D_INT64), that holds a
 * value v with 0 <= v < entries becomes table[v]; table is an array of
 * `entries` values of the same type, only read, that must not overlap
 * labels.  An entry whose value the table does not hold (negative, or
 * entries or above) is left as it is.  For hosts that label a volume in
 * blocks and then number the blocks' objects together: one pass, no working
 * memory.
 *
 * Returns the number of entries left as they were because the table holds
 * no value for them (0 when every entry was renumbered).  Returns -1, with
 * labels untouched, when labels or table is NULL, count is negative,
 * entries is below 1, or labelType is neither IMG3D_INT32 nor IMG3D_INT64.
 */
IMG3D_API int64_t Img3DRelabelVoxels(void* labels, int64_t count, int labelType, const void* table, int64_t entries);

/*
 * Img3DRelabelVoxels from one array into another: destination[i] becomes
 * table[labels[i]] for each of the count entries of labels whose value v
 * the table holds (0 <= v < entries), and labels[i] itself otherwise; labels
 * is only read.  For a host that writes a block's labels into their place
 * in a larger label image (a row at a time) while renumbering them: one
 * pass instead of a copy and a renumbering.  destination, of count entries
 * of labelType, may be labels itself (Img3DRelabelVoxels) but must not
 * otherwise overlap labels or table.  No working memory.
 *
 * Returns the number of entries copied unchanged because the table holds
 * no value for them.  Returns -1, writing nothing, when labels, destination
 * or table is NULL, count is negative, entries is below 1, or labelType is
 * neither IMG3D_INT32 nor IMG3D_INT64.
 */
IMG3D_API int64_t Img3DRelabelVoxelsInto(const void* labels, void* destination, int64_t count, int labelType,
                                         const void* table, int64_t entries);

/*
 * What Img3DObjectStats reports of one object, 64 bytes.  The centroid is
 * (sumX / voxels, sumY / voxels, sumZ / voxels).
 */
typedef struct Img3DObject {
    int64_t sumX, sumY, sumZ;   /* sums of the voxels' coordinates */
    int32_t voxels;             /* voxel count */
    int32_t xMin, xMax;         /* inclusive bounding box */
    int32_t yMin, yMax;
    int32_t zMin, zMax;
    int32_t firstX, firstY, firstZ;  /* the first voxel in raster order */
} Img3DObject;

/*
 * Measures the objects of a label array of width x height x depth entries in
 * voxel order (x fastest), such as Img3DLabel writes: objects[k-1] receives
 * the statistics of label k, for k = 1 ... count.  Label 0 is background;
 * labels below 0 or above count are not counted.  A label of 1 ... count
 * that no entry carries gets voxels 0 and every other field 0.
 *
 * Reads labels; writes the count entries of objects, an array the caller
 * provides (count is Img3DLabel's result).  Allocates nothing.
 *
 * Returns the number of entries whose label lies outside 0 ... count (0 for
 * the array of Img3DLabel with its count).  Returns -1, writing nothing, for
 * NULL labels, NULL objects with count above 0, count below 0, a dimension
 * below 1, or more than 2^31 - 1 entries.
 */
IMG3D_API int Img3DObjectStats(const int32_t* labels, int width, int height, int depth, int count,
                               Img3DObject* objects);

/* ===========================================================================
 * Morphology and object filters
 * ======================================================================== */

/*
 * Dilates the voxels equal to objectValue by one voxel.
 *
 * Reads the source; writes every voxel of the destination, which ends up
 * holding only the object value (low 8 bits) and the background value (low
 * 8 bits).  elementType 1 spreads each matching voxel to itself and its 6
 * face neighbours, 2 to the whole 3x3x3 cube around it; any other type
 * spreads nothing, so the destination becomes all background.  Only interior
 * voxels of the source spread (1 <= x <= width-2, likewise y and z): a match
 * on an outer face is neither copied nor dilated, and a volume thinner than
 * 3 in any direction gives all background.  Grey values other than the
 * object value are not carried over.
 *
 * The destination must have the source's dimensions; it may be the source
 * itself (the result is the same as with a separate destination).
 *
 * Returns 0.  When its working memory cannot be allocated, a separate
 * destination is still written, by a slower scan that needs none, and the
 * result is 0; in place the volume is left untouched and the result is -1.
 * Returns -1 without writing anything when a volume is NULL or the
 * dimensions differ.
 */
IMG3D_API int Img3DDilatation(unsigned char*** source, unsigned char*** destination,
                              int objectValue, int backgroundValue, int elementType);

/*
 * Removes the 6-connected objects of objectValue whose voxel count lies
 * outside [minVolume, maxVolume] (both bounds stay; minVolume > maxVolume
 * removes every object).
 *
 * The destination (same dimensions as the source, a different volume)
 * becomes a copy of the source in which every removed object is painted
 * with the low 8 bits of paintValue.  Voxels of other grey values and the
 * objects that stay are exactly as in the source.  The source is only read.
 *
 * Returns
 *    0  the objects were measured and filtered;
 *   -1  the source holds no voxel of objectValue (every value outside
 *       0 ... 255 included): the destination is an exact copy of the source;
 *   -1  memory ran out while the objects were counted, or a dimension is
 *       above IMG3D_MAX_OBJECT_EXTENT (as for GetAllRunLength3D): the
 *       destination is an exact copy of the source;
 *   -1  refused before anything is written: a NULL volume, volumes of other
 *       dimensions, source and destination the same volume, or the low 8
 *       bits of paintValue equal to objectValue (a removed object could not
 *       be told from one that stays).
 */
IMG3D_API int Img3DDelVolume(unsigned char*** source, unsigned char*** destination,
                             int objectValue, int paintValue, int minVolume, int maxVolume);

/*
 * Smooths the surface of every 6-connected object of objectValue by a cubic
 * majority window of side w = 2*radius + 1, one object at a time.
 *
 * Each object is taken alone, as a mask of its bounding box (plus a margin
 * of radius voxels holding the background), and every voxel of its bounding
 * box becomes the object value when the sum of the grey values in the
 * window around it, n*objectValue + (w^3 - n)*background for n object
 * voxels, reaches ((w^3 + 1) * objectValue) / 2.  With background 0 this is a
 * strict majority of object voxels (14 of 27 for radius 1).  Results of all
 * objects are joined; neighbouring objects never count in each other's
 * windows and an object never grows beyond its own bounding box.  Radius 0
 * with background 0 keeps exactly the object voxels.
 *
 * The destination (same dimensions as the source) ends up holding only the
 * object value and the background value (low 8 bits); it may be the source
 * itself.  The source is only read.
 *
 * Returns
 *    0  the objects were smoothed;
 *   -1  the source holds no voxel of objectValue (every value outside
 *       0 ... 255 included), or a dimension is above IMG3D_MAX_OBJECT_EXTENT
 *       (as for GetAllRunLength3D): the destination is an exact copy of the
 *       source;
 *   -1  memory ran out while the objects were found: the destination is an
 *       exact copy of the source (in place: the volume is unchanged);
 *   -1  refused before anything is written: a NULL volume, volumes of other
 *       dimensions, radius below 0 or above 101 (the window threshold would
 *       not fit in 32 bits), or the low 8 bits of backgroundValue equal to
 *       objectValue.
 * An object whose own working memory cannot be allocated is skipped: its
 * box receives nothing from it, and the result is still 0.  An object with
 * fewer voxels than a window needs to pass (with objectValue above the
 * background) claims nothing.
 */
IMG3D_API int Img3DEdgeSmooth(unsigned char*** source, unsigned char*** destination,
                              int objectValue, int backgroundValue, int radius);

/* ===========================================================================
 * Finishing a segmentation: functions on raw memory
 *
 * These functions take plain arrays instead of volume handles: voxel
 * (x, y, z) of a width x height x depth array is element
 * (z*height + y)*width + x (x fastest), which is element [z][y][x] of a
 * C-ordered [z, y, x] numpy array.  Extents are int64_t, each at least 1,
 * and the array's byte size must be addressable on this machine (so on a
 * 32-bit target every array stays below 4 GiB); a call outside these limits
 * is refused.  Source and destination must either be the same array or not
 * overlap at all.  Where a function takes `value`, the voxels equal to it
 * form the set it works on (a value outside 0 ... 255 matches no voxel);
 * the values written (value, background, paint) are stored as their low 8
 * bits.  Connectivity is 6, 18 or 26 as for Img3DLabel.  A refused call
 * writes nothing; so does one whose working memory cannot be had.
 * ======================================================================== */

/*
 * Binary morphology of the voxels equal to value by the element of the
 * given connectivity (6: the centre and its face neighbours, 18: the edges
 * too, 26: the 3x3x3 cube -- scipy's generate_binary_structure(3, 1), (3, 2)
 * and (3, 3)), repeated `iterations` times.  Outside the volume counts as
 * background (scipy's border_value=0), so an erosion takes away the set's
 * voxels on the volume's faces, and a closing can lose set voxels near them.
 *
 *   Img3DBinaryDilate  a voxel joins the set when the element centred on it
 *                      meets the set: scipy.ndimage.binary_dilation.
 *   Img3DBinaryErode   a voxel stays when the element centred on it lies
 *                      wholly inside the set: binary_erosion.
 *   Img3DBinaryOpen    `iterations` erosions, then as many dilations:
 *                      binary_opening.
 *   Img3DBinaryClose   `iterations` dilations, then as many erosions:
 *                      binary_closing (with its border effects).
 *
 * Reads the source; writes every voxel of the destination: value where the
 * result holds, background elsewhere, i.e. np.where(op(a == value), value,
 * background).  Destination and source may be the same array.
 *
 * Returns 0.  Returns -1, writing nothing, for a NULL array, an extent
 * below 1 or an array too large to address, a connectivity other than 6,
 * 18 or 26, iterations below 1, or when the working memory cannot be had.
 */
IMG3D_API int Img3DBinaryDilate(const uint8_t* source, uint8_t* destination, int64_t width, int64_t height,
                                int64_t depth, int value, int background, int connectivity, int iterations);
IMG3D_API int Img3DBinaryErode(const uint8_t* source, uint8_t* destination, int64_t width, int64_t height,
                               int64_t depth, int value, int background, int connectivity, int iterations);
IMG3D_API int Img3DBinaryOpen(const uint8_t* source, uint8_t* destination, int64_t width, int64_t height,
                              int64_t depth, int value, int background, int connectivity, int iterations);
IMG3D_API int Img3DBinaryClose(const uint8_t* source, uint8_t* destination, int64_t width, int64_t height,
                               int64_t depth, int value, int background, int connectivity, int iterations);

/*
 * Fills the holes of the voxels equal to value: every connected piece of
 * the other voxels (connected by `connectivity`) that touches no face of
 * the volume joins the set, as scipy.ndimage.binary_fill_holes(a == value,
 * generate_binary_structure(3, 1 | 2 | 3)) computes it.
 *
 * axis -1 fills 3-D holes of the whole volume.  axis 0, 1 or 2 (of the
 * [z, y, x] array) fills 2-D holes of each plane across that axis on its
 * own: 0 the planes of one z, 1 of one y, 2 of one x; a piece then counts
 * as a hole when it touches none of its plane's four edges, and pieces are
 * 4-connected within the plane for connectivity 6 and 8-connected for 18 or
 * 26 -- binary_fill_holes on each plane with generate_binary_structure(2, 1)
 * or (2, 2).
 *
 * Reads the source; writes every voxel of the destination: value on the set
 * and its holes, background elsewhere.  Destination and source may be the
 * same array.
 *
 * Returns the number of holes filled (0 or more; with axis 0 ... 2 summed
 * over the planes).  Returns -1, writing nothing, for a NULL array, extents
 * outside the limits above, a connectivity other than 6, 18 or 26, an axis
 * other than -1, 0, 1, 2, or when the working memory cannot be had.
 */
IMG3D_API int64_t Img3DFillHoles(const uint8_t* source, uint8_t* destination, int64_t width, int64_t height,
                                 int64_t depth, int value, int background, int connectivity, int axis);

/*
 * Object selection by size, objects being the connected pieces (6, 18 or
 * 26) of the voxels equal to value, numbered in raster order of their
 * first voxel as Img3DLabel numbers them.
 *
 *   Img3DKeepLargest   keeps the `keep` objects with the most voxels; among
 *                      objects of equal size the lower number stays.  keep
 *                      0 removes every object; keep >= the number of
 *                      objects removes none.
 *   Img3DRemoveBySize  keeps the objects of minVoxels ... maxVoxels voxels
 *                      (both bounds included; minVoxels > maxVoxels removes
 *                      every object).  With maxVoxels = INT64_MAX this is
 *                      skimage.morphology.remove_small_objects(a == value,
 *                      min_size=minVoxels, connectivity=1 | 2 | 3).
 *
 * Reads the source; the destination becomes a copy of it in which every
 * voxel of a removed object holds paint.  Voxels of other values and the
 * objects that stay are as in the source.  Destination and source may be
 * the same array.
 *
 * Returns the number of objects removed (0 or more).  Returns -1, writing
 * nothing, for a NULL array, extents outside the limits above, a
 * connectivity other than 6, 18 or 26, keep below 0, the low 8 bits of
 * paint equal to value (a removed object could not be told from one that
 * stays), or when the working memory cannot be had.
 */
IMG3D_API int64_t Img3DKeepLargest(const uint8_t* source, uint8_t* destination, int64_t width, int64_t height,
                                   int64_t depth, int value, int connectivity, int64_t keep, int paint);
IMG3D_API int64_t Img3DRemoveBySize(const uint8_t* source, uint8_t* destination, int64_t width,
                                    int64_t height, int64_t depth, int value, int connectivity,
                                    int64_t minVoxels, int64_t maxVoxels, int paint);

/*
 * Labels every value at once: the connected pieces (6, 18 or 26) of each
 * non-zero value of a multi-valued image, two voxels belonging to one piece
 * when they are connected through voxels of their own value.  Pieces are
 * numbered 1 ... n together, in raster order of their first voxel (x
 * fastest, then y, then z), as skimage.measure.label(a, background=0,
 * connectivity=1 | 2 | 3) numbers them; a voxel of value 0 gets label 0.
 *
 * voxels: width*height*depth elements of voxelType, one of IMG3D_UINT8,
 * IMG3D_UINT16, IMG3D_INT16, IMG3D_INT32.  labels: as many elements of
 * labelType, IMG3D_INT32 or IMG3D_INT64, all of them written; an INT32
 * label array takes at most 2^31 - 1 voxels.
 *
 * pieceValues, when not NULL, addresses `capacity` writable int64_t: entry
 * k-1 receives the value of piece k, for k = 1 ... min(n, capacity).  When
 * the result exceeds capacity, the missing values can be read from the
 * voxels at the pieces' labels, or the call repeated with a larger array.
 * With pieceValues NULL, capacity is not read.
 *
 * Returns n, the number of pieces (0 for an image of zeros).  Returns -1,
 * writing nothing, for NULL voxels or labels, an element type not listed,
 * extents outside the limits above, an INT32 label array for more than
 * 2^31 - 1 voxels, a connectivity other than 6, 18 or 26, capacity below 0
 * with pieceValues given, or when the working memory cannot be had.
 */
IMG3D_API int64_t Img3DLabelAll(const void* voxels, int voxelType, int64_t width, int64_t height,
                                int64_t depth, int connectivity, void* labels, int labelType,
                                int64_t* pieceValues, int64_t capacity);

/*
 * What Img3DIntensityStats reports of one label, 56 bytes.  minimum and
 * maximum are grey values of the grey image's type, exact in a double.
 */
typedef struct Img3DIntensity {
    int64_t count;      /* voxels carrying the label */
    int64_t integerSum; /* exact sum, for integer grey images; 0 for FLOAT32 */
    double sum;         /* the sum: integerSum rounded, or for FLOAT32 the
                           compensated double sum */
    double mean;        /* sum / count; NaN when count is 0 */
    double deviation;   /* population standard deviation; NaN when count is 0 */
    double minimum;     /* smallest grey value; for count 0, 0 (integer types)
                           or NaN (FLOAT32) */
    double maximum;     /* largest grey value; likewise */
} Img3DIntensity;

/*
 * Intensity statistics per label: stats[k-1] receives count, sums, mean,
 * population standard deviation, minimum and maximum of the grey values of
 * the voxels whose label is k, for k = 1 ... count.  As scipy.ndimage.mean,
 * standard_deviation, minimum and maximum (grey, labels, index=1 ... count)
 * compute them: the mean within 1e-12 relative, the deviation within 1e-9,
 * minimum and maximum exact.
 *
 * labels: width*height*depth elements of labelType (IMG3D_INT32 or
 * IMG3D_INT64); grey: as many of greyType (IMG3D_UINT8, IMG3D_INT16,
 * IMG3D_UINT16 or IMG3D_FLOAT32), same extents and order.  One pass over
 * the voxels.  Label 0 is background; labels below 0 or above count are not
 * counted anywhere.  For FLOAT32 a NaN grey value makes its label's sum,
 * mean and deviation NaN; minimum and maximum are those of the other values
 * (NaN when there are none).
 *
 * Reads labels and grey; writes the count entries of stats, an array the
 * caller provides.
 *
 * Returns the number of voxels whose label lies outside 0 ... count (0 for
 * the labels of Img3DLabelAll with its result).  Returns -1, writing
 * nothing, for NULL labels or grey, NULL stats with count above 0, count
 * below 0, an element type not listed, extents outside the limits above,
 * or when the working memory cannot be had.
 */
IMG3D_API int64_t Img3DIntensityStats(const void* labels, int labelType, const void* grey,
                                      int greyType, int64_t width, int64_t height, int64_t depth,
                                      int64_t count, Img3DIntensity* stats);

#ifdef __cplusplus
} /* extern "C" */

/* ===========================================================================
 * CTarnImage3D -- one volume with value semantics, for C++ hosts.
 * ======================================================================== */

/*
 * Holds at most one volume (a handle from Image3DAlloc) and owns it:
 * construction allocates, destruction releases, copying and assignment make a
 * new volume with the same dimensions and voxels.  An object without a volume
 * is empty: its dimensions and size read 0 and its handle is NULL.  An
 * allocation failure never throws; it leaves the object empty.
 *
 * Being C++, the class links only with hosts built by the same compiler
 * family as the library; the C functions above work from any host.
 */
class IMG3D_API CTarnImage3D {
public:
    /* An empty object. */
    CTarnImage3D();
    /* Holds a new zero-filled volume; empty when the allocation fails. */
    CTarnImage3D(int width, int height, int depth);
    /* A new volume with the source's dimensions and voxels; empty when the
     * source is empty or the allocation fails. */
    CTarnImage3D(CTarnImage3D& source);
    CTarnImage3D(const CTarnImage3D& source);
    /* Releases the held volume. */
    ~CTarnImage3D();

    /*
     * Releases the held volume, then holds a new zero-filled one.  Returns 1,
     * or 0 when the allocation fails (the object is then empty).
     */
    int makeImage(int width, int height, int depth);
    /* Releases the held volume; the object becomes empty. */
    void destroyImage();

    int getWidth() const;
    int getHeight() const;
    int getDepth() const;
    /* width * height * depth: the voxel count, 0 when empty. */
    int getSize() const;
    /* The first voxel (all getSize() voxels follow contiguously); NULL when
     * empty. */
    unsigned char* getPixels();

    /*
     * Assigning an object to itself changes nothing.  Otherwise the held
     * volume is always replaced by a new block (handles obtained earlier
     * become invalid), even when the dimensions match; assigning an empty
     * object, or a failed allocation, leaves this object empty.
     */
    CTarnImage3D& operator=(const CTarnImage3D& source);

    /* The held handle itself (NULL when empty); ownership stays here. */
    operator unsigned char***();

    /* Sets every voxel to the low 8 bits of value; nothing when empty. */
    void clearImage(int value);

private:
    unsigned char*** m_image;
};

#endif /* __cplusplus */

#endif /* IMG3D_H */
