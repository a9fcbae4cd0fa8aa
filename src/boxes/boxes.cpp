#include "boxes/internal.hpp"

#include <algorithm>
#include <cstring>
#include <memory>
#include <new>
#include <string>

#include "io/io.hpp"

namespace boxes {

namespace {

constexpr std::size_t kHeader = 8;
constexpr std::size_t kLargeHeader = 16;
// The top-level scan's header window: small for the usual few boxes, growing while the
// headers are dense (one per kDenseSpan bytes or closer) so that floods cost few reads.
constexpr std::size_t kWindowFirst = 1024;
constexpr std::size_t kWindowMax = 65536;
constexpr std::size_t kDenseSpan = 64;

std::uint64_t load_be(const std::uint8_t* p, std::size_t n) {
    std::uint64_t v = 0;
    for (std::size_t i = 0; i < n; ++i)
        v = (v << 8) | p[i];
    return v;
}

FourCC fourcc_at(const std::uint8_t* p) {
    return FourCC{p[0], p[1], p[2], p[3]};
}

} // namespace

bool type_is(const FourCC& code, std::string_view type) {
    return type.size() == 4 && std::memcmp(code.data(), type.data(), 4) == 0;
}

std::optional<BoxEntry> child_at(Bytes buffer, std::size_t at) {
    const std::size_t len = buffer.size();
    if (at > len || len - at < kHeader) return std::nullopt;
    const std::uint8_t* h = buffer.data() + at;
    const std::uint64_t size = load_be(h, 4);
    if (size == 0) return BoxEntry{at + kHeader, fourcc_at(h + 4), len};
    if (size == 1) {
        if (len - at < kLargeHeader) return std::nullopt;
        const std::uint64_t large = load_be(h + 8, 8);
        if (large < kLargeHeader || large > len - at) return std::nullopt;
        return BoxEntry{at + kLargeHeader, fourcc_at(h + 4), at + static_cast<std::size_t>(large)};
    }
    if (size < kHeader || size > len - at) return std::nullopt;
    return BoxEntry{at + kHeader, fourcc_at(h + 4), at + static_cast<std::size_t>(size)};
}

std::vector<BoxEntry> children(Bytes buffer) {
    std::vector<BoxEntry> entries;
    for (std::optional<BoxEntry> e = child_at(buffer, 0); e; e = child_at(buffer, e->end))
        entries.push_back(*e);
    return entries;
}

std::optional<Bytes> find(Bytes buffer, std::string_view type) {
    for (std::optional<BoxEntry> e = child_at(buffer, 0); e; e = child_at(buffer, e->end))
        if (type_is(e->type, type)) return buffer.subspan(e->start, e->end - e->start);
    return std::nullopt;
}

std::uint64_t load_be(Bytes bytes) {
    return load_be(bytes.data(), bytes.size());
}

std::optional<std::uint16_t> u16(Bytes buffer, std::size_t offset) {
    if (offset > buffer.size() || buffer.size() - offset < 2) return std::nullopt;
    return static_cast<std::uint16_t>(load_be(buffer.data() + offset, 2));
}

std::optional<std::uint32_t> u32(Bytes buffer, std::size_t offset) {
    if (offset > buffer.size() || buffer.size() - offset < 4) return std::nullopt;
    return static_cast<std::uint32_t>(load_be(buffer.data() + offset, 4));
}

std::optional<std::uint64_t> u64(Bytes buffer, std::size_t offset) {
    if (offset > buffer.size() || buffer.size() - offset < 8) return std::nullopt;
    return load_be(buffer.data() + offset, 8);
}

ScanEnd scan_top_level(const io::ByteSource& source,
                       const std::function<Visit(const TopBox&)>& visit) {
    const std::unique_ptr<std::uint8_t[]> window(new (std::nothrow) std::uint8_t[kWindowMax]);
    if (!window) return ScanEnd::Failed;
    std::uint64_t window_offset = 0; // file offset of window[0]; offsets only grow past it
    std::size_t window_length = 0;   // bytes of the window holding file data
    std::size_t window_size = 0;     // size of the last read, 0 before the first
    std::size_t served = 0;          // headers taken from the current window
    std::uint64_t offset = 0;
    std::size_t visited = 0;
    const std::uint64_t length = source.size();
    while (length >= kHeader && offset <= length - kHeader) {
        if (visited == kMaxTopBoxes) return ScanEnd::Exhausted;
        const std::uint64_t remaining = length - offset;
        const std::size_t want =
            remaining < kLargeHeader ? static_cast<std::size_t>(remaining) : kLargeHeader;
        const std::uint64_t into = offset - window_offset;
        if (into > window_length || window_length - into < want) {
            const bool adjacent = window_size != 0 && into <= window_length;
            const bool dense = served * kDenseSpan >= window_length;
            window_size = adjacent && dense ? std::min(window_size * 2, kWindowMax) : kWindowFirst;
            const std::size_t fill =
                remaining < window_size ? static_cast<std::size_t>(remaining) : window_size;
            const std::optional<std::size_t> filled =
                source.read_into(offset, std::span(window.get(), fill));
            if (!filled) return ScanEnd::Failed;
            window_offset = offset;
            window_length = *filled;
            served = 0;
        }
        const std::size_t at = static_cast<std::size_t>(offset - window_offset);
        const std::size_t got = std::min(want, window_length - at);
        if (got < kHeader) return ScanEnd::Failed;
        const std::uint8_t* h = window.get() + at;
        ++served;

        TopBox box;
        box.type = fourcc_at(h + 4);
        box.offset = offset;
        box.header_length = kHeader;
        box.size = load_be(h, 4);
        if (box.size == 0) {
            box.size = remaining;
        } else if (box.size == 1) {
            if (got < kLargeHeader) return ScanEnd::Failed;
            box.size = load_be(h + 8, 8);
            box.header_length = kLargeHeader;
        }
        if (box.size < box.header_length) return ScanEnd::Failed;
        ++visited;
        if (visit(box) == Visit::Stop) return ScanEnd::Stopped;
        if (box.size > remaining) return ScanEnd::Exhausted;
        offset += box.size;
    }
    return ScanEnd::Exhausted;
}

std::optional<std::vector<std::uint8_t>> read_payload(const io::ByteSource& source,
                                                      const TopBox& box, std::uint64_t limit) {
    if (box.size < box.header_length) return std::nullopt;
    if (box.offset > UINT64_MAX - box.header_length) return std::nullopt;
    return source.read(box.offset + box.header_length, box.size - box.header_length, limit);
}

Container parse_container(io::ByteSource source) {
    Container container{std::move(source), {}, std::nullopt};
    try {
        scan_top_level(container.source, [&](const TopBox& box) {
            container.top.push_back(box);
            return Visit::Continue;
        });
        for (const TopBox& box : container.top) {
            if (!type_is(box.type, "moov")) continue;
            container.moov = read_payload(container.source, box, kMaxMoovPayload);
            break;
        }
    } catch (const std::bad_alloc&) {
        // Out of memory: the boxes listed so far stand, the payload stays absent.
    }
    return container;
}

std::optional<std::uint64_t> first_chunk_offset(Bytes stbl) {
    if (std::optional<Bytes> stco = find(stbl, "stco")) {
        if (stco->size() < 12 || u32(*stco, 4).value_or(0) == 0) return std::nullopt;
        return u32(*stco, 8);
    }
    std::optional<Bytes> co64 = find(stbl, "co64");
    if (!co64 || co64->size() < 16 || u32(*co64, 4).value_or(0) == 0) return std::nullopt;
    return u64(*co64, 8);
}

std::optional<std::uint32_t> first_sample_size(Bytes stbl) {
    std::optional<Bytes> stsz = find(stbl, "stsz");
    if (!stsz || stsz->size() < 12) return std::nullopt;
    const std::uint32_t common = u32(*stsz, 4).value_or(0);
    if (common != 0) return common;
    if (stsz->size() < 16 || u32(*stsz, 8).value_or(0) == 0) return std::nullopt;
    return u32(*stsz, 12);
}

std::optional<Bytes> sample_table(Bytes trak) {
    std::optional<Bytes> mdia = find(trak, "mdia");
    std::optional<Bytes> minf = mdia ? find(*mdia, "minf") : std::nullopt;
    return minf ? find(*minf, "stbl") : std::nullopt;
}

std::optional<SampleRef> find_first_sample(Bytes moov, std::string_view format) {
    for (std::optional<BoxEntry> trak = child_at(moov, 0); trak; trak = child_at(moov, trak->end)) {
        if (!type_is(trak->type, "trak")) continue;
        std::optional<Bytes> stbl =
            sample_table(moov.subspan(trak->start, trak->end - trak->start));
        std::optional<Bytes> stsd = stbl ? find(*stbl, "stsd") : std::nullopt;
        if (!stsd || stsd->size() < 16) continue;
        if (format.size() != 4 || std::memcmp(stsd->data() + 12, format.data(), 4) != 0) continue;
        std::optional<std::uint64_t> offset = first_chunk_offset(*stbl);
        if (!offset) continue;
        std::optional<std::uint32_t> size = first_sample_size(*stbl);
        if (!size || *size == 0 || *size > kMaxSampleSize) continue;
        return SampleRef{*offset, *size};
    }
    return std::nullopt;
}

} // namespace boxes
