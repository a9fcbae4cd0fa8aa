#include "faults/child.hpp"

#include "support/support.hpp"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <grp.h>
#include <linux/fs.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

namespace faults {

namespace {

// Set in the environment of the intermediate process that measures the binary.
constexpr const char* measure_env = "ZUN_FAULTS_MEASURE";
// The intermediate reports "peak-kB wait-status" on this descriptor.
constexpr int report_fd = 3;

// The peak memory a child reports includes what its process held before exec, and a child
// forked from this test holds a copy of the test's memory. So the binary is started from a
// fresh copy of this executable, which is small, and that copy reports the binary's peak.
[[noreturn]] void run_as_intermediate() {
    ::unsetenv(measure_env);
    std::string cmdline;
    if (FILE* f = std::fopen("/proc/self/cmdline", "rb")) {
        char chunk[4096];
        std::size_t n;
        while ((n = std::fread(chunk, 1, sizeof chunk, f)) > 0)
            cmdline.append(chunk, n);
        std::fclose(f);
    }
    std::vector<std::string> words;
    for (std::size_t start = 0; start < cmdline.size();) {
        std::size_t end = cmdline.find('\0', start);
        if (end == std::string::npos) end = cmdline.size();
        words.push_back(cmdline.substr(start, end - start));
        start = end + 1;
    }
    if (words.size() < 2) ::_exit(126);
    std::vector<char*> argv;
    for (std::size_t i = 1; i < words.size(); ++i)
        argv.push_back(words[i].data());
    argv.push_back(nullptr);
    pid_t pid = ::fork();
    if (pid == 0) {
        ::close(report_fd);
        ::execv(argv[0], argv.data());
        ::_exit(127);
    }
    int status = 0;
    rusage usage{};
    while (pid > 0 && ::wait4(pid, &status, 0, &usage) < 0 && errno == EINTR) {
    }
    ::dprintf(report_fd, "%ld %d\n", usage.ru_maxrss, status);
    ::_exit(0);
}

const bool intermediate = [] {
    if (std::getenv(measure_env)) run_as_intermediate();
    return false;
}();

} // namespace

ChildResult run_binary(const std::vector<std::string>& args,
                       const std::map<std::string, std::string>& env, const ChildOptions& options) {
    ChildResult result;
    (void)intermediate;
    int out_pipe[2], err_pipe[2], report_pipe[2];
    if (::pipe2(out_pipe, O_CLOEXEC) != 0) return result;
    if (::pipe2(err_pipe, O_CLOEXEC) != 0) {
        ::close(out_pipe[0]);
        ::close(out_pipe[1]);
        return result;
    }
    if (::pipe2(report_pipe, O_CLOEXEC) != 0) {
        for (int fd : {out_pipe[0], out_pipe[1], err_pipe[0], err_pipe[1]})
            ::close(fd);
        return result;
    }
    std::error_code ec;
    std::string self = std::filesystem::read_symlink("/proc/self/exe", ec).string();
    std::string program = ZUN_BINARY;
    // Another user may not be able to reach the build folder (a checkout in a private home
    // or a 0700 folder), so it runs copies of both executables from a scratch folder it can
    // enter; the folder goes when this call returns.
    std::optional<testing_support::TempDir> copies;
    if (options.as_user) {
        copies.emplace();
        const auto executable =
            std::filesystem::perms::owner_all | std::filesystem::perms::group_read |
            std::filesystem::perms::group_exec | std::filesystem::perms::others_read |
            std::filesystem::perms::others_exec;
        for (std::string* file : {&self, &program}) {
            const auto copy = *copies / std::filesystem::path(*file).filename().string();
            std::filesystem::copy_file(*file, copy, ec);
            if (!ec) std::filesystem::permissions(copy, executable, ec);
            if (ec) {
                for (int fd : {out_pipe[0], out_pipe[1], err_pipe[0], err_pipe[1], report_pipe[0],
                               report_pipe[1]})
                    ::close(fd);
                result.err = "cannot copy " + *file + ": " + ec.message();
                return result;
            }
            *file = copy.string();
        }
    }
    pid_t pid = ::fork();
    if (pid == 0) {
        int devnull = ::open("/dev/null", O_RDONLY);
        ::dup2(devnull, 0);
        ::dup2(out_pipe[1], 1);
        ::dup2(err_pipe[1], 2);
        ::dup2(report_pipe[1], report_fd);
        ::setenv(measure_env, "1", 1);
        for (const auto& [key, value] : env) {
            if (value.empty())
                ::unsetenv(key.c_str());
            else
                ::setenv(key.c_str(), value.c_str(), 1);
        }
        if (options.as_user) {
            const uid_t id = *options.as_user;
            if (::setgroups(0, nullptr) != 0 || ::setgid(id) != 0 || ::setuid(id) != 0 ||
                ::chdir(copies->path.c_str()) != 0)
                ::_exit(125);
        }
        std::vector<char*> argv;
        argv.push_back(const_cast<char*>(self.c_str()));
        argv.push_back(const_cast<char*>(program.c_str()));
        for (const auto& a : args)
            argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        ::execv(self.c_str(), argv.data());
        ::_exit(127);
    }
    ::close(out_pipe[1]);
    ::close(err_pipe[1]);
    ::close(report_pipe[1]);
    pollfd fds[2] = {{out_pipe[0], POLLIN, 0}, {err_pipe[0], POLLIN, 0}};
    std::string* sinks[2] = {&result.out, &result.err};
    int open_count = 2;
    std::vector<char> buf(1 << 16);
    while (open_count > 0 && pid > 0) {
        if (::poll(fds, 2, -1) < 0) {
            if (errno == EINTR) continue;
            break;
        }
        for (int i = 0; i < 2; ++i) {
            if (fds[i].fd < 0 || !(fds[i].revents & (POLLIN | POLLHUP | POLLERR))) continue;
            ssize_t n = ::read(fds[i].fd, buf.data(), buf.size());
            if (n < 0 && errno == EINTR) continue;
            if (n > 0) sinks[i]->append(buf.data(), static_cast<std::size_t>(n));
            const bool hang_up = i == 0 && result.out.size() >= options.hang_up_after;
            if (n <= 0 || hang_up) {
                ::close(fds[i].fd);
                fds[i].fd = -1;
                --open_count;
            }
        }
    }
    for (auto& fd : fds)
        if (fd.fd >= 0) ::close(fd.fd);
    if (pid > 0) {
        while (::waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {
        }
    }
    char report[64] = {};
    ssize_t got = pid > 0 ? ::read(report_pipe[0], report, sizeof report - 1) : -1;
    ::close(report_pipe[0]);
    int status = 0;
    if (got <= 0 || std::sscanf(report, "%ld %d", &result.max_rss_kb, &status) != 2) return result;
    if (WIFEXITED(status))
        result.status = WEXITSTATUS(status);
    else if (WIFSIGNALED(status))
        result.status = 128 + WTERMSIG(status);
    return result;
}

bool set_immutable(const std::filesystem::path& path, bool on) {
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

} // namespace faults
