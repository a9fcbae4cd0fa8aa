// Fuzz target: the camera document parser and its tag helpers over the input as text.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

#include "fuzz/fuzz_support.hpp"
#include "fuzz/sony_summary.hpp"
#include "sony/internal.hpp"

namespace {

using fuzz_support::require;

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view document = fuzz_support::as_text(data, size);

    const std::optional<sony::Sony> parsed = sony::parse_nrt(document, "sidecar");
    require(fuzz_support::sony_summary(sony::parse_nrt(document, "sidecar")) ==
                fuzz_support::sony_summary(parsed),
            "parse_nrt is not repeatable");
    if (parsed) {
        require(parsed->origin == "sidecar", "origin not kept");
        require(document.find("<NonRealTimeMeta") != std::string_view::npos,
                "a record from a text without the root element");
        require(parsed->capture_gamma || parsed->capture_primaries || parsed->model_name,
                "a record without gamma, primaries or model");
        if (std::optional<std::string> tc = sony::ltc_text(*parsed))
            require(parsed->ltc_start && tc->size() == 11, "timecode text without a start");
        if (parsed->capture_gamma) (void)sony::curve_name(*parsed->capture_gamma);
        if (parsed->capture_gamma) (void)sony::gamma_implied_gamut(*parsed->capture_gamma);
        if (parsed->capture_primaries) (void)sony::gamut_name(*parsed->capture_primaries);
    }
    const std::optional<sony::Sony> embedded = sony::parse_embedded({data, size});
    if (embedded) require(embedded->origin == "embedded", "embedded origin not kept");

    // The helpers, with names taken from the input's first line when it has one.
    const std::size_t line_end = document.find('\n');
    const std::string_view name = line_end == std::string_view::npos
                                      ? std::string_view("CaptureGammaEquation")
                                      : document.substr(0, line_end);
    const std::string_view rest =
        line_end == std::string_view::npos ? document : document.substr(line_end + 1);
    for (std::string_view n : {name, std::string_view("CaptureGammaEquation")})
        (void)sony::item(rest, n);
    for (std::string_view prefix : {name, std::string_view("<LtcChange")}) {
        if (std::optional<std::string_view> tag = sony::first_tag(rest, prefix)) {
            require(tag->data() >= rest.data() &&
                        tag->data() + tag->size() <= rest.data() + rest.size(),
                    "first_tag gives text outside the document");
            // A prefix holding ">" is cut at that ">", like any tag.
            if (prefix.find('>') == std::string_view::npos)
                require(tag->substr(0, prefix.size()) == prefix,
                        "first_tag does not start with prefix");
            (void)sony::attr(*tag, "value");
            (void)sony::attr(*tag, name);
        }
    }
    (void)sony::attr(rest, name);

    // A packed value gives either no text or one with hours, minutes and seconds in range.
    if (size >= 5) {
        sony::Sony s;
        s.ltc_start = static_cast<std::uint32_t>(data[0]) |
                      (static_cast<std::uint32_t>(data[1]) << 8) |
                      (static_cast<std::uint32_t>(data[2]) << 16) |
                      (static_cast<std::uint32_t>(data[3]) << 24);
        s.half_step = (data[4] & 1) != 0;
        if (std::optional<std::string> tc = sony::ltc_text(s)) {
            require(tc->size() == 11 && tc->compare(0, 2, "23") <= 0 &&
                        tc->compare(3, 2, "59") <= 0 && tc->compare(6, 2, "59") <= 0,
                    "timecode text out of range");
        }
    }
    return 0;
}
