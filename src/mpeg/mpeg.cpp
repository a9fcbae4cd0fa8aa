#include "mpeg/mpeg.hpp"

#include <algorithm>
#include <array>
#include <exception>
#include <numeric>

namespace mpeg {

namespace {

using Bytes = std::span<const std::uint8_t>;

constexpr std::size_t kNone = static_cast<std::size_t>(-1);

// ---- Bounds-checked access ----

bool fits(Bytes bytes, std::size_t at, std::size_t count) {
    return at <= bytes.size() && count <= bytes.size() - at;
}

// The byte at `at`, or 0 past the end (callers check `fits` where 0 is meaningful).
std::uint8_t byte_at(Bytes bytes, std::size_t at) {
    return at < bytes.size() ? bytes[at] : 0;
}

// `count` (at most 4) bytes at `at` as a big-endian number, or 0 when they are cut short.
std::uint32_t be(Bytes bytes, std::size_t at, std::size_t count) {
    if (count > 4 || !fits(bytes, at, count)) return 0;
    std::uint32_t value = 0;
    for (std::size_t i = 0; i < count; ++i)
        value = (value << 8) | bytes[at + i];
    return value;
}

// The bytes from `at` on; empty when `at` lies past the end.
Bytes tail(Bytes bytes, std::size_t at) {
    return at <= bytes.size() ? bytes.subspan(at) : Bytes{};
}

// At most `count` bytes from `at` on.
Bytes slice(Bytes bytes, std::size_t at, std::size_t count) {
    const Bytes rest = tail(bytes, at);
    return rest.first(std::min(count, rest.size()));
}

// Position of the next 00 00 01 prefix at or after `from`, or kNone.
std::size_t find_start(Bytes bytes, std::size_t from) {
    for (std::size_t at = from; fits(bytes, at, 3); ++at)
        if (bytes[at + 2] <= 1) {
            if (bytes[at + 2] == 1 && bytes[at + 1] == 0 && bytes[at] == 0) return at;
        } else {
            at += 2; // a byte above 1 cannot be in a prefix that ends past it
        }
    return kNone;
}

// Appends `bytes` to `out` while `out` holds fewer than `cap` bytes.
void append(std::vector<std::uint8_t>& out, Bytes bytes, std::size_t cap) {
    const std::size_t room = cap > out.size() ? cap - out.size() : 0;
    const Bytes taken = bytes.first(std::min(room, bytes.size()));
    out.insert(out.end(), taken.begin(), taken.end());
}

std::optional<Rational> reduced(std::uint64_t numerator, std::uint64_t denominator) {
    if (numerator == 0 || denominator == 0) return std::nullopt;
    const std::uint64_t divisor = std::gcd(numerator, denominator);
    numerator /= divisor;
    denominator /= divisor;
    if (numerator > UINT32_MAX || denominator > UINT32_MAX) return std::nullopt;
    return Rational{static_cast<std::uint32_t>(numerator), static_cast<std::uint32_t>(denominator)};
}

// ---- Bit reading ----

// Reads bits most significant first. A read past the end gives zeros and marks the reader
// failed, so a parse runs to its end and checks `ok()` once.
class Bits {
  public:
    explicit Bits(Bytes bytes) : bytes_(bytes) {}

    std::uint32_t u(unsigned count) { // count <= 32
        std::uint32_t value = 0;
        for (unsigned i = 0; i < count; ++i)
            value = (value << 1) | bit();
        return value;
    }
    bool flag() { return bit() != 0; }
    void skip(std::size_t count) {
        if (count > bytes_.size() * 8 - at_) {
            failed_ = true;
            at_ = bytes_.size() * 8;
        } else {
            at_ += count;
        }
    }
    // Unsigned exp-Golomb code; more than 31 leading zeros fails.
    std::uint32_t ue() {
        unsigned zeros = 0;
        while (bit() == 0) {
            if (failed_ || zeros == 31) {
                failed_ = true;
                return 0;
            }
            ++zeros;
        }
        return static_cast<std::uint32_t>((std::uint64_t{1} << zeros) - 1 + u(zeros));
    }
    std::int64_t se() {
        const std::int64_t k = ue();
        return k % 2 == 1 ? (k + 1) / 2 : -(k / 2);
    }
    bool ok() const { return !failed_; }
    std::size_t bits_read() const { return at_; }

  private:
    std::uint32_t bit() {
        if (at_ >= bytes_.size() * 8) {
            failed_ = true;
            return 0;
        }
        const std::uint32_t value = (bytes_[at_ / 8] >> (7 - at_ % 8)) & 1u;
        ++at_;
        return value;
    }

