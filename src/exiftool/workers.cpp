// Persistent exiftool workers: one `-stay_open` process per core, each fed whole batches
// through its argument file on standard input, with read_batch's two runs as the fallback.
#include <algorithm>
#include <charconv>
#include <cstdlib>

#include "exiftool/exiftool.hpp"
#include "text/text.hpp"

namespace exiftool {

namespace {

using Clock = std::chrono::steady_clock;

// Each worker's process runs this, so a real exiftool prints its version and then reads
// commands, while a stand-in that only knows "-ver" prints a version and exits.
const std::vector<std::string> worker_start = {"-ver", "-stay_open", "True", "-@", "-"};

std::string ready_line(std::uint64_t id) {
    return "{ready" + std::to_string(id) + "}\n";
}

std::string end_marker(std::uint64_t id) {
    return "{zun-end" + std::to_string(id) + "}";
}

// Whether `text` ends in `line` as a whole line of its own.
bool ends_in_line(const std::string& text, const std::string& line) {
    if (!text.ends_with(line)) return false;
    return text.size() == line.size() || text[text.size() - line.size() - 1] == '\n';
}

// Bytes an argument file drops from the front of a line (Perl's \s, and the two further
// white-space characters of Latin-1) or that make it a comment.
bool lost_at_line_start(unsigned char c) {
    return c == ' ' || c == '\t' || c == '\v' || c == '\f' || c == '#' || c == 0x85 || c == 0xa0;
}

// Sends the probe: the version, then a numbered -execute.
void send_probe(Pool& pool, Worker& worker) {
    worker.command = pool.next_command++;
    worker.ticket.reset();
    worker.sent = Clock::now();
    worker.child.to_send += "-ver\n-execute" + std::to_string(worker.command) + "\n";
}

// A started worker, known to the guard, with its probe under way; absent when it cannot be
// started.
std::optional<Worker> start_worker(Pool& pool) {
    if (!pool.guard) return std::nullopt;
    auto started = io::start_child(pool.tool, worker_start);
    auto* child = std::get_if<io::Child>(&started);
    if (!child) return std::nullopt;
    if (io::guard_add(*pool.guard, child->pid) != 0) return std::nullopt; // ended by ~Child
    Worker worker;
    worker.child = std::move(*child);
    send_probe(pool, worker);
    return worker;
}

// The version text a first worker's answers give: its standard output before the probe's
// "{readyN}" holds its start's "-ver" output and then the probe's, the same text twice.
std::optional<std::string> answered_version(std::string_view out) {
    if (out.size() % 2 != 0 || out.substr(0, out.size() / 2) != out.substr(out.size() / 2))
        return std::nullopt;
    return std::string(text::trim(text::lossy(out.substr(0, out.size() / 2))));
}

bool is_busy(const Worker& worker) {
    return worker.command != 0;
}

// Ends the worker's process by its id and reaps it, the guard told first.
void end_worker(Pool& pool, Worker& worker) {
    if (pool.guard && worker.child.pid > 0) (void)io::guard_forget(*pool.guard, worker.child.pid);
    (void)io::stop(worker.child);
}

// Whether the command in flight has been answered in full: "{readyN}" on standard output and,
// after a batch, the marker on standard error.
bool answered(const Worker& worker) {
    if (!ends_in_line(worker.child.out, ready_line(worker.command))) return false;
    return !worker.ticket || ends_in_line(worker.child.err, end_marker(worker.command) + "\n");
}

// Whether the command in flight can no longer be answered: the worker's standard output has
// ended (it exited), or the deadline has passed.
bool failed(const Pool& pool, const Worker& worker, Clock::time_point now) {
    return worker.child.out_ended || now - worker.sent >= pool.deadline;
}

// Removes `line` from the end of `text` when it ends there.
void drop_tail(std::string& text, const std::string& line) {
    if (ends_in_line(text, line)) text.resize(text.size() - line.size());
}

// Files the worker's answer (or what it wrote before failing) with its batch. False when the
// worker wrote something that is not JSON: its output can no longer be trusted.
bool finish_job(Pool& pool, Worker& worker, Clock::time_point now) {
    auto it = pool.jobs.find(*worker.ticket);
    if (it == pool.jobs.end()) return false;
    Job& job = it->second;
    drop_tail(worker.child.out, ready_line(worker.command));
    drop_tail(worker.child.err, end_marker(worker.command) + "\n");
    const bool blank = text::trim(worker.child.out).empty();
    job.parsed = parse_output(
        ProcessOutput{std::move(worker.child.out), std::move(worker.child.err)}, Form::Listing);
    job.took = std::chrono::duration_cast<std::chrono::nanoseconds>(now - job.sent);
    job.finished = true;
    return blank || std::holds_alternative<Objects>(job.parsed);
}

// One round: waits until some worker has written or can be written to (or the nearest
// deadline), then settles every command that was answered or failed. A failed worker, or one
// whose answer was not JSON, is ended; one that failed a batch is replaced, one that failed its
// probe is not.
void advance(Pool& pool) {
    std::vector<io::Child*> children;
    Clock::time_point nearest = Clock::time_point::max();
    for (Worker& worker : pool.workers)
        if (is_busy(worker)) {
            children.push_back(&worker.child);
            nearest = std::min(nearest, worker.sent + pool.deadline);
        }
    if (children.empty()) return;
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(nearest - Clock::now());
    const int timeout = static_cast<int>(std::clamp<std::chrono::milliseconds::rep>(
        left.count(), 0, std::chrono::milliseconds::rep{1} << 30));
    if (io::pump(children, timeout) != 0) {
        // poll itself failed; nothing can be waited for, so every command in flight fails.
        for (Worker& worker : pool.workers)
            if (is_busy(worker)) worker.sent = Clock::now() - pool.deadline;
    }
    const auto now = Clock::now();
    std::vector<Worker> replacements;
    for (auto it = pool.workers.begin(); it != pool.workers.end();) {
        Worker& worker = *it;
        const bool done = is_busy(worker) && answered(worker);
        if (!is_busy(worker) || (!done && !failed(pool, worker, now))) {
            ++it;
            continue;
        }
        const bool was_batch = worker.ticket.has_value();
        const bool trusted = was_batch ? finish_job(pool, worker, now) : true;
        if (done && trusted) {
            if (!was_batch && !pool.version) {
                drop_tail(worker.child.out, ready_line(worker.command));
                pool.version = answered_version(worker.child.out);
            }
            worker.command = 0;
            worker.ticket.reset();
            worker.child.out.clear();
            worker.child.err.clear();
            ++it;
            continue;
        }
        end_worker(pool, worker);
        it = pool.workers.erase(it);
        if (was_batch)
            if (auto fresh = start_worker(pool)) replacements.push_back(std::move(*fresh));
    }
    for (Worker& worker : replacements)
        pool.workers.push_back(std::move(worker));
}

// The pool whose first worker answered the driver's version question, kept for the scan; a
// pool without workers when the tool could not work that way, so it is not asked again.
std::optional<Pool>& kept_pool() {
    static std::optional<Pool> kept;
    return kept;
}

// A pool of `tool` with one worker that has answered its probe; without workers when that
// worker did not answer within the deadline or the guard cannot be started.
Pool first_worker(const std::string& tool) {
    Pool pool;
    pool.tool = tool;
    pool.deadline = answer_deadline();
    pool.guard = io::start_guard();
    if (auto first = start_worker(pool)) pool.workers.push_back(std::move(*first));
    while (!pool.workers.empty() && is_busy(pool.workers.front()))
        advance(pool);
    if (pool.workers.empty()) stop_pool(pool);
    return pool;
}

Worker* idle_worker(Pool& pool) {
    for (Worker& worker : pool.workers)
        if (!is_busy(worker)) return &worker;
    return nullptr;
}

} // namespace

std::chrono::milliseconds answer_deadline() {
    constexpr std::chrono::milliseconds fallback{600'000};
    const char* env = std::getenv("ZUN_EXIFTOOL_DEADLINE_MS");
    if (!env) return fallback;
    const std::string_view digits(env);
    std::uint32_t value = 0;
    const auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), value);
    if (error != std::errc() || end != digits.data() + digits.size() || value == 0) return fallback;
    return std::chrono::milliseconds(value);
}

