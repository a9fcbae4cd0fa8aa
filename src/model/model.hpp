// Shared records exchanged by every module, and their JSON encoding. Nothing here fails but
// parse_json, which says why, and epoch_ns, absent for a time before the epoch.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include <nlohmann/json.hpp>

namespace model {

// The program's version text, from the build's project version: printed by `version` and
// stamped into every sidecar.
inline constexpr std::string_view kCoreVersion = ZUN_VERSION;

// 128-bit unsigned count (nanoseconds, milliseconds).
__extension__ typedef unsigned __int128 u128;

using Json = nlohmann::json;

enum class Kind { Declared, Container, Computed, Decoded, User, Resolve, Sidecar };
enum class Status { Found, Unavailable, SourcesDiffer, Computed, Confirmed };

// One source of a field value.
struct SourceRef {
    std::string source;
    std::string group;
    std::string tag;
    std::optional<std::string> printed;
    Json raw;
    Kind kind = Kind::Declared;
};

// One normalised field.
struct Field {
    std::string id;
    std::string section;
    std::vector<SourceRef> alternates;
    std::optional<std::string> value;
    std::optional<SourceRef> primary;
    std::optional<std::string> note;
    Status status = Status::Unavailable;
};

// One tag as exiftool reported it.
struct RawTag {
    std::string group;
    std::string name;
    std::optional<std::string> printed;
    Json raw;
};

// A hint that the clip itself carries motion data.
struct Embedded {
    std::string confidence;
    std::string evidence;
    std::string kind;
};

// A companion motion file beside the clip.
struct External {
    std::string kind;
    std::string path;
};

// The clip's Gyroflow project file.
struct GyroProject {
    bool has_lens = false;
    bool has_sync = false;
    bool has_videofile = false;
    std::vector<std::string> keys;
    std::string path;
    bool valid_json = false;
};

// A parsed Gyroflow CSV log.
struct GyroLog {
    double duration_s = 0.0;
    std::string kind;
    std::string path;
    double rate_hz = 0.0;
    std::uint64_t samples = 0;
    std::string vendor;
};

// Motion-data findings of one clip.
struct Motion {
    std::vector<Embedded> embedded;
    std::vector<External> external;
    std::optional<GyroLog> gyro;
    std::vector<std::string> notes;
    std::optional<GyroProject> project;
    bool ready = false;
};

// One scanned media file with everything learned about it.
struct Clip {
    // The file's own path bytes, as discovery found them (not always UTF-8). Every file
    // operation for the clip uses these; they are not part of the clip's JSON.
    std::string path_bytes;
    std::string path;
    std::string dir;
    std::string name;
    std::string ext;
    std::uint64_t size = 0;
    u128 mtime_ns = 0;
    bool ok = false;
    std::optional<std::string> error;
    std::vector<Field> fields;
    std::vector<RawTag> tags;
    std::vector<std::string> readers;
    u128 scan_ms = 0;
    std::optional<Motion> motion;
};

// JSON text of a kind ("declared", "container", ...).
const char* kind_text(Kind kind);
// JSON text of a status ("found", "sources_differ", ...).
const char* status_text(Status status);

// The first field with `id`; null when there is none.
Field* find_field(std::vector<Field>& fields, std::string_view id);
const Field* find_field(const std::vector<Field>& fields, std::string_view id);

// Deepest nesting of arrays and objects accepted in any JSON document the engine reads, so
// that copying and printing a parsed value can never exhaust the stack.
inline constexpr std::size_t kMaxJsonDepth = 512;

// Members parse_json leaves out of the value: those named `key`, with a value that is neither
// an array nor an object, of every object nested `depth` levels deep (the outermost value is
// at depth 0). A reader that never looks at them saves building them.
struct Omit {
    std::size_t depth = 0;
    std::string_view key;
};

// The JSON value of `text`, or a description of why it is not one (the parser's message,
// or that it nests deeper than kMaxJsonDepth). Never throws for bad input.
std::variant<Json, std::string> parse_json(std::string_view text,
                                           std::optional<Omit> omit = std::nullopt);

// Nanoseconds since the Unix epoch of a time in seconds and nanoseconds; absent for a time
// before the epoch.
std::optional<u128> epoch_ns(std::int64_t seconds, std::int64_t nanoseconds);

// A 128-bit count as a JSON integer; values past 64 bits saturate (they do not occur).
Json u128_json(u128 value);

// JSON objects of the records; every key present, absent members as null.
Json to_json(const SourceRef& ref);
Json to_json(const Field& field);
Json to_json(const RawTag& tag);
Json to_json(const Embedded& hint);
Json to_json(const External& file);
Json to_json(const GyroProject& project);
Json to_json(const GyroLog& log);
Json to_json(const Motion& motion);
Json to_json(const Clip& clip);

} // namespace model
