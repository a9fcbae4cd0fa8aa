// Builds Gyroflow CSV logs that look like real ones, with knobs for each rule under test.
#pragma once

#include <charconv>
#include <cstdint>
#include <string>
#include <string_view>

namespace motion_test {

struct LogShape {
    std::string magic = "GYROFLOW IMU LOG";
    std::string eol = "\n";
    std::string pad = "";     // white space around every line
    bool blank_lines = false; // an empty line after every line
    std::string extra_header = "";
    std::string vendor = "vendor,potatocam"; // whole line; empty leaves it out
    std::string tscale = "tscale,0.001";     // whole line; empty leaves it out
    std::string column_header = "t,gx,gy,gz,ax,ay,az";
    std::uint64_t rows = 2000;
    double first = 0.0;
    double step = 1.0;
    std::string row_tail = ",39,86,183,-1137,-15689,-2986";
    std::string after_columns = ""; // a line placed in the middle of the data
};

inline std::string number_text(double value) {
    char buf[64];
    auto result = std::to_chars(buf, buf + sizeof buf, value);
    return std::string(buf, result.ptr);
}

inline std::string log_text(const LogShape& s) {
    std::string out;
    auto line = [&](std::string_view text) {
        out += s.pad;
        out += text;
        out += s.pad;
        out += s.eol;
        if (s.blank_lines) out += s.pad + s.eol;
    };
    if (!s.magic.empty()) line(s.magic);
    line("version,1.3");
    line("id,custom_logger_name");
    line("orientation,YxZ");
    line("timestamp,1644159993");
    if (!s.extra_header.empty()) line(s.extra_header);
    if (!s.vendor.empty()) line(s.vendor);
    line("lensprofile,potatocam/potatocam_mark1_prime_7_5mm_4k");
    if (!s.tscale.empty()) line(s.tscale);
    line("gscale,0.00122173047");
    line("ascale,0.00048828125");
    if (!s.column_header.empty()) line(s.column_header);
    for (std::uint64_t i = 0; i < s.rows; ++i) {
        line(number_text(s.first + static_cast<double>(i) * s.step) + s.row_tail);
        if (i == s.rows / 2 && !s.after_columns.empty()) line(s.after_columns);
    }
    return out;
}

} // namespace motion_test
