/* An example host: loads libplateio.so at run time by name, as a data-reduction program does,
 * resolves the functions it needs with dlsym, and works with the exposures named on its command
 * line:
 *   - every file is described (read_tra_header or read_xi_header) and loaded (read_tra or read_xi);
 *   - a TRA file is also read with read_az_tra into a small target of the host's own: the row
 *     through the beam of the 2 x 2 binned grid, drawn as a profile;
 *   - finally a point is corrected with correct_cry and brought back with anti_correct.
 * The host supplies sind, cosd and binning itself. It is linked with -rdynamic (ENABLE_EXPORTS), so
 * the library's weak references resolve to these routines instead of its built-ins, which
 * plateio_host_routines() confirms at start-up.
 * An X-Area file is told from a TRA file by its magic, as any host would. */
#include <dlfcn.h>
#include <math.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "plateio.h"

/* ---- The routines a host supplies ------------------------------------------------------------- */

static long trig_calls; /* how often the library called the host's sind and cosd */

/* Reduced in degrees first, so that multiples of 90 give exactly 0, 1 and -1. */
static double reduce_degrees(double degrees, int *quadrant) {
    double turns = floor(degrees / 90.0 + 0.5);
    *quadrant = (int)fmod(fmod(turns, 4.0) + 4.0, 4.0);
    return (degrees - 90.0 * turns) * (3.14159265358979323846 / 180.0);
}

double sind(double degrees) {
    int quadrant = 0;
    const double r = reduce_degrees(degrees, &quadrant);
    ++trig_calls;
    switch (quadrant) {
    case 0:
        return sin(r);
    case 1:
        return cos(r);
    case 2:
        return -sin(r);
    default:
        return -cos(r);
    }
}

double cosd(double degrees) {
    int quadrant = 0;
    const double r = reduce_degrees(degrees, &quadrant);
    ++trig_calls;
    switch (quadrant) {
    case 0:
        return cos(r);
    case 1:
        return -sin(r);
    case 2:
        return -cos(r);
    default:
        return sin(r);
    }
}

/* Sums each factor x factor block into one pixel, in place; a block holding an overflowed pixel
 * stays overflowed, and a sum above limit is stored as limit. */
void binning(int32_t **grid, int32_t factor, int32_t *width, int32_t *height, int32_t limit) {
    const int32_t w = *width / factor;
    const int32_t h = *height / factor;
    int32_t *pixels = *grid;
    printf("  host binning: factor %d, %d x %d -> %d x %d\n", factor, *width, *height, w, h);
    for (int32_t y = 0; y < h; ++y) {
        for (int32_t x = 0; x < w; ++x) {
            int64_t sum = 0;
            int overflowed = 0;
            for (int32_t dy = 0; dy < factor; ++dy) {
                for (int32_t dx = 0; dx < factor; ++dx) {
                    const int32_t v = pixels[(y * factor + dy) * *width + x * factor + dx];
                    overflowed |= v == PIXEL_OVERFLOW;
                    sum += v;
                }
            }
            pixels[y * w + x] = overflowed ? PIXEL_OVERFLOW : (int32_t)(sum > limit ? limit : sum);
        }
    }
    *width = w;
    *height = h;
}

/* ---- The library, resolved by name ------------------------------------------------------------ */

typedef struct library {
    void *handle;
    int32_t (*read_tra)(const char *, int32_t **, int32_t *, int32_t *);
    int32_t (*read_tra_header)(const char *, image_info *);
    int32_t (*read_az_tra)(const char *, remap_target *, int32_t **);
    int32_t (*read_xi)(const char *, pixel_image *, reduction_params *);
    int32_t (*read_xi_header)(const char *, image_info *);
    void (*correct_cry)(double *, const geometry_params *, double);
    void (*anti_correct)(double *, const geometry_params *, double);
    int32_t (*host_routines)(void);
} library;

static int resolve(void *handle, const char *name, void **slot) {
    *slot = dlsym(handle, name);
    if (*slot == NULL) {
        fprintf(stderr, "host: the library lacks %s\n", name);
        return 0;
    }
    return 1;
}

