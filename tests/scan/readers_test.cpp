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
    const auto clips = scan::scan_many({clip}, [](const scan::ScanEvent&) {});
    const io::Counts after = io::counts();
    ::unsetenv("ZUN_EXIFTOOL");
    ASSERT_EQ(clips.size(), 1u);
    const auto& readers = clips[0].readers;
    EXPECT_NE(std::find(readers.begin(), readers.end(), "zun-tmcd"), readers.end());
    // No sidecar lies beside the clip, so the clip is the only file opened.
    EXPECT_EQ(after.opens - before.opens, 1u);
}