std::optional<std::vector<std::string>> worker_arguments(std::span<const std::string> files) {
    std::vector<std::string> passed;
    passed.reserve(files.size());
    for (const auto& file : files) {
        std::string name = safe_file_argument(file);
        if (name.empty() || name.find_first_of("\r\n") != std::string::npos) return std::nullopt;
        if (lost_at_line_start(static_cast<unsigned char>(name[0]))) {
            if (name.find('/') != std::string::npos) return std::nullopt;
            name.insert(0, "./");
        }
        passed.push_back(std::move(name));
    }
    return passed;
}

std::string worker_command(const std::vector<std::string>& passed, std::uint64_t id) {
    std::vector<std::string> args = batch_arguments({}, Numeric::No);
    args.emplace_back("-l");
    args.insert(args.end(), passed.begin(), passed.end());
    args.insert(args.end(), {"-echo4", end_marker(id), "-execute" + std::to_string(id)});
    std::string lines;
    for (const auto& arg : args)
        lines += arg + "\n";
    return lines;
}

Pool start_pool(const std::string& tool, std::size_t count) {
    // The first worker decides whether the tool can work this way at all; the others start
    // once it has, and take batches as soon as they have answered their own probes.
    Pool pool;
    if (auto& kept = kept_pool(); kept && kept->tool == tool) {
        pool = std::move(*kept);
        kept.reset();
    } else if (count > 0) {
        pool = first_worker(tool);
    } else {
        pool.tool = tool;
        pool.deadline = answer_deadline();
    }
    if (pool.workers.empty()) return pool;
    if (count == 0) {
        stop_pool(pool);
        return pool;
    }
    for (std::size_t i = 1; i < count; ++i)
        if (auto worker = start_worker(pool)) pool.workers.push_back(std::move(*worker));
    return pool;
}

