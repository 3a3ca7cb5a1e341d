// Values a host leaves in its out-parameters and records before a call, so that a test can see
// whether a failing call wrote anything.
#pragma once

#include <cstdint>
#include <cstring>
#include <type_traits>

namespace plateio::test {

// A record filled with a recognisable byte pattern.
template <class Record> Record patterned() {
    static_assert(std::is_trivially_copyable_v<Record>);
    Record record;
    std::memset(&record, 0x5a, sizeof record);
    return record;
}

template <class Record> bool same_bytes(const Record &a, const Record &b) {
    return std::memcmp(&a, &b, sizeof(Record)) == 0;
}

// An address no allocation can return, to see that an out-pointer was left alone.
inline std::int32_t *untouched_pointer() {
    return reinterpret_cast<std::int32_t *>(std::uintptr_t{0x5a5a5a50});
}

} // namespace plateio::test
