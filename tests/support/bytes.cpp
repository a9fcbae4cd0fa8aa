#include "support/bytes.hpp"

#include "support/support.hpp"

#include <fcntl.h>
#include <unistd.h>

namespace testing_support {

namespace {

Bytes be(std::uint64_t v, int n) {
    Bytes out;
    for (int i = n - 1; i >= 0; --i)
        out.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
    return out;
}

} // namespace

Bytes be16(std::uint16_t v) {
    return be(v, 2);
}
Bytes be32(std::uint32_t v) {
    return be(v, 4);
}
Bytes be64(std::uint64_t v) {
    return be(v, 8);
}
Bytes u8(std::initializer_list<std::uint8_t> values) {
    return Bytes(values);
}
Bytes ascii(std::string_view text) {
    return Bytes(text.begin(), text.end());
}
Bytes zeros(std::size_t count) {
    return Bytes(count, 0);
}

Bytes cat(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const Bytes& p : parts)
        out.insert(out.end(), p.begin(), p.end());
    return out;
}

Bytes box(std::string_view type, const Bytes& payload) {
    return raw_box(static_cast<std::uint32_t>(payload.size() + 8), type, payload);
}

Bytes large_box(std::string_view type, const Bytes& payload) {
    return cat({be32(1), ascii(type), be64(payload.size() + 16), payload});
}

Bytes raw_box(std::uint32_t size, std::string_view type, const Bytes& payload) {
    return cat({be32(size), ascii(type), payload});
}

Bytes stco(std::uint32_t offset, std::uint32_t count) {
    return box("stco", cat({be32(0), be32(count), be32(offset)}));
}

Bytes co64(std::uint64_t offset) {
    return box("co64", cat({be32(0), be32(1), be64(offset)}));
}

Bytes stsz(std::uint32_t size) {
    return box("stsz", cat({be32(0), be32(size), be32(1)}));
}

Bytes stsd(std::string_view format) {
    return box("stsd", cat({be32(0), be32(1), be32(16), ascii(format)}));
}

Bytes track(const Bytes& tables) {
    return box("trak", box("mdia", box("minf", box("stbl", tables))));
}

Bytes sample_track(std::string_view format, std::uint32_t offset, std::uint32_t size) {
    return track(cat({stsd(format), stco(offset), stsz(size)}));
}

Bytes cndm_item(std::uint16_t tag, std::uint8_t kind, std::uint8_t code) {
    return cat({be16(tag), be16(16), u8({0x06, 0x0E, 0x2B, 0x34}), zeros(4),
                u8({0x0E, 0x15, 0x00, kind, code}), zeros(3)});
}

Bytes klv_packet(const Bytes& value) {
    return cat({u8({0x06, 0x0E, 0x2B, 0x34}), zeros(12),
                u8({static_cast<std::uint8_t>(value.size())}), value});
}

std::string to_string(std::span<const std::uint8_t> bytes) {
    return std::string(bytes.begin(), bytes.end());
}

std::filesystem::path write_file(const std::filesystem::path& path,
                                 std::span<const std::uint8_t> bytes) {
    return write_file(path, to_string(bytes));
}

bool write_sparse(const std::filesystem::path& path,
                  const std::vector<std::pair<std::uint64_t, Bytes>>& parts, std::uint64_t size) {
    const int fd = ::open(path.c_str(), O_CREAT | O_WRONLY | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) return false;
    bool ok = ::ftruncate(fd, static_cast<off_t>(size)) == 0;
    for (const auto& [offset, bytes] : parts)
        ok = ok && ::pwrite(fd, bytes.data(), bytes.size(), static_cast<off_t>(offset)) ==
                       static_cast<ssize_t>(bytes.size());
    return ::close(fd) == 0 && ok;
}

Bytes format_sample(std::string_view name) {
    return ascii(read_file(kFormatSamples / name));
}

} // namespace testing_support
