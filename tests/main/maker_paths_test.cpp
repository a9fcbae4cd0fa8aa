// The field engine end to end: the binary, a fake exiftool that reports maker tags,
// and the program's own readers on real files (a Canon metadata track, a Sony document).
#include "json_writer/json_writer.hpp"
#include "support/bytes.hpp"
#include "support/support.hpp"

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

using nlohmann::json;
using namespace testing_support;
namespace fs = std::filesystem;

namespace {

// For each file, reports the members stored beside it in FILE.raw (numeric run) or
// FILE.printed (printed run); neither name is a media file, so discovery passes them over.
const char* tag_tool = R"(
suffix=printed
if [ $numeric = 1 ]; then suffix=raw; fi
printf '['
sep=''
for f in "$@"; do
  printf '%s{"SourceFile":"%s"' "$sep" "$f"
  if [ -f "$f.$suffix" ]; then printf ','; cat "$f.$suffix"; fi
  printf '}'
  sep=','
done
printf ']'
)";

// A card of clips in the media folder, scanned with the stand-in above.
struct Card : FakeTool {
    Card() : FakeTool("12.57", tag_tool) {}
    // A clip whose raw and printed members are `members` (a JSON object body without braces).
    void clip(const std::string& name, const std::string& members,
              const std::string& content = "x") {
        write_file(media / (name + ".raw"), members);
        write_file(media / (name + ".printed"), members);
        write_file(media / name, content);
    }
    // The clip objects of a scan of the card, by file name.
    std::map<std::string, json> scan() {
        std::map<std::string, json> clips;
        for (const json& doc : json_lines(run_core({"scan", media.string()}, env()).out))
            if (doc["event"] == "clip") clips[doc["clip"]["name"]] = doc["clip"];
        return clips;
    }
};

const json& field(const json& clip, const std::string& id) {
    for (const auto& f : clip["fields"])
        if (f["id"] == id) return f;
    static const json none;
    return none;
}

std::string compact(const json& value) {
    return json_writer::compact(value);
}

// A QuickTime file whose only track is a Canon metadata track with the given codes.
std::string canon_movie(std::uint8_t curve, std::uint8_t gamut) {
    const Bytes sample =
        klv_packet(cat({cndm_item(0xe211, 1, curve), cndm_item(0xe212, 2, gamut)}));
    const auto size = static_cast<std::uint32_t>(sample.size());
    return to_string(cat({box("ftyp", ascii("qt  ")), box("mdat", sample),
                          box("moov", sample_track("cndm", 12 + 8, size))}));
}

} // namespace

TEST(MakerPaths, PanasonicVLogPairsTheGamut) {
    Card card;
    card.clip("P1000001.MOV", R"("Panasonic:PhotoStyle":"V-Log")");
    auto clip = card.scan().at("P1000001.MOV");
    EXPECT_EQ(field(clip, "picture_profile")["value"], "V-Log");
    EXPECT_EQ(
        compact(field(clip, "curve")),
        R"({"alternates":[],"id":"curve","note":null,"primary":{"group":"Panasonic","kind":"declared","printed":"V-Log","raw":"V-Log","source":"exiftool","tag":"PhotoStyle"},"section":"color","status":"found","value":"V-Log"})");
    const json& gamut = field(clip, "gamut");
    EXPECT_EQ(gamut["value"], "V-Gamut");
    EXPECT_EQ(gamut["status"], "computed");
    EXPECT_EQ(gamut["primary"]["source"], "zun-rule");
    ASSERT_EQ(gamut["alternates"].size(), 1u);
    EXPECT_EQ(gamut["alternates"][0]["tag"], "PhotoStyle");
}

TEST(MakerPaths, NikonNLogPairsRec2020) {
    Card card;
    card.clip("DSC_0001.MOV", R"("Nikon:PictureControlName":"N-Log")");
    auto clip = card.scan().at("DSC_0001.MOV");
    EXPECT_EQ(field(clip, "curve")["value"], "N-Log");
    EXPECT_EQ(field(clip, "gamut")["value"], "Rec.2020");
    EXPECT_EQ(field(clip, "gamut")["status"], "computed");
    EXPECT_EQ(field(clip, "picture_profile")["value"], "N-Log");
}

