#include "scan/internal.hpp"
#include "support/support.hpp"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

using namespace testing_support;
namespace fs = std::filesystem;

namespace {

std::vector<std::string> texts(const std::vector<fs::path>& files, const fs::path& base) {
    std::vector<std::string> out;
    for (const auto& f : files)
        out.push_back(f.lexically_relative(base).string());
    return out;
}

} // namespace

TEST(Discovery, MediaNamesAndExtensions) {
    for (const char* name :
         {"a.mov", "A.MOV", "b.Mp4", "c.m4v", "d.mxf", "e.r3d", "f.crm", "g.mts", "h.avi", "i.mkv",
          "j.ari", "k.mpg", "l.dng", "m.braw", "n.M2TS", "o.mpeg", "dir/p.BRAW", "weird.name.mov"})
        EXPECT_TRUE(scan::is_media(name)) << name;
    for (const char* name : {"a.mov.xml", "C0001M01.XML", "noext", ".hidden.mov", "x.mp3", "x.",
                             "x.mov/..", "", "x.movv", "x.gcsv"})
        EXPECT_FALSE(scan::is_media(name)) << name;
    // Extensions are lower-cased with full Unicode mapping, so a look-alike never matches.
    EXPECT_FALSE(scan::is_media("x.m\xc4\xb0v"));
    EXPECT_FALSE(scan::is_media("x.\xffmov"));
}

TEST(Discovery, WalkSkipsHiddenFollowsFileLinksAndSortsByComponent) {
    TempDir tmp;
    const fs::path d = tmp.path / "card";
    write_file(d / "sub" / "x.mov", "x");
    write_file(d / "sub-1.mov", "x");
    write_file(d / "B.MP4", "x");
    write_file(d / "a.mp4", "x");
    write_file(d / "notes.txt", "x");
    write_file(d / ".hidden.mov", "x");
    write_file(d / ".cache" / "inside.mov", "x");
    write_file(tmp.path / "elsewhere" / "linked.mov", "x");
    write_file(tmp.path / "elsewhere" / "deep.mov", "x");
    fs::create_directory_symlink(tmp.path / "elsewhere", d / "dirlink");
    fs::create_symlink(tmp.path / "elsewhere" / "linked.mov", d / "link.mov");
    fs::create_symlink(tmp.path / "nothing.mov", d / "dangling.mov");
    ::mkfifo((d / "pipe.mov").c_str(), 0600);

    EXPECT_EQ(texts(scan::walk(d), d),
              (std::vector<std::string>{"B.MP4", "a.mp4", "link.mov", "sub/x.mov", "sub-1.mov"}));
    // A file given directly is returned as given; a non-media file gives nothing.
    EXPECT_EQ(scan::walk(d / "a.mp4"), std::vector<fs::path>{d / "a.mp4"});
    EXPECT_TRUE(scan::walk(d / "notes.txt").empty());
    // A top-level directory whose own name is hidden is still walked.
    write_file(tmp.path / ".top" / "c.mov", "x");
    EXPECT_EQ(scan::walk(tmp.path / ".top").size(), 1u);
}

TEST(Discovery, CollectRejectsAndRemovesDuplicatesByComponents) {
    TempDir tmp;
    const fs::path d = tmp.path / "card";
    write_file(d / "a.mov", "x");
    write_file(d / "b.mov", "x");
    write_file(d / "c.txt", "x");
    fs::create_directories(tmp.path / "empty");
    write_file(tmp.path / "only-hidden" / ".x.mov", "x");
    fs::create_symlink(tmp.path / "gone", tmp.path / "dangling");
    const std::string D = d.string();

    auto got =
        scan::collect({D + "/b.mov", D, D + "//a.mov", D + "/./b.mov", (d / "c.txt").string(),
                       (tmp.path / "missing").string(), (tmp.path / "empty").string(),
                       (tmp.path / "only-hidden").string(), (tmp.path / "dangling").string()});
    EXPECT_EQ(got.media, (std::vector<std::string>{D + "/b.mov", D + "/a.mov"}));
    ASSERT_EQ(got.rejected.size(), 5u);
    EXPECT_EQ(got.rejected[0].reason, "unsupported_type");
    EXPECT_EQ(got.rejected[0].path, (d / "c.txt").string());
    EXPECT_EQ(got.rejected[1].reason, "missing");
    EXPECT_EQ(got.rejected[2].reason, "no_media");
    EXPECT_EQ(got.rejected[3].reason, "no_media");
    EXPECT_EQ(got.rejected[4].reason, "missing");
}

TEST(Discovery, LeadingDotSlashMakesASecondEntry) {
    TempDir tmp;
    write_file(tmp.path / "a.mov", "x");
    ASSERT_EQ(::chdir(tmp.path.c_str()), 0);
    auto got = scan::collect({"a.mov", "./a.mov", ".//a.mov", "."});
    EXPECT_EQ(got.media, (std::vector<std::string>{"a.mov", "./a.mov"}));
    EXPECT_TRUE(got.rejected.empty());
    ASSERT_EQ(::chdir("/"), 0);
}

TEST(Discovery, UnreadableDirectoryIsSkippedSilently) {
    TempDir tmp;
    write_file(tmp.path / "ok" / "a.mov", "x");
    write_file(tmp.path / "locked" / "b.mov", "x");
    write_file(tmp.path / "only-locked" / "inner" / "c.mov", "x");
    fs::permissions(tmp.path / "locked", fs::perms::none);
    fs::permissions(tmp.path / "only-locked" / "inner", fs::perms::none);
    auto failure = as_unprivileged([&]() -> std::string {
        auto got = scan::collect({tmp.path.string(), (tmp.path / "only-locked").string()});
        if (got.media.size() != 1 || got.media[0] != (tmp.path / "ok" / "a.mov").string())
            return "expected only ok/a.mov, got " + std::to_string(got.media.size()) + " files";
        if (got.rejected.size() != 1 || got.rejected[0].reason != "no_media")
            return "expected the locked-only folder to be rejected as no_media";
        return "";
    });
    EXPECT_EQ(failure, "");
}

TEST(Discovery, RejectedPathTextIsAlwaysUtf8) {
    TempDir tmp;
    const std::string bad = (tmp.path / "caf\xe9").string(); // Latin-1 byte, not UTF-8
    write_file(tmp.path / "notes\xff.txt", "x");
    auto got = scan::collect({bad, (tmp.path / "notes\xff.txt").string()});
    ASSERT_EQ(got.rejected.size(), 2u);
    EXPECT_EQ(got.rejected[0].path, (tmp.path / "caf\xef\xbf\xbd").string());
    EXPECT_EQ(got.rejected[0].reason, "missing");
    EXPECT_EQ(got.rejected[1].path, (tmp.path / "notes\xef\xbf\xbd.txt").string());
    EXPECT_EQ(got.rejected[1].reason, "unsupported_type");
}
