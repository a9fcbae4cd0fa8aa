#include "motion/regular_file.hpp"

#include <algorithm>
#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace motion::io {

Fd::~Fd() {
    if (fd >= 0) ::close(fd);
}

bool is_regular(const std::filesystem::path& path) {
    std::error_code ec;
    return std::filesystem::is_regular_file(std::filesystem::status(path, ec));
}

std::optional<Fd> open_regular(const std::filesystem::path& path) {
    if (!is_regular(path)) return std::nullopt;
    int raw;
    do {
        raw = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    } while (raw < 0 && errno == EINTR);
    if (raw < 0) return std::nullopt;
    std::optional<Fd> file(std::in_place, raw);
    struct stat info {};
    if (::fstat(raw, &info) != 0 || !S_ISREG(info.st_mode)) return std::nullopt;
    return file;
}

std::optional<std::size_t> read_some(const Fd& file, char* buffer, std::size_t size) {
    for (;;) {
        ssize_t got = ::read(file.fd, buffer, size);
        if (got >= 0) return static_cast<std::size_t>(got);
        if (errno != EINTR) return std::nullopt;
    }
}

std::optional<std::string> read_regular(const std::filesystem::path& path, std::uintmax_t limit) {
    auto file = open_regular(path);
    if (!file) return std::nullopt;
    constexpr std::size_t chunk = 64 * 1024;
    std::string out;
    struct stat info {};
    if (::fstat(file->fd, &info) == 0 && info.st_size > 0)
        out.reserve(static_cast<std::size_t>(
            std::min<std::uintmax_t>(static_cast<std::uintmax_t>(info.st_size), limit) + 1));
    for (;;) {
        std::size_t old = out.size();
        // Read at most one byte past the limit: enough to tell that the file is too large.
        std::uintmax_t room = limit + 1 - old;
        std::size_t want = static_cast<std::size_t>(std::min<std::uintmax_t>(chunk, room));
        out.resize(old + want);
        auto got = read_some(*file, out.data() + old, want);
        if (!got) return std::nullopt;
        out.resize(old + *got);
        if (*got == 0) return out;
        if (out.size() > limit) return std::nullopt;
    }
}

} // namespace motion::io
