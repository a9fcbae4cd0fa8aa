// Files, descriptors and bounded reads shared by every module. Regular files are opened
// without blocking, so a FIFO or device named like a media file can never hang a reader.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <variant>

namespace io {

// An open descriptor, closed when the value dies.
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

// Closes the descriptor now: 0, or the errno of a failed close (a late write error).
int close(Fd& file);

// A file this process created for writing, and its path.
struct NewFile {
    Fd file;
    std::filesystem::path path;
};

// A new file beside `target` to write a replacement into: `target` + ".tmp", or a fresh
// variant of that name when it exists. Never opens an existing file. The file, or the errno.
std::variant<NewFile, int> create_temporary(const std::filesystem::path& target);

// Writes all of `bytes`, retrying interrupted and partial writes: 0 or the errno.
int write_all(const Fd& file, std::string_view bytes);

// Writes all of `bytes` and flushes them to the disk: 0 or the errno.
int write_synced(const Fd& file, std::string_view bytes);

// Makes a rename in `dir` durable; a failure only weakens durability and is ignored.
void sync_directory(const std::filesystem::path& dir);

// Replaces `target` with `bytes` through a temporary file beside it that is flushed and then
// renamed over it, so `target` holds the old content or the new, never a part. `mode` gives
// the permission bits of the new file (before the process's mask when absent). 0 or errno;
// on failure the temporary file is removed and `target` is untouched.
int replace_file(const std::filesystem::path& target, std::string_view bytes,
                 std::optional<unsigned> mode);

// The working directory's path bytes; absent when it cannot be found (it was removed, or a
// component is not searchable).
std::optional<std::string> current_directory();

} // namespace io
