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
    if (image.mask) {
        write_cbf(sink, std::span<const std::uint8_t>(image.exposure.mask), image.width(), image.height(),
                  image.header, name);
    } else {
        write_cbf(sink, image.exposure.view(), image.width(), image.height(), image.header, name);
    }
}

} // namespace plateio::cli
