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
    job.parsed =
        parse_output(ProcessOutput{std::move(worker.child.out), std::move(worker.child.err)});
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

std::optional<std::vector<std::string>> worker_arguments(const std::vector<std::string>& files) {
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

std::optional<std::pair<Objects, Objects>> split_values(Objects objects) {
    std::pair<Objects, Objects> split;
    split.first.reserve(objects.size());
    split.second.reserve(objects.size());
    for (auto& object : objects) {
        if (!object.is_object()) return std::nullopt;
        model::Json raw = model::Json::object();
        model::Json printed = model::Json::object();
        // Keys arrive in order, so each goes in at the end of the maps being built.
        auto& raw_map = raw.get_ref<model::Json::object_t&>();
        auto& printed_map = printed.get_ref<model::Json::object_t&>();
        for (auto& [key, value] : object.get_ref<model::Json::object_t&>()) {
            if (key == "SourceFile") {
                raw_map.emplace_hint(raw_map.end(), key, value);
                printed_map.emplace_hint(printed_map.end(), key, std::move(value));
                continue;
            }
            if (!value.is_object()) return std::nullopt;
            const auto val = value.find("val");
            if (val == value.end()) return std::nullopt;
            const auto num = value.find("num");
            raw_map.emplace_hint(raw_map.end(), key, num != value.end() ? std::move(*num) : *val);
            printed_map.emplace_hint(printed_map.end(), key, std::move(*val));
        }
        split.first.push_back(std::move(raw));
        split.second.push_back(std::move(printed));
    }
    return split;
}

Pool start_pool(const std::string& tool, std::size_t count) {
    Pool pool;
    pool.tool = tool;
    pool.deadline = answer_deadline();
    pool.guard = io::start_guard();
    if (count == 0) return pool;
    // The first worker decides whether the tool can work this way at all; the others start
    // once it has, and take batches as soon as they have answered their own probes.
    if (auto first = start_worker(pool)) pool.workers.push_back(std::move(*first));
    while (!pool.workers.empty() && is_busy(pool.workers.front()))
        advance(pool);
    if (pool.workers.empty()) {
        stop_pool(pool);
        return pool;
    }
    for (std::size_t i = 1; i < count; ++i)
        if (auto worker = start_worker(pool)) pool.workers.push_back(std::move(*worker));
    return pool;
}

bool in_flight(const Pool& pool, std::uint64_t ticket) {
    auto it = pool.jobs.find(ticket);
    return it != pool.jobs.end() && !it->second.finished;
}

void wait(Pool& pool) {
    advance(pool);
}

bool submit(Pool& pool, std::uint64_t ticket, const std::vector<std::string>& files) {
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
        if (auto split = split_values(std::move(std::get<Objects>(job.parsed))))
            return {combine(std::move(split->first), std::move(split->second), files, job.passed),
                    job.took};
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
