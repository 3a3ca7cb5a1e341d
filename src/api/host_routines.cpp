// Which of the host routines the library calls are the host's own.
#include "host/host_routines.hpp"
#include "plateio.h"

extern "C" {

PLATEIO_API std::int32_t plateio_host_routines(void) {
    return plateio::host::routines_supplied();
}

} // extern "C"
