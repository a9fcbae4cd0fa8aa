#include "faults/child.hpp"

#include "support/support.hpp"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <grp.h>
#include <sstream>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

namespace faults {

namespace fs = std::filesystem;

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
    std::istringstream cmdline(testing_support::read_file("/proc/self/cmdline"));
    std::vector<std::string> words;
    for (std::string word; std::getline(cmdline, word, '\0');)
        words.push_back(word);
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

ChildResult run_binary(const std::vector<std::string>& args, std::map<std::string, std::string> env,
                       const ChildOptions& options) {
    ChildResult result;
    (void)intermediate;
    int report_pipe[2];
    if (::pipe2(report_pipe, O_CLOEXEC) != 0) return result;
    std::error_code ec;
    std::string self = fs::read_symlink("/proc/self/exe", ec).string();
    std::string program = ZUN_BINARY;
    // Another user may not be able to reach the build folder (a checkout in a private home
    // or a 0700 folder), so it runs copies of both executables from a scratch folder it can
    // enter; the folder goes when this call returns.
    std::optional<testing_support::TempDir> copies;
    if (options.as_user) {
        copies.emplace();
        const auto executable = fs::perms::owner_all | fs::perms::group_read |
                                fs::perms::group_exec | fs::perms::others_read |
                                fs::perms::others_exec;
        for (std::string* file : {&self, &program}) {
            const auto copy = *copies / fs::path(*file).filename().string();
            fs::copy_file(*file, copy, ec);
            if (!ec) fs::permissions(copy, executable, ec);
            if (ec) {
                ::close(report_pipe[0]);
                ::close(report_pipe[1]);
                result.err = "cannot copy " + *file + ": " + ec.message();
                return result;
            }
            *file = copy.string();
        }
    }
    env[measure_env] = "1";
    testing_support::RunOptions run_options;
    run_options.hang_up_after = options.hang_up_after;
    run_options.pause_after = options.pause_after;
    run_options.pause_ms = options.pause_ms;
    run_options.in_child = [&] {
        ::dup2(report_pipe[1], report_fd);
        if (!options.as_user) return;
        const uid_t id = *options.as_user;
        if (::setgroups(0, nullptr) != 0 || ::setgid(id) != 0 || ::setuid(id) != 0) ::_exit(125);
    };
    std::vector<std::string> words = {program};
    words.insert(words.end(), args.begin(), args.end());
    const fs::path cwd = copies ? copies->path : fs::path();
    auto child = testing_support::run(self, words, env, cwd, run_options);
    result.out = std::move(child.out);
    result.err = std::move(child.err);
    // The intermediate has ended: its report, if any, is in the pipe.
    ::close(report_pipe[1]);
    char report[64] = {};
    ssize_t got = ::read(report_pipe[0], report, sizeof report - 1);
    ::close(report_pipe[0]);
    int status = 0;
    if (got <= 0 || std::sscanf(report, "%ld %d", &result.max_rss_kb, &status) != 2) return result;
    if (WIFEXITED(status))
        result.status = WEXITSTATUS(status);
    else if (WIFSIGNALED(status))
        result.status = 128 + WTERMSIG(status);
    return result;
}

} // namespace faults
