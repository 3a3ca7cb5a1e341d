// NXmx files: one exposure or a whole series in the layout that DIALS (dxtbx), fabio, pyFAI, silx and
// h5py read directly.
//
//   /                                   NXroot, default "entry"
//   /entry                              NXentry, definition "NXmx", default "data"
//   /entry/data                         NXdata, signal "data"
//     data                              int32 (frames, height, width), one chunk a frame, shuffled and
//                                       deflated: the pixels as the library reads them, PIXEL_OVERFLOW
//                                       in place of a saturated or overflowed pixel (a mask file:
//                                       uint32, the pixel_mask bits of its one frame)
//   /entry/instrument                   NXinstrument
//     beam                              NXbeam: incident_wavelength (angstrom), when given
//     detector                          NXdetector
//       data                            a link to /entry/data/data
//       pixel_mask                      uint32 (height, width), NeXus's bits: 0 a trusted pixel; bit 0
//                                       (1, "gap") no value recorded, off the round plate; bit 3 (8,
//                                       "over-responding") overflowed in some frame of the file
//       saturation_value                the lowest raw count that is saturated (the header's
//                                       saturation_value; the highest of them in a series)
//       distance, x_pixel_size, y_pixel_size, beam_center_x, beam_center_y     each when given
//       depends_on, transformations/translation, module (fast and slow pixel directions, module_offset)
//                                       when the distance, pixel size and beam centre are all given
//       header                          NXcollection: the exposure's header (docs/header.md), a scalar
//                                       dataset a key for one exposure, a value a frame in a series
//   /entry/sample                       NXsample; with an oscillation: depends_on the rotation axis
//     transformations/omega             one angle a frame (degrees), about +x
//     beam                              a link to the instrument's beam, when there is one
//
// The laboratory frame is NeXus's (McStas): z along the beam, y up. The plate faces the beam: its
// fast direction is -x, its slow direction -y, the first pixel's outer corner at (beam_x * pixel_x,
// beam_y * pixel_y, distance), so the beam meets the plate at the given centre.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <string>

#include "../user_geometry.hpp"
#include "header_fields.hpp"

namespace plateio::cli {

class NxmxFile {
  public:
    // Creates the file `path` (a temporary file that the caller renames into place once finish()
    // returned) for `frames` frames of width x height pixels. Errors are FileErrors naming `target`.
    NxmxFile(const std::string &path, const std::string &target, std::int32_t width, std::int32_t height,
             std::size_t frames, const UserGeometry &geometry, bool mask_data = false);
    ~NxmxFile();
    NxmxFile(const NxmxFile &) = delete;
    NxmxFile &operator=(const NxmxFile &) = delete;

    // Writes the next frame: its pixels and its pixel_mask bits (kMaskOffPlate, kMaskOverflowed).
    void add_frame(std::span<const std::int32_t> pixels, std::span<const std::uint8_t> mask,
                   const HeaderFields &header);
    // Writes what needs every frame (the mask, the header values, the saturation value) and closes
    // the file. Requires every frame to have been added.
    void finish();

  private:
    struct State;
    std::unique_ptr<State> state_;
};

} // namespace plateio::cli
