#include <gtest/gtest.h>

#include "export/internal.hpp"
#include "fixtures.hpp"

namespace {

using fixtures::clip_at;
using fixtures::field;
using model::Status;

// ASCII text as UTF-16LE with byte-order mark, built independently of the encoder.
std::string ascii_utf16(std::string_view text) {
    std::string out = "\xFF\xFE";
    for (char c : text) {
        out += c;
        out += '\0';
    }
    return out;
}

model::Clip full_clip() {
    auto clip = clip_at("/m/A001/C0001.MP4");
    clip.fields = {
        field("make", "Sony"),
        field("camera_model", "ILME-FX3"),
        field("lens", "FE 24-70mm F2.8 GM II"),
        field("focal_length", "24.0 mm"),
        field("iso", "ISO 800", Status::SourcesDiffer),
        field("wb_temp", "5600 K"),
        field("curve", "S-Log3", Status::Found, "zun-sony"),
        field("gamut", "S-Gamut3.Cine", Status::Found, "zun-sony"),
    };
    return clip;
}

TEST(NumOf, TakesTheFirstRunOfDigitsAndDots) {
    const std::vector<std::pair<const char*, const char*>> cases = {
        {"24 mm", "24"}, {"ISO 800", "800"},   {"5600 K", "5600"}, {"1/50", "1"},
        {"-3.5", "3.5"}, {".5 mm", "5"},       {"f/2.8", "2.8"},   {"no digits", ""},
        {"", ""},        {"1.2.3x4", "1.2.3"}, {"٣ 12", "12"}, // only ASCII digits count
    };
    for (const auto& [in, out] : cases)
        EXPECT_EQ(export_::leading_number(in), out) << in;
}

TEST(Quote, QuotesOnlyWhereNeeded) {
    const std::vector<std::pair<const char*, const char*>> cases = {
        {"plain", "plain"},
        {"", ""},
        {"a,b", "\"a,b\""},
        {"say \"hi\"", "\"say \"\"hi\"\"\""},
        {"two\nlines", "\"two\nlines\""},
        {"cr\ronly", "\"cr\ronly\""}, // a lone carriage return would split the CR LF record
        {"semi;colon 'single'", "semi;colon 'single'"},
    };
    for (const auto& [in, out] : cases)
        EXPECT_EQ(export_::quote_cell(in), out) << in;
}

TEST(ResolveValues, ColumnsFollowTheRules) {
    EXPECT_EQ(export_::resolve_values(full_clip()),
              (export_::ResolvedValues{{"Camera Manufacturer", "Sony"},
                                       {"Camera Type", "ILME-FX3"},
                                       {"Lens Type", "FE 24-70mm F2.8 GM II"},
                                       {"Focal Point (mm)", "24.0"},
                                       {"ISO", "800"},
                                       {"White Point (Kelvin)", "5600"},
                                       {"Gamma Notes", "S-Log3"},
                                       {"Color Space Notes", "S-Gamut3.Cine"}}));

    // Curve (and gamut) only when found or confirmed and not from viewing metadata.
    struct Case {
        Status status;
        std::optional<std::string> note;
        bool shown;
    };
    for (const auto& c : std::vector<Case>{{Status::Found, std::nullopt, true},
                                           {Status::Confirmed, "user_confirmed", true},
                                           {Status::SourcesDiffer, "differs", false},
                                           {Status::Computed, std::nullopt, false},
                                           {Status::Unavailable, std::nullopt, false},
                                           {Status::Found, "viewing_metadata", false},
                                           {Status::Found, "maker_hint", true}}) {
        model::Clip clip = clip_at("/m/x.MOV");
        clip.fields = {field("curve", "HLG", c.status, "exiftool", c.note),
                       field("gamut", "BT.2020", c.status, "exiftool", c.note)};
        const auto values = export_::resolve_values(clip);
        EXPECT_EQ(values.size(), c.shown ? 2u : 0u)
            << model::status_text(c.status) << " " << c.note.value_or("-");
    }

    // Only the first field of an id counts; a value without digits leaves its column out.
    model::Clip clip = clip_at("/m/x.MOV");
    clip.fields = {field("lens", std::nullopt, Status::Unavailable), field("lens", "Second"),
                   field("focal_length", "unknown"), field("iso", "100")};
    EXPECT_EQ(export_::resolve_values(clip), (export_::ResolvedValues{{"ISO", "100"}}));
}

const char* const header = "File Name,Clip Directory,Camera Manufacturer,Camera Type,Lens "
                           "Type,Focal Point (mm),ISO,White Point (Kelvin),Gamma Notes,Color "
                           "Space Notes\r\n";

TEST(ResolveCsv, BytesAreUtf16WithBomAndCrLf) {
    EXPECT_EQ(export_::resolve_csv({}), ascii_utf16(header));

    auto sparse = clip_at("/m/B/x,y.MOV");
    sparse.fields = {field("lens", "Lens \"A\", B")};
    const std::string expected =
        std::string(header) +
        "C0001.MP4,/m/A001,Sony,ILME-FX3,FE 24-70mm F2.8 GM II,24.0,800,5600,S-Log3,"
        "S-Gamut3.Cine\r\n" +
        "\"x,y.MOV\",/m/B,,,\"Lens \"\"A\"\", B\",,,,,\r\n";
    EXPECT_EQ(export_::resolve_csv({full_clip(), sparse}), ascii_utf16(expected));
}

TEST(ResolveCsv, EncodesBeyondAsciiAsUtf16) {
    EXPECT_EQ(export_::utf16le_with_bom("é😀\xff"),
              std::string("\xFF\xFE\xE9\x00\x3D\xD8\x00\xDE\xFD\xFF", 10));
}

TEST(ResolveCsv, UniqueModeGroupsByFileName) {
    auto a = full_clip();
    a.path = "/m/A/C0001.MP4";
    auto b = full_clip();
    b.path = "/m/B/C0001.MP4";
    b.dir = "/m/B";
    auto c = full_clip();
    c.path = "/m/C/C0001.MP4";
    c.fields[1].value = "ILME-FX6";
    auto lone = clip_at("/m/D/D0001.MP4");

    // Same values: one row (the first clip's), nothing excluded.
    auto same = export_::resolve_csv_unique({a, b, lone});
    EXPECT_TRUE(same.excluded.empty());
    EXPECT_EQ(same.bytes, export_::resolve_csv({a, lone}));

    // Any disagreement within the name excludes the whole group, in scan order.
    auto differ = export_::resolve_csv_unique({a, lone, b, c});
    EXPECT_EQ(differ.excluded,
              (std::vector<std::string>{"/m/A/C0001.MP4", "/m/B/C0001.MP4", "/m/C/C0001.MP4"}));
    EXPECT_EQ(differ.bytes, export_::resolve_csv({lone}));
}

// Reads the CSV back with Python's csv module, which knows nothing of our encoder.
TEST(ResolveCsv, IndependentReaderSeesTheSameCells) {
    testing_support::TempDir t;
    auto odd = clip_at("/m/Z/odd.MOV");
    odd.fields = {field("make", "Line\nFeed"), field("camera_model", "Carriage\rReturn"),
                  field("lens", "Comma, \"quote\""), field("iso", "ISO 6400"),
                  field("curve", "Ünïcødé 😀", Status::Confirmed)};
    const auto bytes = export_::resolve_csv({full_clip(), odd});
    testing_support::write_file(t / "out.csv", bytes);

    const auto run = testing_support::run(
        "/usr/bin/env", {"python3", "-c",
                         "import csv, json, sys\n"
                         "with open(sys.argv[1], encoding='utf-16', newline='') as f:\n"
                         "    print(json.dumps(list(csv.reader(f))))\n",
                         (t / "out.csv").string()});
    if (run.status == 127) GTEST_SKIP() << "python3 is not available";
    ASSERT_EQ(run.status, 0) << run.err;
    const auto rows = nlohmann::json::parse(run.out, nullptr, false);
    ASSERT_TRUE(rows.is_array()) << run.out;
    ASSERT_EQ(rows.size(), 3u);
    EXPECT_EQ(rows[0].size(), 10u);
    EXPECT_EQ(rows[0][9], "Color Space Notes");
    EXPECT_EQ(rows[1][3], "ILME-FX3");
    EXPECT_EQ(rows[2],
              nlohmann::json::array({"odd.MOV", "/m/Z", "Line\nFeed", "Carriage\rReturn",
                                     "Comma, \"quote\"", "", "6400", "", "Ünïcødé 😀", ""}));
}

} // namespace
