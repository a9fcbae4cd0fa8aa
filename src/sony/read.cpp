// Locating the camera document of a clip: top-level "meta" boxes, then the
// "moov" payload, then the "M01" sidecar file beside the clip; and the first
// sample of the container's real-time metadata track.
#include <string>

#include "io/io.hpp"
#include "sony/internal.hpp"
#include "text/text.hpp"

namespace sony {

namespace {

// Largest top-level "meta" payload searched for the document (4 MiB).
constexpr std::uint64_t kMaxMetaPayload = 4'194'304;
// Largest sidecar document read; real ones are a few kilobytes (4 MiB).
constexpr std::uint64_t kMaxSidecarSize = 4'194'304;

bool holds_document(std::span<const std::uint8_t> bytes) {
    const std::string_view view(reinterpret_cast<const char*>(bytes.data()), bytes.size());
    return view.find(kRoot) != std::string_view::npos;
}

// The whole file as text when it opens, fits the cap and is valid UTF-8.
std::optional<std::string> read_text(const std::filesystem::path& path) {
    const std::optional<io::ByteSource> file = io::open_source(path);
    if (!file) return std::nullopt;
    const std::optional<std::vector<std::uint8_t>> bytes =
        file->read(0, file->size(), kMaxSidecarSize);
    if (!bytes) return std::nullopt;
    std::string text(bytes->begin(), bytes->end());
    if (!text::is_utf8(text)) return std::nullopt;
    return text;
}

// The "<stem>M01.XML" (else "<stem>M01.xml") document beside the clip.
std::optional<Sony> read_sidecar(const std::filesystem::path& path) {
    const std::filesystem::path stem = path.stem();
    if (!path.has_filename() || stem.empty()) return std::nullopt;
    const std::filesystem::path parent = path.parent_path();
    std::optional<std::string> document;
    for (const char* suffix : {"M01.XML", "M01.xml"}) {
        std::filesystem::path name = stem;
        name += suffix;
        document = read_text(parent / name);
        if (document) break;
    }
    if (!document) return std::nullopt;
    return parse_nrt(*document, "sidecar");
}

std::optional<Sony> read_unguarded(const std::filesystem::path& path,
                                   const boxes::Container* container) {
    std::optional<Sony> result;
    std::optional<boxes::SampleRef> sample;
    if (container) {
        result = read_top_xml(*container);
        if (container->moov) {
            if (!result) result = parse_embedded(*container->moov);
            sample = boxes::find_first_sample(*container->moov, "rtmd");
        }
    }
    if (!result) result = read_sidecar(path);
    if (!result) return std::nullopt;

    // The sample is read only now: it is reported only together with a document.
    if (container && sample) {
        if (std::optional<std::vector<std::uint8_t>> bytes =
                container->source.read(sample->offset, sample->size, boxes::kMaxSampleSize)) {
            result->rtmd = parse_rtmd(*bytes);
        }
    }
    return result;
}

} // namespace

std::optional<Sony> read_top_xml(const boxes::Container& container) {
    for (const boxes::TopBox& box : container.top) {
        if (!boxes::type_is(box.type, "meta")) continue;
        if (box.size - box.header_length > kMaxMetaPayload) continue;
        std::optional<std::vector<std::uint8_t>> payload =
            boxes::read_payload(container.source, box, kMaxMetaPayload);
        if (!payload) return std::nullopt;
        if (!holds_document(*payload)) continue;
        return parse_embedded(*payload);
    }
    return std::nullopt;
}

std::optional<Sony> read(const std::filesystem::path& path, const boxes::Container* container) {
    // Path and string operations may throw std::bad_alloc; nothing escapes the reader.
    try {
        return read_unguarded(path, container);
    } catch (const std::exception&) {
        return std::nullopt;
    }
}

} // namespace sony
