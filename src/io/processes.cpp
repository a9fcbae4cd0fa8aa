// Child processes: starting, pumping their pipes, ending them, and the guard.
#include "io/internal.hpp"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>
#include <utility>

extern char** environ;

namespace io {

namespace {

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

// How a wait status says a process ended.
Exit exit_of(int status) {
    if (WIFSIGNALED(status)) return Exit{Exit::Kind::Signal, WTERMSIG(status)};
    return Exit{Exit::Kind::Code, WIFEXITED(status) ? WEXITSTATUS(status) : 0};
}

// Reaps `pid`, retrying interrupted waits: 0 or the errno; `exit` gets how it ended.
int reap(pid_t pid, std::optional<Exit>& exit) {
    int status = 0;
    for (;;) {
        if (::waitpid(pid, &status, 0) >= 0) {
            exit = exit_of(status);
            return 0;
        }
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
      err_ended(other.err_ended), in_broken(other.in_broken), own_group(other.own_group),
      exit(other.exit) {
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
        exit = other.exit;
    }
    return *this;
}

Result<Child> start_child(const std::string& program, const std::vector<std::string>& args,
                          Input input, Group group) {
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
        return Error{rc};
    }
    Child child;
    child.pid = pid;
    child.in = Fd(in_pipe[1]);
    child.out_pipe = Fd(out_pipe[0]);
    child.err_pipe = Fd(err_pipe[0]);
    child.own_group = group == Group::Own;
    return child;
}

Status pump(const std::vector<Child*>& children, int timeout_ms) {
    std::vector<pollfd> fds;
    // Per entry of `fds`: the child, and which pipe (0 input, 1 output, 2 error).
    std::vector<std::pair<Child*, int>> owners;
    for (Child* child : children) {
        if (detail::native(child->in) >= 0 && !child->to_send.empty()) {
            fds.push_back({detail::native(child->in), POLLOUT, 0});
            owners.emplace_back(child, 0);
        }
        if (detail::native(child->out_pipe) >= 0) {
            fds.push_back({detail::native(child->out_pipe), POLLIN, 0});
            owners.emplace_back(child, 1);
        }
        if (detail::native(child->err_pipe) >= 0) {
            fds.push_back({detail::native(child->err_pipe), POLLIN, 0});
            owners.emplace_back(child, 2);
        }
    }
    if (::poll(fds.data(), fds.size(), timeout_ms) < 0)
        return detail::status_of(errno == EINTR ? 0 : errno);
    char buffer[1 << 16];
    for (std::size_t k = 0; k < fds.size(); ++k) {
        if (fds[k].revents == 0) continue;
        Child& child = *owners[k].first;
        if (owners[k].second == 0) {
            int error = 0;
            const ssize_t n = write_without_sigpipe(detail::native(child.in), child.to_send, error);
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
            n = ::read(detail::native(pipe), buffer, sizeof buffer);
        } while (n < 0 && errno == EINTR);
        if (n > 0) {
            sink.append(buffer, static_cast<std::size_t>(n));
        } else if (n == 0 || (errno != EAGAIN && errno != EWOULDBLOCK)) {
            (void)close(pipe);
            (owners[k].second == 1 ? child.out_ended : child.err_ended) = true;
        }
    }
    return std::nullopt;
}

Running start(const std::string& program, const std::vector<std::string>& args) {
    return start_child(program, args, Input::Null);
}

std::vector<ProcessResult> finish_all(std::vector<Running>& runs) {
    std::vector<Child*> open;
    for (Running& run : runs)
        if (auto* child = std::get_if<Child>(&run)) open.push_back(child);
    while (!open.empty()) {
        if (pump(open, -1)) break; // poll failed: what came so far is the output
        std::erase_if(open,
                      [](const Child* child) { return child->out_ended && child->err_ended; });
    }
    std::vector<ProcessResult> results;
    for (Running& run : runs) {
        if (auto* failure = std::get_if<Error>(&run)) {
            results.emplace_back(*failure);
            continue;
        }
        Child& child = std::get<Child>(run);
        (void)close(child.out_pipe);
        (void)close(child.err_pipe);
        // Both pipes have ended, so the process is exiting: waited for, not killed.
        if (child.pid > 0) (void)reap(std::exchange(child.pid, -1), child.exit);
        results.emplace_back(ProcessOutput{std::move(child.out), std::move(child.err), child.exit});
    }
    return results;
}

ProcessResult run_process(const std::string& program, const std::vector<std::string>& args) {
    std::vector<Running> runs;
    runs.push_back(start(program, args));
    return std::move(finish_all(runs).front());
}

Status stop(Child& child) {
    (void)close(child.in);
    (void)close(child.out_pipe);
    (void)close(child.err_pipe);
    if (child.pid <= 0) return std::nullopt;
    const pid_t pid = child.pid;
    child.pid = -1;
    if (child.own_group) {
        // The group is ended before its leader is reaped: until then the leader, exited or
        // not, keeps the group's id from being given to anyone else.
        const int killed = ::kill(-pid, SIGKILL) == 0 || errno == ESRCH ? 0 : errno;
        const int reaped = reap(pid, child.exit);
        return detail::status_of(killed != 0 ? killed : reaped);
    }
    int status = 0;
    pid_t done;
    do {
        done = ::waitpid(pid, &status, WNOHANG);
    } while (done < 0 && errno == EINTR);
    if (done == pid) {
        child.exit = exit_of(status);
        return std::nullopt;
    }
    if (done < 0) return Error{errno};
    // Still running: ended by its own id, which stays its own until it is reaped here.
    const int killed = ::kill(pid, SIGKILL) == 0 ? 0 : errno;
    const int reaped = reap(pid, child.exit);
    return detail::status_of(killed != 0 ? killed : reaped);
}

void close_input(Child& child) {
    child.to_send.clear();
    (void)close(child.in);
}

std::optional<Exit> peek_exit(const Child& child, std::chrono::milliseconds limit) {
    if (child.pid <= 0) return std::nullopt;
    const auto give_up = std::chrono::steady_clock::now() + limit;
    for (;;) {
        siginfo_t info{};
        int rc;
        do {
            rc = ::waitid(P_PID, static_cast<id_t>(child.pid), &info, WEXITED | WNOHANG | WNOWAIT);
        } while (rc < 0 && errno == EINTR);
        if (rc != 0) return std::nullopt;
        if (info.si_pid == child.pid) {
            if (info.si_code == CLD_EXITED) return Exit{Exit::Kind::Code, info.si_status};
            return Exit{Exit::Kind::Signal, info.si_status};
        }
        if (std::chrono::steady_clock::now() >= give_up) return std::nullopt;
        ::usleep(1000);
    }
}

Status send_all(Child& child, std::string_view bytes) {
    while (!bytes.empty()) {
        if (detail::native(child.in) < 0) return Error{EPIPE};
        int error = 0;
        const ssize_t n = write_without_sigpipe(detail::native(child.in), bytes, error);
        if (n >= 0) {
            bytes.remove_prefix(static_cast<std::size_t>(n));
            continue;
        }
        if (error != EAGAIN && error != EWOULDBLOCK) return Error{error};
        pollfd ready = {detail::native(child.in), POLLOUT, 0};
        if (::poll(&ready, 1, -1) < 0 && errno != EINTR) return Error{errno};
    }
    return std::nullopt;
}

std::optional<Child> start_guard() {
    // "+ PID" adds an id, "- PID" forgets it; at the end of its input (this process closed
    // the pipe or died) the guard ends what it still holds.
    static const char* const kScript = "ids=\n"
                                       "while read -r op id; do\n"
                                       "  case $op in\n"
                                       "    +) ids=\"$ids -$id\" ;;\n"
                                       "    -) rest=; for k in $ids; do\n"
                                       "         [ \"$k\" = \"-$id\" ] || rest=\"$rest $k\"; done\n"
                                       "       ids=$rest ;;\n"
                                       "  esac\n"
                                       "done\n"
                                       "[ -z \"$ids\" ] || kill -KILL $ids 2>/dev/null\n";
    auto started = start_child("/bin/sh", {"-c", kScript}, Input::Pipe, Group::Own);
    auto* guard = std::get_if<Child>(&started);
    if (!guard) return std::nullopt;
    // It never writes; its output pipes are of no use.
    (void)close(guard->out_pipe);
    (void)close(guard->err_pipe);
    guard->out_ended = true;
    guard->err_ended = true;
    return std::move(*guard);
}

Status guard_add(Child& guard, pid_t pid) {
    return send_all(guard, "+ " + std::to_string(pid) + "\n");
}

Status guard_forget(Child& guard, pid_t pid) {
    return send_all(guard, "- " + std::to_string(pid) + "\n");
}

std::size_t online_cores() {
    const long count = ::sysconf(_SC_NPROCESSORS_ONLN);
    return count > 0 ? static_cast<std::size_t>(count) : 1;
}

} // namespace io
