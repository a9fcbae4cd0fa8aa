// What the Sony reader's own files share and its tests call.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "sony/sony.hpp"

namespace sony {

// The start of a camera document's root element: a buffer without it holds no document.
inline constexpr std::string_view kRoot = "<NonRealTimeMeta";

// The document of the first top-level "meta" box (payload at most 4 MiB) that holds
// "<NonRealTimeMeta"; absent when no such box exists, its document yields no record,
// or a read fails. Reads only those payloads.
std::optional<Sony> read_top_xml(const boxes::Container& container);

// The record described by `document`, `rtmd` empty. Absent when the text has no
// "<NonRealTimeMeta" or gives none of capture gamma, capture primaries, model name.
std::optional<Sony> parse_nrt(std::string_view document, std::string_view origin);

// The document found inside `buffer` (from "<NonRealTimeMeta" to just after
// "</NonRealTimeMeta>" or the end), parsed with origin "embedded". Absent when
// the buffer holds no document or it yields no record.
std::optional<Sony> parse_embedded(std::span<const std::uint8_t> buffer);

// The "value" attribute of the first `<Item name="NAME"` tag; absent when the
// item, its closing ">" or the attribute is missing.
std::optional<std::string> item(std::string_view document, std::string_view name);

// The first opening tag starting with `prefix`, up to but excluding its ">";
// absent when the prefix or the ">" after it is missing. Borrows from `document`.
std::optional<std::string_view> first_tag(std::string_view document, std::string_view prefix);

// The double-quoted value of `name="..."` inside `tag`, as written; absent when
// the attribute or its closing quote is missing.
std::optional<std::string> attr(std::string_view tag, std::string_view name);

// The members decoded from one rtmd sample; decoding stops quietly at a
// terminator or a truncated entry, keeping what was decoded before.
Rtmd parse_rtmd(std::span<const std::uint8_t> sample);

} // namespace sony
