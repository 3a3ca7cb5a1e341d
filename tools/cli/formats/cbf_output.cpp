// CBF through the encoder of cbf.cpp, written at offsets of the output.
#include "cbf.hpp"
#include "formats.hpp"

namespace plateio::cli {

void write_cbf_image(PendingOutput &output, const Image &image) {
    struct Sink : CbfSink {
        PendingOutput &output;
        explicit Sink(PendingOutput &o) : output(o) {}
        void write(std::uint64_t offset, std::span<const std::uint8_t> bytes) override {
            output.write_at(offset, bytes);
        }
    } sink(output);
    const std::string name = std::string(image.name) + (image.mask ? ".mask" : "");
    // The geometry the user gave follows the header, as the mini-header lines crystallography
    // programs read ("# Wavelength 0.7107 A").
    Header header = image.header;
    if (image.geometry != nullptr) {
        for (const std::string &line : cbf_geometry_lines(*image.geometry, 0)) {
            const auto blank = line.find(' ');
            header.push_back({line.substr(0, blank), line.substr(blank + 1)});
        }
    }
    if (image.mask) {
        write_cbf(sink, std::span<const std::uint8_t>(image.exposure.mask), image.width(), image.height(),
                  header, name);
    } else {
        write_cbf(sink, image.exposure.view(), image.width(), image.height(), header, name);
    }
}

} // namespace plateio::cli
