// Gyroflow CSV log reader. The file is decoded and checked in one streaming pass over fixed-size
// chunks: nothing but the current field (or a bounded header line) and the running figures the
// acceptance rules need are kept, so a log of hundreds of megabytes or a line of a million commas
// costs no more memory than a small one.
#include "motion/internal.hpp"

#include <array>
#include <charconv>
#include <cmath>
#include <cstdlib>
#include <string_view>

#include "io/io.hpp"
#include "text/text.hpp"

namespace motion {

namespace {

constexpr std::size_t kChunkBytes = std::size_t{64} << 10;
// Longest "tscale" or "vendor" value accepted; a longer one makes the log unacceptable.
constexpr std::size_t kMaxHeaderValue = 4096;
// Longest data field accepted; no number needs more, so a longer field is not a number.
constexpr std::size_t kMaxField = 1024;
constexpr std::uint64_t kMinRows = 20;

bool is_space(char32_t cp) {
    if (cp < 0x80) return cp == ' ' || (cp >= 0x09 && cp <= 0x0D);
    return text::is_white_space(cp);
}

// A decimal floating-point number filling the whole text: optional sign, digits with an
// optional point and exponent, or inf / infinity / nan in any case.
std::optional<double> gcsv_number(std::string_view s) {
    // Fast path for the common plain integers: up to 15 digits convert exactly.
    if (!s.empty() && s.size() <= 16) {
        std::size_t i = (s.front() == '-' || s.front() == '+') ? 1 : 0;
        if (i < s.size()) {
            std::uint64_t whole = 0;
            std::size_t j = i;
            for (; j < s.size() && s[j] >= '0' && s[j] <= '9'; ++j)
                whole = whole * 10 + static_cast<std::uint64_t>(s[j] - '0');
            if (j == s.size()) {
                double value = static_cast<double>(whole);
                return s.front() == '-' ? -value : value;
            }
        }
    }
    if (!s.empty() && s.front() == '+') {
        s.remove_prefix(1);
        if (!s.empty() && (s.front() == '-' || s.front() == '+')) return std::nullopt;
    }
    if (s.empty()) return std::nullopt;
    // Well-formed but beyond the double range: the rounded value (infinity or zero) stands.
    const auto parsed = text::parse_decimal(s, text::DecimalSyntax::General);
    if (!parsed) return std::nullopt;
    return parsed->value;
}

struct GcsvParser {
    enum class Stage { Magic, Header, Data };
    Stage stage = Stage::Magic;
    bool failed = false;

    // Magic and header lines: the trimmed line, bounded; white space after the text so far
    // waits in `pending` until more text shows it is inside the line.
    bool started = false;
    std::string content;
    std::string pending;
    bool pending_over = false;
    bool over = false;
    std::uint64_t commas = 0;

    // Data lines.
    bool trailing_space = false;
    std::string field;
    std::uint64_t fields = 0;
    double stamp = 0.0;

    // What the acceptance rules need.
    std::uint64_t columns = 0;
    std::optional<double> tscale;
    std::string vendor;
    std::uint64_t rows = 0;
    double first = 0.0;
    double last = 0.0;

    static constexpr std::size_t kLineCap = kMaxHeaderValue + 7; // key, comma and value

    void code_point(char32_t cp, const char* bytes, std::size_t len) {
        if (stage == Stage::Data)
            data_code_point(cp, bytes, len);
        else
            header_code_point(cp, bytes, len);
    }

    void header_code_point(char32_t cp, const char* bytes, std::size_t len) {
        if (is_space(cp)) {
            if (!started) return;
            if (pending_over || pending.size() + len > kLineCap)
                pending_over = true;
            else
                pending.append(bytes, len);
            return;
        }
        started = true;
        if (pending_over || content.size() + pending.size() > kLineCap) over = true;
        if (!over) content += pending;
        pending.clear();
        pending_over = false;
        if (!over && content.size() + len <= kLineCap)
            content.append(bytes, len);
        else
            over = true;
        if (cp == ',') ++commas;
    }

    void data_code_point(char32_t cp, const char* bytes, std::size_t len) {
        if (is_space(cp)) {
            if (started) trailing_space = true;
            return;
        }
        // White space followed by more text lies inside a field, which then is no number.
        if (trailing_space) {
            failed = true;
            return;
        }
        started = true;
        if (cp == ',') {
            end_field();
            return;
        }
        if (field.size() + len > kMaxField) {
            failed = true;
            return;
        }
        field.append(bytes, len);
    }

    // A run of bytes that are neither white space, commas nor line feeds, inside a data line.
    void data_run(const char* bytes, std::size_t len) {
        if (trailing_space || field.size() + len > kMaxField) {
            failed = true;
            return;
        }
        started = true;
        field.append(bytes, len);
    }