    Bytes bytes_;
    std::size_t at_ = 0;
    bool failed_ = false;
};

// ---- Video ----

enum class VideoKind : std::uint8_t { Mpeg12, Avc, Hevc };

struct Video {
    std::optional<std::string> codec;
    std::optional<Rational> rate;
    std::optional<std::string> timecode;
    std::optional<Size> size;
    // Whether the headers these come from lie whole within the bytes read, so that more bytes
    // of the stream could not change them.
    bool settled = false;
};

// A picture size when both sides are positive.
std::optional<Size> size_of(std::int64_t width, std::int64_t height) {
    if (width <= 0 || height <= 0 || width > UINT32_MAX || height > UINT32_MAX) return std::nullopt;
    return Size{static_cast<std::uint32_t>(width), static_cast<std::uint32_t>(height)};
}

// A parameter set is short; one longer than this is cut (its fields past it are not read).
constexpr std::size_t kMaxNal = 4096;

// The NAL unit beginning at `nal` (its header included), up to the next start code, without
// its emulation prevention bytes; at most kMaxNal bytes. `whole` tells whether it ended before
// the bytes did.
std::vector<std::uint8_t> unescape(Bytes nal, bool& whole) {
    std::vector<std::uint8_t> out;
    out.reserve(std::min(nal.size(), kMaxNal));
    unsigned zeros = 0;
    whole = false;
    for (const std::uint8_t b : nal) {
        whole = out.size() == kMaxNal || (zeros >= 2 && b <= 2);
        if (whole) break;
        if (zeros >= 2 && b == 3) {
            zeros = 0;
            continue;
        }
        out.push_back(b);
        zeros = b == 0 ? zeros + 1 : 0;
    }
    return out;
}

std::string two_digits(unsigned value) {
    return {static_cast<char>('0' + value / 10 % 10), static_cast<char>('0' + value % 10)};
}

// The GOP header's time code (the 25 bits after its start code); absent when cut short or out
// of range.
std::optional<std::string> gop_timecode(Bytes body) {
    Bits bits(body);
    const bool drop = bits.flag();
    const unsigned hours = bits.u(5), minutes = bits.u(6);
    const bool marker = bits.flag();
    const unsigned seconds = bits.u(6), frames = bits.u(6);
    if (!bits.ok() || !marker || hours > 23 || minutes > 59 || seconds > 59 || frames > 59)
        return std::nullopt;
    return two_digits(hours) + ":" + two_digits(minutes) + ":" + two_digits(seconds) +
           (drop ? ";" : ":") + two_digits(frames);
}

// MPEG-1/2 video: the first sequence header gives the rate and, by what follows it, the codec
// (a sequence extension makes it MPEG-2); the first GOP header gives the time code. When the
// bytes end before the start code after the sequence header, neither is known.
Video mpeg12_video(Bytes es) {
    // By frame_rate_code; 0 and 9 to 15 are reserved.
    static constexpr std::array<std::uint32_t, 9> kNumerators = {0,  24000, 24,    25, 30000,
                                                                 30, 50,    60000, 60};
    static constexpr std::array<std::uint32_t, 9> kDenominators = {0, 1001, 1,    1, 1001,
                                                                   1, 1,    1001, 1};
    Video video;
    bool sequence_seen = false, gop_seen = false, sequence_whole = false, gop_whole = false;
    for (std::size_t at = find_start(es, 0); at != kNone && !(sequence_seen && gop_seen);
         at = find_start(es, at + 3)) {
        const std::uint8_t code = byte_at(es, at + 3);
        if (code == 0xB8 && !gop_seen) {
            gop_seen = true;
            gop_whole = fits(es, at + 4, 4);
            video.timecode = gop_timecode(slice(es, at + 4, 4));
        }
        if (code != 0xB3 || sequence_seen) continue;
        sequence_seen = true;
        Bits bits(tail(es, at + 4));
        const std::uint32_t width = bits.u(12), height = bits.u(12);
        bits.skip(4); // aspect ratio
        const unsigned rate_code = bits.u(4);
        bits.skip(30); // bit rate, marker, VBV buffer size, constrained parameters
        if (bits.flag()) bits.skip(std::size_t{64} * 8); // intra quantiser matrix
        if (bits.flag()) bits.skip(std::size_t{64} * 8); // non-intra quantiser matrix
        if (!bits.ok()) continue;
        const std::size_t next = find_start(es, at + 4 + (bits.bits_read() + 7) / 8);
        // A sequence extension needs its identifier byte to tell it from other extensions.
        if (next == kNone || !fits(es, next, 4) || (es[next + 3] == 0xB5 && !fits(es, next, 5)))
            continue;
        std::uint64_t numerator = rate_code < kNumerators.size() ? kNumerators[rate_code] : 0;
        std::uint64_t denominator = rate_code < kNumerators.size() ? kDenominators[rate_code] : 0;
        std::uint32_t width_high = 0, height_high = 0;
        if (es[next + 3] == 0xB5 && byte_at(es, next + 4) >> 4 == 1) {
            Bits extension(slice(es, next + 4, 6));
            extension.skip(4 + 8 + 1 + 2); // identifier, profile and level, progressive, chroma
            width_high = extension.u(2);   // the sizes' two high bits
            height_high = extension.u(2);
            extension.skip(12 + 1 + 8 + 1); // up to low_delay
            const unsigned rate_n = extension.u(2), rate_d = extension.u(5);
            if (!extension.ok()) continue;
            video.codec = "MPEG-2";
            numerator *= rate_n + 1;
            denominator *= rate_d + 1;
        } else {
            video.codec = "MPEG-1";
        }
        video.rate = reduced(numerator, denominator);
        video.size = size_of(std::int64_t{width_high} << 12 | width,
                             std::int64_t{height_high} << 12 | height);
        sequence_whole = true;
    }
    video.settled = sequence_whole && gop_whole;
    return video;
}

// Skips an AVC scaling list of `size` entries.
void skip_avc_scaling_list(Bits& bits, unsigned size) {
    std::int64_t last = 8, next = 8;
    for (unsigned j = 0; j < size && bits.ok(); ++j) {
        if (next != 0) next = ((last + bits.se()) % 256 + 256) % 256;
        if (next != 0) last = next;
    }
}

// What a sequence parameter set gives: the cropped picture size and the VUI timing's rate.
struct ParameterSet {
    std::optional<Size> size;
    std::optional<Rational> rate;
};

// The cropped size of a picture of `width` x `height` luma samples whose crop offsets are in
// units of `unit_x` and `unit_y`; absent when cut or cropped away.
std::optional<Size> cropped(Bits& bits, std::int64_t width, std::int64_t height,
                            std::int64_t unit_x, std::int64_t unit_y) {
    std::array<std::int64_t, 4> offsets{}; // left, right, top, bottom
    if (bits.flag())
        for (std::int64_t& offset : offsets)
            offset = bits.ue();
    if (!bits.ok()) return std::nullopt;
    return size_of(width - unit_x * (offsets[0] + offsets[1]),
                   height - unit_y * (offsets[2] + offsets[3]));
}

// An AVC sequence parameter set (`nal` from its header byte on, unescaped): the picture size
// after cropping, and time_scale / (2 * num_units_in_tick) of its VUI timing; a member is
// absent when the set does not give it or is cut before it.
ParameterSet avc_sps(Bytes nal) {
    ParameterSet out;
    Bits bits(nal);
    bits.skip(8); // NAL header
    const unsigned profile = bits.u(8);
    bits.skip(16); // constraint flags, level
    bits.ue();     // seq_parameter_set_id
    static constexpr std::array<unsigned, 13> kHighProfiles = {100, 110, 122, 244, 44,  83, 86,
                                                               118, 128, 138, 139, 134, 135};
    std::uint32_t chroma_format = 1; // 4:2:0 unless a high profile says otherwise
    if (std::find(kHighProfiles.begin(), kHighProfiles.end(), profile) != kHighProfiles.end()) {
        chroma_format = bits.ue();
        if (chroma_format > 3) return out;
        if (chroma_format == 3 && bits.flag()) chroma_format = 0; // separate colour planes
        bits.ue();                                                // bit depths
        bits.ue();
        bits.skip(1); // qpprime_y_zero_transform_bypass_flag
        if (bits.flag())
            for (unsigned i = 0; i < (chroma_format == 3 ? 12u : 8u); ++i)
                if (bits.flag()) skip_avc_scaling_list(bits, i < 6 ? 16 : 64);
    }
    bits.ue(); // log2_max_frame_num_minus4
    const std::uint32_t poc_type = bits.ue();
    if (poc_type == 0) {
        bits.ue();
    } else if (poc_type == 1) {
        bits.skip(1);
        bits.se();
        bits.se();
        const std::uint32_t cycle = bits.ue();
        if (cycle > 255) return out;
        for (std::uint32_t i = 0; i < cycle && bits.ok(); ++i)
            bits.se();
    }
    bits.ue();    // max_num_ref_frames
    bits.skip(1); // gaps_in_frame_num_value_allowed_flag
    const std::int64_t width_mbs = std::int64_t{bits.ue()} + 1;
    const std::int64_t height_units = std::int64_t{bits.ue()} + 1;
    const bool frames_only = bits.flag();
    if (!frames_only) bits.skip(1); // mb_adaptive_frame_field_flag
    bits.skip(1);                   // direct_8x8_inference_flag
    // Field-coded pictures count their height in pairs of macroblocks; the crop units follow
    // the chroma subsampling.
    const std::int64_t frame_factor = frames_only ? 1 : 2;
    const std::int64_t unit_x = chroma_format == 1 || chroma_format == 2 ? 2 : 1;
    const std::int64_t unit_y = (chroma_format == 1 ? 2 : 1) * frame_factor;
    out.size = cropped(bits, width_mbs * 16, height_units * 16 * frame_factor, unit_x, unit_y);
    if (!bits.flag()) return out;                       // no VUI
    if (bits.flag() && bits.u(8) == 255) bits.skip(32); // aspect ratio, extended SAR
    if (bits.flag()) bits.skip(1);                      // overscan
    if (bits.flag()) {                                  // video signal type
        bits.skip(4);
        if (bits.flag()) bits.skip(24); // colour description
    }
    if (bits.flag()) { // chroma sample location
        bits.ue();
        bits.ue();
    }
    if (!bits.flag()) return out; // no timing info
    const std::uint32_t units = bits.u(32), scale = bits.u(32);
    if (bits.ok()) out.rate = reduced(scale, std::uint64_t{2} * units);
    return out;
}

void skip_hevc_scaling_lists(Bits& bits) {
    for (unsigned size = 0; size < 4; ++size)
        for (unsigned matrix = 0; matrix < 6 && bits.ok(); matrix += size == 3 ? 3 : 1) {
            if (!bits.flag()) {
                bits.ue(); // scaling_list_pred_matrix_id_delta
                continue;
            }
            if (size > 1) bits.se(); // DC coefficient
            const unsigned coefficients = std::min(64u, 1u << (4 + (size << 1)));
            for (unsigned i = 0; i < coefficients && bits.ok(); ++i)
                bits.se();
        }
}

constexpr std::size_t kMaxRefPics = 16;
constexpr std::uint32_t kMaxRefPicSets = 64;

// A short-term reference picture set: the POC deltas of the pictures before and after.
struct RefPicSet {
    std::array<std::int64_t, kMaxRefPics> before{}, after{};
    std::size_t befores = 0, afters = 0;
};

// Adds `delta` to `list` when `use`; false when the list is full.
bool add_ref(std::array<std::int64_t, kMaxRefPics>& list, std::size_t& count, std::int64_t delta,
             bool use) {
    if (!use) return true;
    if (count == list.size()) return false;
    list[count++] = delta;
    return true;
}

// A short-term reference picture set of a sequence parameter set, predicted from the one before
// it (`previous`, none for the first) or given explicitly; absent when out of range. Which later
// syntax follows depends on how many pictures each set holds, so a predicted set is derived
// exactly: a predicted picture whose delta comes to 0 is dropped.
std::optional<RefPicSet> read_ref_pic_set(Bits& bits, const RefPicSet* previous) {
    RefPicSet set;
    if (previous && bits.flag()) {
        const RefPicSet& ref = *previous;
        const bool negative = bits.flag();
        const std::int64_t delta = (negative ? -1 : 1) * (std::int64_t{bits.ue()} + 1);
        // One use flag per picture of `ref` (before, then after), then one for `delta` itself.
        std::array<bool, 2 * kMaxRefPics + 1> use{};
        const std::size_t total = ref.befores + ref.afters;
        for (std::size_t j = 0; j <= total && bits.ok(); ++j)
            use[j] = bits.flag() || bits.flag(); // used_by_curr_pic_flag, else use_delta_flag
        bool fits_lists = true;
        for (std::size_t j = ref.afters; j-- > 0;) {
            const std::int64_t d = ref.after[j] + delta;
            fits_lists &= add_ref(set.before, set.befores, d, d < 0 && use[ref.befores + j]);
        }
        fits_lists &= add_ref(set.before, set.befores, delta, delta < 0 && use[total]);
        for (std::size_t j = 0; j < ref.befores; ++j) {
            const std::int64_t d = ref.before[j] + delta;
            fits_lists &= add_ref(set.before, set.befores, d, d < 0 && use[j]);
        }
        for (std::size_t j = ref.befores; j-- > 0;) {
            const std::int64_t d = ref.before[j] + delta;
            fits_lists &= add_ref(set.after, set.afters, d, d > 0 && use[j]);
        }
        fits_lists &= add_ref(set.after, set.afters, delta, delta > 0 && use[total]);
        for (std::size_t j = 0; j < ref.afters; ++j) {
            const std::int64_t d = ref.after[j] + delta;
            fits_lists &= add_ref(set.after, set.afters, d, d > 0 && use[ref.befores + j]);
        }
        if (!fits_lists || set.befores + set.afters > kMaxRefPics) return std::nullopt;
        return set;
    }
    const std::uint32_t befores = bits.ue(), afters = bits.ue();
    if (befores > kMaxRefPics || afters > kMaxRefPics - befores) return std::nullopt;
    std::int64_t poc = 0;
    for (std::uint32_t i = 0; i < befores && bits.ok(); ++i) {
        poc -= std::int64_t{bits.ue()} + 1;
        add_ref(set.before, set.befores, poc, true);
        bits.skip(1); // used_by_curr_pic_s0_flag
    }
    poc = 0;
    for (std::uint32_t i = 0; i < afters && bits.ok(); ++i) {
        poc += std::int64_t{bits.ue()} + 1;
        add_ref(set.after, set.afters, poc, true);
        bits.skip(1);
    }
    return set;
}

// An HEVC sequence parameter set (`nal` from its 2-byte header on, unescaped): the picture
// size inside its conformance window, and vui_time_scale / vui_num_units_in_tick; a member is
// absent when the set does not give it or is cut before it.
ParameterSet hevc_sps(Bytes nal) {
    ParameterSet out;
    Bits bits(nal);
    bits.skip(16 + 4); // NAL header, sps_video_parameter_set_id
    const unsigned sub_layers = bits.u(3);
    bits.skip(1);  // sps_temporal_id_nesting_flag
    bits.skip(96); // general profile, tier and level
    std::array<bool, 8> profile_present{}, level_present{};
    for (unsigned i = 0; i < sub_layers; ++i) {
        profile_present[i] = bits.flag();
        level_present[i] = bits.flag();
    }
    if (sub_layers > 0) bits.skip(std::size_t{2} * (8 - sub_layers));
    for (unsigned i = 0; i < sub_layers; ++i)
        bits.skip((profile_present[i] ? 88 : 0) + (level_present[i] ? 8 : 0));
    bits.ue(); // sps_seq_parameter_set_id
    std::uint32_t chroma_format = bits.ue();
    if (chroma_format > 3) return out;
    if (chroma_format == 3 && bits.flag()) chroma_format = 0; // separate colour planes
    const std::int64_t width = bits.ue(), height = bits.ue();
    const std::int64_t unit_x = chroma_format == 1 || chroma_format == 2 ? 2 : 1;
    const std::int64_t unit_y = chroma_format == 1 ? 2 : 1;
    out.size = cropped(bits, width, height, unit_x, unit_y);
    bits.ue(); // bit depths
    bits.ue();
    const std::uint32_t poc_lsb_bits = bits.ue() + 4;
    if (poc_lsb_bits > 16) return out;
    for (unsigned i = bits.flag() ? 0 : sub_layers; i <= sub_layers; ++i)
        for (int j = 0; j < 3; ++j)
            bits.ue(); // decoded picture buffering, reorder, latency
    for (int i = 0; i < 6; ++i)
        bits.ue(); // coding and transform block sizes, transform hierarchy depths
    if (bits.flag() && bits.flag()) skip_hevc_scaling_lists(bits);
    bits.skip(2);      // amp_enabled_flag, sample_adaptive_offset_enabled_flag
    if (bits.flag()) { // PCM
        bits.skip(8);
        bits.ue();
        bits.ue();
        bits.skip(1);
    }
    const std::uint32_t sets = bits.ue();
    if (sets > kMaxRefPicSets) return out;
    std::vector<RefPicSet> ref_pic_sets;
    ref_pic_sets.reserve(sets);
    for (std::uint32_t i = 0; i < sets && bits.ok(); ++i) {
        const std::optional<RefPicSet> set =
            read_ref_pic_set(bits, ref_pic_sets.empty() ? nullptr : &ref_pic_sets.back());
        if (!set) return out;
        ref_pic_sets.push_back(*set);
    }
    if (bits.flag()) { // long-term reference pictures
        const std::uint32_t count = bits.ue();
        if (count > 32) return out;
        bits.skip(std::size_t{count} * (poc_lsb_bits + 1));
    }
    bits.skip(2);                                       // temporal MVP, strong intra smoothing
    if (!bits.flag()) return out;                       // no VUI
    if (bits.flag() && bits.u(8) == 255) bits.skip(32); // aspect ratio, extended SAR
    if (bits.flag()) bits.skip(1);                      // overscan
    if (bits.flag()) {                                  // video signal type
        bits.skip(4);
        if (bits.flag()) bits.skip(24);
    }
    if (bits.flag()) { // chroma sample location
        bits.ue();
        bits.ue();
    }
    bits.skip(3);      // neutral chroma, field_seq, frame_field_info_present
    if (bits.flag()) { // default display window
        for (int i = 0; i < 4; ++i)
            bits.ue();
    }
    if (!bits.flag()) return out; // no timing info
    const std::uint32_t units = bits.u(32), scale = bits.u(32);
    if (bits.ok()) out.rate = reduced(scale, units);
    return out;
}

// AVC or HEVC: the codec by kind, the rate from the first sequence parameter set.
Video nal_video(Bytes es, VideoKind kind) {
    Video video;
    video.codec = kind == VideoKind::Avc ? "AVC" : "HEVC";
    for (std::size_t at = find_start(es, 0); at != kNone; at = find_start(es, at + 3)) {
        const std::uint8_t header = byte_at(es, at + 3);
        if (header & 0x80) continue; // forbidden_zero_bit
        const bool sps = kind == VideoKind::Avc ? (header & 0x1F) == 7
                                                : (header >> 1) == 33 && (header & 1) == 0 &&
                                                      (byte_at(es, at + 4) >> 3) == 0;
        if (!sps) continue;
        const std::vector<std::uint8_t> nal = unescape(tail(es, at + 3), video.settled);
        const ParameterSet set = kind == VideoKind::Avc ? avc_sps(nal) : hevc_sps(nal);
        video.rate = set.rate;
        video.size = set.size;
        break;
    }
    return video;
}

Video read_video(Bytes es, VideoKind kind) {
    return kind == VideoKind::Mpeg12 ? mpeg12_video(es) : nal_video(es, kind);
}

// ---- Audio ----

enum class AudioKind : std::uint8_t { Ac3, MpegAudio, Aac };

const char* format_name(AudioKind kind) {
    switch (kind) {
    case AudioKind::Ac3:
        return "AC-3";
    case AudioKind::MpegAudio:
        return "MPEG audio";
    case AudioKind::Aac:
        return "AAC";
    }
    return "";
}

// The first AC-3 sync frame's sample rate and channels.
void ac3_header(Bytes es, Audio& audio) {
    static constexpr std::array<std::uint32_t, 3> kRates = {48000, 44100, 32000};
    static constexpr std::array<unsigned, 8> kChannels = {2, 1, 2, 3, 3, 4, 4, 5}; // by acmod
    for (std::size_t at = 0; fits(es, at, 8); ++at) {
        if (es[at] != 0x0B || es[at + 1] != 0x77) continue;
        Bits bits(slice(es, at + 4, 4)); // after the sync word and crc1
        const unsigned fscod = bits.u(2), frame_size = bits.u(6), bsid = bits.u(5);
        bits.skip(3); // bsmod
        const unsigned acmod = bits.u(3);
        if (fscod == 3 || frame_size > 37 || bsid > 8) continue;
        if ((acmod & 1) != 0 && acmod != 1) bits.skip(2); // cmixlev
        if ((acmod & 4) != 0) bits.skip(2);               // surmixlev
        if (acmod == 2) bits.skip(2);                     // dsurmod
        const unsigned lfe = bits.u(1);
        if (!bits.ok()) return;
        audio.sample_rate = kRates[fscod];
        audio.channels = kChannels[acmod] + lfe;
        return;
    }
}

// The first MPEG audio (layer I to III) or ADTS frame header's sample rate and channels.
void mpeg_audio_header(Bytes es, AudioKind kind, Audio& audio) {
    static constexpr std::array<std::uint32_t, 3> kRates = {44100, 48000, 32000};
    static constexpr std::array<std::uint32_t, 13> kAacRates = {
        96000, 88200, 64000, 48000, 44100, 32000, 24000, 22050, 16000, 12000, 11025, 8000, 7350};
    for (std::size_t at = 0; fits(es, at, 4); ++at) {
        const std::uint32_t header = be(es, at, 4);
        if ((header >> 21) != 0x7FF) continue;
        const unsigned version = (header >> 19) & 3, layer = (header >> 17) & 3;
        if (kind == AudioKind::Aac) {
            const unsigned rate = (header >> 10) & 0xF;
            const unsigned channels = (header >> 6) & 7;
            if ((version & 2) == 0 || layer != 0 || rate >= kAacRates.size()) continue;
            audio.sample_rate = kAacRates[rate];
            if (channels != 0) audio.channels = channels == 7 ? 8 : channels;
            return;
        }
        const unsigned bitrate = (header >> 12) & 0xF, rate = (header >> 10) & 3;
        if (version == 1 || layer == 0 || bitrate == 15 || rate == 3 || (header & 3) == 2) continue;
        audio.sample_rate = kRates[rate] >> (version == 3 ? 0 : version == 2 ? 1 : 2);
        audio.channels = ((header >> 6) & 3) == 3 ? 1 : 2;
        return;
    }
}

Audio read_audio(Bytes es, AudioKind kind) {
    Audio audio;
    audio.format = format_name(kind);
    if (kind == AudioKind::Ac3)
        ac3_header(es, audio);
    else
        mpeg_audio_header(es, kind, audio);
    return audio;
}

// ---- Elementary streams being collected ----

// A video stream's bytes are checked when they reach 64 KiB, then each time they double.
constexpr std::size_t kFirstCheck = 64 << 10;

// The most payload kept of one audio stream: its first frames.
constexpr std::size_t kMaxAudioBytes = 64 << 10;
constexpr std::size_t kMaxAudioStreams = 32;
constexpr std::size_t kMaxPesHeader = 9 + 255;

enum class Track : std::uint8_t { Video, Audio };

struct Elementary {
    Track track = Track::Video;
    VideoKind video = VideoKind::Mpeg12;
    AudioKind audio = AudioKind::MpegAudio;
    unsigned key = 0;      // the PID (transport) or stream id and substream (program)
    std::uint8_t type = 0; // the stream type the program map gives
    std::vector<std::uint8_t> bytes;
    std::size_t cap = kReadLimit;
    // Video: the size at which the collected bytes are next checked for settled headers.
    std::size_t next_check = kFirstCheck;
    // Transport streams: the PES packet being read.
    enum class State : std::uint8_t { Idle, Header, Payload } state = State::Idle;
    std::vector<std::uint8_t> header;
    std::size_t remaining = 0; // payload bytes the PES packet length still allows
};

struct PesHeader {
    std::size_t size = 0;   // kNone when the bytes are no PES header
    std::size_t length = 0; // PES_packet_length: the bytes after it, 0 for unbounded
};

// The PES header at the start of `head`; absent while more bytes are needed.
std::optional<PesHeader> pes_header(Bytes head) {
    if (head.size() < 6) return std::nullopt;
    if (be(head, 0, 3) != 1) return PesHeader{kNone, 0};
    const std::uint8_t id = head[3];
    const std::size_t length = be(head, 4, 2);
    if (id == 0xBC || id == 0xBE || id == 0xBF || (id >= 0xF0 && id <= 0xF2) || id == 0xF8 ||
        id == 0xFF)
        return PesHeader{6, length};
    if (head.size() < 9) return std::nullopt;
    if (head[6] >> 6 != 2) return PesHeader{kNone, 0};
    const std::size_t size = 9 + std::size_t{head[8]};
    if (length != 0 && length < size - 6) return PesHeader{kNone, 0};
    if (head.size() < size) return std::nullopt;
    return PesHeader{size, length};
}

// Appends to a stream's bytes. A video stream stops collecting once its headers are settled:
// the rest of the head could not change what they give, and copying it costs most of a read.
void collect(Elementary& stream, Bytes bytes) {
    append(stream.bytes, bytes, stream.cap);
    if (stream.track != Track::Video || stream.bytes.size() < stream.next_check) return;
    stream.next_check = stream.bytes.size() * 2;
    if (read_video(stream.bytes, stream.video).settled) stream.cap = stream.bytes.size();
}

void take_payload(Elementary& stream, Bytes bytes) {
    const Bytes allowed = bytes.first(std::min(bytes.size(), stream.remaining));
    collect(stream, allowed);
    stream.remaining -= allowed.size();
}

// One transport packet's payload for `stream`; `start` when a PES packet begins in it.
void feed_pes(Elementary& stream, Bytes payload, bool start) {
    if (start) {
        stream.state = Elementary::State::Header;
        stream.header.clear();
    }
    if (stream.state == Elementary::State::Payload) return take_payload(stream, payload);
    if (stream.state != Elementary::State::Header) return;
    const std::size_t taken = std::min(payload.size(), kMaxPesHeader - stream.header.size());
    stream.header.insert(stream.header.end(), payload.begin(),
                         payload.begin() + static_cast<std::ptrdiff_t>(taken));
    const std::optional<PesHeader> header = pes_header(stream.header);
    if (!header) return;
    if (header->size == kNone) {
        stream.state = Elementary::State::Idle;
        return;
    }
    stream.state = Elementary::State::Payload;
    stream.remaining = header->length == 0 ? kNone : header->length - (header->size - 6);
    const std::vector<std::uint8_t> collected = std::move(stream.header);
    stream.header.clear();
    take_payload(stream, tail(collected, header->size));
    take_payload(stream, tail(payload, taken));
}

Elementary* find_track(std::vector<Elementary>& streams, unsigned key) {
    for (Elementary& stream : streams)
        if (stream.key == key) return &stream;
    return nullptr;
}

std::size_t audio_count(const std::vector<Elementary>& streams) {
    return static_cast<std::size_t>(
        std::count_if(streams.begin(), streams.end(),
                      [](const Elementary& s) { return s.track == Track::Audio; }));
}

Elementary video_track(unsigned key, VideoKind kind) {
    Elementary stream;
    stream.track = Track::Video;
    stream.video = kind;
    stream.key = key;
    return stream;
}

Elementary audio_track(unsigned key, AudioKind kind) {
    Elementary stream;
    stream.track = Track::Audio;
    stream.audio = kind;
    stream.key = key;
    stream.cap = kMaxAudioBytes;
    return stream;
}

// The result from the collected streams; absent when it holds nothing of use.
std::optional<Stream> finish(Stream stream, const std::vector<Elementary>& streams,
                             const std::optional<std::string>& fallback_codec) {
    for (const Elementary& es : streams) {
        if (es.track == Track::Audio) {
            stream.audio.push_back(read_audio(es.bytes, es.audio));
            continue;
        }
        const Video video = read_video(es.bytes, es.video);
        stream.codec = video.codec ? video.codec : fallback_codec;
        stream.frame_rate = video.rate;
        stream.timecode = video.timecode;
        stream.picture_size = video.size;
    }
    if (!stream.codec && !stream.frame_rate && !stream.timecode && stream.audio.empty())
        return std::nullopt;
    return stream;
}

// ---- Transport streams ----

constexpr std::size_t kPacket = 188;
// How far into the head the first packet or pack header may lie.
constexpr std::size_t kMaxLeadIn = 64 << 10;
constexpr std::size_t kSyncRun = 5; // sync bytes in a row that make a transport stream
constexpr std::size_t kMaxSection = 3 + 1021;

struct Sync {
    std::size_t first = 0;  // the first sync byte
    std::size_t stride = 0; // 188, or 192 with a 4-byte prefix
};

// Whether `count` sync bytes `stride` apart begin at `at`, or as many as the bytes hold when
// that is at least two.
bool synced(Bytes bytes, std::size_t at, std::size_t stride, std::size_t count) {
    std::size_t seen = 0;
    for (std::size_t p = at; seen < count && fits(bytes, p, kPacket); p += stride, ++seen)
        if (bytes[p] != 0x47) return false;
    return seen >= 2;
}

// The packet stride, from the first run of kSyncRun sync bytes within the lead-in. The walk
// starts at the first run of three, which may lie before it, so that the packets before a
// damaged one are read too.
std::optional<Sync> find_sync(Bytes bytes) {
    const std::size_t lead = std::min(bytes.size(), kMaxLeadIn);
    for (std::size_t at = 0; at < lead; ++at)
        for (const std::size_t stride : {std::size_t{188}, std::size_t{192}}) {
            if (!synced(bytes, at, stride, kSyncRun)) continue;
            for (std::size_t first = 0; first < at; ++first)
                if (synced(bytes, first, stride, 3)) return Sync{first, stride};
            return Sync{at, stride};
        }
    return std::nullopt;
}

// A PSI section (PAT or PMT) gathered over the packets of one PID.
struct Section {
    std::vector<std::uint8_t> bytes;
    bool open = false;
};

// Adds a packet's payload; the whole section once it is complete. A section longer than PSI
// allows is dropped.
std::optional<std::vector<std::uint8_t>> feed_section(Section& section, Bytes payload, bool start) {
    if (start) {
        const std::size_t pointer = byte_at(payload, 0);
        section.open = fits(payload, 1, pointer);
        section.bytes.clear();
        if (section.open) append(section.bytes, tail(payload, 1 + pointer), kMaxSection);
    } else if (section.open) {
        append(section.bytes, payload, kMaxSection);
    }
    if (!section.open || section.bytes.size() < 3) return std::nullopt;
    const std::size_t length = be(section.bytes, 1, 2) & 0x0FFF;
    if (length > kMaxSection - 3) {
        section.open = false;
        return std::nullopt;
    }
    if (section.bytes.size() < 3 + length) return std::nullopt;
    section.open = false;
    section.bytes.resize(3 + length);
    return std::move(section.bytes);
}

// The PMT PID of the first program in a PAT section; absent when there is none.
std::optional<unsigned> pmt_pid(Bytes section) {
    if (byte_at(section, 0) != 0x00 || (byte_at(section, 1) & 0x80) == 0) return std::nullopt;
    const std::size_t end = section.size() >= 12 ? section.size() - 4 : 0; // before the CRC
    for (std::size_t at = 8; at + 4 <= end; at += 4) {
        const unsigned program = be(section, at, 2), pid = be(section, at + 2, 2) & 0x1FFF;
        if (program != 0 && pid != 0 && pid != 0x1FFF) return pid;
    }
    return std::nullopt;
}

// Whether a descriptor loop marks AC-3: the DVB AC-3 descriptor, the ATSC one, or the
// registration "AC-3".
bool has_ac3_descriptor(Bytes descriptors) {
    for (std::size_t at = 0; fits(descriptors, at, 2);) {
        const std::uint8_t tag = descriptors[at];
        const std::size_t length = descriptors[at + 1];
        if (tag == 0x6A || tag == 0x81) return true;
        if (tag == 0x05 && length >= 4 && be(descriptors, at + 2, 4) == 0x41432D33) return true;
        at += 2 + length;
    }
    return false;
}

// The streams a PMT section lists: its first video stream and its audio streams, each PID
// once; absent when it is not a PMT.
std::optional<std::vector<Elementary>> pmt_streams(Bytes section, unsigned pmt) {
    if (byte_at(section, 0) != 0x02 || (byte_at(section, 1) & 0x80) == 0 || section.size() < 16)
        return std::nullopt;
    const std::size_t end = section.size() - 4;
    std::vector<Elementary> streams;
    bool video_seen = false;
    for (std::size_t at = 12 + (be(section, 10, 2) & 0x0FFF); at + 5 <= end;) {
        const std::uint8_t type = section[at];
        const unsigned pid = be(section, at + 1, 2) & 0x1FFF;
        const std::size_t info = be(section, at + 3, 2) & 0x0FFF;
        const Bytes descriptors = slice(section, at + 5, std::min(info, end - at - 5));
        at += 5 + info;
        if (pid == 0 || pid == pmt || pid == 0x1FFF || find_track(streams, pid)) continue;
        std::optional<VideoKind> video;
        std::optional<AudioKind> audio;
        if (type == 0x01 || type == 0x02) video = VideoKind::Mpeg12;
        if (type == 0x1B) video = VideoKind::Avc;
        if (type == 0x24) video = VideoKind::Hevc;
        if (type == 0x03 || type == 0x04) audio = AudioKind::MpegAudio;
        if (type == 0x0F) audio = AudioKind::Aac;
        if (type == 0x81 || (type == 0x06 && has_ac3_descriptor(descriptors)))
            audio = AudioKind::Ac3;
        if (video && !video_seen) {
            video_seen = true;
            streams.push_back(video_track(pid, *video));
            streams.back().type = type;
        } else if (audio && audio_count(streams) < kMaxAudioStreams) {
            streams.push_back(audio_track(pid, *audio));
        }
    }
    return streams;
}

std::optional<std::string> codec_of_type(unsigned type) {
    switch (type) {
    case 0x01:
        return "MPEG-1";
    case 0x02:
        return "MPEG-2";
    case 0x1B:
        return "AVC";
    case 0x24:
        return "HEVC";
    default:
        return std::nullopt;
    }
}

// Position of the next sync byte at or after `from` that starts a run; kNone when none.
std::size_t resync(Bytes bytes, std::size_t from, std::size_t stride) {
    for (std::size_t at = from; fits(bytes, at, kPacket); ++at)
        if (bytes[at] == 0x47 && (!fits(bytes, at + stride, kPacket) || bytes[at + stride] == 0x47))
            return at;
    return kNone;
}

std::optional<Stream> read_transport(Bytes bytes, Sync sync) {
    Section pat, pmt;
    std::optional<unsigned> pmt_at;
    bool mapped = false;
    std::vector<Elementary> streams;
    std::optional<std::string> type_codec;
    for (std::size_t at = sync.first; fits(bytes, at, kPacket); at += sync.stride) {
        if (bytes[at] != 0x47) {
            at = resync(bytes, at + 1, sync.stride);
            if (at == kNone) break;
        }
        const Bytes packet = bytes.subspan(at, kPacket);
        const bool error = (packet[1] & 0x80) != 0, start = (packet[1] & 0x40) != 0;
        const unsigned pid = be(packet, 1, 2) & 0x1FFF;
        const unsigned scrambling = packet[3] >> 6, control = (packet[3] >> 4) & 3;
        if (error || scrambling != 0 || (control & 1) == 0) continue;
        const std::size_t payload_at = (control & 2) != 0 ? 5 + std::size_t{packet[4]} : 4;
        if (payload_at > kPacket) continue;
        const Bytes payload = packet.subspan(payload_at);
        if (pid == 0 && !pmt_at) {
            if (const auto section = feed_section(pat, payload, start)) pmt_at = pmt_pid(*section);
        } else if (pmt_at && pid == *pmt_at && !mapped) {
            if (const auto section = feed_section(pmt, payload, start))
                if (auto listed = pmt_streams(*section, *pmt_at)) {
                    mapped = true;
                    streams = std::move(*listed);
                    for (Elementary& stream : streams)
                        if (stream.track == Track::Video) type_codec = codec_of_type(stream.type);
                }
        } else if (Elementary* stream = find_track(streams, pid)) {
            feed_pes(*stream, payload, start);
        }
    }
    Stream stream;
    stream.container = Container::TransportStream;
    stream.packet_size = static_cast<unsigned>(sync.stride);
    return finish(std::move(stream), streams, type_codec);
}

// ---- Program streams ----

// The size of the pack header at `at` (a pack start code), or 0 when it is malformed or cut.
std::size_t pack_size(Bytes bytes, std::size_t at) {
    const std::uint8_t first = byte_at(bytes, at + 4);
    if (first >> 6 == 1) { // MPEG-2
        if (!fits(bytes, at, 14)) return 0;
        return 14 + (bytes[at + 13] & 7);
    }
    if (first >> 4 == 2) return fits(bytes, at, 12) ? 12 : 0; // MPEG-1
    return 0;
}

// The first pack header within the lead-in; kNone when there is none.
std::size_t find_pack(Bytes bytes) {
    const Bytes lead = bytes.first(std::min(bytes.size(), kMaxLeadIn + 4));
    for (std::size_t at = find_start(lead, 0); at != kNone; at = find_start(lead, at + 3))
        if (byte_at(lead, at + 3) == 0xBA && pack_size(bytes, at) != 0) return at;
    return kNone;
}

// The payload of a program stream PES packet's content (after its length field), MPEG-1 or
// MPEG-2 header; absent when the header is malformed.
std::optional<Bytes> ps_payload(Bytes body) {
    if (byte_at(body, 0) >> 6 == 2) {
        const std::size_t size = 3 + std::size_t{byte_at(body, 2)};
        if (!fits(body, 0, size)) return std::nullopt;
        return tail(body, size);
    }
    // MPEG-1: up to 16 stuffing bytes, the STD buffer size, then the time stamps.
    std::size_t at = 0;
    while (at < 16 && byte_at(body, at) == 0xFF)
        ++at;
    if (byte_at(body, at) >> 6 == 1) at += 2;
    const std::uint8_t flags = byte_at(body, at);
    if (flags >> 4 == 2)
        at += 5; // PTS
    else if (flags >> 4 == 3)
        at += 10; // PTS and DTS
    else if (flags == 0x0F)
        at += 1;
    else
        return std::nullopt;
    if (at > body.size()) return std::nullopt;
    return tail(body, at);
}

// Stream types by stream id, from a program stream map.
using StreamMap = std::array<std::uint8_t, 256>;

void read_stream_map(Bytes body, StreamMap& map) {
    const std::size_t info = be(body, 2, 2);
    const std::size_t list_at = 4 + info;
    const Bytes list = slice(body, list_at + 2, be(body, list_at, 2));
    for (std::size_t at = 0; fits(list, at, 4); at += 4 + be(list, at + 2, 2))
        map[list[at + 1]] = list[at];
}

void ps_packet(std::uint8_t id, Bytes body, StreamMap& map, std::vector<Elementary>& streams) {
    if (id == 0xBC) return read_stream_map(body, map);
    const bool video = id >= 0xE0 && id <= 0xEF, mpeg_audio = id >= 0xC0 && id <= 0xDF;
    if (!video && !mpeg_audio && id != 0xBD) return;
    const std::optional<Bytes> payload = ps_payload(body);
    if (!payload) return;
    unsigned key = id;
    Bytes data = *payload;
    if (id == 0xBD) { // private stream 1: AC-3 substreams, behind a 4-byte header
        const std::uint8_t substream = byte_at(data, 0);
        if (substream < 0x80 || substream > 0x87) return;
        key = 0x100 | substream;
        data = tail(data, 4);
    }
    Elementary* stream = find_track(streams, key);
    if (!stream) {
        const std::size_t audio = audio_count(streams);
        if (video && audio != streams.size()) return; // only the first video stream is read
        if (!video && audio == kMaxAudioStreams) return;
        if (video) {
            const VideoKind kind = map[id] == 0x1B   ? VideoKind::Avc
                                   : map[id] == 0x24 ? VideoKind::Hevc
                                                     : VideoKind::Mpeg12;
            streams.push_back(video_track(key, kind));
        } else {
            const AudioKind kind = id == 0xBD                           ? AudioKind::Ac3
                                   : map[id] == 0x0F || map[id] == 0x11 ? AudioKind::Aac
                                                                        : AudioKind::MpegAudio;
            streams.push_back(audio_track(key, kind));
        }
        stream = &streams.back();
    }
    collect(*stream, data);
}

std::optional<Stream> read_program(Bytes bytes, std::size_t first) {
    StreamMap map{};
    std::vector<Elementary> streams;
    std::size_t pos = first;
    while (pos < bytes.size()) {
        const std::size_t at = find_start(bytes, pos);
        if (at == kNone || !fits(bytes, at, 4)) break;
        const std::uint8_t code = bytes[at + 3];
        if (code == 0xB9) break; // end code
        if (code == 0xBA) {
            const std::size_t size = pack_size(bytes, at);
            pos = at + (size != 0 ? size : 4);
            continue;
        }
        if (code < 0xBB) { // not a system start code: look for the next one
            pos = at + 4;
            continue;
        }
        if (!fits(bytes, at, 6)) break;
        const std::size_t length = be(bytes, at + 4, 2);
        ps_packet(code, slice(bytes, at + 6, length), map, streams);
        pos = at + 6 + length;
    }
    Stream stream;
    stream.container = Container::ProgramStream;
    return finish(std::move(stream), streams, std::nullopt);
}

// ---- Bare video ----

bool is_sequence_start(Bytes bytes) {
    const std::size_t at = find_start(bytes, 0);
    if (at == kNone || byte_at(bytes, at + 3) != 0xB3) return false;
    for (std::size_t i = 0; i < at; ++i)
        if (bytes[i] != 0) return false;
    return true;
}

std::optional<Stream> read_bytes(Bytes bytes) {
    if (const std::optional<Sync> sync = find_sync(bytes)) return read_transport(bytes, *sync);
    if (const std::size_t pack = find_pack(bytes); pack != kNone) return read_program(bytes, pack);
    if (!is_sequence_start(bytes.first(std::min<std::size_t>(bytes.size(), kMaxLeadIn))))
        return std::nullopt;
    const Video video = mpeg12_video(bytes);
    if (!video.codec && !video.timecode) return std::nullopt;
    Stream stream;
    stream.container = Container::VideoElementary;
    stream.codec = video.codec;
    stream.frame_rate = video.rate;
    stream.timecode = video.timecode;
    stream.picture_size = video.size;
    return stream;
}

} // namespace

std::optional<Stream> read(std::span<const std::uint8_t> head) {
    try {
        return read_bytes(head.first(std::min(head.size(), kReadLimit)));
    } catch (const std::exception&) {
        return std::nullopt;
    }
}

std::string to_text(const Rational& rate) {
    return std::to_string(rate.numerator) + "/" + std::to_string(rate.denominator);
}

} // namespace mpeg