TEST(MakerPaths, CanonLogIsAMakerHintUnlessTheMetadataTrackConfirmsIt) {
    Card card;
    const std::string raw = R"("Canon:CanonLogVersion":"V3","Canon:ColorSpace2":"Cinema Gamut")";
    card.clip("A001C001.MOV", raw);
    card.clip("A001C002.MOV", raw, canon_movie(7, 2));
    card.clip("A001C003.MOV", raw, canon_movie(2, 2));
    auto clips = card.scan();

    // Maker notes alone: evidence only.
    const json& hint = field(clips.at("A001C001.MOV"), "curve");
    EXPECT_EQ(hint["value"], nullptr);
    EXPECT_EQ(hint["status"], "unavailable");
    EXPECT_EQ(hint["note"], "maker_hint");
    ASSERT_EQ(hint["alternates"].size(), 1u);
    EXPECT_EQ(hint["alternates"][0]["tag"], "CanonLogVersion");
    EXPECT_EQ(field(clips.at("A001C001.MOV"), "gamut")["note"], "maker_hint");
    EXPECT_EQ(clips.at("A001C001.MOV")["readers"], json::array({"exiftool"}));

    // The metadata track names the same curve: found, with the maker note as alternate.
    const json& rescued = field(clips.at("A001C002.MOV"), "curve");
    EXPECT_EQ(
        compact(rescued),
        R"({"alternates":[{"group":"Canon","kind":"declared","printed":"V3","raw":"V3","source":"exiftool","tag":"CanonLogVersion"}],"id":"curve","note":"cndm_derived","primary":{"group":"Canon cndm","kind":"decoded","printed":"code 07","raw":7,"source":"zun-cndm","tag":"item 0xe211"},"section":"color","status":"found","value":"Canon Log 3"})");
    EXPECT_EQ(field(clips.at("A001C002.MOV"), "gamut")["value"], "Cinema Gamut");
    EXPECT_EQ(clips.at("A001C002.MOV")["readers"], json::array({"exiftool", "zun-cndm"}));

    // The track says Canon Log 2 while the maker note says 3: the track wins, flagged.
    const json& differs = field(clips.at("A001C003.MOV"), "curve");
    EXPECT_EQ(differs["value"], "Canon Log 2");
    EXPECT_EQ(differs["status"], "sources_differ");
    EXPECT_EQ(differs["note"], "differs");
}

TEST(MakerPaths, SonyDocumentOutranksEverySource) {
    Card card;
    const std::string raw = R"("Keys:ViewingGamma":"Rec709","Keys:ViewingGamut":"Rec709",)"
                            R"("Canon:CanonLogVersion":"V3","Nikon:PictureControlName":"N-Log")";
    card.clip("C0001.MP4", raw);
    write_file(card.media / "C0001M01.XML",
               "<NonRealTimeMeta><Device manufacturer=\"Sony\" modelName=\"ILME-FX6V\"/>"
               "<Item name=\"CaptureGammaEquation\" value=\"s-log3\"/>"
               "<Item name=\"CaptureColorPrimaries\" value=\"S-Gamut3-Cine\"/></NonRealTimeMeta>");
    auto clip = card.scan().at("C0001.MP4");
    EXPECT_EQ(
        compact(field(clip, "curve")),
        R"({"alternates":[],"id":"curve","note":"sony_nrt","primary":{"group":"Sony NRT sidecar","kind":"decoded","printed":"s-log3","raw":"s-log3","source":"zun-sony","tag":"CaptureGammaEquation"},"section":"color","status":"found","value":"S-Log3"})");
    // S-Log3 implies S-Gamut3, the document says S-Gamut3.Cine: kept, flagged.
    const json& gamut = field(clip, "gamut");
    EXPECT_EQ(gamut["value"], "S-Gamut3.Cine");
    EXPECT_EQ(gamut["status"], "sources_differ");
    EXPECT_EQ(gamut["note"], "differs");
    EXPECT_EQ(gamut["alternates"].size(), 1u);
    EXPECT_EQ(field(clip, "camera_model")["value"], "ILME-FX6V");
    EXPECT_EQ(clip["readers"], json::array({"exiftool", "zun-sony"}));
}
