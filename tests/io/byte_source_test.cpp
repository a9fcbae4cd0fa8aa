// Byte sources: a file source and a memory source over the same bytes read alike, every read is
// checked against the size and the caller's limit, and a file is opened without blocking.
#include "io/internal.hpp"

#include "support/bytes.hpp"
#include "support/support.hpp"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

using namespace testing_support;

namespace {

const Bytes kContent = ascii("0123456789");

// What a read gave: its bytes, or "absent".
std::string text_of(const std::optional<std::vector<std::uint8_t>>& bytes) {
    return bytes ? to_string(*bytes) : std::string("absent");
}

} // namespace

TEST(ByteSource, FileAndMemoryReadAlike) {
    TempDir dir;
    std::optional<io::ByteSource> file = io::open_source(write_file(dir / "f.bin", kContent));
    ASSERT_TRUE(file);
    const io::ByteSource memory(kContent);
    struct Case {
        std::uint64_t offset, count, limit;
        const char* expected;
    };
    const Case cases[] = {
        {0, 4, 4, "0123"},
        {6, 4, UINT64_MAX, "6789"},
        {10, 0, 0, ""},                        // an empty range at the end
        {0, 5, 4, "absent"},                   // over the caller's limit
        {0, 11, UINT64_MAX, "absent"},         // past the end
        {11, 0, UINT64_MAX, "absent"},         // an offset past the end
        {1, UINT64_MAX, UINT64_MAX, "absent"}, // a hostile size
        {UINT64_MAX, 1, 1, "absent"},
    };
    const io::ByteSource* sources[] = {&*file, &memory};
    for (const io::ByteSource* source : sources) {
        EXPECT_EQ(source->size(), kContent.size());
        for (const Case& c : cases)
            EXPECT_EQ(text_of(source->read(c.offset, c.count, c.limit)), c.expected)
                << c.offset << "+" << c.count << (source == &memory ? " memory" : " file");
        // A window read stops at the end of the source.
        std::vector<std::uint8_t> window(8, '.');
        EXPECT_EQ(source->read_into(7, window), 3u);
        EXPECT_EQ(to_string(window), "789.....");
        EXPECT_EQ(source->read_into(10, window), 0u);
        EXPECT_EQ(source->read_into(UINT64_MAX, window), 0u);
    }
}

TEST(ByteSource, FileReadsAreCountedAndShortReadsRefused) {
    TempDir dir;
    const auto path = write_file(dir / "f.bin", kContent);
    const io::Counts before = io::counts();
    std::optional<io::ByteSource> file = io::open_source(path);
    ASSERT_TRUE(file);
    EXPECT_EQ(text_of(file->read(2, 3, 3)), "234");
    const io::Counts after = io::counts();
    EXPECT_EQ(after.opens - before.opens, 1u);
    EXPECT_EQ(after.reads - before.reads, 1u);
    EXPECT_EQ(after.bytes - before.bytes, 3u);
    // The file shrinks after it was opened: a read of bytes that are gone is refused.
    ASSERT_EQ(::truncate(path.c_str(), 5), 0);
    EXPECT_EQ(text_of(file->read(2, 3, 3)), "234");
    EXPECT_EQ(text_of(file->read(2, 8, 8)), "absent");
}

TEST(ByteSource, OnlyRegularFilesOpen) {
    TempDir dir;
    EXPECT_FALSE(io::open_source(dir / "missing.mov"));
    EXPECT_FALSE(io::open_source(dir.path)); // a directory
    // A FIFO without a writer would block a plain open forever.
    const auto fifo = dir / "pipe.mov";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    bool opened = true;
    EXPECT_EQ(blocking_open({fifo}, [&] { opened = io::open_source(fifo).has_value(); }), "");
    EXPECT_FALSE(opened);
}
