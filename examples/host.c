/* An example host: loads libplateio.so at run time by name, as a data-reduction program does,
 * resolves the functions it needs with dlsym, and describes and loads the exposures named on its
 * command line. Build it with -rdynamic so that the routines it supplies (sind, cosd, binning) are
 * the ones the library calls. */
#include <dlfcn.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "plateio.h"

typedef int32_t (*read_image_fn)(const char *, int32_t **, int32_t *, int32_t *);
typedef int32_t (*read_header_fn)(const char *, image_info *);

static void describe(const image_info *info) {
    printf("  path               %s\n", info->path);
    printf("  overload_count     %d\n", info->overload_count);
    for (int i = 0; i < 9; ++i) {
        printf("  geometry[%d]        %g\n", i, info->geometry[i]);
    }
    printf("  setting            %d\n", info->setting);
    printf("  overflow_threshold %d\n", info->overflow_threshold);
    printf("  scale_value        %g\n", info->scale_value);
}

static int load_tra(void *library, const char *path) {
    read_header_fn read_header = (read_header_fn)(uintptr_t)dlsym(library, "read_tra_header");
    read_image_fn read_image = (read_image_fn)(uintptr_t)dlsym(library, "read_tra");
    if (read_header == NULL || read_image == NULL) {
        fprintf(stderr, "host: the library lacks the TRA readers\n");
        return 1;
    }
    image_info info;
    memset(&info, 0, sizeof info);
    if (!read_header(path, &info)) {
        return 1;
    }
    printf("TRA exposure\n");
    describe(&info);

    int32_t *pixels = NULL;
    int32_t width = 0, height = 0;
    if (!read_image(path, &pixels, &width, &height)) {
        return 1;
    }
    long long sum = 0;
    int32_t max = 0, saturated = 0;
    for (int32_t i = 0; i < width * height; ++i) {
        if (pixels[i] == PIXEL_OVERFLOW) {
            ++saturated;
        } else {
            sum += pixels[i];
            max = pixels[i] > max ? pixels[i] : max;
        }
    }
    printf("  image              %d x %d, max %d, sum %lld, saturated %d\n", width, height, max, sum,
           saturated);
    free(pixels); /* the image is the host's; the library allocated it with malloc */
    return 0;
}

int main(int argc, char **argv) {
    if (argc < 2) {
        fprintf(stderr, "usage: %s FILE.tra...\n", argv[0]);
        return 2;
    }
    void *library = dlopen("libplateio.so.1", RTLD_NOW);
    if (library == NULL) {
        fprintf(stderr, "host: %s\n", dlerror());
        return 1;
    }
    int status = 0;
    for (int i = 1; i < argc; ++i) {
        status |= load_tra(library, argv[i]);
    }
    dlclose(library);
    return status;
}
