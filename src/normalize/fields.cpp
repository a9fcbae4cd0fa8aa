#include <algorithm>
#include <array>

#include "normalize/internal.hpp"
#include "normalize/normalize.hpp"
#include "text/text.hpp"

namespace normalize {

namespace {

using model::Field;
using model::Kind;
using model::RawTag;
using model::SourceRef;
using model::Status;

constexpr Kind kDeclared = Kind::Declared;
constexpr Kind kContainer = Kind::Container;

bool group_matches(std::string_view pattern, std::string_view group) {
    if (pattern == "*") return true;
    if (pattern.ends_with('*')) return group.starts_with(pattern.substr(0, pattern.size() - 1));
    return pattern == group;
}

// A start timecode read from the container, and how the field cites it.
struct ContainerTimecode {
    std::string text;
    model::SourceRef source;
};

// One field resolved from ranked candidates.
struct Row {
    std::string_view id;
    std::string_view section;
    std::span<const Candidate> candidates;
    Formatter format;
    AgreementTest agree;
};

constexpr Candidate kMake[] = {{"IFD0:Make", kDeclared},
                               {"UserData:Make", kDeclared},
                               {"Keys:CameraManufacturer", kDeclared},
                               {"Red:Make", kDeclared}};
constexpr Candidate kModel[] = {{"IFD0:Model", kDeclared},
                                {"UserData:Model", kDeclared},
                                {"Keys:CameraType", kDeclared},
                                {"Red:Model", kDeclared},
                                {"Red:CameraModel", kDeclared}};
constexpr Candidate kLens[] = {
    {"Canon:LensModel", kDeclared},    {"ExifIFD:LensModel", kDeclared},
    {"Panasonic:LensType", kDeclared}, {"Nikon:LensID", kDeclared},
    {"Keys:LensType", kDeclared},      {"Composite:LensID", Kind::Computed}};
constexpr Candidate kFocal[] = {{"ExifIFD:FocalLength", kDeclared},
                                {"Canon:FocalLength", kDeclared},
                                {"Keys:FocalLength", kDeclared},
                                {"Red:FocalLength", kDeclared}};
constexpr Candidate kFocusMode[] = {{"Canon:FocusMode", kDeclared},
                                    {"Panasonic:FocusMode", kDeclared},
                                    {"Nikon:FocusMode", kDeclared}};
constexpr Candidate kAperture[] = {{"ExifIFD:FNumber", kDeclared},
                                   {"Canon:FNumber", kDeclared},
                                   {"Keys:Aperture", kDeclared},
                                   {"Red:FNumber", kDeclared}};
constexpr Candidate kIso[] = {{"ExifIFD:ISO", kDeclared},
                              {"Panasonic:ISO", kDeclared},
                              {"Keys:ISO", kDeclared},
                              {"Red:ISO", kDeclared}};
constexpr Candidate kShutter[] = {{"ExifIFD:ExposureTime", kDeclared},
                                  {"Canon:ExposureTime", kDeclared},
                                  {"Keys:ShutterSpeed", kDeclared}};
constexpr Candidate kWbMode[] = {{"Canon:WhiteBalance", kDeclared},
                                 {"Panasonic:WhiteBalance", kDeclared},
                                 {"ExifIFD:WhiteBalance", kDeclared}};
constexpr Candidate kWbTemp[] = {{"Canon:ColorTemperature", kDeclared},
                                 {"Panasonic:ColorTempKelvin", kDeclared},
                                 {"Nikon:WhiteBalance", kDeclared},
                                 {"Red:ColorTemperature", kDeclared},
                                 {"Keys:ColorTemperature", kDeclared}};
// The MXF picture descriptor's display size first: exiftool's size there is the stored one.
constexpr Candidate kResolution[] = {{"zun-mxf:DisplaySize", Kind::Decoded},
                                     {"Composite:ImageSize", kContainer}};
// Where exiftool gives no size (an AVC or HEVC transport stream): the MPEG stream's own.
constexpr Candidate kResolutionRead[] = {{"zun-mpeg:PictureSize", Kind::Decoded}};
// QuickTime tracks first; then the MXF picture descriptor, AVI, MPEG and RED headers, and the
// engine's own reading of an MPEG stream's video.
constexpr Candidate kFrameRate[] = {
    {"Track*:VideoFrameRate", kContainer}, {"zun-mxf:SampleRate", Kind::Decoded},
    {"RIFF:VideoFrameRate", kContainer},   {"MPEG:FrameRate", kContainer},
    {"Red:FrameRate", kContainer},         {"zun-mpeg:FrameRate", Kind::Decoded}};
constexpr Candidate kCodec[] = {{"Track*:CompressorID", kContainer},
                                {"Track*:VideoCodec", kContainer},
                                {"zun-mxf:PictureEssenceCoding", Kind::Decoded},
                                {"RIFF:VideoCodec", kContainer},
                                {"Track*:CodecID", kContainer},
                                {"zun-mpeg:VideoCoding", Kind::Decoded}};
constexpr Candidate kDate[] = {{"ExifIFD:DateTimeOriginal", kDeclared},
                               {"QuickTime:CreateDate", kContainer},
                               {"Track1:TrackCreateDate", kContainer}};
// Where no tag above dates the clip: exiftool's date built from a header's date and time (the
// RED header's among them).
constexpr Candidate kDateBuilt[] = {{"Composite:DateTimeOriginal", Kind::Computed}};

// The camera and exposure rows, before the colour block.
const Row kCameraRows[] = {
    {"make", "camera", kMake, format_text, compare_text},
    {"camera_model", "camera", kModel, format_text, compare_text},
    {"lens", "camera", kLens, format_text, compare_text},
    {"focal_length", "camera", kFocal, format_focal_length, compare_numbers},
    {"focus_mode", "camera", kFocusMode, format_text, compare_text},
    {"aperture", "exposure", kAperture, format_f_number, compare_numbers},
    {"iso", "exposure", kIso, format_iso, compare_numbers},
    {"shutter", "exposure", kShutter, format_shutter, compare_numbers},
    {"wb_mode", "color", kWbMode, format_wb_mode, compare_white_balance},
    {"wb_temp", "color", kWbTemp, format_kelvin, compare_numbers},
};

// The file rows after the container colour labels.
const Row kResolutionRow = {"resolution", "file", kResolution, format_text, compare_text};
const Row kResolutionReadRow = {"resolution", "file", kResolutionRead, format_text, compare_text};
const Row kFrameRateRow = {"frame_rate", "file", kFrameRate, format_frame_rate, compare_numbers};
const Row kCodecRow = {"codec", "file", kCodec, format_text, compare_text};

const Row kDateRow = {"date_recorded", "file", kDate, format_text, always_same};
const Row kDateBuiltRow = {"date_recorded", "file", kDateBuilt, format_text, always_same};

// Formats only one maker's cameras write: the make their extension implies when no tag names
// one ("r3d" only when exiftool read the RED header). Blackmagic RAW is not among them: other
// makers' recorders write it too.
struct FormatMaker {
    std::string_view extension; // lower case
    std::string_view make;
    std::string_view rule;
};
constexpr FormatMaker kFormatMakers[] = {
    {"r3d", "RED", "R3D->RED"},
    {"ari", "ARRI", "ARI->ARRI"},
    {"crm", "Canon", "CRM->Canon"},
};

// Container colour labels: field id, the "Track*:" tag it comes from and the label the
// container readers decode for it.
struct ContainerLabel {
    std::string_view id;
    std::string_view tag;
    ColourLabel which;
};
constexpr ContainerLabel kContainerLabels[] = {
    {"container_primaries", "ColorPrimaries", ColourLabel::Primaries},
    {"container_transfer", "TransferCharacteristics", ColourLabel::Transfer},
    {"container_matrix", "MatrixCoefficients", ColourLabel::Matrix},
};

Field resolve(const TagIndex& index, const Row& row) {
    return resolve_field(index, row.id, row.section, row.candidates, row.format, row.agree);
}

// A timecode rate as a source cites it: the whole frames per second, " DF" when drop frame.
std::string timecode_rate(std::uint32_t base, bool drop_frame) {
    return std::to_string(base) + " fps" + (drop_frame ? " DF" : "");
}

ContainerTimecode quicktime_timecode(const tmcd::StartTimecode& tc) {
    return {tc.text, SourceRef{"zun-tmcd", "QuickTime", "tmcd",
                               timecode_rate(tc.frame_quanta, tc.drop_frame),
                               model::Json(tc.counter), Kind::Decoded}};
}

ContainerTimecode mxf_timecode(const mxf::Timecode& tc) {
    const auto drop = tc.drop_frame ? tmcd::DropFrame::Yes : tmcd::DropFrame::No;
    return {tmcd::counter_to_tc(tc.start, tc.rounded_base, drop),
            SourceRef{"zun-mxf", "MXF", "TimecodeComponent",
                      timecode_rate(tc.rounded_base, tc.drop_frame), model::Json(tc.start),
                      Kind::Decoded}};
}

// A value one of the engine's own readers decoded, under the key its candidate names
// ("reader:Tag"): `value` for the rows, `printed` and `raw` as the source cites them.
DecodedSource decoded_value(std::string_view key, std::string_view reader, std::string_view group,
                            std::string_view tag, model::Json value,
                            std::optional<std::string> printed, std::string raw) {
    return {key, RawTag{std::string(group), std::string(tag), std::nullopt, std::move(value)},
            SourceRef{std::string(reader), std::string(group), std::string(tag), std::move(printed),
                      model::Json(std::move(raw)), Kind::Decoded}};
}

// A decoded picture rate `numerator`/`denominator` (`raw` as read) as a number of frames per
// second, printed as the frame-rate row prints it; absent unless both parts are positive.
std::optional<DecodedSource> decoded_rate(std::string_view key, std::string_view reader,
                                          std::string_view group, std::string_view tag,
                                          std::int64_t numerator, std::int64_t denominator,
                                          std::string raw) {
    if (numerator <= 0 || denominator <= 0) return std::nullopt;
    const model::Json rate(static_cast<double>(numerator) / static_cast<double>(denominator));
    std::optional<std::string> text =
        format_frame_rate(RawTag{std::string(group), std::string(tag), std::nullopt, rate});
    return decoded_value(key, reader, group, tag, rate, std::move(text), std::move(raw));
}

std::string size_text(std::uint32_t width, std::uint32_t height) {
    return std::to_string(width) + "x" + std::to_string(height);
}

// A decoded picture size, "WxH" as value, printed text and raw value alike.
DecodedSource decoded_size(std::string_view key, std::string_view reader, std::string_view group,
                           std::string_view tag, std::uint32_t width, std::uint32_t height) {
    const std::string text = size_text(width, height);
    return decoded_value(key, reader, group, tag, model::Json(text), text, text);
}

// The MXF picture descriptor's values as the resolution, frame rate and codec rows see them: the
// sample rate as a number, the coding label as its codec family (an unknown label offers nothing).
std::vector<DecodedSource> mxf_sources(const mxf::Header& header) {
    std::vector<DecodedSource> out;
    if (const auto& rate = header.sample_rate)
        if (auto value = decoded_rate("zun-mxf:SampleRate", "zun-mxf", "MXF", "SampleRate",
                                      rate->numerator, rate->denominator, mxf::to_text(*rate)))
            out.push_back(std::move(*value));
    if (const auto& size = header.display_size)
        out.push_back(decoded_size("zun-mxf:DisplaySize", "zun-mxf", "MXF", "DisplaySize",
                                   size->width, size->height));
    if (header.picture_coding)
        if (std::optional<std::string> family = mxf::codec_family(*header.picture_coding))
            out.push_back(decoded_value("zun-mxf:PictureEssenceCoding", "zun-mxf", "MXF",
                                        "PictureEssenceCoding", model::Json(*family), family,
                                        mxf::label_text(*header.picture_coding)));
    return out;
}

// An MPEG stream's video as the resolution, frame rate and codec rows see it: the picture size,
// the sequence header's (or parameter set's) rate as a number, and the codec family.
void add_mpeg_sources(const mpeg::Stream& stream, std::vector<DecodedSource>& out) {
    if (const auto& rate = stream.frame_rate)
        if (auto value = decoded_rate("zun-mpeg:FrameRate", "zun-mpeg", "MPEG", "FrameRate",
                                      rate->numerator, rate->denominator, mpeg::to_text(*rate)))
            out.push_back(std::move(*value));
    if (const auto& size = stream.picture_size)
        out.push_back(decoded_size("zun-mpeg:PictureSize", "zun-mpeg", "MPEG", "PictureSize",
                                   size->width, size->height));
    if (stream.codec)
        out.push_back(decoded_value("zun-mpeg:VideoCoding", "zun-mpeg", "MPEG", "VideoCoding",
                                    model::Json(*stream.codec), stream.codec, *stream.codec));
}

// Whether `text` reads HH:MM:SS:FF or HH:MM:SS;FF (two or more frame digits). Exiftool prints
// an MXF start timecode as a duration in seconds, which must not pass for a timecode.
bool timecode_shaped(std::string_view text) {
    const auto digit = [&](std::size_t at) { return text[at] >= '0' && text[at] <= '9'; };
    if (text.size() < 11) return false;
    for (std::size_t at : {0, 1, 3, 4, 6, 7})
        if (!digit(at)) return false;
    if (text[2] != ':' || text[5] != ':' || (text[8] != ':' && text[8] != ';')) return false;
    for (std::size_t at = 9; at < text.size(); ++at)
        if (!digit(at)) return false;
    return true;
}

Field timecode_field(const TagIndex& index, const std::optional<ContainerTimecode>& tc,
                     const std::optional<mpeg::Stream>& stream) {
    Field out = unavailable_field("timecode", "file");
    if (tc) {
        out.value = tc->text;
        out.status = Status::Found;
        out.primary = tc->source;
    }
    // Exiftool's timecodes: an alternate beside a container value; otherwise the value, when
    // shaped like a timecode, so that the Sony document's LTC start can still fill the field.
    for (std::string_view key : {"*:StartTimecode", "Matroska:Timecode"}) {
        const RawTag* tag = index.find(key);
        if (tag == nullptr) continue;
        std::string text = display_text(*tag);
        if (is_placeholder(text)) continue;
        if (out.value) {
            out.alternates.push_back(exiftool_source(*tag, kContainer));
        } else if (timecode_shaped(text)) {
            out = declared_field("timecode", "file", text, *tag);
            out.primary->kind = kContainer;
        }
    }
    // An MPEG stream's first GOP header, where nothing else gave a timecode.
    if (!out.value && stream && stream->timecode) {
        out.value = *stream->timecode;
        out.status = Status::Found;
        out.primary = SourceRef{
            "zun-mpeg",   "MPEG", "GopTimecode", *stream->timecode, model::Json(*stream->timecode),
            Kind::Decoded};
    }
    return out;
}

// The resolution: for MXF the descriptor's display size, else exiftool's, else an MPEG stream's
// own. Exiftool's size of an MXF picture is the stored one (of one field in field layouts),
// another quantity: equal to it, it does not make the sources differ.
Field resolution_field(const TagIndex& index, const std::optional<mxf::Header>& mxf) {
    Field out = resolve(index, kResolutionRow);
    if (!out.value) return resolve(index, kResolutionReadRow);
    if (out.status != Status::SourcesDiffer || !mxf || !mxf->stored_size) return out;
    // Sources differ only with both candidates there: the display size and exiftool's.
    const RawTag* size = index.find("Composite:ImageSize");
    if (size == nullptr) return out;
    const mxf::Size& stored = *mxf->stored_size;
    const auto layout = mxf->frame_layout;
    const bool fields =
        layout == mxf::FrameLayout::SeparateFields || layout == mxf::FrameLayout::MixedFields;
    const std::string text = display_text(*size);
    if (text == size_text(stored.width, stored.height) ||
        (fields && text == size_text(stored.width, stored.height / 2))) {
        out.status = Status::Found;
        out.note.reset();
    }
    return out;
}

// A Matroska clip's codec is its video track's: exiftool's CodecID or VideoCodecID tag with that
// track's id when there is one, else the reader's. Absent without a video track with an id.
std::optional<Field> matroska_codec(const TagIndex& index, const std::optional<mkv::Tracks>& mkv) {
    const mkv::Track* video = mkv ? mkv::first_video(*mkv) : nullptr;
    if (!video || video->codec_id.empty()) return std::nullopt;
    Field out;
    out.id = "codec";
    out.section = "file";
    out.value = video->codec_id;
    out.status = Status::Found;
    for (const RawTag& tag : index.tags)
        if ((tag.name == "CodecID" || tag.name == "VideoCodecID") &&
            display_text(tag) == video->codec_id) {
            out.primary = exiftool_source(tag, kContainer);
            return out;
        }
    out.primary = SourceRef{
        "zun-mkv",    "Matroska", "CodecID", video->codec_id, model::Json(video->codec_id),
        Kind::Decoded};
    return out;
}

// A value one of the format rules gives: status computed, the rule as primary.
Field format_rule_field(std::string_view id, std::string_view value, std::string_view rule,
                        std::string_view ext) {
    Field out;
    out.id = id;
    out.section = id == "make" ? "camera" : "file";
    out.value = std::string(value);
    out.status = Status::Computed;
    out.primary = SourceRef{
        "zun-rule",    "format", std::string(rule), std::nullopt, model::Json(std::string(ext)),
        Kind::Computed};
    return out;
}

bool has_red_header(const TagIndex& index) {
    return std::any_of(index.tags.begin(), index.tags.end(),
                       [](const RawTag& tag) { return tag.group == "Red"; });
}

// Fills the make of a format only one maker writes, with the model tag as alternate, and the
// codec of a RED file, where no tag gave them.
void apply_format_rules(std::vector<Field>& fields, const TagIndex& index, std::string_view ext) {
    const std::string lowered = text::lower(ext);
    const bool red = lowered == "r3d" && has_red_header(index);
    for (const FormatMaker& maker : kFormatMakers) {
        if (maker.extension != lowered || (lowered == "r3d" && !red)) continue;
        Field made = format_rule_field("make", maker.make, maker.rule, ext);
        for (const Candidate& candidate : kModel)
            if (const RawTag* tag = index.find(candidate.key)) {
                made.alternates.push_back(exiftool_source(*tag, kDeclared));
                break;
            }
        offer_field(fields, std::move(made));
    }
    if (red) offer_field(fields, format_rule_field("codec", "REDCODE", "R3D->REDCODE", ext));
}

Field file_size_field(std::uint64_t size, std::string_view ext) {
    Field out;
    out.id = "file_size";
    out.section = "file";
    out.value = decimal_text(static_cast<double>(size) / 1048576.0, 1) + " MB";
    out.status = Status::Computed;
    out.note = text::lower(ext);
    return out;
}

} // namespace

const RawTag* TagIndex::find(std::string_view key) const {
    const auto colon = key.find(':');
    if (colon == std::string_view::npos) return nullptr;
    const std::string_view pattern = key.substr(0, colon);
    const std::string_view name = key.substr(colon + 1);
    for (const RawTag& tag : tags)
        if (tag.name == name && group_matches(pattern, tag.group)) return &tag;
    return nullptr;
}

const DecodedSource* TagIndex::find_decoded(std::string_view key) const {
    for (const DecodedSource& entry : decoded)
        if (entry.key == key) return &entry;
    return nullptr;
}

SourceRef exiftool_source(const RawTag& tag, Kind kind) {
    return SourceRef{"exiftool", tag.group, tag.name, tag.printed, tag.raw, kind};
}

Field resolve_field(const TagIndex& index, std::string_view id, std::string_view section,
                    std::span<const Candidate> candidates, Formatter format, AgreementTest agree) {
    Field out = unavailable_field(id, section);
    const RawTag* primary = nullptr;
    for (const Candidate& candidate : candidates) {
        const DecodedSource* decoded = index.find_decoded(candidate.key);
        const RawTag* tag = decoded ? &decoded->value : index.find(candidate.key);
        if (tag == nullptr) continue;
        std::optional<std::string> text = format(*tag);
        if (!text) continue;
        const auto source = [&] {
            return decoded ? decoded->source : exiftool_source(*tag, candidate.kind);
        };
        if (primary == nullptr) {
            primary = tag;
            out.value = std::move(*text);
            out.primary = source();
            out.status = Status::Found;
            continue;
        }
        switch (agree(*primary, *tag)) {
        case Agreement::Same:
            break;
        case Agreement::Close:
            if (*text != *out.value && !out.note) out.note = "close_values";
            break;
        case Agreement::Different:
            out.status = Status::SourcesDiffer;
            out.note = "differs";
            break;
        }
        out.alternates.push_back(source());
    }
    return out;
}

Field declared_field(std::string_view id, std::string_view section, std::string_view value,
                     const RawTag& tag, std::optional<std::string_view> note) {
    Field out;
    out.id = id;
    out.section = section;
    out.value = std::string(value);
    out.primary = exiftool_source(tag, kDeclared);
    if (note) out.note = std::string(*note);
    out.status = Status::Found;
    return out;
}

Field implied_gamut(std::string_view value, std::string_view rule, const RawTag& tag) {
    Field out;
    out.id = "gamut";
    out.section = "color";
    out.value = std::string(value);
    out.primary =
        SourceRef{"zun-rule", "pair", std::string(rule), tag.printed, tag.raw, Kind::Computed};
    out.alternates.push_back(exiftool_source(tag, kDeclared));
    out.note = "pair_rule";
    out.status = Status::Computed;
    return out;
}

Field unavailable_field(std::string_view id, std::string_view section,
                        std::optional<std::string_view> note) {
    Field out;
    out.id = id;
    out.section = section;
    if (note) out.note = std::string(*note);
    out.status = Status::Unavailable;
    return out;
}

void offer_field(std::vector<Field>& fields, Field offered) {
    Field* existing = model::find_field(fields, offered.id);
    if (!existing)
        fields.push_back(std::move(offered));
    else if (!existing->value)
        *existing = std::move(offered);
}

std::vector<Field> build_fields(const std::vector<RawTag>& tags, const Readings& readings,
                                std::uint64_t size, std::string_view ext) {
    const std::optional<tmcd::StartTimecode>& tc = readings.timecode;
    const std::optional<mxf::Header>& mxf = readings.mxf;
    const std::optional<sony::Sony>& sony = readings.sony;
    std::vector<DecodedSource> decoded = mxf ? mxf_sources(*mxf) : std::vector<DecodedSource>{};
    if (readings.mpeg) add_mpeg_sources(*readings.mpeg, decoded);
    const TagIndex idx{tags, decoded};
    std::optional<ContainerTimecode> timecode;
    if (tc)
        timecode = quicktime_timecode(*tc);
    else if (mxf && mxf->timecode)
        timecode = mxf_timecode(*mxf->timecode);
    std::vector<Field> out;
    out.reserve(40);
    for (const Row& row : kCameraRows)
        out.push_back(resolve(idx, row));
    out.push_back(unavailable_field("tint", "color", "no_source_tag"));
    append_color_block(out, idx, readings.canon, sony);
    for (const ContainerLabel& label : kContainerLabels) {
        Field field = container_field(idx, label.id, label.tag);
        if (!field.value)
            if (std::optional<Field> read = decoded_label_field(readings, label.id, label.which))
                field = std::move(*read);
        out.push_back(std::move(field));
    }
    out.push_back(resolution_field(idx, mxf));
    out.push_back(resolve(idx, kFrameRateRow));
    std::optional<Field> mkv_codec = matroska_codec(idx, readings.mkv);
    out.push_back(mkv_codec ? std::move(*mkv_codec) : resolve(idx, kCodecRow));
    out.push_back(timecode_field(idx, timecode, readings.mpeg));
    out.push_back(audio_field(idx, readings));
    Field date = resolve(idx, kDateRow);
    out.push_back(date.value ? std::move(date) : resolve(idx, kDateBuiltRow));
    if (sony) fill_from_sony(out, *sony);
    apply_format_rules(out, idx, ext);
    out.push_back(file_size_field(size, ext));
    return out;
}

} // namespace normalize
