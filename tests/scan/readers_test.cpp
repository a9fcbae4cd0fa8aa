// The container readers of a scan: a QuickTime clip is opened once for all of them.
#include "boxes/boxes.hpp"
#include "scan/scan.hpp"
#include "support/support.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>

TEST(ScanReaders, QuickTimeClipIsOpenedOnceForAllReaders) {
    testing_support::TempDir tmp;
    testing_support::write_script(tmp / "tool", "#!/bin/sh\nprintf '[]\\n'\n");
    ASSERT_EQ(::setenv("ZUN_EXIFTOOL", (tmp / "tool").c_str(), 1), 0);
    const std::string clip =
        (std::filesystem::path(ZUN_SOURCE_DIR) / "samples/tc/tc24.mov").string();
    const io::Counts before = io::counts();
    exiftool::Session session(exiftool::locate());
    const auto clips = scan::scan_many({clip}, session, [](const scan::ScanEvent&) {});
    const io::Counts after = io::counts();
    ::unsetenv("ZUN_EXIFTOOL");
    ASSERT_EQ(clips.size(), 1u);
    const auto& readers = clips[0].readers;
    EXPECT_NE(std::find(readers.begin(), readers.end(), "zun-tmcd"), readers.end());
    // No sidecar lies beside the clip, so the clip is the only file opened.
    EXPECT_EQ(after.opens - before.opens, 1u);
}

// Camera raw names get the container readers; MXF files the reader cannot use still give a
// normal clip, without "zun-mxf" among its readers.
TEST(ScanReaders, CameraRawAndBrokenMxfClips) {
    testing_support::TempDir tmp;
    testing_support::write_script(tmp / "tool", "#!/bin/sh\nprintf '[]\\n'\n");
    ASSERT_EQ(::setenv("ZUN_EXIFTOOL", (tmp / "tool").c_str(), 1), 0);
    const std::filesystem::path samples(ZUN_SOURCE_DIR "/samples");
    const std::string movie = testing_support::read_file(samples / "tc/tc24.mov");
    const std::string mxf = testing_support::read_file(samples / "formats/mpeg2_25p.mxf");
    ASSERT_GT(mxf.size(), 3000u);
    testing_support::write_file(tmp / "card/A.CRM", movie);
    testing_support::write_file(tmp / "card/b.braw", movie);
    testing_support::write_file(tmp / "card/cut.mxf", mxf.substr(0, 3000));
    testing_support::write_file(tmp / "card/empty.MXF", "");
    testing_support::write_file(tmp / "card/junk.mxf", std::string(4096, '\x83'));
    testing_support::write_file(tmp / "card/whole.mxf", mxf);
    exiftool::Session session(exiftool::locate());
    const auto clips =
        scan::scan_many({(tmp / "card").string()}, session, [](const scan::ScanEvent&) {});
    ::unsetenv("ZUN_EXIFTOOL");
    ASSERT_EQ(clips.size(), 6u);
    for (const auto& clip : clips) {
        std::vector<std::string> want; // the stand-in tool answers nothing: no "exiftool"
        if (clip.ext == "CRM" || clip.ext == "braw") want = {"zun-tmcd"};
        if (clip.name == "whole.mxf") want = {"zun-mxf"};
        EXPECT_EQ(clip.readers, want) << clip.name;
        EXPECT_EQ(clip.fields.size(), 24u) << clip.name;
    }
}
