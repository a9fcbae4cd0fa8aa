#include "klv/klv.hpp"

#include <algorithm>

namespace klv {

std::optional<Length> ber_length(Bytes bytes, std::size_t at, std::size_t max_bytes) {
    if (at >= bytes.size()) return std::nullopt;
    const std::uint8_t first = bytes[at];
    if (first < 0x80) return Length{first, 1};
    const std::size_t count = first & 0x7Fu;
    if (count == 0 || count > std::min<std::size_t>(max_bytes, 8) || bytes.size() - at - 1 < count)
        return std::nullopt;
    std::uint64_t value = 0;
    for (std::size_t i = 0; i < count; ++i)
        value = (value << 8) | bytes[at + 1 + i];
    return Length{value, 1 + count};
}

std::optional<LocalItem> local_item(Bytes set, std::size_t at) {
    if (at > set.size() || set.size() - at < 4) return std::nullopt;
    const auto tag = static_cast<std::uint16_t>((set[at] << 8) | set[at + 1]);
    const std::size_t length = static_cast<std::size_t>((set[at + 2] << 8) | set[at + 3]);
    if (set.size() - at - 4 < length) return std::nullopt;
    return LocalItem{tag, set.subspan(at + 4, length), at + 4 + length};
}

SetEnd walk_local_set(Bytes set, const std::function<void(const LocalItem&)>& visit) {
    std::size_t at = 0;
    while (at < set.size()) {
        const std::optional<LocalItem> item = local_item(set, at);
        if (!item) return SetEnd::Cut;
        visit(*item);
        at = item->end;
    }
    return SetEnd::Complete;
}

} // namespace klv
