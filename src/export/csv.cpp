// The metadata CSV that the grading application imports, and its writing to a file.
#include <array>
#include <cerrno>
#include <map>
#include <unistd.h>

#include "export/internal.hpp"
#include "io/io.hpp"
#include "text/text.hpp"

namespace export_ {

namespace {

using model::Clip;
using model::Field;
using model::Status;

constexpr std::array<std::string_view, 10> kHeaders = {"File Name",
                                                       "Clip Directory",
                                                       "Camera Manufacturer",
                                                       "Camera Type",
                                                       "Lens Type",
                                                       "Focal Point (mm)",
                                                       "ISO",
                                                       "White Point (Kelvin)",
                                                       "Gamma Notes",
                                                       "Color Space Notes"};

bool is_ascii_digit(char c) {
    return c >= '0' && c <= '9';
}

void append_row(std::string& out, const std::vector<std::string>& cells) {
    for (std::size_t i = 0; i < cells.size(); ++i) {
        if (i > 0) out += ',';
        out += quote_cell(cells[i]);
    }
    out += "\r\n";
}

} // namespace

std::string leading_number(std::string_view text) {
    std::size_t start = 0;
    while (start < text.size() && !is_ascii_digit(text[start]))
        ++start;
    std::size_t end = start;
    while (end < text.size() && (is_ascii_digit(text[end]) || text[end] == '.'))
        ++end;
    return std::string(text.substr(start, end - start));
}

std::string quote_cell(std::string_view cell) {
    // A carriage return is quoted like a line feed: records end in CR LF, so a bare one
    // inside a cell would otherwise split the record for readers.
    if (cell.find_first_of(",\"\n\r") == std::string_view::npos) return std::string(cell);
    std::string out = "\"";
    for (char c : cell) {
        if (c == '"') out += '"';
        out += c;
    }
    out += '"';
    return out;
}

ResolvedValues resolve_values(const Clip& clip) {
    ResolvedValues values;
    auto plain = [&](std::string_view id, std::string_view header) {
        const Field* field = model::find_field(clip.fields, id);
        if (field && field->value) values.emplace_back(header, *field->value);
    };
    auto number = [&](std::string_view id, std::string_view header) {
        const Field* field = model::find_field(clip.fields, id);
        if (!field || !field->value) return;
        std::string n = leading_number(*field->value);
        if (!n.empty()) values.emplace_back(header, std::move(n));
    };
    auto trusted = [&](std::string_view id, std::string_view header) {
        const Field* field = model::find_field(clip.fields, id);
        if (!field || !field->value) return;
        if (field->status != Status::Found && field->status != Status::Confirmed) return;
        if (field->note && *field->note == "viewing_metadata") return;
        values.emplace_back(header, *field->value);
    };
    plain("make", kHeaders[2]);
    plain("camera_model", kHeaders[3]);
    plain("lens", kHeaders[4]);
    number("focal_length", kHeaders[5]);
    number("iso", kHeaders[6]);
    number("wb_temp", kHeaders[7]);
    trusted("curve", kHeaders[8]);
    trusted("gamut", kHeaders[9]);
    return values;
}

std::string utf16le_with_bom(std::string_view utf8) {
    std::string out = "\xFF\xFE";
    out.reserve(2 + utf8.size() * 2);
    auto unit = [&](std::uint32_t u) {
        out += static_cast<char>(u & 0xFF);
        out += static_cast<char>((u >> 8) & 0xFF);
    };
    for (char32_t cp : text::code_points(utf8)) {
        if (cp >= 0x10000) {
            const std::uint32_t v = static_cast<std::uint32_t>(cp) - 0x10000;
            unit(0xD800 + (v >> 10));
            unit(0xDC00 + (v & 0x3FF));
        } else {
            unit(static_cast<std::uint32_t>(cp));
        }
    }
    return out;
}

std::string resolve_csv(const std::vector<Clip>& clips) {
    std::string out;
    append_row(out, std::vector<std::string>(kHeaders.begin(), kHeaders.end()));
    for (const auto& clip : clips) {
        const ResolvedValues values = resolve_values(clip);
        std::vector<std::string> cells = {clip.name, clip.dir};
        for (std::size_t column = 2; column < kHeaders.size(); ++column) {
            std::string cell;
            for (const auto& [header, value] : values) {
                if (header == kHeaders[column]) {
                    cell = value;
                    break;
                }
            }
            cells.push_back(std::move(cell));
        }
        append_row(out, cells);
    }
    return utf16le_with_bom(out);
}

UniqueCsv resolve_csv_unique(const std::vector<Clip>& clips) {
    std::vector<ResolvedValues> values;
    values.reserve(clips.size());
    std::map<std::string, std::vector<std::size_t>> groups;
    for (std::size_t i = 0; i < clips.size(); ++i) {
        values.push_back(resolve_values(clips[i]));
        groups[clips[i].name].push_back(i);
    }

    UniqueCsv result;
    std::vector<Clip> kept;
    for (std::size_t i = 0; i < clips.size(); ++i) {
        const auto& group = groups[clips[i].name];
        bool differs = false;
        for (std::size_t member : group)
            if (values[member] != values[i]) differs = true;
        if (differs) {
            result.excluded.push_back(clips[i].path);
        } else if (group.size() > 1 && clips[i].path != clips[group.front()].path) {
            continue; // same values as the group's first clip, which gives the row
        } else {
            kept.push_back(clips[i]);
        }
    }
    result.bytes = resolve_csv(kept);
    return result;
}

std::optional<std::string> write_csv(const std::string& out, std::string_view bytes,
                                     const std::vector<model::Clip>& clips) {
    const std::optional<io::FileStatus> target = io::status(out, io::Follow::Links);
    if (target)
        for (const auto& clip : clips) {
            auto media = io::status(clip.path_bytes, io::Follow::Links);
            if (media && io::same_file(*media, *target))
                return std::string("the file is one of the scanned media files");
        }
    bool replace = target && target->type == io::EntryType::Regular;
    for (int fd : {STDOUT_FILENO, STDERR_FILENO}) {
        auto stream = io::descriptor_status(fd);
        if (replace && stream && io::same_file(*stream, *target)) replace = false;
    }
    const bool nothing = !target && !io::status(out, io::Follow::NoLinks);

    io::Status failed;
    if (nothing) {
        failed = io::replace_file(out, bytes, std::nullopt);
    } else if (replace) {
        // Through links to the file itself, so that the link stays a link.
        auto real = io::real_path(out);
        if (const io::Error* error = std::get_if<io::Error>(&real)) return io::error_text(*error);
        failed = io::replace_file(std::get<std::string>(real), bytes, target->permissions);
        // A writable file in a folder we may not create files in is still written, in place.
        if (failed && (failed->number == EACCES || failed->number == EPERM))
            failed = io::write_in_place(out, bytes);
    } else {
        failed = io::write_in_place(out, bytes);
    }
    if (failed) return io::error_text(*failed);
    return std::nullopt;
}

} // namespace export_
