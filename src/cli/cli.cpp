#include "cli/internal.hpp"

#include <algorithm>
#include <array>
#include <cstdio>

namespace cli {

const char* const kUsageText =
    "usage: zun-metadata-core version | scan <path>... | export <path>... [--out-dir D] "
    "[--share] | extract <copy> [--also <copy>]... [--keep <copy>]... [--share] | resolve-csv "
    "<path>... --out F [--unique-only] | resolve-plan <path>...\n";

namespace {

constexpr std::array<std::string_view, 5> kValueOptions = {"--out-dir", "--confirm", "--also",
                                                           "--keep", "--out"};

} // namespace

std::vector<std::string> positionals(const std::vector<std::string>& args) {
    std::vector<std::string> out;
    for (std::size_t i = 1; i < args.size(); ++i) {
        const std::string& arg = args[i];
        if (std::find(kValueOptions.begin(), kValueOptions.end(), arg) != kValueOptions.end()) {
            ++i; // the option's value, whatever it looks like
            continue;
        }
        if (arg.size() >= 2 && arg[0] == '-' && arg[1] == '-') continue;
        out.push_back(arg);
    }
    return out;
}

std::optional<std::string> value_of(const std::vector<std::string>& args, std::string_view option) {
    auto it = std::find(args.begin(), args.end(), option);
    if (it == args.end() || it + 1 == args.end()) return std::nullopt;
    return *(it + 1);
}

std::vector<std::string> values_of(const std::vector<std::string>& args, std::string_view option) {
    std::vector<std::string> out;
    for (std::size_t i = 0; i + 1 < args.size(); ++i)
        if (args[i] == option) out.push_back(args[i + 1]);
    return out;
}

bool has_flag(const std::vector<std::string>& args, std::string_view flag) {
    return std::find(args.begin(), args.end(), flag) != args.end();
}

Options parse(const std::vector<std::string>& args) {
    Options options;
    if (!args.empty()) options.command = args.front();
    options.positionals = positionals(args);
    options.confirm = value_of(args, "--confirm");
    options.out_dir = value_of(args, "--out-dir");
    options.out = value_of(args, "--out");
    options.also = values_of(args, "--also");
    options.keep = values_of(args, "--keep");
    options.share = has_flag(args, "--share");
    options.unique_only = has_flag(args, "--unique-only");
    return options;
}

void print_line(std::FILE* stream, std::string_view text) {
    std::string line(text);
    line += '\n';
    (void)std::fwrite(line.data(), 1, line.size(), stream);
    (void)std::fflush(stream);
}

} // namespace cli
