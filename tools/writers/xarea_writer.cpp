#include "xarea_writer.hpp"

#include <algorithm>
#include <cstring>
#include <numeric>

#include "little_endian.hpp"

namespace plateio::writers {

namespace {

template <class T> void put_at(std::vector<std::uint8_t> &out, std::size_t offset, T value) {
    const auto bytes = le_bytes(value);
    std::copy(bytes.begin(), bytes.end(), out.begin() + static_cast<std::ptrdiff_t>(offset));
}

template <class T> void append(std::vector<std::uint8_t> &out, T value) {
    const std::size_t at = out.size();
    out.resize(at + sizeof value);
    put_at(out, at, value);
}

} // namespace

std::vector<std::uint8_t> encode_xarea(const XiContainer &container) {
    const std::size_t count = container.entries.size();
    std::vector<std::uint8_t> out(kXiFileHeaderBytes + kXiTocEntryBytes * count, 0);
    std::memcpy(out.data(), container.magic.data(), std::min<std::size_t>(container.magic.size(), 72));
    put_at(out, 72, container.entry_count.value_or(static_cast<std::int32_t>(count)));

    std::vector<std::size_t> order = container.data_order;
    if (order.empty()) {
        order.resize(count);
        std::iota(order.begin(), order.end(), std::size_t{0});
    }
    std::vector<std::int32_t> positions(count, 0);
    for (std::size_t index : order) {
        positions[index] = static_cast<std::int32_t>(out.size());
        const auto &data = container.entries[index].data;
        out.insert(out.end(), data.begin(), data.end());
    }
    for (std::size_t i = 0; i < count; ++i) {
        const XiEntry &entry = container.entries[i];
        const std::size_t at = kXiFileHeaderBytes + kXiTocEntryBytes * i;
        std::memcpy(out.data() + at, entry.name.data(), std::min<std::size_t>(entry.name.size(), 24));
        put_at(out, at + 24, entry.length.value_or(static_cast<std::int32_t>(entry.data.size())));
        put_at(out, at + 36, entry.offset.value_or(positions[i]));
    }
    return out;
}

std::vector<std::uint8_t> record_bytes(const xi_header &header) {
    std::vector<std::uint8_t> bytes(sizeof header);
    std::memcpy(bytes.data(), &header, sizeof header);
    return bytes;
}

xi_header make_xi_header(std::int32_t width, std::int32_t height, std::int32_t compression) {
    xi_header header;
    std::memset(&header, 0, sizeof header);
    set_field(header.width, width);
    set_field(header.height, height);
    set_field(header.compression, compression);
    return header;
}

CompressedBlock compress_pixels(std::span<const std::int32_t> pixels) {
    CompressedBlock block;
    std::vector<std::uint8_t> values16;
    std::vector<std::uint8_t> values32;
    block.bytes.reserve(pixels.size());
    std::uint32_t previous = 0;
    for (std::int32_t pixel : pixels) {
        // Differences wrap like the decoder's running sum does.
        const auto difference = static_cast<std::int32_t>(static_cast<std::uint32_t>(pixel) - previous);
        previous = static_cast<std::uint32_t>(pixel);
        if (difference >= -127 && difference <= 126) {
            block.bytes.push_back(static_cast<std::uint8_t>(difference + 127));
        } else if (difference >= INT16_MIN && difference <= INT16_MAX) {
            block.bytes.push_back(254);
            append(values16, static_cast<std::int16_t>(difference));
            ++block.delta16_count;
        } else {
            block.bytes.push_back(255);
            append(values32, difference);
            ++block.delta32_count;
        }
    }
    block.bytes.insert(block.bytes.end(), values16.begin(), values16.end());
    block.bytes.insert(block.bytes.end(), values32.begin(), values32.end());
    return block;
}

std::vector<std::uint8_t> plain_block(std::span<const std::int32_t> pixels) {
    std::vector<std::uint8_t> bytes;
    bytes.reserve(pixels.size() * 4);
    for (std::int32_t pixel : pixels) {
        append(bytes, pixel);
    }
    return bytes;
}

std::vector<std::uint8_t> xarea_file(xi_header header, std::span<const std::int32_t> pixels,
                                     bool compressed) {
    std::vector<std::uint8_t> block;
    if (compressed) {
        CompressedBlock coded = compress_pixels(pixels);
        set_field(header.compression, 1);
        set_field(header.delta16_count, coded.delta16_count);
        set_field(header.delta32_count, coded.delta32_count);
        block = std::move(coded.bytes);
    } else {
        set_field(header.compression, 0);
        block = plain_block(pixels);
    }
    XiContainer container;
    container.entries.push_back({"XArea_ImgHdr", record_bytes(header), {}, {}});
    container.entries.push_back({"XArea_Image", std::move(block), {}, {}});
    return encode_xarea(container);
}

} // namespace plateio::writers
