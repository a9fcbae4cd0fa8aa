// What the scan's own files share and its tests call: discovery, and the media table (the
// file types a scan takes, how each is structured and which of the engine's own readers it
// gets). Discovery's extension list, how a clip is opened and which readers run come from this
// one table; a clip is opened once for all of its readers.
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "normalize/normalize.hpp"
#include "scan/scan.hpp"

namespace scan {

// How a media file is structured, which decides how it is opened and which readers it gets.
enum class ContainerKind {
    QuickTimeMovie, // mov, mp4, m4v: boxes, possibly with a camera document inside
    CameraRaw,      // crm, braw: camera raw in QuickTime boxes
    Mxf,            // MXF: header partition and header metadata
    Mpeg,           // mts, m2ts, mpg, mpeg: the head of a transport or program stream
    Matroska,       // mkv: the EBML header and the segment's track entries
    Other,          // left to exiftool; not opened by the engine's own readers
};

// One media file type.
struct MediaType {
    std::string_view extension; // lower case
    ContainerKind container = ContainerKind::Other;
};

// The media type of the path's extension in any letter case; absent for a name that is no
// media (no extension, or one the table does not list).
std::optional<MediaType> media_type(const std::filesystem::path& path);

// What the engine's own readers found in one media file, and the names of those that gave
// data ("zun-tmcd", "zun-cndm", "zun-sony", "zun-mxf", "zun-mpeg", "zun-mkv", "zun-esds", in
// that order).
struct MediaReadings {
    normalize::Readings readings;
    std::vector<std::string> readers;
};

// Opens the file once (when its type has a container the readers read) and runs the readers
// its type gets over it. Never fails: a name that is no media, or a file that cannot be opened
// or read, gives fewer readings or none.
MediaReadings read_media(const std::filesystem::path& file);

// Whether the path names a media file, judged by its final component alone.
bool is_media(const fs::path& path);

// The sorted media files at or below `path`; empty when there are none or it cannot be read.
std::vector<fs::path> walk(const fs::path& path);

struct Collected {
    std::vector<std::string> media; // path bytes
    std::vector<Rejected> rejected;
};

// Media files of all arguments (grouped by argument, duplicates removed) and the rejected
// arguments.
Collected collect(const std::vector<std::string>& args);

} // namespace scan
