/* The public header as a C99 host sees it: it compiles, its records have the layout hosts and files
 * rely on, and a call through it links and runs. */
#include "plateio.h"

#include <stddef.h>
#include <stdio.h>

#define CHECK(name, condition) typedef char name[(condition) ? 1 : -1]

CHECK(header_is_412_bytes, sizeof(xi_header) == 412);
CHECK(compression_at_16, offsetof(xi_header, compression) == 16);
CHECK(width_at_20, offsetof(xi_header, width) == 20);
CHECK(height_at_24, offsetof(xi_header, height) == 24);
CHECK(geometry6_at_96, offsetof(xi_header, geometry6) == 96);
CHECK(geometry7_at_100, offsetof(xi_header, geometry7) == 100);
CHECK(geometry8_at_104, offsetof(xi_header, geometry8) == 104);
CHECK(geometry4_at_152, offsetof(xi_header, geometry4) == 152);
CHECK(geometry2_at_176, offsetof(xi_header, geometry2) == 176);
CHECK(geometry0_at_200, offsetof(xi_header, geometry0) == 200);
CHECK(geometry1_at_216, offsetof(xi_header, geometry1) == 216);
CHECK(geometry3_at_224, offsetof(xi_header, geometry3) == 224);
CHECK(geometry5_at_232, offsetof(xi_header, geometry5) == 232);
CHECK(setting_at_328, offsetof(xi_header, setting) == 328);
CHECK(threshold_at_332, offsetof(xi_header, overflow_threshold) == 332);
CHECK(scale_at_336, offsetof(xi_header, scale_value) == 336);
CHECK(overload_at_344, offsetof(xi_header, overload_count) == 344);
CHECK(delta16_at_348, offsetof(xi_header, delta16_count) == 348);
CHECK(delta32_at_352, offsetof(xi_header, delta32_count) == 352);
CHECK(pixels_first, offsetof(pixel_image, pixels) == 0);
CHECK(cells_first, offsetof(remap_target, cells) == 0);
CHECK(params_are_eight_doubles, sizeof(geometry_params) == 8 * sizeof(double));
CHECK(reduction_is_six_doubles, sizeof(reduction_params) == 6 * sizeof(double));
CHECK(path_capacity, sizeof(((image_info *)0)->path) == PLATEIO_PATH_CAPACITY);
CHECK(frame_starts_with_family, offsetof(plateio_frame, family) == 0);
CHECK(frame_reason_holds_a_line, sizeof(((plateio_frame *)0)->reason) == 256);

int main(void) {
    const unsigned char one[8] = {0x80, 0x40, 0, 0, 0, 0, 0, 0};
    if (convert_8_to_double(one) != 1.0) {
        puts("convert_8_to_double through the C header gave a wrong value");
        return 1;
    }
    {
        /* The quiet functions from C: a missing file is a code and a reason, and nothing printed. */
        plateio_frame frame;
        const int32_t code = plateio_probe("/nonexistent/plateio.tra", &frame);
        if (code != PLATEIO_E_OPEN || frame.reason[0] == '\0' || frame.family != PLATEIO_FAMILY_UNKNOWN) {
            puts("plateio_probe through the C header did not report a missing file");
            return 1;
        }
    }
    return 0;
}