    void end_field() {
        if (++fields > columns) {
            failed = true;
            return;
        }
        auto value = gcsv_number(field);
        field.clear();
        // A timestamp that is not finite would give a duration of infinity or NaN.
        if (!value || !std::isfinite(*value)) {
            failed = true;
            return;
        }
        if (fields == 1) stamp = *value;
    }

    void end_line() {
        if (stage == Stage::Data)
            end_data_line();
        else if (stage == Stage::Magic)
            end_magic_line();
        else
            end_header_line();
        started = false;
        content.clear();
        pending.clear();
        pending_over = false;
        over = false;
        commas = 0;
        trailing_space = false;
        field.clear();
        fields = 0;
    }

    void end_magic_line() {
        if (over || (content != "CAMERA IMU LOG" && content != "GYROFLOW IMU LOG"))
            failed = true;
        else
            stage = Stage::Header;
    }

    void end_header_line() {
        if (content.empty()) return;
        std::string_view line = content;
        if (line.starts_with("t,")) {
            columns = commas + 1;
            stage = Stage::Data;
            return;
        }
        std::size_t comma = line.find(',');
        std::string_view key = line.substr(0, comma);
        if (key != "tscale" && key != "vendor") return;
        if (over) {
            failed = true;
            return;
        }
        std::string_view value =
            comma == std::string_view::npos ? std::string_view{} : line.substr(comma + 1);
        if (key == "tscale")
            tscale = gcsv_number(value);
        else
            vendor.assign(value);
    }

    void end_data_line() {
        if (!started) return;
        end_field();
        if (failed) return;
        if (fields != columns) {
            failed = true;
            return;
        }
        if (rows > 0 && stamp < last) {
            failed = true;
            return;
        }
        if (rows == 0) first = stamp;
        last = stamp;
        ++rows;
    }
};

// Bytes that stand for themselves inside a data field: ASCII other than white space, the comma
// and the line feed.
constexpr std::array<bool, 256> plain_bytes() {
    std::array<bool, 256> table{};
    for (std::size_t b = 0; b < 0x80; ++b)
        table[b] = b != ',' && b != ' ' && (b < 0x09 || b > 0x0D);
    return table;
}
constexpr std::array<bool, 256> kPlainBytes = plain_bytes();

} // namespace

std::optional<model::GyroLog> parse_gcsv(const fs::path& path) {
    auto file = io::open_regular(path);
    if (!file) return std::nullopt;
    GcsvParser parser;
    text::Utf8Decoder decoder;
    std::string buffer(kChunkBytes, '\0');
    for (;;) {
        auto got = io::read_some(*file, buffer.data(), buffer.size());
        if (!got) return std::nullopt;
        if (*got == 0) break;
        const char* data = buffer.data();
        for (std::size_t i = 0; i < *got; ++i) {
            auto byte = static_cast<unsigned char>(data[i]);
            if (decoder.need == 0 && parser.stage == GcsvParser::Stage::Data && kPlainBytes[byte]) {
                // Data lines are mostly digits: take the whole run at once.
                std::size_t end = i + 1;
                while (end < *got && kPlainBytes[static_cast<unsigned char>(data[end])])
                    ++end;
                parser.data_run(data + i, end - i);
                i = end - 1;
            } else if (decoder.need == 0 && parser.stage == GcsvParser::Stage::Data &&
                       byte == ',') {
                parser.data_code_point(',', data + i, 1);
            } else if (decoder.need == 0 && byte == '\n') {
                parser.end_line();
            } else {
                auto step = decoder.feed(byte);
                if (step == text::Utf8Decoder::Step::Bad) return std::nullopt;
                if (step == text::Utf8Decoder::Step::Done)
                    parser.code_point(decoder.cp, decoder.bytes.data(), decoder.len);
            }
            if (parser.failed) return std::nullopt;
        }
    }
    // A truncated sequence at the end is ill-formed; a first line without a following line
    // is no log.
    if (decoder.need != 0 || parser.stage == GcsvParser::Stage::Magic) return std::nullopt;
    parser.end_line();
    if (parser.failed || !parser.tscale || parser.stage != GcsvParser::Stage::Data ||
        parser.rows < kMinRows)
        return std::nullopt;
    double duration = *parser.tscale * (parser.last - parser.first);
    if (!(duration > 0.0) || !std::isfinite(duration)) return std::nullopt;
    double rate = static_cast<double>(parser.rows - 1) / duration;
    if (!std::isfinite(rate)) return std::nullopt;

    model::GyroLog log;
    log.duration_s = duration;
    log.kind = "GCSV";
    log.path = text::path_text(path);
    log.rate_hz = rate;
    log.samples = parser.rows;
    log.vendor = parser.vendor;
    return log;
}

} // namespace motion
