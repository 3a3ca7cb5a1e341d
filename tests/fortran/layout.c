/* The C side of the Fortran module's layout test: sizeof and offsetof of every record, and the values
 * of the header's constants, in the order the Fortran test lists them. */
#include <stddef.h>
#include <stdint.h>

#include "plateio.h"

#define AT(type, member) (int64_t) offsetof(type, member)

/* clang-format off */
static const int64_t image_info_layout[] = {sizeof(image_info), AT(image_info, overload_count),
    AT(image_info, geometry), AT(image_info, setting), AT(image_info, overflow_threshold),
    AT(image_info, scale_value), AT(image_info, path)};
static const int64_t pixel_image_layout[] = {sizeof(pixel_image), AT(pixel_image, pixels),
    AT(pixel_image, width), AT(pixel_image, height), AT(pixel_image, overflow_threshold),
    AT(pixel_image, pixel_count), AT(pixel_image, overflow_count), AT(pixel_image, scale_value),
    AT(pixel_image, geometry1), AT(pixel_image, geometry0)};
static const int64_t reduction_params_layout[] = {sizeof(reduction_params),
    AT(reduction_params, geometry2), AT(reduction_params, geometry4), AT(reduction_params, geometry0),
    AT(reduction_params, geometry1), AT(reduction_params, geometry3), AT(reduction_params, geometry5)};
static const int64_t remap_target_layout[] = {sizeof(remap_target), AT(remap_target, cells),
    AT(remap_target, grid_mode), AT(remap_target, cell_count), AT(remap_target, overload_count),
    AT(remap_target, aux_value)};
static const int64_t geometry_params_layout[] = {sizeof(geometry_params),
    AT(geometry_params, radial_shift), AT(geometry_params, tangential_shift), AT(geometry_params, offset_x),
    AT(geometry_params, offset_y), AT(geometry_params, distance_offset), AT(geometry_params, tilt_y),
    AT(geometry_params, tilt_x), AT(geometry_params, rotation)};
static const int64_t plateio_frame_layout[] = {sizeof(plateio_frame), AT(plateio_frame, family),
    AT(plateio_frame, width), AT(plateio_frame, height), AT(plateio_frame, compressed),
    AT(plateio_frame, overflow_threshold), AT(plateio_frame, overflow_count), AT(plateio_frame, info),
    AT(plateio_frame, reason), AT(plateio_frame, warnings), AT(plateio_frame, system_error),
    AT(plateio_frame, pixel_bytes)};
static const int64_t xi_header_layout[] = {sizeof(xi_header)};
static const int64_t constants[] = {PIXEL_OVERFLOW, PLATEIO_PATH_CAPACITY, (int64_t)PLATEIO_UNSET,
    PLATEIO_VERSION_MAJOR, PLATEIO_VERSION_MINOR, PLATEIO_VERSION_PATCH, PLATEIO_FAMILY_UNKNOWN,
    PLATEIO_FAMILY_TRA, PLATEIO_FAMILY_XAREA, PLATEIO_OK, PLATEIO_E_ARGUMENT, PLATEIO_E_OPEN,
    PLATEIO_E_FORMAT, PLATEIO_E_NOT_CONTAINER, PLATEIO_E_TOC, PLATEIO_E_NO_HEADER, PLATEIO_E_HEADER_SEEK,
    PLATEIO_E_NO_PIXELS, PLATEIO_E_PIXEL_SEEK, PLATEIO_E_CORRUPT, PLATEIO_E_SHORT, PLATEIO_E_ROW_TABLE,
    PLATEIO_E_SIZE, PLATEIO_E_NO_MEMORY, PLATEIO_E_CAPACITY, PLATEIO_E_PATH, PLATEIO_WARN_COUNTS,
    PLATEIO_KEEP_SATURATED, PLATEIO_HOST_SIND, PLATEIO_HOST_COSD, PLATEIO_HOST_BINNING};

#define ENTRY(table) {table, sizeof table / sizeof table[0]}
static const struct { const int64_t *values; size_t count; } tables[] = {
    ENTRY(image_info_layout), ENTRY(pixel_image_layout), ENTRY(reduction_params_layout),
    ENTRY(remap_target_layout), ENTRY(geometry_params_layout), ENTRY(plateio_frame_layout),
    ENTRY(xi_header_layout), ENTRY(constants)};
/* clang-format on */

/* Table `table` (1 to 8, in the order above) and, in *count, its length. */
const int64_t *c_layout(int table, size_t *count) {
    *count = tables[table - 1].count;
    return tables[table - 1].values;
}
