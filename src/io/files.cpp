// Files: descriptors, status, reading with counters, byte sources, and safe writing.
#include "io/internal.hpp"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <new>
#include <sys/stat.h>
#include <unistd.h>

namespace io {

namespace {

std::atomic<std::uint64_t> g_opens{0};
std::atomic<std::uint64_t> g_reads{0};
std::atomic<std::uint64_t> g_bytes{0};

void count_read(ssize_t got) {
    g_reads.fetch_add(1, std::memory_order_relaxed);
    if (got > 0) g_bytes.fetch_add(static_cast<std::uint64_t>(got), std::memory_order_relaxed);
}

FileStatus status_of(const struct stat& st) {
    FileStatus out;
    out.type = detail::type_of(st.st_mode);
    out.size = st.st_size > 0 ? static_cast<std::uint64_t>(st.st_size) : 0;
#if defined(__APPLE__)
    out.mtime_sec = st.st_mtimespec.tv_sec;
    out.mtime_nsec = st.st_mtimespec.tv_nsec;
#else
    out.mtime_sec = st.st_mtim.tv_sec;
    out.mtime_nsec = st.st_mtim.tv_nsec;
#endif
    out.device = static_cast<std::uint64_t>(st.st_dev);
    out.inode = static_cast<std::uint64_t>(st.st_ino);
    out.permissions = static_cast<unsigned>(st.st_mode & 07777);
    return out;
}
} // namespace

namespace detail {

EntryType type_of(mode_t mode) {
    if (S_ISREG(mode)) return EntryType::Regular;
    if (S_ISDIR(mode)) return EntryType::Directory;
    if (S_ISLNK(mode)) return EntryType::Symlink;
    return EntryType::Other;
}

} // namespace detail

Fd::~Fd() {
    if (fd_ >= 0) ::close(fd_);
}

Fd& Fd::operator=(Fd&& other) noexcept {
    if (this != &other) {
        if (fd_ >= 0) ::close(fd_);
        fd_ = other.fd_;
        other.fd_ = -1;
    }
    return *this;
}

Status close(Fd& file) {
    if (file.fd_ < 0) return std::nullopt;
    const int rc = ::close(file.fd_);
    file.fd_ = -1;
    return detail::status_of(rc == 0 || errno == EINTR ? 0 : errno);
}

std::string error_text(Error error) {
    return std::string(std::strerror(error.number)) + " (os error " + std::to_string(error.number) +
           ")";
}

std::optional<FileStatus> status(const Path& path, Follow follow) {
    struct stat st {};
    const int rc = follow == Follow::Links ? ::stat(path.c_str(), &st) : ::lstat(path.c_str(), &st);
    if (rc != 0) return std::nullopt;
    return status_of(st);
}

std::optional<FileStatus> descriptor_status(int fd) {
    struct stat st {};
    if (::fstat(fd, &st) != 0) return std::nullopt;
    return status_of(st);
}

std::optional<FileStatus> descriptor_status(const Fd& file) {
    return descriptor_status(detail::native(file));
}

Result<std::string> real_path(const Path& path) {
    char* resolved = ::realpath(path.c_str(), nullptr);
    if (!resolved) return Error{errno};
    std::string out(resolved);
    std::free(resolved);
    return out;
}

bool same_file(const FileStatus& a, const FileStatus& b) {
    return a.device == b.device && a.inode == b.inode;
}

bool is_regular(const Path& path) {
    auto st = status(path, Follow::Links);
    return st && st->type == EntryType::Regular;
}

std::optional<Fd> open_regular(const Path& path) {
    if (!is_regular(path)) return std::nullopt;
    int raw;
    do {
        raw = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    } while (raw < 0 && errno == EINTR);
    if (raw < 0) return std::nullopt;
    std::optional<Fd> file(std::in_place, raw);
    auto st = descriptor_status(raw);
    if (!st || st->type != EntryType::Regular) return std::nullopt;
    g_opens.fetch_add(1, std::memory_order_relaxed);
    return file;
}

std::optional<std::size_t> read_some(const Fd& file, char* buffer, std::size_t size) {
    for (;;) {
        ssize_t got = ::read(detail::native(file), buffer, size);
        count_read(got);
        if (got >= 0) return static_cast<std::size_t>(got);
        if (errno != EINTR) return std::nullopt;
    }
}

std::optional<std::size_t> read_at(const Fd& file, std::uint64_t offset,
                                   std::span<std::uint8_t> out) {
    std::size_t done = 0;
    while (done < out.size()) {
        ssize_t got = ::pread(detail::native(file), out.data() + done, out.size() - done,
                              static_cast<off_t>(offset + done));
        count_read(got);
        if (got < 0) {
            if (errno == EINTR) continue;
            return std::nullopt;
        }
        if (got == 0) break;
        done += static_cast<std::size_t>(got);
    }
    return done;
}

std::optional<std::string> read_regular(const std::filesystem::path& path, std::uintmax_t limit) {
    auto file = open_regular(path);
    if (!file) return std::nullopt;
    constexpr std::size_t kChunk = std::size_t{64} << 10;
    std::string out;
    struct stat info {};
    if (::fstat(detail::native(*file), &info) == 0 && info.st_size > 0)
        out.reserve(static_cast<std::size_t>(
            std::min<std::uintmax_t>(static_cast<std::uintmax_t>(info.st_size), limit) + 1));
    for (;;) {
        std::size_t old = out.size();
        // Read at most one byte past the limit: enough to tell that the file is too large.
        std::uintmax_t room = limit + 1 - old;
        std::size_t want = static_cast<std::size_t>(std::min<std::uintmax_t>(kChunk, room));
        out.resize(old + want);
        auto got = read_some(*file, out.data() + old, want);
        if (!got) return std::nullopt;
        out.resize(old + *got);
        if (*got == 0) return out;
        if (out.size() > limit) return std::nullopt;
    }
}

Counts counts() {
    return Counts{g_opens.load(std::memory_order_relaxed), g_reads.load(std::memory_order_relaxed),
                  g_bytes.load(std::memory_order_relaxed)};
}

Result<NewFile> create_temporary(const std::filesystem::path& target) {
    std::filesystem::path tmp = target;
    tmp += ".tmp";
    for (unsigned attempt = 0; attempt < 100; ++attempt) {
        if (attempt > 0) {
            tmp = target;
            tmp += ".tmp." + std::to_string(::getpid()) + "." + std::to_string(attempt);
        }
        int fd = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0666);
        if (fd >= 0) return NewFile{Fd(fd), tmp};
        if (errno != EEXIST && errno != EINTR) return Error{errno};
    }
    return Error{EEXIST};
}

