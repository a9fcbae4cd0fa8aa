// Picture and sound values the engine's own container readers complete: colour labels read as
// code points from MXF and Matroska, and the audio summary over every audio track.
#include <algorithm>
#include <array>
#include <charconv>
#include <span>
#include <string>

#include "normalize/internal.hpp"
#include "text/text.hpp"

namespace normalize {

namespace {

using model::Field;
using model::Kind;
using model::RawTag;
using model::SourceRef;
using model::Status;

// Names of ISO/IEC 23091-2 code points as exiftool prints them for a QuickTime "colr" box, so a
// label reads the same whichever container carried it. "Unspecified" (2) is left out: it says
// nothing.
struct LabelName {
    int code;
    std::string_view name;
};

constexpr LabelName kPrimaryNames[] = {
    {1, "BT.709"},
    {4, "BT.470 System M (historical)"},
    {5, "BT.470 System B, G (historical)"},
    {6, "BT.601"},
    {7, "SMPTE 240"},
    {8, "Generic film (color filters using illuminant C)"},
    {9, "BT.2020, BT.2100"},
    {10, "SMPTE 428 (CIE 1921 XYZ)"},
    {11, "SMPTE RP 431-2"},
    {12, "SMPTE EG 432-1"},
    {22, "EBU Tech. 3213-E"},
};

constexpr LabelName kTransferNames[] = {
    {1, "BT.709"},
    {4, "BT.470 System M (historical)"},
    {5, "BT.470 System B, G (historical)"},
    {6, "BT.601"},
    {7, "SMPTE 240 M"},
    {8, "Linear"},
    {9, "Logarithmic (100 : 1 range)"},
    {10, "Logarithmic (100 * Sqrt(10) : 1 range)"},
    {11, "IEC 61966-2-4"},
    {12, "BT.1361"},
    {13, "sRGB or sYCC"},
    {14, "BT.2020 10-bit systems"},
    {15, "BT.2020 12-bit systems"},
    {16, "SMPTE ST 2084, ITU BT.2100 PQ"},
    {17, "SMPTE ST 428"},
    {18, "BT.2100 HLG, ARIB STD-B67"},
};

constexpr LabelName kMatrixNames[] = {
    {0, "Identity matrix"},
    {1, "BT.709"},
    {4, "US FCC 73.628"},
    {5, "BT.470 System B, G (historical)"},
    {6, "BT.601"},
    {7, "SMPTE 240 M"},
    {8, "YCgCo"},
    {9, "BT.2020 non-constant luminance, BT.2100 YCbCr"},
    {10, "BT.2020 constant luminance"},
    {11, "SMPTE ST 2085 YDzDx"},
    {12, "Chromaticity-derived non-constant luminance"},
    {13, "Chromaticity-derived constant luminance"},
    {14, "BT.2100 ICtCp"},
};

std::optional<std::string_view> code_name(std::span<const LabelName> names, int code) {
    for (const LabelName& entry : names)
        if (entry.code == code) return entry.name;
    return std::nullopt;
}

// A label's code point as one reader gives it, and how the field cites it.
struct LabelReading {
    std::optional<int> code;
    std::string_view reader;
    std::string_view group;
    std::string_view tag;
};

std::optional<int> to_code(const std::optional<unsigned>& value) {
    if (!value) return std::nullopt;
    return static_cast<int>(*value); // a Matroska code point is at most 255
}

// The MXF picture descriptor's label first, then the Matroska video track's colour.
std::array<LabelReading, 2> label_readings(const Readings& readings, ColourLabel which) {
    std::array<LabelReading, 2> out{};
    if (const auto& header = readings.mxf) {
        switch (which) {
        case ColourLabel::Primaries:
            out[0] = {header->color_primaries, "zun-mxf", "MXF", "ColorPrimaries"};
            break;
        case ColourLabel::Transfer:
            out[0] = {header->transfer_characteristic, "zun-mxf", "MXF", "TransferCharacteristic"};
            break;
        case ColourLabel::Matrix:
            out[0] = {header->coding_equations, "zun-mxf", "MXF", "CodingEquations"};
            break;
        }
    }
    const mkv::Track* video = readings.mkv ? mkv::first_video(*readings.mkv) : nullptr;
    if (video && video->colour) {
        const mkv::Colour& colour = *video->colour;
        switch (which) {
        case ColourLabel::Primaries:
            out[1] = {to_code(colour.primaries), "zun-mkv", "Matroska", "Primaries"};
            break;
        case ColourLabel::Transfer:
            out[1] = {to_code(colour.transfer), "zun-mkv", "Matroska", "TransferCharacteristics"};
            break;
        case ColourLabel::Matrix:
            out[1] = {to_code(colour.matrix), "zun-mkv", "Matroska", "MatrixCoefficients"};
            break;
        }
    }
    return out;
}

// ---- Audio ----

// A sample rate tag in Hz: its printed text when that is a plain positive decimal (exiftool's
// numeric value of AC-3 audio is a rate code, 0 for 48 kHz), else its number; 0 when neither
// is usable.
double sample_rate(const RawTag& tag) {
    if (tag.printed) {
        // The fixed decimal syntax without a sign or a bare point: digits, optionally "." digits.
        const std::string_view text = text::trim(*tag.printed);
        const bool plain =
            !text.empty() && text.front() != '-' && text.front() != '.' && text.back() != '.';
        if (plain)
            if (auto parsed = text::parse_decimal(text, text::DecimalSyntax::Fixed);
                parsed && !parsed->out_of_range && parsed->value > 0.0)
                return parsed->value;
    }
    return numeric_value(tag).value_or(0.0);
}

// One audio track as the audio summary counts it: exiftool's rate tag, or a stream only one of
// the engine's readers found; and its channel count when a source gives one.
struct AudioTrack {
    const RawTag* rate = nullptr;
    const mpeg::Audio* stream = nullptr;
    std::optional<double> channels;
    bool counted_by_tag = false;
};

// A positive channel count from a tag's numeric value.
std::optional<double> positive(const RawTag* tag) {
    if (tag == nullptr) return std::nullopt;
    std::optional<double> value = numeric_value(*tag);
    if (!value || !(*value > 0.0)) return std::nullopt;
    return value;
}

// MPEG audio's channel mode: single channel is one, stereo, joint stereo and dual channel two.
std::optional<double> channel_mode_count(const RawTag* tag) {
    if (tag == nullptr) return std::nullopt;
    if (tag->printed) return text::lower(*tag->printed).find("single") != std::string::npos ? 1 : 2;
    if (auto code = numeric_value(*tag)) return *code == 3.0 ? 1 : 2;
    return std::nullopt;
}

// The AAC channel configuration of track `group` ("Track<N>") from its "esds" box.
std::optional<double> aac_channels(const Readings& readings, std::string_view group) {
    if (!readings.aac || !group.starts_with("Track")) return std::nullopt;
    const std::string_view number = group.substr(5);
    std::uint32_t position = 0;
    const auto [end, error] =
        std::from_chars(number.data(), number.data() + number.size(), position);
    if (error != std::errc{} || end != number.data() + number.size() || number.front() == '0')
        return std::nullopt;
    for (const esds::AacTrack& track : *readings.aac)
        if (track.track == position && track.config.channels) return *track.config.channels;
    return std::nullopt;
}

// The exiftool group that describes the same kind of stream as a reader's audio format.
std::string_view group_of_format(std::string_view format) {
    if (format == "AC-3") return "AC3";
    if (format == "MPEG audio") return "MPEG";
    return {};
}

std::vector<AudioTrack> audio_tracks(const TagIndex& index, const Readings& readings) {
    std::vector<AudioTrack> tracks;
    for (const RawTag& tag : index.tags) {
        if (tag.name != "AudioSampleRate") continue;
        AudioTrack track{&tag, nullptr, std::nullopt, false};
        for (std::string_view name : {":AudioChannels", ":ChannelCount", ":NumChannels"})
            if (!track.channels)
                track.channels = positive(index.find(tag.group + std::string(name)));
        track.counted_by_tag = track.channels.has_value();
        // An ISO sample entry's count is often a template 2; the decoder configuration is not.
        if (auto aac = aac_channels(readings, tag.group)) track.channels = aac;
        tracks.push_back(track);
    }
    // Exiftool prints an MPEG audio frame header's rate as SampleRate, without AudioSampleRate.
    const RawTag* mpeg_rate = index.find("MPEG:SampleRate");
    const bool mpeg_listed = std::any_of(
        tracks.begin(), tracks.end(), [](const AudioTrack& t) { return t.rate->group == "MPEG"; });
    if (mpeg_rate && !mpeg_listed) {
        AudioTrack track{mpeg_rate, nullptr, std::nullopt, false};
        track.channels = channel_mode_count(index.find("MPEG:ChannelMode"));
        tracks.push_back(track);
    }
    // The transport or program stream's own audio streams: each meets the exiftool track of its
    // kind, or is a track of its own. For MPEG audio the stream's own frame header outranks
    // exiftool's channel mode, which may come from a false sync elsewhere in the file.
    if (readings.mpeg) {
        std::vector<bool> taken(tracks.size(), false);
        for (const mpeg::Audio& stream : readings.mpeg->audio) {
            const std::string_view group = group_of_format(stream.format);
            AudioTrack* match = nullptr;
            for (std::size_t i = 0; i < tracks.size() && !group.empty(); ++i)
                if (!taken[i] && tracks[i].rate && tracks[i].rate->group == group) {
                    taken[i] = true;
                    match = &tracks[i];
                    break;
                }
            const std::optional<double> count =
                stream.channels ? std::optional<double>(*stream.channels) : std::nullopt;
            if (match) {
                match->stream = &stream;
                if (count && (!match->counted_by_tag || group == "MPEG")) match->channels = count;
            } else {
                tracks.push_back(AudioTrack{nullptr, &stream, count, false});
                taken.push_back(true);
            }
        }
    }
    return tracks;
}

// A QuickTime sample entry's sample size is a fixed 16 where its format says otherwise: the
// format's own depth for 24- and 32-bit integer and float PCM, none for AAC (a compressed
// stream has no sample size). Other formats keep the tag's number.
std::optional<double> bit_depth(const TagIndex& index, const RawTag& bits) {
    if (const RawTag* format = index.find(bits.group + ":AudioFormat")) {
        const std::string name = display_text(*format);
        if (name == "mp4a") return std::nullopt;
        for (const auto& [fourcc, depth] : {std::pair{"in24", 24.0}, std::pair{"in32", 32.0},
                                            std::pair{"fl32", 32.0}, std::pair{"fl64", 64.0}})
            if (name == fourcc) return depth;
    }
    return numeric_value(bits);
}

// An audio stream's rate as the MPEG reader read it from the stream's own header.
SourceRef mpeg_rate_source(std::uint32_t hz) {
    return SourceRef{"zun-mpeg",         "MPEG",          "AudioSampleRate",
                     std::to_string(hz), model::Json(hz), Kind::Decoded};
}

} // namespace

std::optional<Field> decoded_label_field(const Readings& readings, std::string_view id,
                                         ColourLabel which) {
    std::span<const LabelName> names = kMatrixNames;
    if (which == ColourLabel::Primaries) names = kPrimaryNames;
    if (which == ColourLabel::Transfer) names = kTransferNames;
    for (const LabelReading& reading : label_readings(readings, which)) {
        if (!reading.code) continue;
        const std::optional<std::string_view> name = code_name(names, *reading.code);
        if (!name) continue;
        Field out;
        out.id = id;
        out.section = "color";
        out.value = std::string(*name);
        out.status = Status::Found;
        out.primary = SourceRef{std::string(reading.reader), std::string(reading.group),
                                std::string(reading.tag),    std::string(*name),
                                model::Json(*reading.code),  Kind::Decoded};
        out.note = "container_label";
        return out;
    }
    return std::nullopt;
}

Field audio_field(const TagIndex& index, const Readings& readings) {
    std::vector<AudioTrack> tracks = audio_tracks(index, readings);
    const std::optional<mxf::Header>& mxf = readings.mxf;
    // The MXF sound descriptors' channels, summed, when no exiftool tag counted any (or there is
    // no exiftool track at all).
    std::optional<double> mxf_total;
    if (mxf && mxf->channel_count &&
        std::none_of(tracks.begin(), tracks.end(),
                     [](const AudioTrack& t) { return t.channels.has_value(); }))
        mxf_total = *mxf->channel_count;

    // The rate: exiftool's first rate tag (AudioSampleRate before MPEG's SampleRate), else the
    // first rate a reader read.
    double rate = 0.0;
    std::optional<SourceRef> primary;
    for (const AudioTrack& track : tracks)
        if (track.rate) {
            rate = sample_rate(*track.rate);
            primary = exiftool_source(*track.rate, Kind::Container);
            break;
        }
    for (std::size_t i = 0; i < tracks.size() && !primary; ++i)
        if (tracks[i].stream && tracks[i].stream->sample_rate) {
            const std::uint32_t hz = *tracks[i].stream->sample_rate;
            rate = hz;
            primary = mpeg_rate_source(hz);
        }
    if (!primary && tracks.empty() && mxf && mxf->channel_count && mxf->audio_sample_rate &&
        mxf->audio_sample_rate->numerator > 0 && mxf->audio_sample_rate->denominator > 0) {
        const mxf::Rational& hz = *mxf->audio_sample_rate;
        rate = static_cast<double>(hz.numerator) / static_cast<double>(hz.denominator);
        primary = SourceRef{"zun-mxf",
                            "MXF",
                            "AudioSampleRate",
                            decimal_text(rate, 3),
                            model::Json(mxf::to_text(hz)),
                            Kind::Decoded};
    }
    if (!primary) return unavailable_field("audio", "file");

    double channels = 0.0;
    for (const AudioTrack& track : tracks)
        channels += track.channels.value_or(1.0);
    if (mxf_total) channels = *mxf_total;
    std::string suffix;
    if (const RawTag* bits = index.find("*:AudioBitsPerSample"))
        if (auto depth = bit_depth(index, *bits))
            suffix = " \u00b7 " + integer_text(*depth) + "-bit";
    Field out;
    out.id = "audio";
    out.section = "file";
    out.value =
        integer_text(channels) + " ch \u00b7 " + decimal_text(rate / 1000.0, 1) + " kHz" + suffix;
    out.status = Status::Found;
    out.primary = std::move(primary);
    return out;
}

} // namespace normalize
