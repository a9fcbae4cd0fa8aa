// Files, descriptors, directory listings and child processes: the one layer through which
// every other module touches the operating system. Regular files are opened without
// blocking, so a FIFO or device named like a media file can never hang a reader.
//
// Error convention of the engine:
// - A call whose failure nobody reports gives std::optional: absent on any failure (readers,
//   look-ups, listings). Readers never say why.
// - A call whose failure the user must see gives an io::Error: a Result (the value, or the
//   error) when it gives a value, a Status (absent on success) when it does not;
//   io::error_text turns an error into "Permission denied (os error 13)".
// - Nothing is thrown across a module boundary. A module that calls a library which may
//   throw (allocation, the JSON parser) catches the named exception where it calls it; only
//   the program's edge may catch everything.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include <sys/types.h>

namespace io {

using Path = std::filesystem::path;

// Why a system call failed: its error number.
struct Error {
    int number = 0;
};

// The value a call gives, or why it failed.
template <typename T> using Result = std::variant<T, Error>;

// Why a call that gives no value failed; absent on success.
using Status = std::optional<Error>;

class Fd;
namespace detail {
int native(const Fd& file);
} // namespace detail

// An open descriptor, closed when the value dies. The descriptor itself stays inside this
// layer.
class Fd {
  public:
    Fd() = default;
    explicit Fd(int value) : fd_(value) {}
    ~Fd();
    Fd(Fd&& other) noexcept : fd_(other.fd_) { other.fd_ = -1; }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    Fd& operator=(Fd&& other) noexcept;
    // Whether a descriptor is held.
    bool is_open() const { return fd_ >= 0; }

  private:
    int fd_ = -1;
    friend int detail::native(const Fd& file);
    friend Status close(Fd& file);
};

// The system's text for an error: "Permission denied (os error 13)".
std::string error_text(Error error);

// Closes the descriptor now; fails on a late write error.
Status close(Fd& file);

// ---- File status ----

enum class EntryType { Regular, Directory, Symlink, Other, Unknown };

// Whether a status call looks through a symbolic link at its target.
enum class Follow { Links, NoLinks };

struct FileStatus {
    EntryType type = EntryType::Unknown;
    std::uint64_t size = 0;
    std::int64_t mtime_sec = 0;  // modification time, seconds since the Unix epoch
    std::int64_t mtime_nsec = 0; // and the nanoseconds within that second
    std::uint64_t device = 0;
    std::uint64_t inode = 0;
    unsigned permissions = 0; // the mode's permission bits
};

// The status of `path`; absent when it cannot be read (missing, no permission, a dangling
// link followed).
std::optional<FileStatus> status(const Path& path, Follow follow);

// Whether two statuses describe the same file (device and inode).
bool same_file(const FileStatus& a, const FileStatus& b);

// The status of what a standard stream's descriptor refers to; absent on error.
std::optional<FileStatus> descriptor_status(int fd);

// The status of the open file; absent on error.
std::optional<FileStatus> descriptor_status(const Fd& file);

// The absolute path of `path` with every link resolved.
Result<std::string> real_path(const Path& path);

// Whether `path` (following symbolic links) is a regular file; false on any error.
bool is_regular(const Path& path);

// ---- Reading ----

// `path` opened for reading if it is a regular file. The open itself never blocks (non-blocking
// mode) and the type is checked again on the open descriptor, so a file swapped for a FIFO
// between the check and the open is refused. Absent on any error.
std::optional<Fd> open_regular(const Path& path);

// Reads up to `size` bytes into `buffer`, retrying interrupted reads. The count read (0 at the
// end of the file), or absent on an error.
std::optional<std::size_t> read_some(const Fd& file, char* buffer, std::size_t size);

// The whole regular file at `path` if it holds at most `limit` bytes; absent when it cannot be
// opened or read, or is larger (also when it grows past the limit while being read).
std::optional<std::string> read_regular(const Path& path, std::uintmax_t limit);

// ---- Directories ----

// One entry of a directory listing, valid during the visit.
class DirEntry {
  public:
    DirEntry(int dir_fd, std::string_view name, unsigned char listed_type)
        : dir_fd_(dir_fd), name_(name), listed_type_(listed_type) {}
    // The entry's name.
    std::string_view name() const { return name_; }
    // The entry's own type (a link is a link): from the listing when it carries one, else
    // looked up; Unknown when that fails.
    EntryType type() const;

