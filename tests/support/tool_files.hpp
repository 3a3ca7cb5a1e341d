// Exposures for the tool's tests, made by the tool itself (plateio synth) once per test program,
// and the pixels the library loads from them, for comparison with what the tool writes.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "support/subprocess.hpp"
#include "support/temp_dir.hpp"

namespace plateio::test {

// Runs the plateio tool under test (its path comes from the build).
RunResult plateio(const std::vector<std::string> &arguments, const RunOptions &options = {});

struct LoadedImage {
    std::int32_t width = 0;
    std::int32_t height = 0;
    std::vector<std::int32_t> pixels;
};

// The pixels read_tra (TRA) or read_xi (X-Area) gives for a file, as a host gets them.
LoadedImage library_pixels(const std::string &path, bool xarea);

// The library's mask of a file (plateio_read_mask): 1 where the file records no value.
std::vector<std::uint8_t> library_mask(const std::string &path);

// What one of the field's readers (tests/support/outside_readers.py, run by the system's Python)
// makes of a file the tool wrote. `skipped` when the reader is not installed.
struct OutsideReading {
    bool skipped = false;
    int status = -1;
    std::string out;                  // the reader's "key value" lines, or its error
    std::vector<std::int32_t> pixels; // the image, as int32
    std::vector<std::int32_t> extra;  // h5py: the detector's pixel_mask
};
// `mode`: fabio, pycbf or h5py (see the script). `scratch` is a directory for the pixels.
OutsideReading read_outside(const std::string &mode, const std::string &path, const std::string &scratch);

// Whether `lines` holds the line `line` (without its line end).
bool has_line(const std::string &lines, const std::string &line);

// Checks standard input `json` strictly (UTF-8, no NaN or Infinity) with Python's json module and
// returns its values as "path = value" lines; `status` is not 0 when it is not JSON (77: no Python).
RunResult check_json(const std::string &json);

// A directory with three synthetic exposures, made once and shared by the tests.
struct ToolFiles {
    TempDir dir;
    std::string tra;         // 1200 x 1200, seed 3, geometry 0 = 80, 3 = 0.7107, 4 = 250
    std::string xarea;       // plain, 640 x 480, seed 4
    std::string xarea_coded; // difference-coded, 320 x 200, seed 5, setting 7, threshold 500000
};
const ToolFiles &tool_files();

} // namespace plateio::test
