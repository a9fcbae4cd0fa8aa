// Fuzz target: the Gyroflow CSV log reader over the input written as a file.
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "fuzz/fuzz_support.hpp"
#include "motion/internal.hpp"

namespace {

using fuzz_support::require;

bool same(const std::optional<model::GyroLog>& a, const std::optional<model::GyroLog>& b) {
    if (a.has_value() != b.has_value()) return false;
    if (!a) return true;
    auto eq = [](double x, double y) { return (std::isnan(x) && std::isnan(y)) || x == y; };
    return eq(a->duration_s, b->duration_s) && a->kind == b->kind && a->path == b->path &&
           eq(a->rate_hz, b->rate_hz) && a->samples == b->samples && a->vendor == b->vendor;
}

// The file to read. An input starting with 0xFF, K, D stands for the rest of the input with
// spaces put at the start of its K-th line so that the line's byte D lands on the reader's
// 64 KiB chunk boundary: short inputs then still reach the code joining chunks.
std::vector<std::uint8_t> file_bytes(const std::uint8_t* data, std::size_t size) {
    if (size < 3 || data[0] != 0xFF) return {data, data + size};
    std::vector<std::uint8_t> body(data + 3, data + size);
    std::vector<std::size_t> line_starts{0};
    for (std::size_t i = 0; i < body.size(); ++i)
        if (body[i] == '\n') line_starts.push_back(i + 1);
    const std::size_t at = line_starts[data[1] % line_starts.size()];
    const std::size_t boundary = 64 * 1024;
    if (at + data[2] < boundary) body.insert(body.begin() + at, boundary - at - data[2], ' ');
    return body;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::vector<std::uint8_t> bytes = file_bytes(data, size);
    size = bytes.size();
    const std::filesystem::path path = fuzz_support::write_scratch("log.gcsv", bytes);
    const std::optional<model::GyroLog> log = motion::parse_gcsv(path);
    require(same(log, motion::parse_gcsv(path)), "parse_gcsv is not repeatable");
    if (log) {
        require(std::isfinite(log->duration_s) && log->duration_s >= 0, "duration not finite");
        require(std::isfinite(log->rate_hz) && log->rate_hz >= 0, "rate not finite");
        require(log->samples <= size, "more samples than bytes");
    }
    return 0;
}
