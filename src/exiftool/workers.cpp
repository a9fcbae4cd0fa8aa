// Persistent exiftool workers: one `-stay_open` process per core, each fed whole batches
// through its argument file on standard input, with read_batch's two runs as the fallback.
#include <algorithm>
#include <charconv>
#include <chrono>
#include <cstdlib>
#include <map>
#include <set>

#include "exiftool/internal.hpp"
#include "text/text.hpp"

namespace exiftool {

// The workers of one session and the batches handed to them, by ticket. Workers still running
// when the value dies are ended by their process ids; the guard ends them should this process
// die first (it is declared last, so it goes first, while the workers' ids are still theirs).
struct Pool {
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

    // A running worker and the command it has in flight.
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

namespace {

using Clock = std::chrono::steady_clock;
using Job = Pool::Job;
using Worker = Pool::Worker;

// Each worker's process runs this, so a real exiftool prints its version and then reads
// commands, while a stand-in that only knows "-ver" prints a version and exits.
const std::vector<std::string> kWorkerStart = {"-ver", "-stay_open", "True", "-@", "-"};

std::string ready_line(std::uint64_t id) {
    return "{ready" + std::to_string(id) + "}\n";
}

std::string end_marker(std::uint64_t id) {
    return "{zun-end" + std::to_string(id) + "}";
}

// Whether `text` ends in `line` as a whole line of its own.
bool ends_in_line(std::string_view text, std::string_view line) {
    if (!text.ends_with(line)) return false;
    return text.size() == line.size() || text[text.size() - line.size() - 1] == '\n';
}

// `text` without the empty lines at its end: exiftool 12.10 to 12.14 print one after the
// -echo4 text.
std::string_view without_blank_lines(std::string_view text) {
    while (text.ends_with("\n\n"))
        text.remove_suffix(1);
    return text;
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
    worker.quiet = {};
    worker.child.to_send += "-ver\n-execute" + std::to_string(worker.command) + "\n";
}

// A started worker, known to the guard, with its probe under way; absent when it cannot be
// started.
std::optional<Worker> start_worker(Pool& pool) {
    if (!pool.guard) return std::nullopt;
    // In a process group of its own, so that ending it also ends whatever a wrapper script
    // around the tool started.
    auto started = io::start_child(pool.tool, kWorkerStart, io::Input::Pipe, io::Group::Own);
    auto* child = std::get_if<io::Child>(&started);
    if (!child) return std::nullopt;
    if (io::guard_add(*pool.guard, child->pid)) return std::nullopt; // ended by ~Child
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
// after a batch, the marker on standard error (empty lines may follow it).
bool answered(const Worker& worker) {
    if (!ends_in_line(worker.child.out, ready_line(worker.command))) return false;
    return !worker.ticket ||
           ends_in_line(without_blank_lines(worker.child.err), end_marker(worker.command) + "\n");
}

// How a command in flight came to an end.
enum class Ending { Answered, Exited, Silent };

// Removes `line` from the end of `text` when it ends there.
void drop_tail(std::string& text, const std::string& line) {
    if (ends_in_line(text, line)) text.resize(text.size() - line.size());
}

// Whether a worker wrote nothing at all for the command in flight.
bool wrote_nothing(const Worker& worker) {
    return text::trim(worker.child.out).empty() && text::trim(worker.child.err).empty();
}

// Files the worker's answer (or what it wrote before failing) with its batch. False when the
// worker wrote something that is not JSON: its output can no longer be trusted.
bool finish_job(Pool& pool, Worker& worker, Ending ending, Clock::time_point now) {
    auto it = pool.jobs.find(*worker.ticket);
    if (it == pool.jobs.end()) return false;
    Job& job = it->second;
    job.took = std::chrono::duration_cast<std::chrono::nanoseconds>(now - job.sent);
    job.finished = true;
    if (ending == Ending::Silent) {
        job.parsed = "exiftool: no answer within " + std::to_string(pool.deadline.count()) + " ms";
        return true;
    }
    if (ending == Ending::Exited) {
        // Its output has ended, so it is exiting if it has not yet.
        const auto exit = io::peek_exit(worker.child, std::chrono::milliseconds(100));
        if (exit && exit->kind == io::Exit::Kind::Signal) {
            job.parsed = "exiftool ended by signal " + std::to_string(exit->number);
            return true;
        }
        if (wrote_nothing(worker)) {
            job.parsed = std::string("exiftool exited without an answer");
            return true;
        }
    }
    drop_tail(worker.child.out, ready_line(worker.command));
    worker.child.err.resize(without_blank_lines(worker.child.err).size());
    drop_tail(worker.child.err, end_marker(worker.command) + "\n");
    const bool blank = text::trim(worker.child.out).empty();
    job.parsed = parse_output(
        ProcessOutput{std::move(worker.child.out), std::move(worker.child.err)}, Form::Listing);
    return blank || std::holds_alternative<Objects>(job.parsed);
}

// Settles the command in flight of a worker that `ending` ended; false when the worker is to
// be ended (it failed, or its answer was not JSON).
bool settle(Pool& pool, Worker& worker, Ending ending, Clock::time_point now) {
    const bool was_batch = worker.ticket.has_value();
    const bool trusted = was_batch ? finish_job(pool, worker, ending, now) : true;
    if (ending != Ending::Answered || !trusted) return false;
    if (!was_batch && !pool.version) {
        drop_tail(worker.child.out, ready_line(worker.command));
        pool.version = answered_version(worker.child.out);
    }
    if (pool.version_probe == worker.command) pool.version_probe.reset();
    worker.served = worker.served || was_batch;
    worker.command = 0;
    worker.ticket.reset();
    worker.child.out.clear();
    worker.child.err.clear();
    return true;
}

// Ends the workers that exited while idle; one that had served a batch is replaced (its
// successor answers a probe first), one that exited straight after its probe is not, so a
// tool that cannot stay open runs out of workers instead of being started again and again.
void replace_exited_idle(Pool& pool) {
    std::size_t lost = 0;
    for (auto it = pool.workers.begin(); it != pool.workers.end();) {
        if (is_busy(*it) || (!it->child.out_ended && !it->child.err_ended)) {
            ++it;
            continue;
        }
        if (it->served) ++lost;
        end_worker(pool, *it);
        it = pool.workers.erase(it);
    }
    for (; lost > 0; --lost)
        if (auto fresh = start_worker(pool)) pool.workers.push_back(std::move(*fresh));
}

// One round: waits until some worker has written or can be written to (or the nearest
// deadline), then settles every command that was answered or failed. A failed worker, or one
// whose answer was not JSON, is ended; one that failed a batch is replaced, one that failed its
// probe is not. A batch whose worker exited without a word is handed out once more.
void advance(Pool& pool) {
    std::vector<io::Child*> children;
    std::vector<std::size_t> activity; // bytes written and still to write, per worker
    auto nearest = std::chrono::nanoseconds::max();
    for (Worker& worker : pool.workers) {
        children.push_back(&worker.child);
        activity.push_back(worker.child.out.size() + worker.child.err.size() +
                           worker.child.to_send.size());
        if (is_busy(worker))
            nearest = std::min<std::chrono::nanoseconds>(nearest, pool.deadline - worker.quiet);
    }
    if (nearest == std::chrono::nanoseconds::max()) return; // no worker is busy
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(nearest);
    const int timeout = static_cast<int>(std::clamp<std::chrono::milliseconds::rep>(
        left.count(), 0, std::chrono::milliseconds::rep{1} << 30));
    const auto before = Clock::now();
    const io::Status polled = io::pump(children, timeout);
    const auto now = Clock::now();
    for (std::size_t i = 0; i < pool.workers.size(); ++i) {
        Worker& worker = pool.workers[i];
        const auto& child = worker.child;
        if (polled) {
            // poll itself failed; nothing can be waited for, so every command in flight fails.
            worker.quiet = pool.deadline;
        } else if (child.out.size() + child.err.size() + child.to_send.size() != activity[i]) {
            worker.quiet = {};
        } else {
            worker.quiet += now - before;
        }
    }
    std::vector<Worker> replacements;
    for (auto it = pool.workers.begin(); it != pool.workers.end();) {
        Worker& worker = *it;
        if (!is_busy(worker)) {
            ++it;
            continue;
        }
        Ending ending = Ending::Answered;
        if (!answered(worker)) {
            if (worker.child.out_ended)
                ending = Ending::Exited;
            else if (worker.quiet >= pool.deadline)
                ending = Ending::Silent;
            else {
                ++it;
                continue;
            }
        }
        const std::optional<std::uint64_t> ticket = worker.ticket;
        // A worker that has answered a batch before and now exits without a word most likely
        // ended between batches (a tool that exits after each answer does so a moment after
        // it), before this batch reached it: handing the batch on then does not count as its
        // one retry. Each such hand-over ends a worker that had served, and its replacement has
        // not, so the hand-overs come to an end.
        if (ticket && ending == Ending::Exited && wrote_nothing(worker) &&
            (worker.served || pool.retried.insert(*ticket).second)) {
            pool.jobs.erase(*ticket);
        } else if (settle(pool, worker, ending, now)) {
            ++it;
            continue;
        }
        if (pool.version_probe == worker.command) pool.version_probe.reset();
        end_worker(pool, worker);
        it = pool.workers.erase(it);
        if (ticket)
            if (auto fresh = start_worker(pool)) replacements.push_back(std::move(*fresh));
    }
    for (Worker& worker : replacements)
        pool.workers.push_back(std::move(worker));
    replace_exited_idle(pool);
}

Worker* idle_worker(Pool& pool) {
    for (Worker& worker : pool.workers)
        if (!is_busy(worker)) return &worker;
    return nullptr;
}

} // namespace

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

namespace {

// How long a worker may take over one command: $ZUN_EXIFTOOL_DEADLINE_MS when it is a
// positive whole number, else ten minutes.
std::chrono::milliseconds answer_deadline() {
    constexpr std::chrono::milliseconds kDefaultDeadline{600'000};
    const char* env = std::getenv("ZUN_EXIFTOOL_DEADLINE_MS");
    if (!env) return kDefaultDeadline;
    const std::string_view digits(env);
    std::uint32_t value = 0;
    const auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), value);
    if (error != std::errc() || end != digits.data() + digits.size() || value == 0)
        return kDefaultDeadline;
    return std::chrono::milliseconds(value);
}

// A pool of `tool` with its guard and its first worker started and probed, without waiting.
Pool open_pool(const std::string& tool) {
    Pool pool;
    pool.tool = tool;
    pool.deadline = answer_deadline();
    pool.guard = io::start_guard();
    if (auto first = start_worker(pool)) {
        pool.version_probe = first->command;
        pool.workers.push_back(std::move(*first));
    }
    return pool;
}

// Starts `count` more workers, whose probes run while batches do.
void add_workers(Pool& pool, std::size_t count) {
    for (std::size_t i = 0; i < count; ++i)
        if (auto worker = start_worker(pool)) pool.workers.push_back(std::move(*worker));
}

// Whether batch `ticket` was handed to a worker and is not answered yet.
bool in_flight(const Pool& pool, std::uint64_t ticket) {
    auto it = pool.jobs.find(ticket);
    return it != pool.jobs.end() && !it->second.finished;
}

// Hands batch `ticket` over `files` to an idle worker. False, with nothing sent, when no
// worker is idle or a name cannot travel (worker_arguments).
bool submit(Pool& pool, std::uint64_t ticket, std::span<const std::string> files) {
    // A worker that exited while idle must not be handed the batch: a look (without waiting)
    // at the idle ones finds those whose output has ended.
    std::vector<io::Child*> idle;
    for (Worker& worker : pool.workers)
        if (!is_busy(worker)) idle.push_back(&worker.child);
    if (idle.empty()) return false;
    if (!io::pump(idle, 0)) replace_exited_idle(pool);
    Worker* worker = idle_worker(pool);
    if (!worker) return false;
    auto passed = worker_arguments(files);
    if (!passed) return false;
    worker->command = pool.next_command++;
    worker->ticket = ticket;
    worker->sent = Clock::now();
    worker->quiet = {};
    worker->child.out.clear();
    worker->child.err.clear();
    worker->child.to_send = worker_command(*passed, worker->command);
    Job& job = pool.jobs[ticket];
    job.passed = std::move(*passed);
    job.sent = worker->sent;
    return true;
}

// The entries of batch `ticket` over `files` once no worker is at it any more: the answer its
// worker settled, else two fresh runs (no worker took it, its names cannot travel in the
// argument file, or the answer cannot be split exactly).
BatchRead take_answer(Pool& pool, std::uint64_t ticket, const std::vector<std::string>& files) {
    if (auto it = pool.jobs.find(ticket); it != pool.jobs.end()) {
        Job job = std::move(it->second);
        pool.jobs.erase(it);
        if (auto* failure = std::get_if<std::string>(&job.parsed))
            return {combine_runs(*failure, *failure, files, job.passed), job.took};
        if (auto listed = combine_listing(std::get<Objects>(job.parsed), files, job.passed))
            return {std::move(*listed), job.took};
    }
    const auto start = Clock::now();
    BatchResult result = read_batch(pool.tool, files);
    return {std::move(result),
            std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now() - start)};
}

// Ends every worker (see Session) and the guard. The pool is empty afterwards.
void stop_pool(Pool& pool) {
    // Long enough for a tool to finish its last command and exit, short enough that a worker
    // that ignores the request does not keep the command alive.
    constexpr std::chrono::milliseconds kGrace{1000};
    for (Worker& worker : pool.workers)
        worker.child.to_send += "-stay_open\nFalse\n";
    const auto give_up = Clock::now() + kGrace;
    for (;;) {
        std::vector<io::Child*> running;
        bool exiting = false; // some worker has closed its output but not exited yet
        for (Worker& worker : pool.workers) {
            io::Child& child = worker.child;
            // Its input is closed once the request is written, for a tool that reads on to the
            // end of its input (a logging wrapper) instead of exiting.
            if (child.to_send.empty() || child.in_broken) io::close_input(child);
            if (!child.out_ended || !child.err_ended || child.in.is_open())
                running.push_back(&child);
            else if (!io::peek_exit(child, std::chrono::milliseconds(0)))
                exiting = true;
        }
        const auto now = Clock::now();
        if ((running.empty() && !exiting) || now >= give_up) break;
        auto left = std::chrono::ceil<std::chrono::milliseconds>(give_up - now);
        if (exiting) left = std::min(left, std::chrono::milliseconds(5));
        if (io::pump(running, static_cast<int>(left.count()))) break;
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
    pool.retried.clear();
    if (pool.guard) (void)io::stop(*pool.guard);
    pool.guard.reset();
}

} // namespace

Session::Session(std::optional<std::string> tool) : tool_(std::move(tool)) {
    if (tool_) pool_ = std::make_unique<Pool>(open_pool(*tool_));
}

Session::~Session() {
    if (pool_) stop_pool(*pool_);
}

Session::Session(Session&&) noexcept = default;

Session& Session::operator=(Session&& other) noexcept {
    if (this != &other) {
        if (pool_) stop_pool(*pool_);
        tool_ = std::move(other.tool_);
        pool_ = std::move(other.pool_);
        version_ = std::move(other.version_);
    }
    return *this;
}

std::optional<std::string> Session::version() {
    if (version_) return *version_;
    if (!tool_) return *(version_ = std::optional<std::string>());
    // The first worker's probe is answered, or it fails, within the deadline.
    while (pool_->version_probe && !pool_->version)
        advance(*pool_);
    std::optional<std::string> text = pool_->version;
    // A tool that cannot work as a worker is asked the plain way, as is one whose answers are
    // not the version twice.
    if (!text) text = ask_version(*tool_);
    version_ = text;
    return text;
}

Batches::Batches(Session& session, std::span<const std::string> files, std::size_t size)
    : session_(session), files_(files), size_(std::max<std::size_t>(size, 1)),
      count_((files.size() + size_ - 1) / size_) {
    if (!session_.pool_ || count_ == 0) return;
    Pool& pool = *session_.pool_;
    first_ticket_ = pool.next_ticket;
    pool.next_ticket += count_;
    // The first worker started with the session; the others start now, all probed at once,
    // unless the first has already shown that the tool cannot work this way.
    constexpr std::size_t kMaxWorkers = 8;
    const std::size_t wanted = std::min({io::online_cores(), count_, kMaxWorkers});
    if (!pool.workers.empty() && wanted > pool.workers.size())
        add_workers(pool, wanted - pool.workers.size());
    ahead_ = std::max<std::size_t>(pool.workers.size(), 1);
}

std::span<const std::string> Batches::files_of(std::size_t batch) const {
    const std::size_t first = batch * size_;
    return files_.subspan(first, std::min(size_, files_.size() - first));
}

void Batches::submit_before(std::size_t end) {
    Pool& pool = *session_.pool_;
    while (submitted_ < std::min(count_, end) &&
           submit(pool, first_ticket_ + submitted_, files_of(submitted_)))
        ++submitted_;
}

std::optional<BatchRead> Batches::next() {
    if (index_ >= count_) return std::nullopt;
    const std::size_t batch = index_++;
    if (!session_.pool_) return BatchRead{};
    Pool& pool = *session_.pool_;
    submitted_ = std::max(submitted_, batch);
    const std::uint64_t ticket = first_ticket_ + batch;
    const auto span = files_of(batch);
    const bool travels = worker_arguments(span).has_value();
    // Workers that come free (or answer their probes) take the next batches while this one is
    // awaited, also while it still waits for a worker of its own (or for another one, after
    // its worker exited without a word).
    for (;;) {
        submit_before(batch + ahead_);
        if (travels && !pool.workers.empty() && !pool.jobs.contains(ticket)) {
            if (!submit(pool, ticket, span)) advance(pool);
            continue;
        }
        if (!in_flight(pool, ticket)) break;
        advance(pool);
    }
    // Here the batch is answered, or no worker can take it.
    BatchRead read = take_answer(pool, ticket, std::vector<std::string>(span.begin(), span.end()));
    // Read either way: a batch no worker could take must not hold up the ones after it.
    submitted_ = std::max(submitted_, batch + 1);
    // The worker that read it takes the next batch while this one's clips are made.
    submit_before(batch + 1 + ahead_);
    return read;
}

} // namespace exiftool
