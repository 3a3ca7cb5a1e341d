#include "tra/header.hpp"

#include <array>

#include "host/image_info.hpp"
#include "tra/word_swap.hpp"

namespace plateio::tra {

namespace {

// Field offsets within the header. The header opens with a 114-byte text line and a 16-bit field;
// the reals between and after the ones below are not used by any host.
constexpr std::size_t kGeometry4At = 116;
constexpr std::size_t kGeometry2At = 140;
constexpr std::size_t kGeometry0At = 178;
constexpr std::size_t kGeometry3At = 186;
constexpr std::size_t kGeometry5At = 194; // an F_floating field: four bytes of its own

} // namespace

HeaderValues parse_header_values(std::span<const std::uint8_t, kHeaderValueBytes> bytes) noexcept {
    HeaderValues values;
    values.geometry4 = decode_vax_real(bytes.data() + kGeometry4At);
    values.geometry2 = decode_vax_real(bytes.data() + kGeometry2At);
    values.geometry0 = decode_vax_real(bytes.data() + kGeometry0At);
    values.geometry3 = decode_vax_real(bytes.data() + kGeometry3At);
    values.geometry5 = decode_vax_real(bytes.data() + kGeometry5At);
    return values;
}

Fault read_header_values(Source &source, HeaderValues &values) noexcept {
    std::array<std::uint8_t, kHeaderValueBytes> bytes;
    const ReadResult got = source.read(bytes.data(), bytes.size());
    if (!got.complete(bytes.size())) {
        Fault f = fault(FaultKind::tra_header_short, static_cast<std::int64_t>(got.bytes),
                        static_cast<std::int64_t>(kHeaderValueBytes));
        f.system_error = got.system_error;
        return f;
    }
    values = parse_header_values(bytes);
    return {};
}

void describe(image_info &info, const HeaderValues &values, const char *path) noexcept {
    info.overload_count = host::kAbsent;
    info.geometry[0] = values.geometry0;
    info.geometry[1] = 0.0;
    info.geometry[2] = values.geometry2;
    info.geometry[3] = values.geometry3;
    info.geometry[4] = values.geometry4;
    info.geometry[5] = values.geometry5;
    info.setting = host::kAbsent;
    info.overflow_threshold = host::kAbsent;
    info.scale_value = host::kAbsentReal;
    host::store_path(info, path);
}

} // namespace plateio::tra