Status write_all(const Fd& file, std::string_view bytes) {
    std::size_t done = 0;
    while (done < bytes.size()) {
        ssize_t n = ::write(detail::native(file), bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return Error{errno};
        done += static_cast<std::size_t>(n);
    }
    return std::nullopt;
}

Status write_synced(const Fd& file, std::string_view bytes) {
    if (Status failed = write_all(file, bytes)) return failed;
    return detail::status_of(::fsync(detail::native(file)) == 0 ? 0 : errno);
}

void sync_directory(const std::filesystem::path& dir) {
    int fd = ::open(dir.empty() ? "." : dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return;
    (void)::fsync(fd);
    ::close(fd);
}

Status replace_file(const std::filesystem::path& target, std::string_view bytes,
                    std::optional<unsigned> mode) {
    auto created = create_temporary(target);
    if (const Error* failed = std::get_if<Error>(&created)) return *failed;
    NewFile& tmp = std::get<NewFile>(created);
    Status err = detail::status_of(
        mode && ::fchmod(detail::native(tmp.file), static_cast<mode_t>(*mode)) != 0 ? errno : 0);
    if (!err) err = write_synced(tmp.file, bytes);
    if (Status closed = close(tmp.file); !err) err = closed;
    if (!err && ::rename(tmp.path.c_str(), target.c_str()) != 0) err = Error{errno};
    if (err) {
        // The temporary file was created by this call alone, so removing it touches nothing else.
        ::unlink(tmp.path.c_str());
        return err;
    }
    sync_directory(target.parent_path());
    return std::nullopt;
}

Status write_in_place(const Path& path, std::string_view bytes) {
    int raw = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    if (raw < 0) return Error{errno};
    Fd file(raw);
    Status err = write_all(file, bytes);
    if (Status closed = close(file); !err) err = closed;
    return err;
}

// ---- Byte sources ----

ByteSource::ByteSource(std::span<const std::uint8_t> bytes) : bytes_(bytes), size_(bytes.size()) {}

ByteSource::ByteSource(Fd file, std::uint64_t size) : file_(std::move(file)), size_(size) {}

std::optional<ByteSource> open_source(const Path& path) {
    std::optional<Fd> file = open_regular(path);
    if (!file) return std::nullopt;
    const std::optional<FileStatus> status = descriptor_status(*file);
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