  private:
    int dir_fd_;
    std::string_view name_;
    unsigned char listed_type_;
};

// Calls `visit` for every entry of `dir` but "." and "..", in listing order. False when the
// directory cannot be opened; an error part-way ends the listing quietly.
bool for_each_entry(const Path& dir, const std::function<void(const DirEntry&)>& visit);

// Creates `dir` and its missing ancestors (0777 before the process's mask). An existing
// directory is no error; an existing file of another type is ENOTDIR or EEXIST.
Status create_directories(const Path& dir);

// The working directory's path bytes; absent when it cannot be found (it was removed, or a
// component is not searchable).
std::optional<std::string> current_directory();

// ---- Writing ----

// Replaces `target` with `bytes` through a temporary file beside it that is flushed and then
// renamed over it, so `target` holds the old content or the new, never a part. `permissions`
// gives the new file's permission bits (the default before the process's mask when absent).
// On failure the temporary file is removed and `target` is untouched.
Status replace_file(const Path& target, std::string_view bytes,
                    std::optional<unsigned> permissions);

// Creates or truncates `path` and writes `bytes` in place (for FIFOs and devices, where a
// rename is not possible).
Status write_in_place(const Path& path, std::string_view bytes);

// ---- Child processes ----

// Output of one finished child process.
// How a process ended: its exit code, or the signal that ended it.
struct Exit {
    enum class Kind { Code, Signal };
    Kind kind = Kind::Code;
    int number = 0;
};

struct ProcessOutput {
    std::string out;
    std::string err;
    std::optional<Exit> exit{}; // absent when it could not be waited for
};

// Either the process output, or why it could not start.
using ProcessResult = Result<ProcessOutput>;

// A child process with pipes to its standard input (unless it reads /dev/null), output and
// error, ended (killed by its process id and reaped) when the value dies. Our ends are
// non-blocking and closed on exec, so no other child inherits them. `to_send` holds what is
// still to be written to its input; `out` and `err` collect what it has written.
struct Child {
    pid_t pid = -1;
    Fd in;
    Fd out_pipe;
    Fd err_pipe;
    std::string to_send;
    std::string out;
    std::string err;
    bool out_ended = false; // end of its standard output (or a read error) seen
    bool err_ended = false;
    bool in_broken = false;   // its standard input can no longer be written
    bool own_group = false;   // leads a process group of its own, ended as a whole
    std::optional<Exit> exit; // how it ended, once stop (or a wait for its output) reaped it

