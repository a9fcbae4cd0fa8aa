// The driver: one command per process, JSON lines on standard output.
#include <csignal>
#include <cstdio>
#include <exception>
#include <string>
#include <vector>

#if defined(__GLIBC__)
#include <malloc.h>
#endif

#include "cli/cli.hpp"
#include "commands/commands.hpp"

namespace {

int run(int argc, char** argv) {
    // A reader that went away must not kill us: writes then fail quietly.
    std::signal(SIGPIPE, SIG_IGN);
    // A file-size limit makes writes fail with an error (reported, the old file kept) instead
    // of killing the process halfway.
    std::signal(SIGXFSZ, SIG_IGN);
#if defined(__GLIBC__)
    // The readers take a few MiB per clip (the head of an MPEG stream, a movie's index): kept
    // in the heap and reused from clip to clip, instead of mapped afresh and faulted in page
    // by page each time, which cost five times the rest of the engine's work on such clips.
    mallopt(M_MMAP_THRESHOLD, 32 << 20);
    mallopt(M_TRIM_THRESHOLD, 64 << 20);
#endif

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