static int open_library(library *lib) {
    /* dlsym hands back data pointers; copying them into function pointers through memcpy is the
     * POSIX way to do that in strict C. */
    void *slots[8];
    static const char *const names[8] = {"read_tra",     "read_tra_header",      "read_az_tra",
                                         "read_xi",      "read_xi_header",       "correct_cry",
                                         "anti_correct", "plateio_host_routines"};
    memset(lib, 0, sizeof *lib);
    lib->handle = dlopen("libplateio.so.1", RTLD_NOW);
    if (lib->handle == NULL) {
        fprintf(stderr, "host: %s\n", dlerror());
        return 0;
    }
    int ok = 1;
    for (int i = 0; i < 8; ++i) {
        ok &= resolve(lib->handle, names[i], &slots[i]);
    }
    if (!ok) {
        return 0;
    }
    memcpy(&lib->read_tra, &slots[0], sizeof slots[0]);
    memcpy(&lib->read_tra_header, &slots[1], sizeof slots[1]);
    memcpy(&lib->read_az_tra, &slots[2], sizeof slots[2]);
    memcpy(&lib->read_xi, &slots[3], sizeof slots[3]);
    memcpy(&lib->read_xi_header, &slots[4], sizeof slots[4]);
    memcpy(&lib->correct_cry, &slots[5], sizeof slots[5]);
    memcpy(&lib->anti_correct, &slots[6], sizeof slots[6]);
    memcpy(&lib->host_routines, &slots[7], sizeof slots[7]);
    return 1;
}

/* ---- What the host does with them -------------------------------------------------------------- */

static void describe(const image_info *info) {
    printf("  geometry           %g %g %g %g %g %g | %g %g %g\n", info->geometry[0], info->geometry[1],
           info->geometry[2], info->geometry[3], info->geometry[4], info->geometry[5], info->geometry[6],
           info->geometry[7], info->geometry[8]);
    printf("  overload_count %d, setting %d, overflow_threshold %d, scale_value %g\n", info->overload_count,
           info->setting, info->overflow_threshold, info->scale_value);
}

static void summarise(const int32_t *pixels, int32_t width, int32_t height) {
    long long sum = 0;
    int32_t max = 0, overflowed = 0;
    for (int32_t i = 0; i < width * height; ++i) {
        if (pixels[i] == PIXEL_OVERFLOW) {
            ++overflowed;
        } else {
            sum += pixels[i];
            max = pixels[i] > max ? pixels[i] : max;
        }
    }
    printf("  image              %d x %d, max %d, sum %lld, overflowed %d\n", width, height, max, sum,
           overflowed);
}

/* The row through the beam of the binned grid, one character per ten cells on a logarithmic scale
 * from the faintest cell to the brightest; an overflowed cell shows as '!'. */
static void draw_profile(const int32_t *cells, int32_t count) {
    static const char shades[] = " .:-=+*#%@";
    double faint = 0.0, top = 0.0;
    for (int32_t i = 0; i < count; ++i) {
        if (cells[i] != PIXEL_OVERFLOW && cells[i] > 0) {
            faint = faint == 0.0 || cells[i] < faint ? cells[i] : faint;
            top = cells[i] > top ? cells[i] : top;
        }
    }
    printf("  profile            |");
    for (int32_t first = 0; first < count; first += 10) {
        double peak = faint;
        int overflowed = 0;
        for (int32_t i = first; i < first + 10 && i < count; ++i) {
            overflowed |= cells[i] == PIXEL_OVERFLOW;
            peak = cells[i] != PIXEL_OVERFLOW && cells[i] > peak ? cells[i] : peak;
        }
        const double level = top > faint ? log(peak / faint) / log(top / faint) : 0.0;
        putchar(overflowed ? '!' : shades[(int)(level * 9.0 + 0.5)]);
    }
    printf("|\n");
}

