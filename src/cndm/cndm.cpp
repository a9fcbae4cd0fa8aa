#include "cndm/internal.hpp"

#include <vector>

#include "boxes/boxes.hpp"
#include "klv/klv.hpp"

namespace cndm {

namespace {

constexpr std::size_t kKeyLength = 16;

bool label_prefix_at(std::span<const std::uint8_t> b, std::size_t i) {
    return i <= b.size() && b.size() - i >= 4 && b[i] == 0x06 && b[i + 1] == 0x0E &&
           b[i + 2] == 0x2B && b[i + 3] == 0x34;
}

// Applies one local item to the result when it is a curve or gamut label.
void apply_item(std::uint16_t tag, std::span<const std::uint8_t> value, Cndm& out) {
    if (value.size() != 16 || !label_prefix_at(value, 0)) return;
    if (value[8] != 0x0E || value[9] != 0x15 || value[10] != 0x00) return;
    if (tag == 0xe211 && value[11] == 0x01) out.curve = value[12];
    if (tag == 0xe212 && value[11] == 0x02) out.gamut = value[12];
}

} // namespace

Cndm parse_sample(std::span<const std::uint8_t> sample) {
    Cndm out;
    const std::size_t size = sample.size();
    if (size <= 3) return out;
    std::size_t i = 0;
    while (i <= size - 4 && !label_prefix_at(sample, i))
        ++i;
    if (i > size - 4 || size - i < kKeyLength + 1) return out;

    while (size - i >= kKeyLength + 1 && label_prefix_at(sample, i)) {
        // The packets' lengths take at most 4 bytes; a longer or malformed one ends the sample.
        const std::optional<klv::Length> length = klv::ber_length(sample, i + kKeyLength, 4);
        if (!length) break;
        const std::size_t value_start = i + kKeyLength + length->size;
        const std::size_t packet_end = length->value < size - value_start
                                           ? value_start + static_cast<std::size_t>(length->value)
                                           : size;
        // An item running past the packet ends it; the items before it stand.
        klv::walk_local_set(
            sample.subspan(value_start, packet_end - value_start),
            [&](const klv::LocalItem& item) { apply_item(item.tag, item.value, out); });
        i = packet_end;
    }
    return out;
}

std::optional<Cndm> read(const boxes::Container& container) {
    if (!container.moov) return std::nullopt;
    std::optional<boxes::SampleRef> ref = boxes::find_first_sample(*container.moov, "cndm");
    if (!ref) return std::nullopt;
    std::optional<std::vector<std::uint8_t>> sample =
        container.source.read(ref->offset, ref->size, boxes::kMaxSampleSize);
    if (!sample) return std::nullopt;
    return parse_sample(*sample);
}

std::optional<std::string_view> curve_name(std::uint8_t code) {
    switch (code) {
    case 2:
        return "Canon Log 2";
    case 7:
        return "Canon Log 3";
    default:
        return std::nullopt;
    }
}

std::optional<std::string_view> gamut_name(std::uint8_t code) {
    if (code == 2) return "Cinema Gamut";
    return std::nullopt;
}

} // namespace cndm
