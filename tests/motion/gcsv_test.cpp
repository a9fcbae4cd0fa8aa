#include "motion/internal.hpp"

#include <fstream>
#include <sys/stat.h>

#include <gtest/gtest.h>

#include "json_writer/json_writer.hpp"
#include "motion/gcsv_fixture.hpp"
#include "support/support.hpp"

namespace {

using namespace testing_support;
using motion_test::log_text;
using motion_test::LogShape;

std::string log_json(const std::optional<model::GyroLog>& log) {
    return log ? json_writer::compact(model::to_json(*log)) : "absent";
}

// The log parsed from a file holding `content`.
std::optional<model::GyroLog> parse_text(std::string_view content) {
    TempDir tmp;
    return motion::parse_gcsv(write_file(tmp / "C0001.gcsv", content));
}

TEST(Gcsv, TwoThousandRowsAtOneKilohertz) {
    TempDir tmp;
    auto log = motion::parse_gcsv(write_file(tmp / "C0001.gcsv", log_text({})));
    EXPECT_EQ(log_json(log), R"({"duration_s":1.999,"kind":"GCSV","path":")" +
                                 (tmp / "C0001.gcsv").string() +
                                 R"(","rate_hz":1000.0,"samples":2000,"vendor":"potatocam"})");
}

TEST(Gcsv, AcceptedVariants) {
    struct Case {
        const char* what;
        LogShape shape;
        std::uint64_t samples;
        double duration;
        const char* vendor;
    };
    const Case cases[] = {
        {"camera magic, twenty rows",
         {.magic = "CAMERA IMU LOG", .rows = 20},
         20,
         0.019,
         "potatocam"},
        {"CR LF and surrounding white space",
         {.eol = "\r\n", .pad = " \t\u3000", .rows = 50},
         50,
         0.049,
         "potatocam"},
        {"empty lines in header and data", {.blank_lines = true}, 2000, 1.999, "potatocam"},
        {"vendor with commas", {.vendor = "vendor,acme,cam,2"}, 2000, 1.999, "acme,cam,2"},
        {"no vendor line", {.vendor = ""}, 2000, 1.999, ""},
        {"six-letter vendor line without comma", {.vendor = "vendor"}, 2000, 1.999, ""},
        {"later tscale replaces an invalid one",
         {.tscale = "tscale,abc\ntscale,0.002"},
         2000,
         3.998,
         "potatocam"},
        {"other keys and long lines ignored",
         {.extra_header = "tscalex,5\nvendors,x\n" + std::string(1'000'000, ',')},
         2000,
         1.999,
         "potatocam"},
        {"signed and exponent numbers",
         {.row_tail = ",+1.5e2,-3,.5,7.,1E-3,-0"},
         2000,
         1.999,
         "potatocam"},
    };
    for (const auto& c : cases) {
        auto log = parse_text(log_text(c.shape));
        ASSERT_TRUE(log) << c.what;
        EXPECT_EQ(log->samples, c.samples) << c.what;
        EXPECT_DOUBLE_EQ(log->duration_s, c.duration) << c.what;
        EXPECT_DOUBLE_EQ(log->rate_hz, static_cast<double>(c.samples - 1) / c.duration) << c.what;
        EXPECT_EQ(log->vendor, c.vendor) << c.what;
        EXPECT_EQ(log->kind, "GCSV");
    }
}

