// The bridge to the external exiftool program: locate it, keep its persistent workers for one
// command, and read batches of files into raw tags through them.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <unordered_map>
#include <variant>
#include <vector>

#include "model/model.hpp"

namespace exiftool {

// The tool path: $ZUN_EXIFTOOL when it exists, else the first existing fixed location; absent
// when there is none.
std::optional<std::string> locate();

// Per file: its tags, or the error text of the batch.
using Entry = std::variant<std::vector<model::RawTag>, std::string>;
// Entries keyed by the caller's path bytes.
using BatchResult = std::unordered_map<std::string, Entry>;

// ---- Persistent workers ----
// A worker is one `TOOL -ver -stay_open True -@ -` process that reads one command at a time
// from its standard input: a batch's arguments with -l (each value printed and, where it
// differs, numeric) in place of the raw and printed pair, a marker echoed to its standard
// error, and a numbered -execute whose "{readyN}" ends its output.

// A batch's entries and the tool time they took.
struct BatchRead {
    BatchResult result;
    std::chrono::nanoseconds took{0};
};

// The workers of one session and the batches handed to them.
struct Pool;

// The tool for one command: its path, its version and its persistent workers. The driver
// makes one where the version is first asked and hands it to what needs the tool; the workers
// end when the session does (each is told "-stay_open False", its input is closed, and after a
// second's grace its process group is ended, so neither a worker that ignores the request nor
// what a wrapper script started outlives the command).
class Session {
  public:
    // A session over `tool` (none: no tool was found). Its first worker is started and asked
    // its version at once, without waiting for the answer.
    explicit Session(std::optional<std::string> tool);
    ~Session();
    Session(Session&&) noexcept;
    Session& operator=(Session&&) noexcept;
    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;

    // The tool's path; absent when none was found.
    const std::optional<std::string>& tool() const { return tool_; }

    // The tool's version text, waited for the first time it is asked: from the first worker's
    // answers (its start's "-ver" output and its probe's, the same text twice), else asked the
    // plain way (a tool that cannot work as a worker, answers that differ); absent when the
    // tool cannot be started or none was found.
    std::optional<std::string> version();

  private:
    friend class Batches;
    std::optional<std::string> tool_;
    std::unique_ptr<Pool> pool_;
    std::optional<std::optional<std::string>> version_; // once asked
};

// The tool's answers for a list of files, batch after batch, in order. One worker per online core
// (at most one per batch, at most 8) starts with the stream; each takes a whole batch as soon as it
// has answered its probe, up to one batch per worker ahead of the one awaited, and each batch goes
// to the tool once. A worker that exits without a word is replaced and its batch handed out once
// more (again whenever the worker had answered a batch before: it ended between batches, before
// this one reached it); one that exits, answers only in part or stays silent for the deadline while
// it is waited on fails that batch alone, with the error text of what it wrote (the tool's error
// output, "exiftool json: ...", or "exiftool: no answer within N ms", "exiftool ended by signal N",
// "exiftool exited without an answer"), and is replaced; so is one whose answer is not JSON. A
// batch is read by two fresh runs (numeric and printed values) instead when no worker is left, its
// names cannot travel in the argument file, or the answer cannot be split exactly.
class Batches {
  public:
    // The batches of `size` files over `files` (kept by reference: they must outlive the
    // stream) through `session`, which must also outlive it.
    Batches(Session& session, std::span<const std::string> files, std::size_t size);

    // The next batch's entries and the tool time they took; absent after the last. Without a
    // tool, every batch has no entries.
    std::optional<BatchRead> next();

  private:
    // Hands the batches before `end` to idle workers, in order, as far as they take them.
    void submit_before(std::size_t end);
    std::span<const std::string> files_of(std::size_t batch) const;

    Session& session_;
    std::span<const std::string> files_;
    std::size_t size_;
    std::size_t count_;              // batches in all
    std::uint64_t first_ticket_ = 0; // the pool's ticket of the first batch
    std::size_t index_ = 0;          // the next one to give
    std::size_t submitted_ = 0;
    std::size_t ahead_ = 1;
};

} // namespace exiftool
