// What the three parts of the io layer share and no other module sees.
#pragma once

#include <sys/types.h>

#include "io/io.hpp"

namespace io::detail {

// The descriptor an Fd holds (-1 when none).
inline int native(const Fd& file) {
    return file.fd_;
}

// No error for 0, else the error of that number.
inline Status status_of(int error_number) {
    if (error_number == 0) return std::nullopt;
    return Error{error_number};
}

// The entry type of a file mode.
EntryType type_of(mode_t mode);

} // namespace io::detail