TEST(Gcsv, RejectedLogs) {
    struct Case {
        const char* what;
        std::string content;
    };
    std::string good = log_text({});
    std::string corrupt_row = good;
    corrupt_row.replace(corrupt_row.find("\n1000,") + 1, 5, "1000,7,");
    std::string going_back = good;
    going_back.replace(going_back.find("\n1000,") + 1, 4, "998.5");
    const Case cases[] = {
        {"19 data rows", log_text({.rows = 19})},
        {"all timestamps equal", log_text({.step = 0})},
        {"no tscale line", log_text({.tscale = ""})},
        {"tscale that is not a number", log_text({.tscale = "tscale,fast"})},
        {"tscale without a value", log_text({.tscale = "tscale"})},
        {"negative tscale", log_text({.tscale = "tscale,-0.001"})},
        {"one field too many in row 1000", corrupt_row},
        {"one field too few everywhere", log_text({.row_tail = ",1,2,3,4,5"})},
        {"a field that is no number", log_text({.row_tail = ",1,2,x,4,5,6"})},
        {"an empty field", log_text({.row_tail = ",1,2,,4,5,6"})},
        {"white space before a field", log_text({.row_tail = ",1, 2,3,4,5,6"})},
        {"white space after a field", log_text({.row_tail = ",1,2 ,3,4,5,6"})},
        {"white space before the last field", log_text({.row_tail = ",1,2,3,4,5, 6"})},
        {"a timestamp going back once", going_back},
        {"a doubled sign", log_text({.row_tail = ",1,+-2,3,4,5,6"})},
        {"an infinite value", log_text({.row_tail = ",1,inf,3,4,5,6"})},
        {"a NaN value", log_text({.row_tail = ",1,2,NaN,4,5,6"})},
        {"a value overflowing to infinity", log_text({.row_tail = ",1,2,1e999,4,5,6"})},
        {"a timestamp going back", log_text({.step = -1})},
        {"an infinite timestamp", log_text({}) + "inf,1,2,3,4,5,6\n"},
        {"a duration beyond double range",
         log_text({.tscale = "tscale,1e300", .first = 1e10, .step = 1e10})},
        {"lower-case magic", log_text({.magic = "gyroflow imu log"})},
        {"other magic", log_text({.magic = "GYROFLOW IMU LOG v2"})},
        {"magic line only", "GYROFLOW IMU LOG"},
        {"empty file", ""},
        {"no column header", log_text({.column_header = ""})},
        {"header lines are not recognised after the column header",
         log_text({.rows = 30, .after_columns = "tscale,0.001"})},
        {"invalid UTF-8 in an ignored header line", log_text({.extra_header = "note,caf\xC3\x28"})},
        {"UTF-8 cut short at the end", log_text({}) + "\xE3\x80"},
        {"encoded surrogate", log_text({.extra_header = "note,\xED\xA0\x80"})},
        {"vendor beyond the header value limit",
         log_text({.vendor = "vendor," + std::string(5000, 'v')})},
        {"a row of a million commas", log_text({}) + std::string(1'000'000, ',') + "\n"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(log_json(parse_text(c.content)), "absent") << c.what;
}

TEST(Gcsv, RepeatedTimestampIsNotGoingBack) {
    std::string content = log_text({});
    content.replace(content.find("\n1000,") + 1, 4, "999");
    auto log = parse_text(content);
    ASSERT_TRUE(log);
    EXPECT_EQ(log->samples, 2000u);
}

// The reader works on 64 KiB chunks: a character split across two chunks must decode the same.
TEST(Gcsv, CharactersSplitAcrossReadChunks) {
    const std::string head = "GYROFLOW IMU LOG\nnote,";
    const std::string vendor = "\nvendor,Cam";
    for (std::size_t shift = 0; shift < 10; ++shift) {
        std::size_t filler = 65536 - head.size() - vendor.size() - 1 - shift;
        std::string content = head + std::string(filler, 'x') + vendor +
                              "\xC3\xA9ra\xE3\x80\x80\xE3\x80\x80\n" +
                              log_text({.magic = "", .vendor = ""});
        auto log = parse_text(content);
        ASSERT_TRUE(log) << shift;
        EXPECT_EQ(log->vendor, "Cam\xC3\xA9ra") << shift;
        EXPECT_EQ(log->samples, 2000u);
    }
}

TEST(Gcsv, NonRegularFilesAreRefusedWithoutBlocking) {
    TempDir tmp;
    fs::create_directory(tmp / "dir.gcsv");
    EXPECT_FALSE(motion::parse_gcsv(tmp / "dir.gcsv"));
    EXPECT_FALSE(motion::parse_gcsv(tmp / "missing.gcsv"));

    fs::path fifo = tmp / "fifo.gcsv";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    std::optional<model::GyroLog> log;
    EXPECT_EQ(blocking_open({fifo}, [&] { log = motion::parse_gcsv(fifo); }), "");
    EXPECT_FALSE(log);
}

TEST(Gcsv, UnreadableFile) {
    TempDir tmp;
    write_file(tmp / "C0001.gcsv", log_text({}));
    ASSERT_TRUE(motion::parse_gcsv(tmp / "C0001.gcsv")); // readable, it parses
    fs::permissions(tmp / "C0001.gcsv", fs::perms::none);
    auto failure = as_unprivileged([&]() -> std::string {
        return motion::parse_gcsv(tmp / "C0001.gcsv") ? "unreadable log parsed" : "";
    });
    EXPECT_EQ(failure, "");
}

TEST(Gcsv, LargeLogIsStreamed) {
    TempDir tmp;
    fs::path path = tmp / "big.gcsv";
    // Several times the growth allowed below, so holding the log would show.
    const std::uint64_t rows = 600'000;
    constexpr std::uint64_t allowed_growth_kib = 4 * 1024;
    {
        std::ofstream out(path, std::ios::binary);
        out << log_text({.rows = 0});
        for (std::uint64_t i = 0; i < rows; ++i)
            out << i << ",39,86,183,-1137,-15689,-2986\n";
    }
    auto size = fs::file_size(path);
    ASSERT_GT(size, 4u * allowed_growth_kib * 1024);
    const auto before = proc_self_number("status", "VmHWM:");
    auto log = motion::parse_gcsv(path);
    const auto after = proc_self_number("status", "VmHWM:");
    ASSERT_TRUE(log);
    EXPECT_EQ(log->samples, rows);
    EXPECT_DOUBLE_EQ(log->duration_s, 0.001 * static_cast<double>(rows - 1));
    // The peak grows by far less than the file: it is never held in memory.
    if (before && after) {
        EXPECT_LT(*after - *before, allowed_growth_kib);
    }
}

} // namespace
