#include <gtest/gtest.h>

#include "export/internal.hpp"
#include "fixtures.hpp"
#include "json_writer/json_writer.hpp"

namespace {

using fixtures::clip_at;
using fixtures::field;
using model::Status;

model::Clip log_clip(std::string curve, std::string gamut, Status status = Status::Found,
                     std::string from = "zun-sony") {
    auto clip = clip_at("/m/A001/C0001.MP4");
    clip.fields = {field("make", "Sony"), field("curve", curve, status, from),
                   field("gamut", gamut, status, from)};
    return clip;
}

TEST(ApplyConfirmation, ReplacesPrimaryAndKeepsTheOldOneFirst) {
    auto clip = log_clip("S-Log3", "S-Gamut3");
    clip.fields[1].alternates = {fixtures::source("exiftool", "Gamma", "Log")};
    clip.fields[1].note = "maker_hint";
    export_::apply_confirmation(clip, std::string("HLG"), std::nullopt);

    const auto& curve = clip.fields[1];
    EXPECT_EQ(curve.value, "HLG");
    EXPECT_EQ(curve.status, Status::Confirmed);
    EXPECT_EQ(curve.note, "user_confirmed");
    EXPECT_EQ(
        json_writer::compact(model::to_json(*curve.primary)),
        R"({"group":"","kind":"user","printed":null,"raw":"HLG","source":"user","tag":"curve"})");
    ASSERT_EQ(curve.alternates.size(), 2u);
    EXPECT_EQ(curve.alternates[0].source, "zun-sony");
    EXPECT_EQ(curve.alternates[1].source, "exiftool");
    EXPECT_EQ(curve.id, "curve");
    EXPECT_EQ(curve.section, "camera");
    // The gamut was not confirmed and stays as scanned.
    EXPECT_EQ(clip.fields[2].status, Status::Found);
    EXPECT_EQ(clip.fields[2].value, "S-Gamut3");
}

TEST(ApplyConfirmation, FieldWithoutPrimaryGetsNoAlternate) {
    auto clip = clip_at("/m/x.MOV");
    clip.fields = {field("gamut", std::nullopt, Status::Unavailable)};
    export_::apply_confirmation(clip, std::string("ignored, no curve field"),
                                std::string("V-Gamut"));
    ASSERT_EQ(clip.fields.size(), 1u);
    EXPECT_EQ(clip.fields[0].value, "V-Gamut");
    EXPECT_EQ(clip.fields[0].status, Status::Confirmed);
    EXPECT_TRUE(clip.fields[0].alternates.empty());
}

TEST(ApplyConfirmations, MatchesExactPathsAndIgnoresWrongShapes) {
    std::vector<model::Clip> clips = {log_clip("S-Log3", "S-Gamut3"), log_clip("A", "B")};
    clips[1].path = "/m/a001/C0001.MP4"; // differs only in letter case
    const auto doc = nlohmann::json::parse(R"({
        "/m/A001/C0001.MP4": {"curve": 5, "gamut": "S-Gamut3.Cine", "other": "x"},
        "/m/a001/C0001.MP4x": {"curve": "nope"},
        "A001/C0001.MP4": {"curve": "nope"}
    })");
    export_::apply_confirmations(clips, doc);
    EXPECT_EQ(clips[0].fields[1].value, "S-Log3"); // a number is not a curve
    EXPECT_EQ(clips[0].fields[1].status, Status::Found);
    EXPECT_EQ(clips[0].fields[2].value, "S-Gamut3.Cine");
    EXPECT_EQ(clips[0].fields[2].status, Status::Confirmed);
    EXPECT_EQ(clips[1].fields[1].value, "A");

    for (const char* bad : {"[]", "null", R"({"/m/A001/C0001.MP4": "S-Log3"})"}) {
        auto copy = clips;
        export_::apply_confirmations(copy, nlohmann::json::parse(bad));
        EXPECT_EQ(copy[0].fields[1].value, "S-Log3") << bad;
    }
}

TEST(ResolveInputSpace, NamesTrustworthyKnownPairs) {
    struct Case {
        const char* curve;
        const char* gamut;
        Status status;
        const char* from;
        std::optional<std::string> expected;
    };
    const std::vector<Case> cases = {
        {"S-Log3", "S-Gamut3.Cine", Status::Found, "zun-sony", "S-Gamut3.Cine/S-Log3"},
        {"S-Log3", "S-Gamut3", Status::Found, "zun-sony", "S-Gamut3/S-Log3"},
        {"S-Log2", "S-Gamut", Status::Found, "zun-sony", "S-Gamut/S-Log2"},
        {"S-Log2", "S-Gamut3", Status::Found, "zun-sony", std::nullopt},
        {"Canon Log 2", "Cinema Gamut", Status::Found, "zun-cndm",
         "Canon Cinema Gamut/Canon Log 2"},
        {"Canon Log 3", "Cinema Gamut", Status::Found, "zun-cndm",
         "Canon Cinema Gamut/Canon Log 3"},
        {"Canon Log", "Cinema Gamut", Status::Found, "zun-cndm", std::nullopt},
        {"V-Log", "V-Gamut", Status::Confirmed, "exiftool", "Panasonic V-Gamut/V-Log"},
        {"V-Log", "V-Gamut", Status::Found, "exiftool", std::nullopt},
        {"S-Log3", "S-Gamut3.Cine", Status::Computed, "zun-sony", std::nullopt},
        {"S-Log3", "S-Gamut3.Cine", Status::SourcesDiffer, "zun-sony", std::nullopt},
        {"S-Log3", "S-Gamut3.Cine", Status::Found, "zun-rule", std::nullopt},
        {"s-log3", "S-Gamut3.Cine", Status::Found, "zun-sony", std::nullopt},
    };
    for (const auto& c : cases) {
        const auto space =
            export_::resolve_input_space(log_clip(c.curve, c.gamut, c.status, c.from));
        ASSERT_EQ(space.has_value(), c.expected.has_value()) << c.curve << " " << c.gamut;
        if (space) {
            EXPECT_EQ(space->first, *c.expected);
            EXPECT_EQ(space->second, c.curve);
        }
    }

    // Only one of the two fields trustworthy: nothing.
    auto clip = log_clip("S-Log3", "S-Gamut3.Cine");
    clip.fields[2].status = Status::SourcesDiffer;
    EXPECT_FALSE(export_::resolve_input_space(clip));
    clip.fields.pop_back();
    EXPECT_FALSE(export_::resolve_input_space(clip));
}

TEST(PlanJson, CarriesTheCsvValuesAndTheInputSpace) {
    auto clip = log_clip("V-Log", "V-Gamut", Status::Found, "exiftool");
    EXPECT_EQ(json_writer::compact(export_::plan_json(clip)),
              R"({"dir":"/m/A001","input":null,"name":"C0001.MP4","path":"/m/A001/C0001.MP4",)"
              R"("values":[["Camera Manufacturer","Sony"],["Gamma Notes","V-Log"],)"
              R"(["Color Space Notes","V-Gamut"]]})");

    const auto confirmations =
        nlohmann::json::parse(R"({"/m/A001/C0001.MP4": {"curve": "V-Log", "gamut": "V-Gamut"}})");
    std::vector<model::Clip> clips = {clip};
    export_::apply_confirmations(clips, confirmations);
    EXPECT_EQ(json_writer::compact(export_::plan_json(clips[0])["input"]),
              R"({"curve":"V-Log","value":"Panasonic V-Gamut/V-Log"})");
}

} // namespace
