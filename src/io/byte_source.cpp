// Byte sources: checked reads at offsets from a regular file or from memory.
#include <algorithm>
#include <cstring>
#include <new>

#include "io/io.hpp"

namespace io {

ByteSource::ByteSource(std::span<const std::uint8_t> bytes) : bytes_(bytes), size_(bytes.size()) {}

ByteSource::ByteSource(Fd file, std::uint64_t size) : file_(std::move(file)), size_(size) {}

std::optional<ByteSource> open_source(const Path& path) {
    std::optional<Fd> file = open_regular(path);
    if (!file) return std::nullopt;
    const std::optional<FileStatus> status = descriptor_status(file->fd);
    if (!status) return std::nullopt;
    return ByteSource(std::move(*file), status->size);
}

std::optional<std::size_t> ByteSource::read_into(std::uint64_t offset,
                                                 std::span<std::uint8_t> out) const {
    if (offset >= size_) return 0;
    const std::size_t want =
        static_cast<std::size_t>(std::min<std::uint64_t>(out.size(), size_ - offset));
    if (file_) return read_at(*file_, offset, out.first(want));
    if (want > 0) std::memcpy(out.data(), bytes_.data() + offset, want);
    return want;
}

std::optional<std::vector<std::uint8_t>> ByteSource::read(std::uint64_t offset, std::uint64_t count,
                                                          std::uint64_t limit) const {
    if (count > limit || offset > size_ || count > size_ - offset) return std::nullopt;
    try {
        std::vector<std::uint8_t> out(static_cast<std::size_t>(count));
        if (read_into(offset, out) != out.size()) return std::nullopt;
        return out;
    } catch (const std::bad_alloc&) {
        return std::nullopt;
    }
}

} // namespace io
