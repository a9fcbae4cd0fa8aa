// Fuzz target: the Gyroflow CSV log reader over the input written as a file.
#include <cmath>
#include <cstddef>
#include <cstdint>

#include "fuzz/fuzz_support.hpp"
#include "motion/motion.hpp"

namespace {

using fuzz_support::require;

bool same(const std::optional<model::GyroLog>& a, const std::optional<model::GyroLog>& b) {
    if (a.has_value() != b.has_value()) return false;
    if (!a) return true;
    auto eq = [](double x, double y) { return (std::isnan(x) && std::isnan(y)) || x == y; };
    return eq(a->duration_s, b->duration_s) && a->kind == b->kind && a->path == b->path &&
           eq(a->rate_hz, b->rate_hz) && a->samples == b->samples && a->vendor == b->vendor;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::filesystem::path path = fuzz_support::write_scratch("log.gcsv", {data, size});
    const std::optional<model::GyroLog> log = motion::parse_gcsv(path);
    require(same(log, motion::parse_gcsv(path)), "parse_gcsv is not repeatable");
    if (log) {
        require(std::isfinite(log->duration_s) && log->duration_s >= 0, "duration not finite");
        require(std::isfinite(log->rate_hz) && log->rate_hz >= 0, "rate not finite");
        require(log->samples <= size, "more samples than bytes");
    }
    return 0;
}
