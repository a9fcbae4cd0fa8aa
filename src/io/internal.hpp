// What the three parts of the io layer share and only its tests call besides.
#pragma once

#include <sys/types.h>

#include "io/io.hpp"

namespace io {

// Fills `out` from `offset` on, retrying interrupted and partial reads. The count read (less
// than asked only at the end of the file), or absent on an error.
std::optional<std::size_t> read_at(const Fd& file, std::uint64_t offset,
                                   std::span<std::uint8_t> out);

// What this process has done through open_regular and the reads above, for tests to measure.
struct Counts {
    std::uint64_t opens = 0; // files open_regular opened
    std::uint64_t reads = 0; // read system calls
    std::uint64_t bytes = 0; // bytes those calls returned
};

// The counts since the process started; never fails.
Counts counts();

// A file this process created for writing, and its path.
struct NewFile {
    Fd file;
    Path path;
};

// A new file beside `target` to write a replacement into: `target` + ".tmp", or a fresh
// variant of that name when it exists. Never opens an existing file.
Result<NewFile> create_temporary(const Path& target);

// Writes all of `bytes`, retrying interrupted and partial writes.
Status write_all(const Fd& file, std::string_view bytes);

// Writes all of `bytes` and flushes them to the disk.
Status write_synced(const Fd& file, std::string_view bytes);

// Makes a rename in `dir` durable; a failure only weakens durability and is ignored.
void sync_directory(const Path& dir);

// Writes all of `bytes` to the child's standard input, waiting while its pipe is full, without
// a SIGPIPE for us.
Status send_all(Child& child, std::string_view bytes);

namespace detail {

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

} // namespace detail

} // namespace io
