// Opening files that must be regular files, without ever blocking on a FIFO or device.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>

namespace motion::io {

// An open read-only descriptor, closed when the value dies.
struct Fd {
    int fd = -1;
    explicit Fd(int value) : fd(value) {}
    ~Fd();
    Fd(Fd&& other) noexcept : fd(other.fd) { other.fd = -1; }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    Fd& operator=(Fd&&) = delete;
};

// Whether `path` (following symbolic links) is a regular file; false on any error.
bool is_regular(const std::filesystem::path& path);

// `path` opened for reading if it is a regular file. The open itself never blocks (non-blocking
// mode) and the type is checked again on the open descriptor, so a file swapped for a FIFO
// between the check and the open is refused. Absent on any error.
std::optional<Fd> open_regular(const std::filesystem::path& path);

// Reads up to `size` bytes into `buffer`, retrying interrupted reads. The count read (0 at the
// end of the file), or absent on an error.
std::optional<std::size_t> read_some(const Fd& file, char* buffer, std::size_t size);

// The whole regular file at `path` if it holds at most `limit` bytes; absent when it cannot be
// opened or read, or is larger (also when it grows past the limit while being read).
std::optional<std::string> read_regular(const std::filesystem::path& path, std::uintmax_t limit);

} // namespace motion::io
