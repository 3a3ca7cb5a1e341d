/* A host under another C allocator, preloaded (LD_PRELOAD): it frees a block of readXImage, or lets
 * uncompressImage release one, then mallocs a block of its own of the same size, gets the same memory
 * back, writes a complete coded entry into it (the allocator's slack it leaves alone) and has
 * uncompressImage decode it. Whatever the library left in that memory must not shorten the host's
 * entry: every pixel decoded, nothing printed.
 *   plateio_allocator_reuse NAME LIBRARY SYMBOL PACKAGE
 * LIBRARY is the preloaded allocator ("-" where none can be preloaded), SYMBOL a name only it
 * defines, PACKAGE what installs it. Exit 77 (skipped) when it is absent. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <malloc.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include "plateio.h"

static void put32(unsigned char *at, uint32_t value) {
    for (int i = 0; i < 4; ++i) {
        at[i] = (unsigned char)(value >> (8 * i));
    }
}

/* An X-Area file of `length` codes `code` for a row of `length` pixels. */
static int write_exposure(const char *path, size_t length, unsigned char code) {
    unsigned char head[596] = {0};
    memcpy(head, "STOE_XFILE", 11);
    put32(head + 72, 2);
    memcpy(head + 104, "XArea_ImgHdr", 13);
    put32(head + 104 + 24, 412);
    put32(head + 104 + 36, 184);
    memcpy(head + 144, "XArea_Image", 12);
    put32(head + 144 + 24, (uint32_t)length);
    put32(head + 144 + 36, 596);
    put32(head + 184 + 16, 1);
    put32(head + 184 + 20, (uint32_t)length);
    put32(head + 184 + 24, 1);
    FILE *file = fopen(path, "wb");
    if (file == NULL) {
        return 0;
    }
    int ok = fwrite(head, 1, sizeof head, file) == sizeof head;
    for (size_t i = 0; ok && i < length; ++i) {
        ok = fputc(code, file) != EOF;
    }
    return fclose(file) == 0 && ok;
}

/* uncompressImage with standard output caught in `printed`. */
static void decode(const xi_header *header, void **block, char *printed, size_t room) {
    fflush(stdout);
    FILE *caught = tmpfile();
    const int saved = dup(1);
    dup2(fileno(caught), 1);
    uncompressImage(header, block);
    fflush(stdout);
    dup2(saved, 1);
    close(saved);
    rewind(caught);
    printed[fread(printed, 1, room - 1, caught)] = '\0';
    fclose(caught);
}

/* One reuse of the memory of an entry of `old_length` codes 128 for a host's entry of codes `code`
 * that runs up to the allocation's last 16 bytes. Returns 1 when the memory came back, 0 when the
 * allocator gave other memory, -1 on a fault. */
static int reuse(const char *path, size_t old_length, unsigned char code, int released) {
    xi_header header;
    void *block = NULL;
    char printed[256];
    if (!write_exposure(path, old_length, 128) || readXImage(path, &header, &block) != 1) {
        printf("cannot read an entry of %zu bytes back\n", old_length);
        return -1;
    }
    void *const old = block;
    const size_t allocated = malloc_usable_size(block);
    void *pixels = NULL;
    if (released) {
        decode(&header, &block, printed, sizeof printed);
        pixels = block;
    } else {
        free(block);
    }
    unsigned char *own = malloc(allocated);
    free(pixels);
    if (own != old || malloc_usable_size(own) != allocated) {
        free(own);
        return 0;
    }
    const size_t length = allocated - 16 > old_length ? allocated - 16 : old_length;
    memset(own, code, length);
    memset(&header, 0, sizeof header);
    header.compression = 1;
    header.width = (int32_t)length;
    header.height = 1;
    block = own;
    decode(&header, &block, printed, sizeof printed);
    const int32_t *decoded = block;
    int status = 1;
    if (printed[0] != '\0') {
        printf("%zu-byte entry, %s: uncompressImage printed \"%s\"\n", old_length,
               released ? "released" : "freed", printed);
        status = -1;
    }
    for (size_t i = 0; status == 1 && i < length; ++i) {
        if (decoded[i] != (int32_t)(i + 1) * (code - 127)) {
            printf("%zu-byte entry, %s: pixel %zu of %zu is %d\n", old_length,
                   released ? "released" : "freed", i, length, (int)decoded[i]);
            status = -1;
        }
    }
    free(block);
    return status;
}

int main(int argc, char **argv) {
    if (argc != 5) {
        fputs("usage: plateio_allocator_reuse NAME LIBRARY SYMBOL PACKAGE\n", stderr);
        return 2;
    }
    if (strcmp(argv[2], "-") == 0 || access(argv[2], R_OK) != 0) {
        printf("skipped: %s is not available to this build (%s; Debian package %s)\n", argv[1],
               strcmp(argv[2], "-") == 0 ? "a sanitizer's allocator comes first" : argv[2], argv[4]);
        return 77;
    }
    if (dlsym(RTLD_DEFAULT, argv[3]) == NULL) {
        printf("%s is not loaded: run with LD_PRELOAD=%s\n", argv[1], argv[2]);
        return 1;
    }
    char path[] = "/tmp/plateio-reuse-XXXXXX";
    const int descriptor = mkstemp(path);
    if (descriptor < 0) {
        perror("mkstemp");
        return 1;
    }
    close(descriptor);
    static const size_t lengths[] = {10, 100, 1000, 5000, 20000, 100000, 1u << 20, 5u << 20};
    static const unsigned char codes[] = {128, 129};
    int reused = 0;
    int tried = 0;
    int failed = 0;
    for (size_t l = 0; l < sizeof lengths / sizeof lengths[0]; ++l) {
        for (size_t c = 0; c < sizeof codes; ++c) {
            for (int released = 0; released < 2; ++released) {
                const int result = reuse(path, lengths[l], codes[c], released);
                ++tried;
                reused += result == 1;
                failed += result < 0;
            }
        }
    }
    unlink(path);
    printf("%s: %d of %d blocks came back to the host, %d faults\n", argv[1], reused, tried, failed);
    /* A run in which the memory never came back would prove nothing. */
    return failed == 0 && reused > 0 ? 0 : 1;
}
