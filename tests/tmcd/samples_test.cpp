// Start timecodes of clips written by ffmpeg, compared with what ffmpeg was told to write.
#include "tmcd/tmcd.hpp"

#include <gtest/gtest.h>

#include <filesystem>

TEST(TmcdSamples, FfmpegTimecodeTracks) {
    const std::filesystem::path dir = std::filesystem::path(ZUN_SOURCE_DIR) / "samples" / "tc";
    struct Case {
        const char* file;
        const char* text;
        std::uint32_t quanta;
        bool drop;
    };
    const Case cases[] = {
        {"tc24.mov", "01:02:03:04", 24, false},
        {"tc25.mp4", "10:20:30:24", 25, false},
        {"tc2997df.mov", "00:59:59;29", 30, true},
        {"tc5994df.mov", "01:23:45;58", 60, true},
    };
    for (const Case& c : cases) {
        std::optional<io::ByteSource> source = io::open_source(dir / c.file);
        ASSERT_TRUE(source) << c.file;
        const auto tc = tmcd::read_start_timecode(boxes::parse_container(std::move(*source)));
        ASSERT_TRUE(tc) << c.file;
        EXPECT_EQ(tc->text, c.text) << c.file;
        EXPECT_EQ(tc->frame_quanta, c.quanta) << c.file;
        EXPECT_EQ(tc->drop_frame, c.drop) << c.file;
    }
}
