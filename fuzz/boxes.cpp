// Fuzz target: the box walker over the input buffer, the top-level scan of the input as a byte
// source (which must agree with the walker), and the start-timecode, Sony and Canon readers
// over the container parsed from it.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "boxes/internal.hpp"
#include "cndm/cndm.hpp"
#include "fuzz/fuzz_support.hpp"
#include "fuzz/sony_summary.hpp"
#include "io/io.hpp"
#include "sony/sony.hpp"
#include "tmcd/tmcd.hpp"

namespace {

using fuzz_support::require;

// Walks every level below `buffer`, checking that each level's entries lie inside it, in order
// and without overlap; gives the number of boxes seen.
std::size_t walk(boxes::Bytes buffer, int depth) {
    const std::vector<boxes::BoxEntry> entries = boxes::children(buffer);
    std::size_t count = entries.size();
    std::size_t previous_end = 0;
    for (const boxes::BoxEntry& e : entries) {
        require(e.start >= previous_end + 8, "box header overlaps the previous box");
        require(e.start <= e.end && e.end <= buffer.size(), "box lies outside its buffer");
        previous_end = e.end;
        const std::string type(e.type.begin(), e.type.end());
        std::optional<boxes::Bytes> found = boxes::find(buffer, type);
        require(found.has_value(), "find misses a listed child");
        require(found->data() >= buffer.data() &&
                    found->data() + found->size() <= buffer.data() + buffer.size(),
                "find gives bytes outside its buffer");
        if (depth < 32) count += walk(buffer.subspan(e.start, e.end - e.start), depth + 1);
    }
    (void)boxes::first_chunk_offset(buffer);
    (void)boxes::first_sample_size(buffer);
    for (const char* format : {"tmcd", "rtmd", "cndm"})
        if (std::optional<boxes::SampleRef> ref = boxes::find_first_sample(buffer, format))
            require(ref->size >= 1 && ref->size <= boxes::kMaxSampleSize,
                    "first sample size out of range");
    return count;
}

std::string summary(const std::optional<tmcd::StartTimecode>& tc) {
    if (!tc) return "-";
    return tc->text + "|" + std::to_string(tc->counter) + "|" + std::to_string(tc->frame_quanta) +
           "|" + std::to_string(tc->drop_frame);
}

std::string summary(const std::optional<cndm::Cndm>& c) {
    if (!c) return "-";
    return std::to_string(c->curve.value_or(0)) + std::to_string(c->curve.has_value()) + "|" +
           std::to_string(c->gamut.value_or(0)) + std::to_string(c->gamut.has_value());
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const boxes::Bytes buffer(data, size);
    const std::size_t seen = walk(buffer, 0);
    require(walk(buffer, 0) == seen, "walking twice gives different boxes");

    const boxes::Container container = boxes::parse_container(io::ByteSource(buffer));
    require(container.top.size() <= boxes::kMaxTopBoxes, "top-level index over its cap");
    for (std::size_t i = 1; i < container.top.size(); ++i)
        require(container.top[i].offset == container.top[i - 1].offset + container.top[i - 1].size,
                "top-level boxes not back to back");
    // The windowed scan sees the boxes the in-memory walker sees, and may add one that runs
    // past the end.
    const std::vector<boxes::BoxEntry> walked = boxes::children(buffer);
    require(container.top.size() >= std::min(walked.size(), boxes::kMaxTopBoxes),
            "the scan misses boxes the walker sees");
    for (std::size_t i = 0; i < std::min(walked.size(), container.top.size()); ++i) {
        const boxes::TopBox& top = container.top[i];
        require(top.type == walked[i].type && top.offset + top.header_length == walked[i].start &&
                    top.offset + top.size == walked[i].end,
                "the scan and the walker disagree on a box");
    }
    if (container.moov) require(container.moov->size() <= boxes::kMaxMoovPayload, "moov too large");

    // The readers share one parse; a second parse gives the same readings.
    const std::string tc = summary(tmcd::read_start_timecode(container));
    const std::string canon = summary(cndm::read(container));
    const std::string camera = fuzz_support::sony_summary(sony::read({}, &container));
    const boxes::Container again = boxes::parse_container(io::ByteSource(buffer));
    require(summary(tmcd::read_start_timecode(again)) == tc, "timecode read differs");
    require(summary(cndm::read(again)) == canon, "Canon read differs");
    require(fuzz_support::sony_summary(sony::read({}, &again)) == camera, "Sony read differs");
    return 0;
}
