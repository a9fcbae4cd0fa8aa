#include "io/io.hpp"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace io {

namespace {

std::atomic<std::uint64_t> g_opens{0};
std::atomic<std::uint64_t> g_reads{0};
std::atomic<std::uint64_t> g_bytes{0};

void count_read(ssize_t got) {
    g_reads.fetch_add(1, std::memory_order_relaxed);
    if (got > 0) g_bytes.fetch_add(static_cast<std::uint64_t>(got), std::memory_order_relaxed);
}

EntryType type_of(mode_t mode) {
    if (S_ISREG(mode)) return EntryType::Regular;
    if (S_ISDIR(mode)) return EntryType::Directory;
    if (S_ISLNK(mode)) return EntryType::Symlink;
    return EntryType::Other;
}

FileStatus status_of(const struct stat& st) {
    FileStatus out;
    out.type = type_of(st.st_mode);
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

void close_raw(int& fd) {
    if (fd >= 0) ::close(fd);
    fd = -1;
}

// A pipe whose two ends are closed on exec; 0 or the errno.
int cloexec_pipe(int ends[2]) {
    if (::pipe(ends) != 0) return errno;
    for (int k = 0; k < 2; ++k)
        if (::fcntl(ends[k], F_SETFD, FD_CLOEXEC) != 0) {
            const int err = errno;
            close_raw(ends[0]);
            close_raw(ends[1]);
            return err;
        }
    return 0;
}

} // namespace

Fd::~Fd() {
    if (fd >= 0) ::close(fd);
}

Fd& Fd::operator=(Fd&& other) noexcept {
    if (this != &other) {
        if (fd >= 0) ::close(fd);
        fd = other.fd;
        other.fd = -1;
    }
    return *this;
}

int close(Fd& file) {
    if (file.fd < 0) return 0;
    const int rc = ::close(file.fd);
    file.fd = -1;
    return rc == 0 || errno == EINTR ? 0 : errno;
}

std::string error_text(int error_number) {
    return std::string(std::strerror(error_number)) + " (os error " + std::to_string(error_number) +
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

std::variant<std::string, int> real_path(const Path& path) {
    char* resolved = ::realpath(path.c_str(), nullptr);
    if (!resolved) return errno;
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
    auto st = descriptor_status(file->fd);
    if (!st || st->type != EntryType::Regular) return std::nullopt;
    g_opens.fetch_add(1, std::memory_order_relaxed);
    return file;
}

std::optional<std::size_t> read_some(const Fd& file, char* buffer, std::size_t size) {
    for (;;) {
        ssize_t got = ::read(file.fd, buffer, size);
        count_read(got);
        if (got >= 0) return static_cast<std::size_t>(got);
        if (errno != EINTR) return std::nullopt;
    }
}

std::optional<std::size_t> read_at(const Fd& file, std::uint64_t offset,
                                   std::span<std::uint8_t> out) {
    std::size_t done = 0;
    while (done < out.size()) {
        ssize_t got = ::pread(file.fd, out.data() + done, out.size() - done,
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
    constexpr std::size_t chunk = std::size_t{64} << 10;
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

Counts counts() {
    return Counts{g_opens.load(std::memory_order_relaxed), g_reads.load(std::memory_order_relaxed),
                  g_bytes.load(std::memory_order_relaxed)};
}

EntryType DirEntry::type() const {
    switch (listed_type_) {
    case DT_REG:
        return EntryType::Regular;
    case DT_DIR:
        return EntryType::Directory;
    case DT_LNK:
        return EntryType::Symlink;
    case DT_UNKNOWN:
        break;
    default:
        return EntryType::Other;
    }
    const std::string name(name_);
    struct stat st {};
    if (::fstatat(dir_fd_, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) return EntryType::Unknown;
    return type_of(st.st_mode);
}

bool for_each_entry(const Path& dir, const std::function<void(const DirEntry&)>& visit) {
    DIR* handle = ::opendir(dir.c_str());
    if (!handle) return false;
    while (const dirent* entry = ::readdir(handle)) {
        const std::string_view name = entry->d_name;
        if (name == "." || name == "..") continue;
        visit(DirEntry(::dirfd(handle), name, entry->d_type));
    }
    ::closedir(handle);
    return true;
}

int create_directories(const Path& dir) {
    std::error_code ec;
    std::filesystem::create_directories(dir, ec);
    if (ec) return ec.value();
    auto st = status(dir, Follow::Links);
    if (!st) return errno;
    return st->type == EntryType::Directory ? 0 : ENOTDIR;
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

int write_in_place(const Path& path, std::string_view bytes) {
    int raw = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    if (raw < 0) return errno;
    Fd file(raw);
    int err = write_all(file, bytes);
    if (int closed = close(file); err == 0) err = closed;
    return err;
}

namespace {

// The spawn attributes and file actions of one start, released when the value dies.
struct SpawnSetup {
    posix_spawn_file_actions_t actions;
    posix_spawnattr_t attr;
    bool actions_ready = false;
    bool attr_ready = false;
    ~SpawnSetup() {
        if (actions_ready) posix_spawn_file_actions_destroy(&actions);
        if (attr_ready) posix_spawnattr_destroy(&attr);
    }
    // Standard input from `in_fd` (/dev/null when negative), output and error into the pipes,
    // and default handling of the signals this process ignores (SIGPIPE, SIGXFSZ). 0 or the
    // error number.
    int prepare(int in_fd, int out_fd, int err_fd, Group group) {
        if (int rc = posix_spawn_file_actions_init(&actions); rc != 0) return rc;
        actions_ready = true;
        if (int rc = posix_spawnattr_init(&attr); rc != 0) return rc;
        attr_ready = true;
        sigset_t defaults;
        sigemptyset(&defaults);
        sigaddset(&defaults, SIGPIPE);
        sigaddset(&defaults, SIGXFSZ);
        for (int rc :
             {in_fd < 0 ? posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0)
                        : posix_spawn_file_actions_adddup2(&actions, in_fd, 0),
              posix_spawn_file_actions_adddup2(&actions, out_fd, 1),
              posix_spawn_file_actions_adddup2(&actions, err_fd, 2),
              posix_spawnattr_setsigdefault(&attr, &defaults), posix_spawnattr_setpgroup(&attr, 0),
              posix_spawnattr_setflags(
                  &attr, static_cast<short>(POSIX_SPAWN_SETSIGDEF |
                                            (group == Group::Own ? POSIX_SPAWN_SETPGROUP : 0)))})
            if (rc != 0) return rc;
        return 0;
    }
};

// Spawns `program` with `args`, its standard input from `in_fd` (/dev/null when negative)
// and its output and error into the write ends of the two pipes. 0 or the error number.
int spawn(const std::string& program, const std::vector<std::string>& args, int in_fd, int out_fd,
          int err_fd, Group group, pid_t& pid) {
    SpawnSetup setup;
    if (int rc = setup.prepare(in_fd, out_fd, err_fd, group); rc != 0) return rc;
    std::vector<char*> argv;
    argv.push_back(const_cast<char*>(program.c_str()));
    for (const auto& a : args)
        argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    return ::posix_spawn(&pid, program.c_str(), &setup.actions, &setup.attr, argv.data(), environ);
}

} // namespace

namespace {

// Reaps `pid`, retrying interrupted waits: 0 or the errno.
int reap(pid_t pid) {
    int status = 0;
    for (;;) {
        if (::waitpid(pid, &status, 0) >= 0) return 0;
        if (errno != EINTR) return errno;
    }
}

int set_nonblocking(int fd) {
    const int flags = ::fcntl(fd, F_GETFL);
    if (flags < 0 || ::fcntl(fd, F_SETFL, flags | O_NONBLOCK) != 0) return errno;
    return 0;
}

// One write of what the pipe takes now. A write to a pipe whose reader has gone raises
// SIGPIPE, which would end a process that does not ignore it: the signal is blocked for the
// write and a SIGPIPE the write raised is taken back before it is unblocked. The count
// written, or -1 with the errno in `error`.
ssize_t write_without_sigpipe(int fd, std::string_view bytes, int& error) {
    sigset_t pipe_only;
    sigset_t previous;
    sigset_t pending;
    sigemptyset(&pipe_only);
    sigaddset(&pipe_only, SIGPIPE);
    if (int rc = ::pthread_sigmask(SIG_BLOCK, &pipe_only, &previous); rc != 0) {
        error = rc;
        return -1;
    }
    const bool was_pending = ::sigpending(&pending) == 0 && sigismember(&pending, SIGPIPE) == 1;
    ssize_t n;
    do {
        n = ::write(fd, bytes.data(), bytes.size());
    } while (n < 0 && errno == EINTR);
    error = n < 0 ? errno : 0;
    if (error == EPIPE && !was_pending && ::sigpending(&pending) == 0 &&
        sigismember(&pending, SIGPIPE) == 1) {
        int taken = 0;
        (void)::sigwait(&pipe_only, &taken); // pending, so this returns at once
    }
    (void)::pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    return n;
}

} // namespace

Child::~Child() {
    (void)stop(*this);
}

Child::Child(Child&& other) noexcept
    : pid(other.pid), in(std::move(other.in)), out_pipe(std::move(other.out_pipe)),
      err_pipe(std::move(other.err_pipe)), to_send(std::move(other.to_send)),
      out(std::move(other.out)), err(std::move(other.err)), out_ended(other.out_ended),
      err_ended(other.err_ended), in_broken(other.in_broken), own_group(other.own_group) {
    other.pid = -1;
}

Child& Child::operator=(Child&& other) noexcept {
    if (this != &other) {
        (void)stop(*this);
        pid = other.pid;
        other.pid = -1;
        in = std::move(other.in);
        out_pipe = std::move(other.out_pipe);
        err_pipe = std::move(other.err_pipe);
        to_send = std::move(other.to_send);
        out = std::move(other.out);
        err = std::move(other.err);
        out_ended = other.out_ended;
        err_ended = other.err_ended;
        in_broken = other.in_broken;
        own_group = other.own_group;
    }
    return *this;
}

std::variant<Child, std::string> start_child(const std::string& program,
                                             const std::vector<std::string>& args, Input input,
                                             Group group) {
    int in_pipe[2] = {-1, -1};
    int out_pipe[2] = {-1, -1};
    int err_pipe[2] = {-1, -1};
    int rc = input == Input::Pipe ? cloexec_pipe(in_pipe) : 0;
    if (rc == 0) rc = cloexec_pipe(out_pipe);
    if (rc == 0) rc = cloexec_pipe(err_pipe);
    for (int fd : {in_pipe[1], out_pipe[0], err_pipe[0]})
        if (rc == 0 && fd >= 0) rc = set_nonblocking(fd);
    pid_t pid = -1;
    if (rc == 0) rc = spawn(program, args, in_pipe[0], out_pipe[1], err_pipe[1], group, pid);
    close_raw(in_pipe[0]);
    close_raw(out_pipe[1]);
    close_raw(err_pipe[1]);
    if (rc != 0) {
        close_raw(in_pipe[1]);
        close_raw(out_pipe[0]);
        close_raw(err_pipe[0]);
        return error_text(rc);
    }
    Child child;
    child.pid = pid;
    child.in = Fd(in_pipe[1]);
    child.out_pipe = Fd(out_pipe[0]);
    child.err_pipe = Fd(err_pipe[0]);
    child.own_group = group == Group::Own;
    return child;
}

int pump(const std::vector<Child*>& children, int timeout_ms) {
    std::vector<pollfd> fds;
    // Per entry of `fds`: the child, and which pipe (0 input, 1 output, 2 error).
    std::vector<std::pair<Child*, int>> owners;
    for (Child* child : children) {
        if (child->in.fd >= 0 && !child->to_send.empty()) {
            fds.push_back({child->in.fd, POLLOUT, 0});
            owners.emplace_back(child, 0);
        }
        if (child->out_pipe.fd >= 0) {
            fds.push_back({child->out_pipe.fd, POLLIN, 0});
            owners.emplace_back(child, 1);
        }
        if (child->err_pipe.fd >= 0) {
            fds.push_back({child->err_pipe.fd, POLLIN, 0});
            owners.emplace_back(child, 2);
        }
    }
    if (::poll(fds.data(), fds.size(), timeout_ms) < 0) return errno == EINTR ? 0 : errno;
    char buffer[1 << 16];
    for (std::size_t k = 0; k < fds.size(); ++k) {
        if (fds[k].revents == 0) continue;
        Child& child = *owners[k].first;
        if (owners[k].second == 0) {
            int error = 0;
            const ssize_t n = write_without_sigpipe(child.in.fd, child.to_send, error);
            if (n > 0) {
                child.to_send.erase(0, static_cast<std::size_t>(n));
            } else if (n < 0 && error != EAGAIN && error != EWOULDBLOCK) {
                child.to_send.clear();
                child.in_broken = true;
                (void)close(child.in);
            }
            continue;
        }
        Fd& pipe = owners[k].second == 1 ? child.out_pipe : child.err_pipe;
        std::string& sink = owners[k].second == 1 ? child.out : child.err;
        ssize_t n;
        do {
            n = ::read(pipe.fd, buffer, sizeof buffer);
        } while (n < 0 && errno == EINTR);
        if (n > 0) {
            sink.append(buffer, static_cast<std::size_t>(n));
        } else if (n == 0 || (errno != EAGAIN && errno != EWOULDBLOCK)) {
            (void)close(pipe);
            (owners[k].second == 1 ? child.out_ended : child.err_ended) = true;
        }
    }
    return 0;
}

Running start(const std::string& program, const std::vector<std::string>& args) {
    return start_child(program, args, Input::Null);
}

std::vector<ProcessResult> finish_all(std::vector<Running>& runs) {
    std::vector<Child*> open;
    for (Running& run : runs)
        if (auto* child = std::get_if<Child>(&run)) open.push_back(child);
    while (!open.empty()) {
        if (pump(open, -1) != 0) break; // poll failed: what came so far is the output
        std::erase_if(open,
                      [](const Child* child) { return child->out_ended && child->err_ended; });
    }
    std::vector<ProcessResult> results;
    for (Running& run : runs) {
        if (auto* failure = std::get_if<std::string>(&run)) {
            results.emplace_back(*failure);
            continue;
        }
        Child& child = std::get<Child>(run);
        (void)close(child.out_pipe);
        (void)close(child.err_pipe);
        // Both pipes have ended, so the process is exiting: waited for, not killed.
        if (child.pid > 0) (void)reap(std::exchange(child.pid, -1));
        results.emplace_back(ProcessOutput{std::move(child.out), std::move(child.err)});
    }
    return results;
}

ProcessResult run_process(const std::string& program, const std::vector<std::string>& args) {
    std::vector<Running> runs;
    runs.push_back(start(program, args));
    return std::move(finish_all(runs).front());
}

int stop(Child& child) {
    (void)close(child.in);
    (void)close(child.out_pipe);
    (void)close(child.err_pipe);
    if (child.pid <= 0) return 0;
    const pid_t pid = child.pid;
    child.pid = -1;
    if (child.own_group) {
        // The group is ended before its leader is reaped: until then the leader, exited or
        // not, keeps the group's id from being given to anyone else.
        const int killed = ::kill(-pid, SIGKILL) == 0 || errno == ESRCH ? 0 : errno;
        const int reaped = reap(pid);
        return killed != 0 ? killed : reaped;
    }
    int status = 0;
    pid_t done;
    do {
        done = ::waitpid(pid, &status, WNOHANG);
    } while (done < 0 && errno == EINTR);
    if (done == pid) return 0;
    if (done < 0) return errno;
    // Still running: ended by its own id, which stays its own until it is reaped here.
    const int killed = ::kill(pid, SIGKILL) == 0 ? 0 : errno;
    const int reaped = reap(pid);
    return killed != 0 ? killed : reaped;
}

void close_input(Child& child) {
    child.to_send.clear();
    (void)close(child.in);
}

bool has_exited(const Child& child) {
    if (child.pid <= 0) return false;
    siginfo_t info{};
    int rc;
    do {
        rc = ::waitid(P_PID, static_cast<id_t>(child.pid), &info, WEXITED | WNOHANG | WNOWAIT);
    } while (rc < 0 && errno == EINTR);
    return rc == 0 && info.si_pid == child.pid;
}

int send_all(Child& child, std::string_view bytes) {
    while (!bytes.empty()) {
        if (child.in.fd < 0) return EPIPE;
        int error = 0;
        const ssize_t n = write_without_sigpipe(child.in.fd, bytes, error);
        if (n >= 0) {
            bytes.remove_prefix(static_cast<std::size_t>(n));
            continue;
        }
        if (error != EAGAIN && error != EWOULDBLOCK) return error;
        pollfd ready = {child.in.fd, POLLOUT, 0};
        if (::poll(&ready, 1, -1) < 0 && errno != EINTR) return errno;
    }
    return 0;
}

std::optional<Child> start_guard() {
    // "+ PID" adds an id, "- PID" forgets it; at the end of its input (this process closed
    // the pipe or died) the guard ends what it still holds.
    static const char* const script = "ids=\n"
                                      "while read -r op id; do\n"
                                      "  case $op in\n"
                                      "    +) ids=\"$ids -$id\" ;;\n"
                                      "    -) rest=; for k in $ids; do\n"
                                      "         [ \"$k\" = \"-$id\" ] || rest=\"$rest $k\"; done\n"
                                      "       ids=$rest ;;\n"
                                      "  esac\n"
                                      "done\n"
                                      "[ -z \"$ids\" ] || kill -KILL $ids 2>/dev/null\n";
    auto started = start_child("/bin/sh", {"-c", script}, Input::Pipe, Group::Own);
    auto* guard = std::get_if<Child>(&started);
    if (!guard) return std::nullopt;
    // It never writes; its output pipes are of no use.
    (void)close(guard->out_pipe);
    (void)close(guard->err_pipe);
    guard->out_ended = true;
    guard->err_ended = true;
    return std::move(*guard);
}

int guard_add(Child& guard, pid_t pid) {
    return send_all(guard, "+ " + std::to_string(pid) + "\n");
}

int guard_forget(Child& guard, pid_t pid) {
    return send_all(guard, "- " + std::to_string(pid) + "\n");
}

std::size_t online_cores() {
    const long count = ::sysconf(_SC_NPROCESSORS_ONLN);
    return count > 0 ? static_cast<std::size_t>(count) : 1;
}

} // namespace io
