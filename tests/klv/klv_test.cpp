// BER lengths and local sets: every form the readers accept, and every way input is cut short.
#include "klv/klv.hpp"

#include "support/bytes.hpp"

#include <gtest/gtest.h>

#include <string>

using namespace testing_support;

namespace {

std::string describe(const std::optional<klv::Length>& length) {
    return length ? std::to_string(length->value) + "/" + std::to_string(length->size) : "absent";
}

} // namespace

TEST(KlvBerLength, Forms) {
    struct Case {
        Bytes bytes;
        std::size_t at, max_bytes;
        const char* expected; // value/size
    };
    const Case cases[] = {
        {u8({0x05}), 0, 8, "5/1"},
        {u8({0xAA, 0x7F}), 1, 0, "127/1"},  // the short form needs no length bytes
        {u8({0x80, 0x00}), 0, 8, "absent"}, // indefinite
        {u8({0x81, 0xFF}), 0, 1, "255/2"},
        {u8({0x84, 1, 2, 3, 4}), 0, 4, "16909060/5"},
        {u8({0x85, 0, 0, 0, 0, 9}), 0, 4, "absent"}, // more length bytes than allowed
        {u8({0x85, 0, 0, 0, 0, 9}), 0, 8, "9/6"},
        {cat({u8({0x88}), Bytes(8, 0xFF)}), 0, 8, "18446744073709551615/9"},
        {cat({u8({0x89}), Bytes(9, 0x00)}), 0, 9, "absent"}, // never more than 8
        {u8({0x82, 0x01}), 0, 8, "absent"},                  // cut short
        {u8({0x05}), 1, 8, "absent"},
        {{}, 0, 8, "absent"},
    };
    for (const Case& c : cases)
        EXPECT_EQ(describe(klv::ber_length(c.bytes, c.at, c.max_bytes)), c.expected)
            << to_string(c.bytes) << " at " << c.at;
}

TEST(KlvLocalSet, WalkAndItems) {
    struct Case {
        Bytes set;
        const char* visited; // tag:length of each item
        klv::SetEnd end;
    };
    const Case cases[] = {
        {{}, "", klv::SetEnd::Complete},
        {cat({be16(0x3C0A), be16(2), u8({1, 2}), be16(0x8001), be16(0)}), "3c0a:2 8001:0 ",
         klv::SetEnd::Complete},
        {cat({be16(0x1501), be16(1), u8({7}), be16(0x1502), be16(3), u8({1, 2})}), "1501:1 ",
         klv::SetEnd::Cut}, // a value past the end
        {cat({be16(0x1501), be16(0), u8({0x15, 0x02, 0x00})}), "1501:0 ",
         klv::SetEnd::Cut}, // a header cut short
    };
    for (const Case& c : cases) {
        std::string visited;
        const klv::SetEnd end = klv::walk_local_set(c.set, [&](const klv::LocalItem& item) {
            char text[16];
            std::snprintf(text, sizeof text, "%04x:%zu ", item.tag, item.value.size());
            visited += text;
        });
        EXPECT_EQ(visited, c.visited);
        EXPECT_EQ(end, c.end) << c.visited;
    }
    const Bytes set = cat({be16(0x8005), be16(2), u8({9, 8})});
    const std::optional<klv::LocalItem> item = klv::local_item(set, 0);
    ASSERT_TRUE(item);
    EXPECT_EQ(item->end, 6u);
    EXPECT_EQ(to_string(item->value), "\x09\x08");
    EXPECT_FALSE(klv::local_item(set, 3));
    EXPECT_FALSE(klv::local_item(set, 7));
}
