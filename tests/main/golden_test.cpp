// The complete `scan` output for the shipped sample media, with the real exiftool,
// against a reviewed expected file. Volatile members are masked on both sides.
#include "json_writer/json_writer.hpp"
#include "support/support.hpp"

#include <gtest/gtest.h>

#include <cstdlib>
#include <nlohmann/json.hpp>

using nlohmann::json;
namespace fs = std::filesystem;

namespace {

const char* const masked = "<masked>";

bool volatile_tag(const json& tag) {
    const std::string group = tag["group"];
    const std::string name = tag["name"];
    if (group == "ExifTool" && name == "ExifToolVersion") return true;
    return group == "System" && (name == "FileModifyDate" || name == "FileAccessDate" ||
                                 name == "FileInodeChangeDate" || name == "FilePermissions");
}

// The scan output with times, the tool version and file-system dates masked.
std::string masked_output(const std::string& out) {
    std::string result;
    for (const auto& line : testing_support::lines(out)) {
        json doc = json::parse(line);
        if (doc["event"] == "done") doc["ms"] = masked;
        if (doc["event"] == "clip") {
            json& clip = doc["clip"];
            clip["mtime_ns"] = masked;
            clip["scan_ms"] = masked;
            for (json& tag : clip["tags"])
                if (volatile_tag(tag)) {
                    tag["raw"] = masked;
                    tag["printed"] = masked;
                }
        }
        result += json_writer::compact(doc) + "\n";
    }
    return result;
}

} // namespace

TEST(Golden, ScanOfTheShippedSamples) {
    if (!fs::exists("/usr/bin/exiftool")) GTEST_SKIP() << "exiftool is not installed";
    auto r = testing_support::run_core({"scan", "samples/media"},
                                       {{"ZUN_EXIFTOOL", "/usr/bin/exiftool"}}, ZUN_SOURCE_DIR);
    ASSERT_EQ(r.status, 0);
    const fs::path expected_file =
        fs::path(ZUN_SOURCE_DIR) / "tests/main/golden/scan_samples.jsonl";
    const std::string got = masked_output(r.out);
    if (const char* update = std::getenv("ZUN_UPDATE_GOLDEN"); update && *update == '1')
        testing_support::write_file(expected_file, got);
    const std::string expected = testing_support::read_file(expected_file);
    ASSERT_FALSE(expected.empty()) << "missing " << expected_file;
    auto got_lines = testing_support::lines(got);
    auto expected_lines = testing_support::lines(expected);
    ASSERT_EQ(got_lines.size(), expected_lines.size());
    for (std::size_t i = 0; i < got_lines.size(); ++i)
        EXPECT_EQ(got_lines[i], expected_lines[i]);
}
