#include "common/isa.hpp"

#include <array>

namespace plateio {

bool isa_supported(Isa isa) noexcept {
    switch (isa) {
    case Isa::portable:
        return true;
    case Isa::avx2:
#if PLATEIO_HAVE_AVX2
        return __builtin_cpu_supports("avx2") && __builtin_cpu_supports("bmi") &&
               __builtin_cpu_supports("popcnt");
#else
        return false;
#endif
    }
    return false;
}

Isa best_isa() noexcept {
    return isa_supported(Isa::avx2) ? Isa::avx2 : Isa::portable;
}

std::span<const Isa> supported_isas() noexcept {
    static constexpr std::array<Isa, 2> kAll{Isa::portable, Isa::avx2};
    return std::span<const Isa>(kAll).first(isa_supported(Isa::avx2) ? 2 : 1);
}

const char *isa_name(Isa isa) noexcept {
    switch (isa) {
    case Isa::portable:
        return "portable";
    case Isa::avx2:
        return "avx2";
    }
    return "unknown";
}

} // namespace plateio
