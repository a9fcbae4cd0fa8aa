#include "io/io.hpp"

#include <algorithm>
#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace io {

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

int close(Fd& file) {
    if (file.fd < 0) return 0;
    const int rc = ::close(file.fd);
    file.fd = -1;
    return rc == 0 || errno == EINTR ? 0 : errno;
}

std::variant<NewFile, int> create_temporary(const std::filesystem::path& target) {
    std::filesystem::path tmp = target;
    tmp += ".tmp";
    for (unsigned attempt = 0; attempt < 100; ++attempt) {
        if (attempt > 0) {
            tmp = target;
            tmp += ".tmp." + std::to_string(::getpid()) + "." + std::to_string(attempt);
        }
        int fd = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0666);
        if (fd >= 0) return NewFile{Fd(fd), tmp};
        if (errno != EEXIST && errno != EINTR) return errno;
    }
    return EEXIST;
}

int write_all(const Fd& file, std::string_view bytes) {
    std::size_t done = 0;
    while (done < bytes.size()) {
        ssize_t n = ::write(file.fd, bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return errno;
        done += static_cast<std::size_t>(n);
    }
    return 0;
}

int write_synced(const Fd& file, std::string_view bytes) {
    if (int err = write_all(file, bytes); err != 0) return err;
    return ::fsync(file.fd) == 0 ? 0 : errno;
}

void sync_directory(const std::filesystem::path& dir) {
    int fd = ::open(dir.empty() ? "." : dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return;
    (void)::fsync(fd);
    ::close(fd);
}

int replace_file(const std::filesystem::path& target, std::string_view bytes,
                 std::optional<unsigned> mode) {
    auto created = create_temporary(target);
    if (const int* err = std::get_if<int>(&created)) return *err;
    NewFile& tmp = std::get<NewFile>(created);
    int err = mode && ::fchmod(tmp.file.fd, static_cast<mode_t>(*mode)) != 0 ? errno : 0;
    if (err == 0) err = write_synced(tmp.file, bytes);
    if (int closed = close(tmp.file); err == 0) err = closed;
    if (err == 0 && ::rename(tmp.path.c_str(), target.c_str()) != 0) err = errno;
    if (err != 0) {
        // The temporary file was created by this call alone, so removing it touches nothing else.
        ::unlink(tmp.path.c_str());
        return err;
    }
    sync_directory(target.parent_path());
    return 0;
}

std::optional<std::string> current_directory() {
    std::string buffer(256, '\0');
    for (;;) {
        if (::getcwd(buffer.data(), buffer.size()) != nullptr) {
            buffer.resize(std::char_traits<char>::length(buffer.c_str()));
            return buffer;
        }
        if (errno != ERANGE || buffer.size() > (1u << 20)) return std::nullopt;
        buffer.resize(buffer.size() * 2);
    }
}

} // namespace io
