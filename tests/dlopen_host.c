/* A host that supplies none of sind, cosd and binning and loads the library at run time with
 * RTLD_NOW, as a scripting language's foreign-function module does: every reference must resolve at
 * once, so the load itself fails if the library needs the host's routines. Then the built-in
 * routines must do the work: a quarter turn of (1, 0) is exactly (0, 1). */
#include <dlfcn.h>
#include <stdint.h>
#include <stdio.h>

#include "plateio.h"

typedef void (*transform_fn)(double *, const geometry_params *, double);

int main(int argc, char **argv) {
    if (argc != 2) {
        fputs("usage: plateio_dlopen_test <path of libplateio.so>\n", stderr);
        return 2;
    }
    void *library = dlopen(argv[1], RTLD_NOW | RTLD_LOCAL);
    if (library == NULL) {
        printf("dlopen with RTLD_NOW failed: %s\n", dlerror());
        return 1;
    }
    transform_fn correct = (transform_fn)(uintptr_t)dlsym(library, "correct_cry");
    transform_fn inverse = (transform_fn)(uintptr_t)dlsym(library, "anti_correct");
    if (correct == NULL || inverse == NULL || dlsym(library, "sind") != NULL ||
        dlsym(library, "binning") != NULL) {
        puts("the library's exports are not the transforms alone");
        return 1;
    }
    const geometry_params params = {0, 0, 0, 0, 0, 0, 0, 90};
    double point[2] = {1, 0};
    correct(point, &params, 200);
    if (point[0] != 0.0 || point[1] != 1.0) {
        printf("rotation 90 gave (%.17g, %.17g), not (0, 1)\n", point[0], point[1]);
        return 1;
    }
    inverse(point, &params, 200);
    if (point[0] != 1.0 || point[1] != 0.0) {
        printf("the inverse rotation gave (%.17g, %.17g), not (1, 0)\n", point[0], point[1]);
        return 1;
    }
    dlclose(library);
    return 0;
}
