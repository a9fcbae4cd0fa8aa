// Replays the committed fuzz corpus and every saved crash input through the fuzz targets'
// entry points, so each finding stays fixed and each target keeps working on ordinary input.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "support/support.hpp"

extern "C" int fuzz_boxes(const std::uint8_t* data, std::size_t size);
extern "C" int fuzz_nrt(const std::uint8_t* data, std::size_t size);
extern "C" int fuzz_rtmd(const std::uint8_t* data, std::size_t size);
extern "C" int fuzz_cndm(const std::uint8_t* data, std::size_t size);
extern "C" int fuzz_gcsv(const std::uint8_t* data, std::size_t size);
extern "C" int fuzz_exiftool(const std::uint8_t* data, std::size_t size);
extern "C" int fuzz_cli(const std::uint8_t* data, std::size_t size);
extern "C" int fuzz_mxf(const std::uint8_t* data, std::size_t size);
extern "C" int fuzz_mkv(const std::uint8_t* data, std::size_t size);
extern "C" int fuzz_mpeg(const std::uint8_t* data, std::size_t size);
extern "C" int fuzz_esds(const std::uint8_t* data, std::size_t size);

namespace {

namespace fs = std::filesystem;

struct Target {
    const char* name;
    int (*entry)(const std::uint8_t*, std::size_t);
};

const Target kTargets[] = {
    {"boxes", fuzz_boxes}, {"nrt", fuzz_nrt},           {"rtmd", fuzz_rtmd}, {"cndm", fuzz_cndm},
    {"gcsv", fuzz_gcsv},   {"exiftool", fuzz_exiftool}, {"cli", fuzz_cli},   {"mxf", fuzz_mxf},
    {"mkv", fuzz_mkv},     {"mpeg", fuzz_mpeg},         {"esds", fuzz_esds},
};

// The regular files of `folder`, sorted; none when the folder does not exist.
std::vector<fs::path> files_in(const fs::path& folder) {
    std::vector<fs::path> out;
    std::error_code ec;
    for (fs::directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec))
        if (it->is_regular_file(ec)) out.push_back(it->path());
    std::sort(out.begin(), out.end());
    return out;
}

class Replay : public ::testing::TestWithParam<Target> {};

TEST_P(Replay, CorpusAndCrashInputs) {
    const Target target = GetParam();
    const fs::path root = fs::path(ZUN_SOURCE_DIR) / "fuzz";
    const std::vector<fs::path> corpus = files_in(root / "corpus" / target.name);
    // Every target ships seeds; an empty folder means the corpus went missing.
    EXPECT_FALSE(corpus.empty()) << "no corpus for " << target.name;
    std::vector<fs::path> inputs = corpus;
    for (const fs::path& crash : files_in(root / "crashes" / target.name))
        inputs.push_back(crash);
    for (const fs::path& input : inputs) {
        SCOPED_TRACE(input.string());
        const std::string bytes = testing_support::read_file(input);
        // Give the entry point its own copy so reads past the end are caught by the sanitizers.
        const std::vector<std::uint8_t> copy(bytes.begin(), bytes.end());
        EXPECT_EQ(target.entry(copy.data(), copy.size()), 0);
    }
}

INSTANTIATE_TEST_SUITE_P(Fuzz, Replay, ::testing::ValuesIn(kTargets),
                         [](const ::testing::TestParamInfo<Target>& info) {
                             return std::string(info.param.name);
                         });

} // namespace
