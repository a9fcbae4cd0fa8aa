// The driver: one command per process, JSON lines on standard output.
#include <csignal>
#include <cstdio>
#include <exception>
#include <string>
#include <vector>

#include "cli/cli.hpp"
#include "commands/commands.hpp"

namespace {

int run(int argc, char** argv) {
    // A reader that went away must not kill us: writes then fail quietly.
    std::signal(SIGPIPE, SIG_IGN);
    // A file-size limit makes writes fail with an error (reported, the old file kept) instead
    // of killing the process halfway.
    std::signal(SIGXFSZ, SIG_IGN);

    const std::vector<std::string> args(argv + 1, argv + argc);
    return commands::run(cli::parse(args));
}

} // namespace

int main(int argc, char** argv) {
    // The program's edge: nothing below throws for bad input, but memory can run out.
    try {
        return run(argc, argv);
    } catch (const std::exception& ex) {
        std::fprintf(stderr, "zun-metadata-core: %s\n", ex.what());
    } catch (...) {
        std::fputs("zun-metadata-core: unexpected failure\n", stderr);
    }
    return 1;
}
