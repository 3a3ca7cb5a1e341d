/* What the C functions give for the exposures named, printed as host.f90 prints the module's view. */
#include <inttypes.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <plateio.h>

static int64_t bits(double x) {
    int64_t b;
    memcpy(&b, &x, sizeof b);
    return b;
}

/* The digest host.f90 takes, and how many values equal `marker`. */
static int64_t digest(const int32_t *values, int64_t count, int32_t marker, int64_t *marked) {
    int64_t h = 0;
    *marked = 0;
    for (int64_t i = 0; i < count; ++i) {
        h = ((h * 31 + values[i]) % 2147483647 + 2147483647) % 2147483647;
        *marked += values[i] == marker;
    }
    return h;
}

int main(int argc, char **argv) {
    printf("host routines %d\n", (int)plateio_host_routines());
    for (int i = 1; i < argc; ++i) {
        plateio_frame frame;
        image_info info;
        pixel_image image;
        reduction_params params = {PLATEIO_UNSET, 0, 0, 0, 0, 0};
        int32_t *pixels = NULL, width = 0, height = 0;
        int64_t marked = 0;
        memset(&info, 0, sizeof info);
        memset(&image, 0, sizeof image);
        if (plateio_probe(argv[i], &frame) != PLATEIO_OK) {
            return 1;
        }
        const int xarea = frame.family == PLATEIO_FAMILY_XAREA;
        if (xarea ? !read_xi(argv[i], &image, &params) || !read_xi_header(argv[i], &info)
                  : !read_tra(argv[i], &pixels, &width, &height) || !read_tra_header(argv[i], &info)) {
            return 1;
        }
        if (xarea) {
            pixels = image.pixels, width = image.width, height = image.height;
        }
        const int64_t count = (int64_t)width * height;
        const int64_t pixel_digest = digest(pixels, count, PIXEL_OVERFLOW, &marked);
        printf("frame %d %d %d %" PRId64 "\npixels %" PRId64 "\n", (int)frame.family, (int)width, (int)height,
               marked, pixel_digest);
        uint8_t *mask = malloc((size_t)count);
        int32_t *mask_values = malloc(sizeof(int32_t) * (size_t)count);
        if (mask == NULL || mask_values == NULL ||
            plateio_read_mask(argv[i], mask, (size_t)count, &frame) != 0) {
            return 1;
        }
        for (int64_t k = 0; k < count; ++k) {
            mask_values[k] = mask[k];
        }
        const int64_t mask_digest = digest(mask_values, count, 1, &marked);
        printf("mask %" PRId64 " %" PRId64 "\nheader", mask_digest, marked);
        for (int k = 0; k < 6; ++k) {
            printf(" %" PRId64, bits(info.geometry[k]));
        }
        printf(" %d %d %d %" PRId64 "\n", (int)info.overload_count, (int)info.setting,
               (int)info.overflow_threshold, bits(info.scale_value));
        if (xarea) {
            printf("xi %d %d %d %d %d %d %" PRId64, (int)frame.compressed, (int)frame.width,
                   (int)frame.height, (int)info.overflow_threshold, (int)info.setting,
                   (int)info.overload_count, bits(info.scale_value));
            for (int k = 0; k < 9; ++k) {
                printf(" %" PRId64, bits(info.geometry[k]));
            }
            printf("\n");
        }
        free(mask_values);
        free(mask);
        free(pixels);
    }
    const geometry_params params = {0.3, 0.5, 1.0, -2.0, 2.0, -7.0, 10.0, 30.0};
    double xy[10] = {3, 4, 0, 5, -2.5, 0, 0.001, 0, 100, -250};
    for (int pass = 0; pass < 2; ++pass) {
        printf(pass == 0 ? "correct" : "anti");
        for (int k = 0; k < 10; k += 2) {
            (pass == 0 ? correct_cry : anti_correct)(xy + k, &params, 200.0);
            printf(" %" PRId64 " %" PRId64, bits(xy[k]), bits(xy[k + 1]));
        }
        printf("\n");
    }
    return 0;
}
