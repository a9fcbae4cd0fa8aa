// Media discovery and the batch scan: paths in, finished clips out, with
// progress reported to a caller-supplied event sink.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>
#include <utility>
#include <variant>
#include <vector>

#include "exiftool/exiftool.hpp"
#include "model/model.hpp"

namespace scan {

namespace fs = std::filesystem;

// Progress events, in the order Rejected..., Found, Clip..., Done.
struct Rejected {
    std::string path;
    std::string reason; // "missing", "unsupported_type" or "no_media"
};
struct Found {
    std::uint64_t count = 0;
};
struct ClipEvent {
    const model::Clip* clip = nullptr; // valid only during the sink call
};
struct Done {
    std::uint64_t clips = 0;
    std::uint64_t errors = 0;
    model::u128 ms = 0;
};
using ScanEvent = std::variant<Rejected, Found, ClipEvent, Done>;
using EventSink = std::function<void(const ScanEvent&)>;

// The JSON object printed for one event by the `scan` command.
model::Json event_json(const ScanEvent& event);

// Whether to keep the finished clips in the returned list. A printing scan drops them.
enum class KeepClips { Yes, No };

// Scans every media file under `args` with the tool of `session`, reporting events to `sink`.
// Never fails as a whole; per-file failures are recorded in the clips.
std::vector<model::Clip> scan_many(const std::vector<std::string>& args, exiftool::Session& session,
                                   const EventSink& sink, KeepClips keep = KeepClips::Yes);

} // namespace scan
