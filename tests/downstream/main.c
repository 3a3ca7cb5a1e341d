/* A minimal host: decodes a word-swapped real through the installed library. */
#include <plateio.h>
#include <stdio.h>

int main(void) {
    const unsigned char hundred[8] = {0xc8, 0x43, 0, 0, 0, 0, 0, 0};
    const double value = convert_8_to_double(hundred);
    printf("%g\n", value);
    return value == 100.0 ? 0 : 1;
}
