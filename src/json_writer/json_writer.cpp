#include "json_writer/internal.hpp"

#include <charconv>
#include <cmath>
#include <cstdlib>

namespace json_writer {

namespace {

using Json = nlohmann::json;

template <typename Int> void append_int(std::string& out, Int value) {
    char buf[24];
    auto [end, ec] = std::to_chars(buf, buf + sizeof buf, value);
    (void)ec;
    out.append(buf, end);
}

void append_number(std::string& out, double value) {
    if (!std::isfinite(value)) {
        out += "null";
        return;
    }
    if (std::signbit(value)) {
        out += '-';
        value = -value;
    }
    if (value == 0.0) {
        out += "0.0";
        return;
    }
    // Shortest round-trip digits come from to_chars in scientific form: d.ddde[+-]xx.
    char sci[40];
    auto [end, ec] = std::to_chars(sci, sci + sizeof sci, value, std::chars_format::scientific);
    (void)ec;
    std::string_view text(sci, static_cast<std::size_t>(end - sci));
    auto e_pos = text.find('e');
    std::string digits;
    for (char c : text.substr(0, e_pos))
        if (c != '.') digits += c;
    int exp10 = std::atoi(std::string(text.substr(e_pos + 1)).c_str());
    const int length = static_cast<int>(digits.size());
    const int k = exp10 - (length - 1); // value = digits * 10^k
    const int kk = length + k;          // 10^(kk-1) <= value < 10^kk
    if (k >= 0 && kk <= 16) {
        out += digits;
        out.append(static_cast<std::size_t>(k), '0');
        out += ".0";
    } else if (kk > 0 && kk <= 16) {
        out.append(digits, 0, static_cast<std::size_t>(kk));
        out += '.';
        out.append(digits, static_cast<std::size_t>(kk));
    } else if (kk > -5 && kk <= 0) {
        out += "0.";
        out.append(static_cast<std::size_t>(-kk), '0');
        out += digits;
    } else {
        out += digits[0];
        if (length > 1) {
            out += '.';
            out.append(digits, 1);
        }
        out += 'e';
        append_int(out, kk - 1);
    }
}

// Appends `text` as a JSON string: only '"', '\' and control characters are escaped.
void append_string(std::string& out, std::string_view text) {
    static const char kHex[] = "0123456789abcdef";
    out += '"';
    for (char ch : text) {
        auto c = static_cast<unsigned char>(ch);
        switch (c) {
        case '"':
            out += "\\\"";
            break;
        case '\\':
            out += "\\\\";
            break;
        case '\b':
            out += "\\b";
            break;
        case '\f':
            out += "\\f";
            break;
        case '\n':
            out += "\\n";
            break;
        case '\r':
            out += "\\r";
            break;
        case '\t':
            out += "\\t";
            break;
        default:
            if (c < 0x20) {
                out += "\\u00";
                out += kHex[c >> 4];
                out += kHex[c & 0xF];
            } else {
                out += ch;
            }
        }
    }
    out += '"';
}

void write(std::string& out, const Json& value, int indent, int depth) {
    auto newline = [&](int level) {
        out += '\n';
        out.append(static_cast<std::size_t>(indent) * static_cast<std::size_t>(level), ' ');
    };
    switch (value.type()) {
    case Json::value_t::null:
    case Json::value_t::discarded:
        out += "null";
        break;
    case Json::value_t::boolean:
        out += value.get<bool>() ? "true" : "false";
        break;
    case Json::value_t::number_integer:
        append_int(out, value.get<std::int64_t>());
        break;
    case Json::value_t::number_unsigned:
        append_int(out, value.get<std::uint64_t>());
        break;
    case Json::value_t::number_float:
        append_number(out, value.get<double>());
        break;
    case Json::value_t::string:
        append_string(out, value.get_ref<const std::string&>());
        break;
    case Json::value_t::binary:
        out += "null";
        break;
    case Json::value_t::array: {
        if (value.empty()) {
            out += "[]";
            break;
        }
        out += '[';
        bool first = true;
        for (const auto& item : value) {
            if (!first) out += ',';
            first = false;
            if (indent) newline(depth + 1);
            write(out, item, indent, depth + 1);
        }
        if (indent) newline(depth);
        out += ']';
        break;
    }
    case Json::value_t::object: {
        if (value.empty()) {
            out += "{}";
            break;
        }
        out += '{';
        bool first = true;
        for (auto it = value.begin(); it != value.end(); ++it) {
            if (!first) out += ',';
            first = false;
            if (indent) newline(depth + 1);
            append_string(out, it.key());
            out += indent ? ": " : ":";
            write(out, it.value(), indent, depth + 1);
        }
        if (indent) newline(depth);
        out += '}';
        break;
    }
    }
}

} // namespace

std::string number_text(double value) {
    std::string out;
    append_number(out, value);
    return out;
}

std::string compact(const nlohmann::json& value) {
    std::string out;
    write(out, value, 0, 0);
    return out;
}

std::string pretty(const nlohmann::json& value) {
    std::string out;
    write(out, value, 2, 0);
    return out;
}

} // namespace json_writer
