// One real-time metadata sample: a first-entry offset, then local-tag entries
// (2-byte tag, 2-byte length, value), 16-byte universal labels and set headers,
// decoded in one bounded forward pass.
#include <array>
#include <cmath>

#include "klv/klv.hpp"
#include "sony/internal.hpp"

namespace sony {

namespace {

using Bytes = std::span<const std::uint8_t>;

constexpr std::array<std::string_view, 6> kExposureModes{
    "", "Manual", "Full Auto", "Gain Priority Auto", "Iris Priority Auto", "Shutter Priority Auto"};
constexpr std::array<std::string_view, 5> kFocusAreas{
    "Manual", "Center Sensitive Auto", "Full Screen Sensing Auto", "Multi Spot Sensing Auto",
    "Single Spot Sensing Auto"};
constexpr std::array<std::string_view, 4> kWbModes{"Preset", "Automatic", "Hold", "One Push"};

// At most four bytes as one big-endian number.
std::uint32_t be(Bytes b) {
    return static_cast<std::uint32_t>(boxes::load_be(b));
}

// 10 ^ e for small exponents, exact for e >= 0.
double power_of_ten(int e) {
    double p = 1.0;
    for (int i = 0; i < (e < 0 ? -e : e); ++i)
        p *= 10.0;
    return p;
}

// mantissa (low 12 bits) x 10 ^ (signed high nibble + extra_exponent), scaled
// with one multiplication or division so exact decimals stay exact.
double scaled_decimal(Bytes b, int extra_exponent) {
    const std::uint32_t raw = be(b);
    const int nibble = static_cast<int>(raw >> 12);
    const int exponent = (nibble >= 8 ? nibble - 16 : nibble) + extra_exponent;
    const double mantissa = static_cast<double>(raw & 0x0FFF);
    return exponent >= 0 ? mantissa * power_of_ten(exponent) : mantissa / power_of_ten(-exponent);
}

std::optional<std::string_view> exposure_mode(Bytes v) {
    if (v.size() != 16) return std::nullopt;
    if (v[8] != 0x05 || v[9] != 0x10 || v[10] != 0x01 || v[11] != 0x01 || v[12] != 0x01) {
        return std::nullopt;
    }
    if (v[13] < 1 || v[13] >= kExposureModes.size()) return std::nullopt;
    return kExposureModes[v[13]];
}

template <std::size_t N>
std::optional<std::string_view> table_name(const std::array<std::string_view, N>& table,
                                           std::uint8_t code) {
    if (code >= N) return std::nullopt;
    return table[code];
}

// Decodes one local-tag entry into its member; unknown tags and wrong lengths are ignored.
void decode(Rtmd& r, std::uint16_t tag, Bytes v) {
    const std::size_t n = v.size();
    switch (tag) {
    case 0x8000:
        if (n == 2) r.iris_fnumber = std::exp2(8.0 - static_cast<double>(be(v)) / 8192.0);
        break;
    case 0x8001:
        if (n == 2) r.focus_distance = scaled_decimal(v, 0);
        break;
    case 0x8004:
        if (n == 2) r.focal_length_35mm = scaled_decimal(v, 3);
        break;
    case 0x8005:
        if (n == 2) r.focal_length = scaled_decimal(v, 3);
        break;
    case 0x800a:
        if (n == 2) r.focus_ring_raw = static_cast<std::uint16_t>(be(v));
        break;
    case 0x800b:
        if (n == 2) r.zoom_ring_raw = static_cast<std::uint16_t>(be(v));
        break;
    case 0x8100:
        r.ae_mode = exposure_mode(v);
        break;
    case 0x8101:
        if (n == 1) r.af_area = table_name(kFocusAreas, v[0]);
        break;
    case 0x8104:
        if (n == 2) r.sensor_width = static_cast<std::uint16_t>(be(v));
        break;
    case 0x8105:
        if (n == 2) r.sensor_height = static_cast<std::uint16_t>(be(v));
        break;
    case 0x8108:
        if (n == 4) r.shutter_angle = static_cast<double>(be(v)) / 60.0;
        break;
    case 0x8109:
        if (n == 8) r.shutter_time = std::pair{be(v.first(4)), be(v.subspan(4, 4))};
        break;
    case 0x810a:
        if (n == 2) r.gain_db = static_cast<double>(be(v)) / 100.0;
        break;
    case 0x810b:
        if (n == 2) r.iso = be(v);
        break;
    case 0x810c:
        if (n == 2) r.extender = static_cast<std::uint16_t>(be(v));
        break;
    case 0x810d:
        if (n == 1) r.wb_mode = table_name(kWbModes, v[0]);
        break;
    case 0x8115:
        if (n == 2) r.exposure_index = static_cast<std::uint16_t>(be(v));
        break;
    case 0xe303:
        if (n == 1) r.white_balance = v[0];
        break;
    default:
        break;
    }
}

} // namespace

Rtmd parse_rtmd(std::span<const std::uint8_t> sample) {
    Rtmd r;
    const std::size_t size = sample.size();
    if (size < 4) return r;
    std::size_t p = be(sample.first(2));
    while (p + 4 < size) {
        const std::uint8_t b0 = sample[p];
        const std::uint8_t b1 = sample[p + 1];
        if (b0 == 0x00 && b1 == 0x00) break;
        if (b0 == 0x06 && b1 == 0x0E) {
            if (p + 16 > size) break;
            p += 16;
            continue;
        }
        if (b0 == 0x83 && b1 == 0x00) {
            p += 4;
            continue;
        }
        const std::optional<klv::LocalItem> item = klv::local_item(sample, p);
        if (!item) break;
        decode(r, item->tag, item->value);
        p = item->end;
    }
    return r;
}

} // namespace sony
