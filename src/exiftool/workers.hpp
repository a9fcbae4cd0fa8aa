// The persistent workers behind exiftool::Session and exiftool::Batches.
#pragma once

#include <chrono>
#include <cstdint>
#include <map>
#include <optional>
#include <set>
#include <span>
#include <string>
#include <variant>
#include <vector>

#include "exiftool/exiftool.hpp"
#include "io/io.hpp"

namespace exiftool {

// A batch handed to a worker.
struct Job {
    std::vector<std::string> passed; // the names sent
    bool finished = false;
    // parse_output of its standard output before "{readyN}" and standard error before the
    // marker (or of what it wrote before it failed)
    std::variant<Objects, std::string> parsed;
    std::chrono::steady_clock::time_point sent;
    std::chrono::nanoseconds took{0}; // from sending to the answer (or the failure)
};

struct Worker {
    io::Child child;
    std::uint64_t command = 0;           // the number of the command in flight; 0 when idle
    std::optional<std::uint64_t> ticket; // the batch in flight; none while the probe runs
    std::chrono::steady_clock::time_point sent;
    // How long the engine has waited on the command in flight without the worker reading or
    // writing anything: the deadline counts this, so time the engine spends elsewhere (blocked
    // on its own output, say) never counts against a worker.
    std::chrono::nanoseconds quiet{0};
    bool served = false; // it has answered a batch
};

// The workers of one session and the batches handed to them, by ticket. Workers still running
// when the value dies are ended by their process ids; the guard ends them should this process
// die first (it is declared last, so it goes first, while the workers' ids are still theirs).
struct Pool {
    std::string tool;
    std::chrono::milliseconds deadline{0};
    std::vector<Worker> workers;
    std::map<std::uint64_t, Job> jobs;
    std::uint64_t next_command = 1;
    std::uint64_t next_ticket = 0;      // the first batch ticket of the next stream
    std::optional<std::string> version; // what a worker's probe answer gave as the version
    // The first worker's probe, whose answer gives the version; absent once it has ended.
    std::optional<std::uint64_t> version_probe;
    std::set<std::uint64_t> retried; // batches handed out again after a silent exit
    std::optional<io::Child> guard;
};

// A pool of `tool` with its guard and its first worker started and probed, without waiting.
Pool open_pool(const std::string& tool);

// Starts `count` more workers, whose probes run while batches do.
void add_workers(Pool& pool, std::size_t count);

// Hands batch `ticket` over `files` to an idle worker. False, with nothing sent, when no
// worker is idle or a name cannot travel (worker_arguments).
bool submit(Pool& pool, std::uint64_t ticket, std::span<const std::string> files);

// Whether batch `ticket` was handed to a worker and is not answered yet.
bool in_flight(const Pool& pool, std::uint64_t ticket);

// Waits until some worker has written something, answered or failed (or the nearest deadline),
// and settles what it can; returns at once when no worker is busy.
void wait(Pool& pool);

// The entries of batch `ticket` over `files`, waiting for its worker (a batch not handed over
// yet goes to the next idle one); see Batches.
BatchRead collect(Pool& pool, std::uint64_t ticket, const std::vector<std::string>& files);

// Ends every worker (see Session) and the guard. The pool is empty afterwards.
void stop_pool(Pool& pool);

} // namespace exiftool
