// The batch scan: discovery, exiftool in batches of 16, the readers per file (readers.cpp),
// and one clip per media file reported to the event sink.
#include "scan/scan.hpp"

#include <algorithm>
#include <chrono>
#include <span>

#include "exiftool/exiftool.hpp"
#include "io/io.hpp"
#include "motion/motion.hpp"
#include "normalize/normalize.hpp"
#include "paths/paths.hpp"
#include "scan/internal.hpp"
#include "text/text.hpp"

namespace scan {

namespace {

constexpr std::size_t kBatchSize = 16;

using Clock = std::chrono::steady_clock;

model::u128 elapsed_ms(Clock::time_point since) {
    auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now() - since).count();
    return ns > 0 ? static_cast<model::u128>(ns) / 1'000'000 : 0;
}

struct FileMeta {
    std::uint64_t size = 0;
    model::u128 mtime_ns = 0;
};

FileMeta file_meta(const std::string& path) {
    FileMeta meta;
    auto st = io::status(path, io::Follow::Links);
    if (!st) return meta;
    meta.size = st->size;
    meta.mtime_ns = model::epoch_ns(st->mtime_sec, st->mtime_nsec).value_or(0);
    return meta;
}

// The clip of one media file (everything but `scan_ms`).
model::Clip process_file(const fs::path& file, exiftool::BatchResult& batch,
                         const std::optional<std::string>& tool, motion::DirCache& folders) {
    model::Clip clip;
    const std::string& native = file.native();
    FileMeta meta = file_meta(native);
    clip.size = meta.size;
    clip.mtime_ns = meta.mtime_ns;
    clip.path_bytes = native;
    clip.path = text::lossy(native);

    if (auto it = batch.find(native); it != batch.end()) {
        if (auto* tags = std::get_if<std::vector<model::RawTag>>(&it->second)) {
            clip.tags = std::move(*tags);
            clip.ok = true;
        } else {
            clip.error = std::get<std::string>(it->second);
        }
        batch.erase(it);
    } else {
        clip.error = tool ? "no result for file" : "exiftool not found";
    }

    const std::optional<std::string_view> ext = paths::extension(native);
    if (ext && text::is_utf8(*ext)) clip.ext = *ext;

    // The engine's own readers, after exiftool: the clip is opened once for all of them.
    MediaReadings media = read_media(file);
    if (clip.ok) clip.readers.push_back("exiftool");
    for (std::string& name : media.readers)
        clip.readers.push_back(std::move(name));
    clip.fields = normalize::build_fields(clip.tags, media.readings, clip.size, clip.ext);

    clip.dir = text::lossy(paths::parent(native).value_or(""));
    clip.name = text::lossy(paths::file_name(native).value_or(""));
    clip.motion = motion::detect(file, clip.tags, folders);
    return clip;
}

} // namespace

model::Json event_json(const ScanEvent& event) {
    model::Json out = model::Json::object();
    if (auto* rejected = std::get_if<Rejected>(&event)) {
        out["event"] = "rejected";
        out["path"] = rejected->path;
        out["reason"] = rejected->reason;
    } else if (auto* found = std::get_if<Found>(&event)) {
        out["count"] = found->count;
        out["event"] = "found";
    } else if (auto* clip = std::get_if<ClipEvent>(&event)) {
        out["clip"] = model::to_json(*clip->clip);
        out["event"] = "clip";
    } else if (auto* done = std::get_if<Done>(&event)) {
        out["clips"] = done->clips;
        out["errors"] = done->errors;
        out["event"] = "done";
        out["ms"] = model::u128_json(done->ms);
    }
    return out;
}

std::vector<model::Clip> scan_many(const std::vector<std::string>& args, exiftool::Session& session,
                                   const EventSink& sink, KeepClips keep) {
    Collected found = collect(args);
    for (auto& rejected : found.rejected)
        sink(ScanEvent(std::move(rejected)));
    sink(ScanEvent(Found{found.media.size()}));

    const auto start = Clock::now();
    const std::optional<std::string>& tool = session.tool();
    std::vector<model::Clip> clips;
    std::uint64_t made = 0;
    std::uint64_t errors = 0;
    // Each folder is listed once per scan for the motion companions, not once per clip.
    motion::DirCache folders;
    exiftool::Batches batches(session, found.media, kBatchSize);
    std::size_t first = 0;
    while (std::optional<exiftool::BatchRead> read = batches.next()) {
        const std::size_t count = std::min(kBatchSize, found.media.size() - first);
        const model::u128 share = static_cast<model::u128>(read->took.count()) / 1'000'000 / count;
        for (std::size_t i = first; i < first + count; ++i) {
            model::Clip clip = process_file(found.media[i], read->result, tool, folders);
            clip.scan_ms = share;
            if (!clip.ok) ++errors;
            ++made;
            sink(ScanEvent(ClipEvent{&clip}));
            if (keep == KeepClips::Yes) clips.push_back(std::move(clip));
        }
        first += count;
    }
    sink(ScanEvent(Done{made, errors, elapsed_ms(start)}));
    return clips;
}

} // namespace scan
