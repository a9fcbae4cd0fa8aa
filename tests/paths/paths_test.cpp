#include "paths/internal.hpp"

#include <gtest/gtest.h>

#include <string>

namespace {

std::string opt(std::optional<std::string_view> v) {
    return v ? "<" + std::string(*v) + ">" : "none";
}

} // namespace

TEST(Paths, ParentFileNameExtensionAndStem) {
    struct Case {
        const char* path;
        const char* parent;
        const char* name;
        const char* ext;
        const char* stem;
    };
    const Case cases[] = {
        {"a.mov", "<>", "<a.mov>", "<mov>", "<a>"},
        {"/a.mov", "</>", "<a.mov>", "<mov>", "<a>"},
        {"dir//a.MOV", "<dir>", "<a.MOV>", "<MOV>", "<a>"},
        {"a//b/./c.tar.gz", "<a//b>", "<c.tar.gz>", "<gz>", "<c.tar>"},
        {"./a.mp4", "<.>", "<a.mp4>", "<mp4>", "<a>"},
        {"dir/sub/", "<dir>", "<sub>", "none", "<sub>"},
        {"dir/x.mov/.", "<dir>", "<x.mov>", "<mov>", "<x>"},
        {"/", "none", "none", "none", "none"},
        {".", "<>", "none", "none", "none"},
        {"", "none", "none", "none", "none"},
        {"a/..", "<a>", "none", "none", "none"},
        {"dir/.hidden", "<dir>", "<.hidden>", "none", "<.hidden>"},
        {"dir/name.", "<dir>", "<name.>", "<>", "<name>"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(opt(paths::parent(c.path)), c.parent) << c.path;
        EXPECT_EQ(opt(paths::file_name(c.path)), c.name) << c.path;
        EXPECT_EQ(opt(paths::extension(c.path)), c.ext) << c.path;
        EXPECT_EQ(opt(paths::stem(c.path)), c.stem) << c.path;
    }
}

TEST(Paths, ComponentComparison) {
    // Same components despite separators and interior "."; a leading "." counts.
    EXPECT_EQ(paths::compare("a//b/./c", "a/b/c/"), 0);
    EXPECT_NE(paths::compare("./a/b", "a/b"), 0);
    // A directory's contents sort before a sibling whose name extends the directory's.
    EXPECT_LT(paths::compare("d/sub/x.mov", "d/sub-1.mov"), 0);
    EXPECT_LT(paths::compare("d/a", "d/a/b"), 0);
    EXPECT_GT(paths::compare("d/b", "d/a/z"), 0);
    // Bytes, not letters: upper case sorts before lower case; UTF-8 after ASCII.
    EXPECT_LT(paths::compare("Z.mov", "a.mov"), 0);
    EXPECT_LT(paths::compare("z.mov", "\xc3\xa9.mov"), 0);
    EXPECT_LT(paths::compare("/x", "x"), 0);
}
