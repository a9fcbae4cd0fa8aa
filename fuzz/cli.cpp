// Fuzz target: command-line parsing over arguments split from the input at NUL bytes.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "cli/internal.hpp"
#include "fuzz/fuzz_support.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using fuzz_support::require;
    const std::vector<std::string> args =
        fuzz_support::split(fuzz_support::as_text(data, size), '\0');

    const std::vector<std::string> positional = cli::positionals(args);
    require(positional.size() < args.size(), "more positionals than arguments");
    for (const std::string& p : positional)
        require(std::find(args.begin() + 1, args.end(), p) != args.end(),
                "a positional that is no argument");
    require(cli::positionals(args) == positional, "positionals is not repeatable");

    for (std::string_view option : {"--out-dir", "--confirm", "--also", "--keep", "--out"}) {
        const std::vector<std::string> values = cli::values_of(args, option);
        const std::optional<std::string> first = cli::value_of(args, option);
        require(first.has_value() == !values.empty(), "value_of and values_of disagree");
        if (first && !values.empty()) require(*first == values.front(), "first values differ");
        if (!values.empty()) require(cli::has_flag(args, option), "a value without its option");
    }
    for (const std::string& arg : args)
        require(cli::has_flag(args, arg), "has_flag misses an argument");
    return 0;
}