    Child() = default;
    ~Child();
    Child(Child&& other) noexcept;
    Child& operator=(Child&& other) noexcept;
    Child(const Child&) = delete;
    Child& operator=(const Child&) = delete;
};

// What a started child reads on its standard input: a pipe from us, or /dev/null.
enum class Input { Pipe, Null };

// Whether a started child stays in our process group or leads one of its own, so that what it
// starts in turn (a wrapper script's own child) is ended with it.
enum class Group { Shared, Own };

// Starts `program` directly (no shell) with `args` and the default handling of the signals
// this process ignores. The child, or why it could not start (nothing is left open then).
Result<Child> start_child(const std::string& program, const std::vector<std::string>& args,
                          Input input = Input::Pipe, Group group = Group::Shared);

// A started process whose pipes are still to be drained, or why it could not start.
using Running = Result<Child>;

// Starts `program` with `args` and its standard input on /dev/null.
Running start(const std::string& program, const std::vector<std::string>& args);

// Drains every started process's two pipes together (so none can block on a full pipe) and
// waits for all of them. Gives one result per process, in order.
std::vector<ProcessResult> finish_all(std::vector<Running>& runs);

// Starts one process and collects it.
ProcessResult run_process(const std::string& program, const std::vector<std::string>& args);

// Waits at most `timeout_ms` (-1: without limit) until one of `children` can be written to
// or has something to read, then writes as much of each one's `to_send` as its input takes
// and reads what each has written, without ever blocking on one pipe. A child whose input is
// gone (it exited) gets `in_broken` and an empty `to_send`, without a SIGPIPE for us. Fails
// only when poll itself fails (an interrupted wait is no failure).
Status pump(const std::vector<Child*>& children, int timeout_ms);

// Closes our ends of the child's pipes, ends it by its process id (SIGKILL) unless it has
// exited already, and reaps it; a child that leads its own group has the whole group ended,
// exited or not, before it is reaped. Fails when the kill or the wait does.
Status stop(Child& child);

// Closes our end of the child's standard input (what is still in `to_send` is dropped), so a
// child that reads to the end of its input sees it.
void close_input(Child& child);

// How the child ended, looked at without reaping it (its id stays its own until stop),
// waiting at most `limit` for it to end; absent while it still runs, or on error.
std::optional<Exit> peek_exit(const Child& child, std::chrono::milliseconds limit);

// A guard process (a small /bin/sh loop in a process group of its own, so a terminal's
// interrupt that ends this process leaves it running) that ends, by SIGKILL, the process group
// of every process it was told about and not told to forget when this process dies and its
// pipe to the guard closes, however this process ends. The processes it is told about must
// lead their own groups (Group::Own). Absent when it cannot be started.
std::optional<Child> start_guard();

// Tells the guard to end `pid` should this process die.
Status guard_add(Child& guard, pid_t pid);

// Tells the guard to forget `pid`: to be called before `pid` is reaped, while the id is still
// that process's own.
Status guard_forget(Child& guard, pid_t pid);

// The number of online processor cores, at least 1.
std::size_t online_cores();

} // namespace io

// ---- Byte sources ----

namespace io {

// Bytes read at offsets, from an open regular file or from memory, with the size known up
// front: what the container readers take instead of paths. A file source reads through read_at
// (so counts() sees its reads) and keeps the size the file had when it was opened; a memory
// source borrows its bytes, which must outlive it. Reads are checked against the size and the
// caller's limit before anything is allocated. Move-only.
class ByteSource {
  public:
    // A source over `bytes`, borrowed; never fails.
    explicit ByteSource(std::span<const std::uint8_t> bytes);

    // The size in bytes; never fails.
    std::uint64_t size() const { return size_; }

    // Exactly `count` bytes at `offset`. Absent, before anything is allocated, when `count`
    // exceeds `limit` or the bytes lie past the size; absent on a read error, a short read (a
    // file that shrank) or when memory runs out.
    std::optional<std::vector<std::uint8_t>> read(std::uint64_t offset, std::uint64_t count,
                                                  std::uint64_t limit) const;

    // Fills `out` from `offset` on as far as the source reaches: the count filled (less than
    // asked only at the end of the source, 0 from there on), or absent on a read error.
    std::optional<std::size_t> read_into(std::uint64_t offset, std::span<std::uint8_t> out) const;

  private:
    friend std::optional<ByteSource> open_source(const Path& path);
    ByteSource(Fd file, std::uint64_t size);

    std::optional<Fd> file_;              // the open file of a file source
    std::span<const std::uint8_t> bytes_; // the bytes of a memory source
    std::uint64_t size_ = 0;
};

// The regular file at `path` as a byte source, opened with open_regular (never blocking: a
// FIFO or device is refused). Absent when it cannot be opened or its size cannot be taken.
std::optional<ByteSource> open_source(const Path& path);

} // namespace io
