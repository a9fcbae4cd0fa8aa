#include "support/support.hpp"

#include "exiftool/internal.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <fstream>
#include <grp.h>
#include <linux/fs.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace testing_support {

using nlohmann::json;

TempDir::TempDir() {
    // Directly under the system's temporary folder rather than in the build tree, so an
    // unprivileged child can reach it wherever the checkout lives (a private home, a 0700
    // folder). The name is made atomically; 0755 lets other users in, as tests need.
    std::string pattern = (fs::temp_directory_path() / "zun-test-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr)
        throw fs::filesystem_error("cannot make a scratch folder", fs::path(pattern),
                                   std::error_code(errno, std::generic_category()));
    path = pattern;
    fs::permissions(path, fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                              fs::perms::others_read | fs::perms::others_exec);
}

TempDir::~TempDir() {
    std::error_code ec;
    // Restore permissions tests may have taken away, so removal succeeds.
    for (auto it = fs::recursive_directory_iterator(
             path, fs::directory_options::skip_permission_denied, ec);
         !ec && it != fs::recursive_directory_iterator(); it.increment(ec)) {
        if (it->is_directory(ec) && !it->is_symlink(ec))
            fs::permissions(it->path(), fs::perms::owner_all, fs::perm_options::add, ec);
    }
    fs::permissions(path, fs::perms::owner_all, fs::perm_options::add, ec);
    fs::remove_all(path, ec);
}

fs::path write_file(const fs::path& path, std::string_view bytes) {
    if (path.has_parent_path()) fs::create_directories(path.parent_path());
    std::ofstream f(path, std::ios::binary | std::ios::trunc);
    f.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    return path;
}

std::vector<fs::path> media_files(const fs::path& dir, int count) {
    std::vector<fs::path> out;
    for (int i = 0; i < count; ++i) {
        char name[32];
        std::snprintf(name, sizeof name, "c%02d.mov", i);
        out.push_back(write_file(dir / name, "not really a movie"));
    }
    return out;
}

std::string read_file(const fs::path& path) {
    std::ifstream f(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
}

void write_script(const fs::path& path, std::string_view body) {
    write_file(path, body);
    fs::permissions(path, fs::perms::owner_all | fs::perms::group_read | fs::perms::others_read);
}

FakeTool::FakeTool(std::string_view version, std::string_view body) {
    // The options every batch run starts with; the raw run adds "-n" after them.
    const auto fixed = exiftool::batch_arguments({}, exiftool::Numeric::No).size();
    std::string script = "#!/bin/sh\nset -f\n";
    script += "printf '%s\\n' \"$*\" >> \"$(dirname \"$0\")/starts.log\"\n";
    script += "if [ \"$1\" = \"-ver\" ]; then printf '%s\\n' '" + std::string(version) +
              "'; exit 0; fi\n";
    script += "printf '%s\\n' \"$*\" >> \"$(dirname \"$0\")/calls.log\"\n";
    script += "shift " + std::to_string(fixed) + "\nnumeric=0\n";
    script += "if [ \"$1\" = \"-n\" ]; then numeric=1; shift; fi\n";
    write_file(tool, script + std::string(body));
    // An unprivileged user runs it too, and logs its calls.
    fs::permissions(tool, fs::perms::all & ~fs::perms::group_write & ~fs::perms::others_write);
    fs::permissions(bin, fs::perms::all);
}

std::map<std::string, std::string> FakeTool::env(std::map<std::string, std::string> vars) const {
    vars["ZUN_EXIFTOOL"] = tool.string();
    return vars;
}

std::vector<std::string> FakeTool::calls() const {
    return lines(read_file(bin / "calls.log"));
}

std::vector<std::string> FakeTool::starts() const {
    return lines(read_file(bin / "starts.log"));
}

RunResult run(const std::string& program, const std::vector<std::string>& args,
              const std::map<std::string, std::string>& env, const fs::path& cwd,
              const RunOptions& options) {
    RunResult result;
    int out_pipe[2], err_pipe[2];
    if (pipe2(out_pipe, O_CLOEXEC) != 0) return result;
    if (pipe2(err_pipe, O_CLOEXEC) != 0) {
        close(out_pipe[0]);
        close(out_pipe[1]);
        return result;
    }
    pid_t pid = fork();
    if (pid == 0) {
        int devnull = open("/dev/null", O_RDONLY);
        dup2(devnull, 0);
        dup2(out_pipe[1], 1);
        dup2(err_pipe[1], 2);
        for (const auto& [key, value] : env) {
            if (value.empty())
                unsetenv(key.c_str());
            else
                setenv(key.c_str(), value.c_str(), 1);
        }
        if (options.in_child) options.in_child();
        if (!cwd.empty() && chdir(cwd.c_str()) != 0) _exit(126);
        std::vector<char*> argv;
        argv.push_back(const_cast<char*>(program.c_str()));
        for (const auto& a : args)
            argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        execv(program.c_str(), argv.data());
        _exit(127);
    }
    close(out_pipe[1]);
    close(err_pipe[1]);
    if (pid < 0) {
        close(out_pipe[0]);
        close(err_pipe[0]);
        return result;
    }
    pollfd fds[2] = {{out_pipe[0], POLLIN, 0}, {err_pipe[0], POLLIN, 0}};
    std::string* sinks[2] = {&result.out, &result.err};
    int open_count = 2;
    std::vector<char> buf(1 << 16);
    bool paused = false;
    while (open_count > 0) {
        if (!paused && result.out.size() >= options.pause_after) {
            paused = true;
            ::usleep(static_cast<useconds_t>(options.pause_ms) * 1000);
        }
        if (poll(fds, 2, -1) < 0) {
            if (errno == EINTR) continue;
            break;
        }
        for (int i = 0; i < 2; ++i) {
            if (fds[i].fd < 0 || !(fds[i].revents & (POLLIN | POLLHUP | POLLERR))) continue;
            ssize_t n = read(fds[i].fd, buf.data(), buf.size());
            if (n < 0 && errno == EINTR) continue;
            if (n > 0) sinks[i]->append(buf.data(), static_cast<std::size_t>(n));
            const bool hang_up = i == 0 && result.out.size() >= options.hang_up_after;
            if (n <= 0 || hang_up) {
                close(fds[i].fd);
                fds[i].fd = -1;
                --open_count;
            }
        }
    }
    for (const auto& fd : fds)
        if (fd.fd >= 0) close(fd.fd);
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    if (WIFEXITED(status))
        result.status = WEXITSTATUS(status);
    else if (WIFSIGNALED(status))
        result.status = 128 + WTERMSIG(status);
    return result;
}

RunResult run_core(const std::vector<std::string>& args,
                   const std::map<std::string, std::string>& env, const fs::path& cwd) {
    return run(ZUN_BINARY, args, env, cwd);
}

std::string as_unprivileged(const std::function<std::string()>& body) {
    if (::geteuid() != 0) return body();
    int channel[2];
    if (pipe(channel) != 0) return "pipe failed";
    pid_t pid = fork();
    if (pid == 0) {
        close(channel[0]);
        std::string message;
        if (setgroups(0, nullptr) != 0 || setgid(65534) != 0 || setuid(65534) != 0)
            message = "could not drop privileges";
        else
            message = body();
        if (!message.empty() && write(channel[1], message.data(), message.size()) < 0) _exit(2);
        _exit(message.empty() ? 0 : 1);
    }
    close(channel[1]);
    std::string message;
    char buf[4096];
    ssize_t n;
    while ((n = read(channel[0], buf, sizeof buf)) > 0)
        message.append(buf, static_cast<std::size_t>(n));
    close(channel[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    if (!WIFEXITED(status)) return "child ended abnormally";
    if (WEXITSTATUS(status) != 0 && message.empty()) return "child failed";
    return message;
}

namespace {

// First line of a file under /proc; empty when it cannot be read.
std::string proc_line(const std::string& path) {
    std::ifstream f(path);
    std::string line;
    std::getline(f, line);
    return line;
}

// What /proc shows of thread `tid` of this process: "running", or the number and arguments
// of the system call it sleeps in.
std::string current_syscall(pid_t tid) {
    return proc_line("/proc/self/task/" + std::to_string(tid) + "/syscall");
}

// The scheduling state letter of thread `tid` ('S': interruptible sleep).
char thread_state(pid_t tid) {
    const std::string stat = proc_line("/proc/self/task/" + std::to_string(tid) + "/stat");
    const auto close = stat.rfind(')');
    return close != std::string::npos && close + 2 < stat.size() ? stat[close + 2] : '?';
}

bool is_open_call(const std::string& syscall_line) {
    char* end = nullptr;
    const long number = std::strtol(syscall_line.c_str(), &end, 10);
    if (end == syscall_line.c_str()) return false;
#ifdef SYS_open
    if (number == SYS_open) return true;
#endif
#ifdef SYS_openat2
    if (number == SYS_openat2) return true;
#endif
    return number == SYS_openat;
}

} // namespace

std::string blocking_open(const std::vector<fs::path>& fifos, const std::function<void()>& call) {
    if (current_syscall(::gettid()).empty())
        return "cannot watch a thread: /proc/self/task/*/syscall is unreadable";
    std::atomic<pid_t> worker_tid{0};
    std::atomic<bool> done{false};
    std::thread worker([&] {
        worker_tid = ::gettid();
        call();
        done = true;
    });
    std::string seen;
    while (!done) {
        if (const pid_t tid = worker_tid; tid != 0) {
            // The same call on both sides of an interruptible sleep: the worker is parked there.
            const std::string before = current_syscall(tid);
            const char state = thread_state(tid);
            if (state == 'S' && is_open_call(before) && current_syscall(tid) == before) {
                if (seen.empty()) seen = "asleep in an open system call: " + before;
                for (const auto& fifo : fifos) {
                    const int writer = ::open(fifo.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
                    if (writer >= 0) ::close(writer);
                }
            }
        }
        std::this_thread::yield();
    }
    worker.join();
    return seen;
}

std::optional<std::uint64_t> proc_self_number(const std::string& file, std::string_view key) {
    std::ifstream f("/proc/self/" + file);
    for (std::string line; std::getline(f, line);)
        if (line.starts_with(key)) return std::strtoull(line.c_str() + key.size(), nullptr, 10);
    return std::nullopt;
}

std::vector<std::string> lines(const std::string& out) {
    std::vector<std::string> result;
    std::size_t start = 0;
    while (start < out.size()) {
        auto nl = out.find('\n', start);
        if (nl == std::string::npos) {
            result.push_back(out.substr(start));
            break;
        }
        result.push_back(out.substr(start, nl - start));
        start = nl + 1;
    }
    return result;
}

std::vector<json> json_lines(const std::string& out) {
    std::vector<json> docs;
    for (const auto& line : lines(out)) {
        docs.push_back(json::parse(line, nullptr, false));
        if (docs.back().is_discarded()) ADD_FAILURE() << "not a JSON line: " << line;
    }
    return docs;
}

std::vector<json> complete_scan(const std::string& out, std::size_t media, std::size_t errors,
                                std::size_t rejected) {
    auto docs = json_lines(out);
    std::vector<json> clips;
    EXPECT_EQ(docs.size(), rejected + media + 2);
    if (docs.size() != rejected + media + 2) return clips;
    for (std::size_t i = 0; i < rejected; ++i)
        EXPECT_EQ(docs[i]["event"], "rejected");
    EXPECT_EQ(docs[rejected]["event"], "found");
    EXPECT_EQ(docs[rejected]["count"], media);
    for (std::size_t i = rejected + 1; i + 1 < docs.size(); ++i) {
        EXPECT_EQ(docs[i]["event"], "clip");
        clips.push_back(docs[i]["clip"]);
    }
    EXPECT_EQ(docs.back()["event"], "done");
    EXPECT_EQ(docs.back()["clips"], media);
    EXPECT_EQ(docs.back()["errors"], errors);
    return clips;
}

bool set_immutable(const fs::path& path, bool on) {
    int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return false;
    int flags = 0;
    bool ok = ::ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0;
    if (ok) {
        flags = on ? (flags | FS_IMMUTABLE_FL) : (flags & ~FS_IMMUTABLE_FL);
        ok = ::ioctl(fd, FS_IOC_SETFLAGS, &flags) == 0;
    }
    ::close(fd);
    return ok;
}

} // namespace testing_support
