// The container readers of a scan: the media table, what each reader gives, and a clip opened
// once for all of them.
#include "io/internal.hpp"
#include "scan/internal.hpp"
#include "scan/scan.hpp"
#include "support/bytes.hpp"
#include "support/support.hpp"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <algorithm>
#include <cstdlib>

namespace {

// Which readings are present ("T" timecode, "C" Canon, "S" Sony, "M" MXF, "P" MPEG, "K"
// Matroska, "A" AAC configuration, "-" absent), then the readers that gave data.
std::string describe(const scan::MediaReadings& media) {
    const normalize::Readings& r = media.readings;
    std::string out = std::string(r.timecode ? "T" : "-") + (r.canon ? "C" : "-") +
                      (r.sony ? "S" : "-") + (r.mxf ? "M" : "-") + (r.mpeg ? "P" : "-") +
                      (r.mkv ? "K" : "-") + (r.aac ? "A" : "-");
    for (const std::string& name : media.readers)
        out += " " + name;
    return out;
}

} // namespace

TEST(ScanReaders, MediaTable) {
    using Kind = scan::ContainerKind;
    const std::pair<std::optional<Kind>, std::vector<const char*>> cases[] = {
        {Kind::QuickTimeMovie, {"a.mov", "A.MOV", "dir/b.Mp4", "c.m4V", "x.y.mp4", "./e.mov"}},
        {Kind::CameraRaw, {"a.crm", "A.CRM", "b.braw", "c.BRaw"}},
        {Kind::Mxf, {"a.mxf", "B.MXF"}},
        {Kind::Mpeg, {"a.MTS", "a.mpg", "a.m2ts", "a.mpeg"}},
        {Kind::Matroska, {"a.mkv", "B.MKV"}},
        {Kind::Other, {"a.r3d", "a.avi", "a.ari", "a.dng"}},
        {std::nullopt, // no media
         {".mov", "a.mov.xml", "mov", "a.", "", "a.mp4v", "a.m4a", "dir.mov/a", "a.mov/..", ".braw",
          "a.crm2", "a.webm"}},
    };
    for (const auto& [kind, names] : cases) {
        for (const char* name : names) {
            const std::optional<scan::MediaType> type = scan::media_type(name);
            EXPECT_EQ(type ? std::optional(type->container) : std::nullopt, kind) << name;
            EXPECT_EQ(scan::is_media(name), kind.has_value()) << name;
        }
    }
}

// Which readings each kind of clip gets, which readers count as having given data, and in
// which order they are named; only the containers the readers read are opened.
TEST(ScanReaders, ReadingsAndReadersByContainer) {
    using namespace testing_support;
    const std::filesystem::path samples(ZUN_SOURCE_DIR "/samples");
    const std::string document =
        "<NonRealTimeMeta><Device manufacturer=\"Sony\" modelName=\"X\"/></NonRealTimeMeta>";
    // A movie whose Canon track's first sample holds `items`.
    auto canon_movie = [](const Bytes& items) {
        const Bytes sample = klv_packet(items);
        return to_string(cat(
            {box("ftyp", ascii("isom")), box("mdat", sample),
             box("moov", sample_track("cndm", 20, static_cast<std::uint32_t>(sample.size())))}));
    };
    struct Case {
        const char* name;
        std::string content;
        bool sidecar; // a camera document "<stem>M01.XML" beside the clip
        const char* expected;
        std::uint64_t opens; // files opened: the clip when its container is read, the sidecar
    };
    const Case cases[] = {
        {"tc.mov", read_file(samples / "tc/tc24.mov"), false, "T------ zun-tmcd", 1},
        {"coded.mp4", canon_movie(cndm_item(0xe211, 1, 7)), false, "-C----- zun-cndm", 1},
        {"uncoded.mp4", canon_movie(be32(0)), false, "-C-----", 1},
        {"clip.mxf", read_file(samples / "formats/mpeg2_25p.mxf"), true, "--SM--- zun-sony zun-mxf",
         2},
        {"raw.crm", read_file(samples / "tc/tc24.mov"), true, "T-S---- zun-tmcd zun-sony", 2},
        {"clip.MTS", read_file(samples / "formats/mpeg2_2997_ac3.m2ts"), true,
         "--S-P-- zun-sony zun-mpeg", 2},
        {"junk.mpg", "no stream", false, "-------", 1},
        {"tracks.mkv", read_file(samples / "formats/aac_first_mpeg4.mkv"), false, "-----K- zun-mkv",
         1},
        {"junk.mkv", "no tracks", false, "-------", 1},
        {"aac.mp4", read_file(samples / "formats/mpeg4_25_aacmono.mp4"), false, "------A zun-esds",
         1},
        {"clip.AVI", "not opened", true, "--S---- zun-sony", 1},
        {"plain.avi", "not opened", false, "-------", 0},
    };
    TempDir tmp;
    for (const Case& c : cases) {
        const auto path = write_file(tmp / c.name, c.content);
        if (c.sidecar) write_file(tmp / (path.stem().string() + "M01.XML"), document);
        const io::Counts before = io::counts();
        EXPECT_EQ(describe(scan::read_media(path)), c.expected) << c.name;
        EXPECT_EQ(io::counts().opens - before.opens, c.opens) << c.name;
    }
    // A FIFO under a container's name is neither waited on nor read.
    for (const char* name : {"pipe.mts", "pipe.mkv", "pipe.mxf", "pipe.mp4"}) {
        ASSERT_EQ(::mkfifo((tmp / name).c_str(), 0600), 0);
        std::string got;
        EXPECT_EQ(
            blocking_open({tmp / name}, [&] { got = describe(scan::read_media(tmp / name)); }), "")
            << name;
        EXPECT_EQ(got, "-------") << name;
    }
}

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
