#include "tmcd/tmcd.hpp"

#include <charconv>

#include "boxes/boxes.hpp"

namespace tmcd {

namespace {

void append_two_digits(std::string& out, std::uint64_t value) {
    if (value < 10) out += '0';
    char buf[24];
    auto res = std::to_chars(buf, buf + sizeof buf, value);
    out.append(buf, res.ptr);
}

enum class TrackResult { Found, Next, Abort };

struct TrackTimecode {
    std::uint64_t chunk_offset = 0;
    std::uint32_t frame_quanta = 0;
    bool drop_frame = false;
};

// Examines one "trak" payload: Found with the timecode description, Next to try the
// following track, Abort when the layout makes the whole file unusable.
TrackResult examine_track(boxes::Bytes trak, TrackTimecode& out) {
    std::optional<boxes::Bytes> mdia = boxes::find(trak, "mdia");
    if (!mdia) return TrackResult::Abort;
    std::optional<boxes::Bytes> hdlr = boxes::find(*mdia, "hdlr");
    if (!hdlr || hdlr->size() < 12) return TrackResult::Next;
    const auto h = *hdlr;
    if (!(h[8] == 't' && h[9] == 'm' && h[10] == 'c' && h[11] == 'd')) return TrackResult::Next;

    std::optional<boxes::Bytes> minf = boxes::find(*mdia, "minf");
    std::optional<boxes::Bytes> stbl = minf ? boxes::find(*minf, "stbl") : std::nullopt;
    std::optional<boxes::Bytes> stsd = stbl ? boxes::find(*stbl, "stsd") : std::nullopt;
    if (!stsd) return TrackResult::Abort;
    if (stsd->size() < 41) return TrackResult::Next;
    const std::uint8_t frames = (*stsd)[40];
    if (frames == 0) return TrackResult::Next;
    const std::uint32_t flags = boxes::u32(*stsd, 28).value_or(0);

    std::optional<std::uint64_t> offset = boxes::first_chunk_offset(*stbl);
    if (!offset) return TrackResult::Next;
    out = TrackTimecode{*offset, frames, (flags & 1u) != 0};
    return TrackResult::Found;
}

} // namespace

std::string timecode_text(std::uint64_t hours, std::uint64_t minutes, std::uint64_t seconds,
                          std::uint64_t frames, DropFrame drop) {
    std::string out;
    append_two_digits(out, hours);
    out += ':';
    append_two_digits(out, minutes);
    out += ':';
    append_two_digits(out, seconds);
    out += drop == DropFrame::Yes ? ';' : ':';
    append_two_digits(out, frames);
    return out;
}

std::string counter_to_tc(std::int64_t counter, std::uint32_t frame_quanta, DropFrame drop) {
    const bool df = drop == DropFrame::Yes;
    const std::uint64_t f = frame_quanta;
    std::uint64_t n = counter < 0 ? 0 : static_cast<std::uint64_t>(counter);
    if (f == 0) n = 0;
    if (df && (f == 30 || f == 60)) {
        const std::uint64_t d = 2 * (f / 30);
        const std::uint64_t per_minute = 60 * f - d;
        const std::uint64_t per_ten = 10 * per_minute + d;
        const std::uint64_t blocks = n / per_ten;
        const std::uint64_t r = n % per_ten;
        // At most about 0.1% added, so this cannot wrap for a non-negative 64-bit counter.
        n += 9 * d * blocks + (r > d ? d * ((r - d) / per_minute) : 0);
    }
    const std::uint64_t fps = f == 0 ? 1 : f;
    return timecode_text(n / (3600 * fps), (n / (60 * fps)) % 60, (n / fps) % 60, n % fps, drop);
}

std::optional<StartTimecode> read_start_timecode(const boxes::Container& container) {
    if (!container.moov) return std::nullopt;
    const boxes::Bytes moov_bytes(*container.moov);
    for (std::optional<boxes::BoxEntry> entry = boxes::child_at(moov_bytes, 0); entry;
         entry = boxes::child_at(moov_bytes, entry->end)) {
        if (!boxes::type_is(entry->type, "trak")) continue;
        TrackTimecode track;
        switch (examine_track(moov_bytes.subspan(entry->start, entry->end - entry->start), track)) {
        case TrackResult::Abort:
            return std::nullopt;
        case TrackResult::Next:
            continue;
        case TrackResult::Found:
            break;
        }
        std::optional<std::vector<std::uint8_t>> sample =
            container.source.read(track.chunk_offset, 4, 4);
        if (!sample) return std::nullopt;
        StartTimecode tc;
        tc.counter = static_cast<std::int32_t>(boxes::u32(*sample, 0).value_or(0));
        tc.frame_quanta = track.frame_quanta;
        tc.drop_frame = track.drop_frame;
        tc.text = counter_to_tc(tc.counter, tc.frame_quanta,
                                tc.drop_frame ? DropFrame::Yes : DropFrame::No);
        return tc;
    }
    return std::nullopt;
}

} // namespace tmcd