std::optional<std::string> start_version(const std::string& tool) {
    release_kept_pool();
    Pool pool = first_worker(tool);
    std::optional<std::string> text = pool.version;
    // A tool that cannot work as a worker is asked the plain way, as is one whose answers are
    // not the version twice.
    if (!text) text = version(tool);
    kept_pool() = std::move(pool);
    return text;
}

void release_kept_pool() {
    if (auto& kept = kept_pool()) stop_pool(*kept);
    kept_pool().reset();
}

bool in_flight(const Pool& pool, std::uint64_t ticket) {
    auto it = pool.jobs.find(ticket);
    return it != pool.jobs.end() && !it->second.finished;
}

void wait(Pool& pool) {
    advance(pool);
}

bool submit(Pool& pool, std::uint64_t ticket, std::span<const std::string> files) {
    Worker* worker = idle_worker(pool);
    if (!worker) return false;
    auto passed = worker_arguments(files);
    if (!passed) return false;
    worker->command = pool.next_command++;
    worker->ticket = ticket;
    worker->sent = Clock::now();
    worker->child.out.clear();
    worker->child.err.clear();
    worker->child.to_send = worker_command(*passed, worker->command);
    Job& job = pool.jobs[ticket];
    job.passed = std::move(*passed);
    job.sent = worker->sent;
    return true;
}

BatchRead collect(Pool& pool, std::uint64_t ticket, const std::vector<std::string>& files) {
    if (!pool.jobs.contains(ticket) && worker_arguments(files)) {
        // Waits for a worker to be free (a replacement may still be answering its probe).
        while (!pool.workers.empty() && !idle_worker(pool))
            advance(pool);
        (void)submit(pool, ticket, files);
    }
    if (auto it = pool.jobs.find(ticket); it != pool.jobs.end()) {
        auto working = [&] {
            return std::any_of(pool.workers.begin(), pool.workers.end(),
                               [&](const Worker& w) { return w.ticket == ticket; });
        };
        while (!it->second.finished && working())
            advance(pool);
        Job job = std::move(it->second);
        pool.jobs.erase(it);
        const auto& parsed = job.parsed;
        if (auto* failure = std::get_if<std::string>(&parsed))
            return {combine(*failure, *failure, files, job.passed), job.took};
        if (auto listed = combine_listing(std::get<Objects>(job.parsed), files, job.passed))
            return {std::move(*listed), job.took};
    }
    const auto start = Clock::now();
    BatchResult result = read_batch(pool.tool, files);
    return {std::move(result),
            std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now() - start)};
}

void stop_pool(Pool& pool) {
    for (Worker& worker : pool.workers)
        worker.child.to_send += "-stay_open\nFalse\n";
    const auto deadline = Clock::now() + pool.deadline;
    for (;;) {
        std::vector<io::Child*> running;
        for (Worker& worker : pool.workers)
            if (!worker.child.out_ended || !worker.child.err_ended)
                running.push_back(&worker.child);
        const auto now = Clock::now();
        if (running.empty() || now >= deadline) break;
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - now);
        if (io::pump(running, static_cast<int>(std::min<std::chrono::milliseconds::rep>(
                                  left.count(), std::chrono::milliseconds::rep{1} << 30))) != 0)
            break;
        // What a worker writes while it closes down is of no use.
        for (io::Child* child : running) {
            child->out.clear();
            child->err.clear();
        }
    }
    for (Worker& worker : pool.workers)
        end_worker(pool, worker);
    pool.workers.clear();
    pool.jobs.clear();
    if (pool.guard) (void)io::stop(*pool.guard);
    pool.guard.reset();
}

} // namespace exiftool