static int remap_tra(const library *lib, const char *path) {
    enum { kBinned = 600 };
    int32_t *map = malloc(sizeof(int32_t) * kBinned * kBinned);
    int32_t *cells = calloc(kBinned, sizeof(int32_t));
    int status = 1;
    if (map != NULL && cells != NULL) {
        for (int32_t i = 0; i < kBinned * kBinned; ++i) {
            map[i] = i / kBinned == kBinned / 2 ? i % kBinned : -1; /* only the middle row, to cells */
        }
        remap_target target;
        memset(&target, 0, sizeof target);
        target.cells = cells;
        target.grid_mode = 1200; /* not 600: the library hands the grid to binning first */
        target.cell_count = kBinned;
        printf("read_az_tra %s (binned, the row through the beam into %d cells)\n", path, kBinned);
        if (lib->read_az_tra(path, &target, &map)) {
            printf("  overload_count     %d\n", target.overload_count);
            draw_profile(cells, kBinned);
            status = 0;
        }
    }
    free(cells);
    free(map);
    return status;
}

static int load_tra(const library *lib, const char *path) {
    image_info info;
    memset(&info, 0, sizeof info);
    printf("read_tra %s\n", path);
    if (!lib->read_tra_header(path, &info)) {
        return 1;
    }
    describe(&info);
    int32_t *pixels = NULL;
    int32_t width = 0, height = 0;
    if (!lib->read_tra(path, &pixels, &width, &height)) {
        return 1;
    }
    summarise(pixels, width, height);
    free(pixels); /* the image is the host's; the library allocated it with malloc */
    return remap_tra(lib, path);
}

static int load_xarea(const library *lib, const char *path) {
    image_info info;
    memset(&info, 0, sizeof info);
    printf("read_xi %s\n", path);
    if (!lib->read_xi_header(path, &info)) {
        return 1;
    }
    describe(&info);
    pixel_image image;
    reduction_params params;
    memset(&image, 0, sizeof image);
    memset(&params, 0, sizeof params);
    params.geometry2 = PLATEIO_UNSET; /* "not set": the library takes it from the file */
    if (!lib->read_xi(path, &image, &params)) {
        return 1;
    }
    summarise(image.pixels, image.width, image.height);
    printf("  overflow_count     %d above threshold %d\n", image.overflow_count, image.overflow_threshold);
    free(image.pixels);
    return 0;
}

static int is_xarea(const char *path) {
    char magic[11] = {0};
    FILE *file = fopen(path, "rb");
    if (file == NULL) {
        return 0; /* the reader reports it */
    }
    const size_t n = fread(magic, 1, sizeof magic, file);
    fclose(file);
    return n == sizeof magic && memcmp(magic, "STOE_XFILE", sizeof magic) == 0;
}

static void correct_point(const library *lib) {
    geometry_params params;
    memset(&params, 0, sizeof params);
    params.rotation = 30.0;
    params.radial_shift = 0.3;
    params.tangential_shift = 0.5;
    double point[2] = {3.0, 4.0};
    const long calls = trig_calls;
    printf("correct_cry (3, 4), distance 200, rotation 30, radial shift 0.3, tangential shift 0.5\n");
    lib->correct_cry(point, &params, 200.0);
    printf("  corrected          (%.12g, %.12g)\n", point[0], point[1]);
    lib->anti_correct(point, &params, 200.0);
    printf("  anti_correct       (%.12g, %.12g)\n", point[0], point[1]);
    printf("  the host's sind and cosd were called %ld times\n", trig_calls - calls);
}

int main(int argc, char **argv) {
    if (argc < 2) {
        fprintf(stderr, "usage: %s FILE...  (TRA or X-Area exposures)\n", argv[0]);
        return 2;
    }
    library lib;
    if (!open_library(&lib)) {
        if (lib.handle != NULL) {
            dlclose(lib.handle);
        }
        return 1;
    }
    /* 7: the library took all three routines from this host (-rdynamic exported them). */
    printf("host routines in use: %d (1 sind + 2 cosd + 4 binning)\n", (int)lib.host_routines());
    int status = 0;
    for (int i = 1; i < argc; ++i) {
        status |= is_xarea(argv[i]) ? load_xarea(&lib, argv[i]) : load_tra(&lib, argv[i]);
    }
    correct_point(&lib);
    dlclose(lib.handle);
    return status;
}
