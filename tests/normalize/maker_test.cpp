#include <gtest/gtest.h>

#include "normalize/normalize.hpp"
#include "normalize/tags.hpp"

namespace {

// The colour block of a clip, in its order: picture profile, curve, gamut.
struct Block {
    Field pp, curve, gamut;
};

Block block(const std::vector<RawTag>& tags, const std::optional<cndm::Cndm>& cndm = std::nullopt,
            const std::optional<sony::Sony>& sony = std::nullopt) {
    const auto f = normalize::build_fields(tags, {.canon = cndm, .sony = sony}, 0, "");
    EXPECT_EQ(f[11].id, "picture_profile");
    EXPECT_EQ(f[12].id, "curve");
    EXPECT_EQ(f[13].id, "gamut");
    return {f[11], f[12], f[13]};
}

sony::Sony sony_doc(std::optional<std::string> gamma, std::optional<std::string> primaries,
                    std::string origin = "embedded") {
    sony::Sony s;
    s.origin = std::move(origin);
    s.capture_gamma = std::move(gamma);
    s.capture_primaries = std::move(primaries);
    return s;
}

TEST(ColorBlock, PanasonicVLogPairsTheGamut) {
    const auto b = block({t("Panasonic", "PhotoStyle", 9, "V-Log")});
    EXPECT_EQ(b.pp.value, "V-Log");
    EXPECT_EQ(b.curve.value, "V-Log");
    EXPECT_EQ(b.curve.status, Status::Found);
    EXPECT_EQ(b.gamut.value, "V-Gamut");
    EXPECT_EQ(b.gamut.status, Status::Computed);
    EXPECT_EQ(b.gamut.note, "pair_rule");
    ASSERT_TRUE(b.gamut.primary);
    EXPECT_EQ(b.gamut.primary->source, "zun-rule");
    EXPECT_EQ(b.gamut.primary->group, "pair");
    EXPECT_EQ(b.gamut.primary->tag, "V-Log->V-Gamut");
    EXPECT_EQ(b.gamut.primary->printed, "V-Log");
    EXPECT_EQ(b.gamut.primary->raw, Json(9));
    EXPECT_EQ(b.gamut.primary->kind, Kind::Computed);
    ASSERT_EQ(b.gamut.alternates.size(), 1u);
    EXPECT_EQ(b.gamut.alternates[0].tag, "PhotoStyle");
    EXPECT_EQ(b.gamut.alternates[0].kind, Kind::Declared);
}

TEST(ColorBlock, NikonNLogPairsRec2020) {
    const auto b = block({t("Nikon", "PictureControlName", "N-Log")});
    EXPECT_EQ(b.pp.value, "N-Log");
    EXPECT_EQ(b.curve.value, "N-Log");
    EXPECT_EQ(b.gamut.value, "Rec.2020");
    EXPECT_EQ(b.gamut.status, Status::Computed);
    EXPECT_EQ(b.gamut.primary->tag, "N-Log->Rec.2020");
    EXPECT_EQ(b.gamut.primary->printed, std::nullopt); // the tag had no printed text
}

TEST(ColorBlock, CanonLogVersionVocabulary) {
    struct Case {
        std::string printed;
        std::optional<std::string> hint;
    };
    const Case cases[] = {
        {"V1", "Canon Log"},   {"CLog", "Canon Log"}, {"V2", "Canon Log 2"},
        {"V3", "Canon Log 3"}, {"n/a", std::nullopt}, {"Off", std::nullopt},
    };
    for (const auto& c : cases) {
        const auto b = block({t("Canon", "CanonLogVersion", 1, c.printed)});
        EXPECT_FALSE(b.curve.value) << c.printed;
        if (c.hint) {
            // A maker hint never stands alone as the value: it survives as evidence.
            EXPECT_EQ(b.curve.note, "maker_hint") << c.printed;
            ASSERT_EQ(b.curve.alternates.size(), 1u);
            EXPECT_EQ(b.curve.alternates[0].tag, "CanonLogVersion");
        } else {
            EXPECT_EQ(b.curve.note, std::nullopt) << c.printed;
            EXPECT_TRUE(b.curve.alternates.empty());
        }
    }
}

TEST(ColorBlock, CanonMetadataTrackRescuesTheHint) {
    const std::vector<RawTag> tags = {t("Canon", "CanonLogVersion", 3, "V3")};

    auto b = block(tags, cndm::Cndm{7, std::nullopt});
    EXPECT_EQ(b.curve.value, "Canon Log 3");
    EXPECT_EQ(b.curve.status, Status::Found);
    EXPECT_EQ(b.curve.note, "cndm_derived");
    ASSERT_TRUE(b.curve.primary);
    EXPECT_EQ(b.curve.primary->source, "zun-cndm");
    EXPECT_EQ(b.curve.primary->group, "Canon cndm");
    EXPECT_EQ(b.curve.primary->tag, "item 0xe211");
    EXPECT_EQ(b.curve.primary->printed, "code 07");
    EXPECT_EQ(b.curve.primary->raw, Json(7));
    ASSERT_EQ(b.curve.alternates.size(), 1u);
    EXPECT_EQ(b.curve.alternates[0].tag, "CanonLogVersion");

    b = block(tags, cndm::Cndm{2, std::nullopt});
    EXPECT_EQ(b.curve.value, "Canon Log 2");
    EXPECT_EQ(b.curve.status, Status::SourcesDiffer);
    EXPECT_EQ(b.curve.note, "differs");

    // An unnamed code leaves the hint to be demoted, and with no earlier value is unmapped.
    b = block(tags, cndm::Cndm{9, 255});
    EXPECT_EQ(b.curve.note, "maker_hint");
    EXPECT_EQ(b.gamut.note, "cndm_unmapped");
    ASSERT_EQ(b.gamut.alternates.size(), 1u);
    EXPECT_EQ(b.gamut.alternates[0].printed, "code 255");
    EXPECT_EQ(b.gamut.alternates[0].tag, "item 0xe212");
}

TEST(ColorBlock, UnnamedCodeKeepsViewingMetadata) {
    const auto b = block({t("Keys", "ViewingGamma", "HLG"), t("Keys", "ViewingGamut", "Rec.2020")},
                         cndm::Cndm{9, 2});
    EXPECT_EQ(b.curve.value, "HLG");
    EXPECT_EQ(b.curve.note, "viewing_metadata");
    EXPECT_EQ(b.curve.primary->source, "exiftool");
    // A named gamut code outranks the viewing metadata and keeps it as evidence.
    EXPECT_EQ(b.gamut.value, "Cinema Gamut");
    EXPECT_EQ(b.gamut.status, Status::SourcesDiffer);
    EXPECT_EQ(b.gamut.alternates.size(), 1u);
}

TEST(ColorBlock, CanonColorSpaceAndPictureStyle) {
    auto b = block({t("Canon", "ColorSpace2", 1, "Cinema Gamut"),
                    t("Canon", "PictureStyle", 129, "Standard")});
    EXPECT_EQ(b.pp.value, "Picture Style: Standard");
    EXPECT_FALSE(b.gamut.value);
    EXPECT_EQ(b.gamut.note, "maker_hint");
    EXPECT_EQ(b.gamut.alternates[0].printed, "Cinema Gamut");

    b = block({t("Canon", "ColorSpace2", 1, "CinemaGamut")}, cndm::Cndm{std::nullopt, 2});
    EXPECT_EQ(b.gamut.value, "Cinema Gamut");
    EXPECT_EQ(b.gamut.status, Status::Found); // same letters as the Canon hint's value

    // A Panasonic photo style already set the profile: the Canon picture style waits.
    b = block({t("Panasonic", "PhotoStyle", 1, "Standard"), t("Canon", "PictureStyle", 1, "Fine")});
    EXPECT_EQ(b.pp.value, "Standard");
}

TEST(ColorBlock, SonyDocumentOutranksAll) {
    const std::vector<RawTag> tags = {t("Keys", "ViewingGamma", "Rec.709"),
                                      t("Canon", "ColorSpace2", 1, "BT.709")};
    auto b = block(tags, cndm::Cndm{7, 2}, sony_doc("s-log3-cine", "s-gamut3"));
    EXPECT_EQ(b.curve.value, "S-Log3");
    EXPECT_EQ(b.curve.note, "sony_nrt");
    EXPECT_EQ(b.curve.status, Status::Found);
    EXPECT_TRUE(b.curve.alternates.empty());
    EXPECT_EQ(b.curve.primary->source, "zun-sony");
    EXPECT_EQ(b.curve.primary->group, "Sony NRT");
    EXPECT_EQ(b.curve.primary->tag, "CaptureGammaEquation");
    EXPECT_EQ(b.curve.primary->printed, "s-log3-cine");
    EXPECT_EQ(b.curve.primary->raw, Json("s-log3-cine"));
    EXPECT_EQ(b.gamut.value, "S-Gamut3");
    EXPECT_EQ(b.gamut.status, Status::SourcesDiffer);
    EXPECT_EQ(b.gamut.note, "differs");
    ASSERT_EQ(b.gamut.alternates.size(), 1u);
    EXPECT_EQ(b.gamut.alternates[0].tag, "CaptureGammaEquation (implied gamut)");
    EXPECT_EQ(b.gamut.alternates[0].printed, "S-Gamut3.Cine");
    EXPECT_EQ(b.gamut.alternates[0].raw, Json("S-Gamut3.Cine"));

    b = block({}, std::nullopt, sony_doc("s-log3", "s-gamut3", "sidecar"));
    EXPECT_EQ(b.gamut.status, Status::Found);
    EXPECT_TRUE(b.gamut.alternates.empty());
    EXPECT_EQ(b.gamut.primary->group, "Sony NRT sidecar");

    // A Sony text without a display name still replaces every earlier source.
    b = block(tags, cndm::Cndm{7, std::nullopt}, sony_doc("hlg", std::nullopt));
    EXPECT_FALSE(b.curve.value);
    EXPECT_EQ(b.curve.note, "sony_unmapped");
    ASSERT_EQ(b.curve.alternates.size(), 1u);
    EXPECT_EQ(b.curve.alternates[0].source, "zun-sony");
    EXPECT_EQ(b.gamut.note, "maker_hint"); // no Sony primaries: the Canon hint is demoted
}

TEST(ColorBlock, UnmappedContainerGammaLabel) {
    auto b = block({t("Track1", "CaptureGammaEquation", "06.0e.2b.34")});
    EXPECT_EQ(b.curve.note, "ul_unmapped");
    ASSERT_EQ(b.curve.alternates.size(), 1u);
    EXPECT_EQ(b.curve.alternates[0].kind, Kind::Container);
    b = block({t("Track1", "CaptureGammaEquation", "x"), t("Keys", "ViewingGamma", "PQ")});
    EXPECT_EQ(b.curve.value, "PQ");
}

TEST(ContainerLabels, TrackColourDescription) {
    const std::vector<RawTag> tags = {t("Track1", "ColorPrimaries", 1, "BT.709"),
                                      t("Track1", "TransferCharacteristics", 2, "Unspecified"),
                                      t("Track1", "MatrixCoefficients", 0, "Unknown (0)")};
    const auto f = normalize::build_fields(tags, {}, 0, "");
    EXPECT_EQ(f[14].id, "container_primaries");
    EXPECT_EQ(f[14].value, "BT.709");
    EXPECT_EQ(f[14].note, "container_label");
    EXPECT_EQ(f[14].primary->kind, Kind::Container);
    EXPECT_EQ(f[15].value, "Unspecified");
    EXPECT_EQ(f[16].id, "container_matrix");
    EXPECT_EQ(f[16].status, Status::Unavailable);
    EXPECT_EQ(f[16].note, std::nullopt);
}

// MXF and Matroska colour code points read as exiftool names them in a QuickTime colr box; a
// track tag outranks them, an unnamed code point leaves the label unavailable.
TEST(ContainerLabels, ReadersCodePoints) {
    mxf::Header hlg;
    hlg.color_primaries = 9;
    hlg.transfer_characteristic = 18;
    hlg.coding_equations = 3;
    mkv::Tracks pq;
    pq.tracks.resize(1);
    pq.tracks[0].number = 1;
    pq.tracks[0].type = mkv::kVideo;
    pq.tracks[0].colour = mkv::Colour{};
    pq.tracks[0].colour->matrix = 0;
    pq.tracks[0].colour->transfer = 16;
    pq.tracks[0].colour->primaries = 1;
    auto labels = [](const std::vector<RawTag>& tags, const normalize::Readings& readings) {
        const auto f = normalize::build_fields(tags, readings, 0, "");
        std::string out;
        for (std::size_t i = 14; i <= 16; ++i)
            out += (f[i].primary ? f[i].primary->source + "=" + *f[i].value : "-") + ";";
        return out;
    };
    EXPECT_EQ(labels({}, {.mxf = hlg}),
              "zun-mxf=BT.2020, BT.2100;zun-mxf=BT.2100 HLG, ARIB STD-B67;-;");
    EXPECT_EQ(labels({}, {.mkv = pq}),
              "zun-mkv=BT.709;zun-mkv=SMPTE ST 2084, ITU BT.2100 PQ;zun-mkv=Identity matrix;");
    EXPECT_EQ(labels({t("Track1", "ColorPrimaries", 1, "BT.709")}, {.mxf = hlg}),
              "exiftool=BT.709;zun-mxf=BT.2100 HLG, ARIB STD-B67;-;");
    const auto f = normalize::build_fields({}, {.mxf = hlg}, 0, "");
    EXPECT_EQ(f[14].note, "container_label");
    EXPECT_EQ(f[14].primary->raw, 9);
    EXPECT_EQ(f[14].primary->kind, Kind::Decoded);
}

} // namespace
