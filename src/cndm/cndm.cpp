#include "cndm/cndm.hpp"

#include <vector>

#include "boxes/boxes.hpp"

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
        // BER length: short form, or 0x81..0x84 followed by that many length bytes.
        const std::uint8_t first = sample[i + kKeyLength];
        std::size_t value_start = i + kKeyLength + 1;
        std::uint64_t length = 0;
        if (first < 0x80) {
            length = first;
        } else if (first >= 0x81 && first <= 0x84) {
            const std::size_t n = first - 0x80u;
            if (size - value_start < n) break;
            length = boxes::load_be(sample.subspan(value_start, n));
            value_start += n;
        } else {
            break;
        }
        const std::size_t packet_end =
            length < size - value_start ? value_start + static_cast<std::size_t>(length) : size;

        std::size_t q = value_start;
        while (packet_end - q >= 4) {
            const auto tag = static_cast<std::uint16_t>(boxes::load_be(sample.subspan(q, 2)));
            const std::size_t item_length = boxes::load_be(sample.subspan(q + 2, 2));
            if (packet_end - q - 4 < item_length) break;
            apply_item(tag, sample.subspan(q + 4, item_length), out);
            q += 4 + item_length;
        }
        i = packet_end;
    }
    return out;
}

std::optional<Cndm> read(const boxes::Container& container) {
    if (!container.moov) return std::nullopt;
    std::optional<boxes::SampleRef> ref = boxes::find_first_sample(*container.moov, "cndm");
    if (!ref) return std::nullopt;
    std::optional<std::vector<std::uint8_t>> sample =
        boxes::read_at(container.file, ref->offset, ref->size, boxes::kMaxSampleSize);
    if (!sample) return std::nullopt;
    return parse_sample(*sample);
}

std::optional<Cndm> read(const std::filesystem::path& path) {
    std::optional<boxes::Container> container = boxes::parse_container(path);
    if (!container) return std::nullopt;
    return read(*container);
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
