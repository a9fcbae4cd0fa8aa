#include "esds/internal.hpp"

#include "support/bytes.hpp"

#include <gtest/gtest.h>

using namespace testing_support;

namespace {

std::string describe(const std::optional<esds::AacConfig>& c) {
    if (!c) return "-";
    auto text = [](const auto& v) { return v ? std::to_string(*v) : std::string("-"); };
    return "type " + std::to_string(c->object_type) + " config " +
           std::to_string(c->channel_configuration) + " ch " + text(c->channels) + " rate " +
           text(c->sample_rate);
}

std::string describe(const std::optional<std::vector<esds::AacTrack>>& tracks) {
    if (!tracks) return "-";
    std::string out;
    for (const esds::AacTrack& t : *tracks)
        out += "track " + std::to_string(t.track) + ": " + describe(t.config) + ";";
    return out;
}

// A descriptor with its size in four bytes, as ffmpeg writes it.
Bytes descriptor(std::uint8_t tag, const Bytes& body) {
    const auto n = static_cast<std::uint8_t>(body.size());
    return cat({u8({tag, 0x80, 0x80, 0x80, n}), body});
}

// An "esds" payload: ES_Descriptor with `es_fields` (ES_ID, flags, optional fields), then a
// DecoderConfigDescriptor of object type `oti` holding `asc`.
Bytes esds_payload(const Bytes& es_fields, std::uint8_t oti, const Bytes& asc) {
    const Bytes decoder = descriptor(4, cat({u8({oti, 0x15}), zeros(11), descriptor(5, asc)}));
    return cat({zeros(4), descriptor(3, cat({es_fields, decoder, descriptor(6, u8({2}))}))});
}

} // namespace

TEST(EsdsAudioSpecificConfig, Fields) {
    const std::pair<Bytes, const char*> cases[] = {
        {u8({0x11, 0x88}), "type 2 config 1 ch 1 rate 48000"},
        {u8({0x11, 0x90}), "type 2 config 2 ch 2 rate 48000"},
        {u8({0x11, 0xB0}), "type 2 config 6 ch 6 rate 48000"},
        {u8({0x11, 0xB8}), "type 2 config 7 ch 8 rate 48000"},
        {u8({0x11, 0xC0}), "type 2 config 8 ch - rate 48000"},
        {u8({0x11, 0xD8}), "type 2 config 11 ch 7 rate 48000"},
        {u8({0xF9, 0x46, 0x40}), "type 42 config 2 ch 2 rate 48000"},            // escaped type
        {u8({0x17, 0x80, 0x56, 0x22, 0x10}), "type 2 config 2 ch 2 rate 44100"}, // explicit
        {u8({0x17, 0x80, 0x00, 0x00, 0x08}), "type 2 config 1 ch 1 rate -"},     // explicit 0
        {u8({0x16, 0x90}), "type 2 config 2 ch 2 rate -"},                       // index 13
        {u8({0x2B, 0x11, 0x88}), "type 5 config 2 ch 2 rate 48000"},             // SBR: 24 kHz core
        {u8({0xEB, 0x09, 0x88}), "type 29 config 1 ch 2 rate 48000"},
        // AAC LC with SBR and PS in a sync extension; without the PS part it stays mono.
        {u8({0x13, 0x08, 0x56, 0xE5, 0x9D, 0x48, 0x80}), "type 2 config 1 ch 2 rate 24000"},
        {u8({0x13, 0x08, 0x56, 0xE5, 0x98}), "type 2 config 1 ch 1 rate 24000"},
        {u8({0x2B, 0x11}), "-"}, // SBR without its rate
        {u8({0x11}), "-"},
        {{}, "-"},
    };
    for (const auto& [bytes, expected] : cases)
        EXPECT_EQ(describe(esds::parse_audio_specific_config(bytes)), expected) << to_string(bytes);
}

TEST(EsdsAudioSpecificConfig, FoundInDescriptors) {
    const Bytes asc = u8({0x11, 0x88});
    Bytes long_size = esds_payload(u8({0, 1, 0}), 0x40, asc);
    long_size.insert(long_size.begin() + 5, 0x80); // ES_Descriptor size in five bytes
    const std::pair<Bytes, bool> cases[] = {
        {esds_payload(u8({0, 1, 0}), 0x40, asc), true},
        {esds_payload(u8({0, 1, 0}), 0x67, asc), true},
        {esds_payload(u8({0, 1, 0}), 0x6B, asc), false}, // MPEG-1 audio
        {esds_payload(u8({0, 1, 0xE0, 0, 2, 3, 'a', 'b', 'c', 0, 4}), 0x40, asc), true},
        {esds_payload(u8({0, 1, 0x40, 9, 'a'}), 0x40, asc), false}, // URL past the descriptor
        {cat({zeros(4), descriptor(3, cat({u8({0, 1, 0}), descriptor(4, zeros(12))}))}), false},
        {cat({zeros(4), u8({3, 0x7f}), zeros(3)}), false},
        {long_size, false},
    };
    for (const auto& [payload, found] : cases) {
        const auto got = esds::audio_specific_config(payload);
        EXPECT_EQ(got ? Bytes(got->begin(), got->end()) : Bytes{}, found ? asc : Bytes{})
            << to_string(payload);
    }
}

TEST(EsdsRead, Tracks) {
    const Bytes esds = box("esds", esds_payload(u8({0, 1, 0}), 0x40, u8({0x11, 0xB0})));
    // A file whose one track's stsd has `version` and an "mp4a" entry of sound version `sound`,
    // with `fields` bytes before its child boxes; `before` comes first in the "moov".
    auto file = [](std::uint8_t version, std::uint16_t sound, std::size_t fields, Bytes children,
                   const Bytes& before = {}) {
        const Bytes entry = box("mp4a", cat({zeros(8), be16(sound), zeros(fields - 10), children}));
        const Bytes trak = track(box("stsd", cat({u8({version, 0, 0, 0}), be32(1), entry})));
        return cat({box("ftyp", ascii("isom")), box("moov", cat({before, trak}))});
    };
    const Bytes wave = box("wave", cat({box("frma", ascii("mp4a")), esds, be32(8), zeros(4)}));
    const char* const k51 = "track 1: type 2 config 6 ch 6 rate 48000;";
    const std::pair<Bytes, const char*> cases[] = {
        {file(0, 0, 28, esds), k51},
        {file(0, 1, 44, wave), k51}, // QuickTime sound description version 1
        {file(1, 1, 28, esds), k51}, // ISO entry version 1 under stsd version 1
        {file(0, 2, 64, wave), k51},
        {file(0, 3, 64, esds), "-"},
        {file(0, 0, 28, esds, cat({box("mvhd", zeros(4)), sample_track("avc1", 0, 1)})),
         "track 2: type 2 config 6 ch 6 rate 48000;"},
        {file(0, 0, 28, box("esds", esds_payload(u8({0, 1, 0}), 0x40, u8({0x11, 0x80})))), "-"},
        // The mono MP4's sample entry says 2 channels; the MOV puts "esds" in "wave".
        {format_sample("mpeg4_25_aacmono.mp4"), "track 2: type 2 config 1 ch 1 rate 48000;"},
        {format_sample("mpeg4_25_aac51.mov"), "track 2: type 2 config 6 ch 6 rate 48000;"},
    };
    for (const auto& [content, expected] : cases)
        EXPECT_EQ(describe(esds::read(boxes::parse_container(io::ByteSource(content)))), expected)
            << expected;
}
