// Fuzz target: the Canon metadata sample decoder.
#include <cstddef>
#include <cstdint>

#include "cndm/internal.hpp"
#include "fuzz/fuzz_support.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const cndm::Cndm a = cndm::parse_sample({data, size});
    const cndm::Cndm b = cndm::parse_sample({data, size});
    fuzz_support::require(a.curve == b.curve && a.gamut == b.gamut,
                          "parse_sample is not repeatable");
    if (a.curve) (void)cndm::curve_name(*a.curve);
    if (a.gamut) (void)cndm::gamut_name(*a.gamut);
    return 0;
}
