// Helpers shared by the fuzz targets: a checked condition that aborts with a message, input
// splitting, and a scratch file holding the input for the one reader that takes a path (the
// motion log reader; the container readers take the input's bytes directly).
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace fuzz_support {

// Aborts with `what` when `condition` is false, so the fuzzer records the input as a crash.
inline void require(bool condition, const char* what) {
    if (condition) return;
    std::fprintf(stderr, "fuzz invariant violated: %s\n", what);
    std::abort();
}

// The input as text, byte for byte.
inline std::string_view as_text(const std::uint8_t* data, std::size_t size) {
    return {reinterpret_cast<const char*>(data), size};
}

// The pieces of `input` between occurrences of `separator`; always at least one piece.
inline std::vector<std::string> split(std::string_view input, char separator) {
    std::vector<std::string> pieces;
    std::size_t begin = 0;
    for (;;) {
        std::size_t at = input.find(separator, begin);
        if (at == std::string_view::npos) {
            pieces.emplace_back(input.substr(begin));
            return pieces;
        }
        pieces.emplace_back(input.substr(begin, at - begin));
        begin = at + 1;
    }
}

// A per-process scratch folder, removed at exit.
struct ScratchDir {
    std::filesystem::path path;
    ScratchDir() {
        std::error_code ec;
        std::filesystem::path base = std::filesystem::temp_directory_path(ec);
        if (ec) base = "/tmp";
        std::string pattern = (base / "zun-fuzz-XXXXXX").string();
        std::vector<char> buffer(pattern.begin(), pattern.end());
        buffer.push_back('\0');
        require(::mkdtemp(buffer.data()) != nullptr, "cannot create a scratch folder");
        path = buffer.data();
    }
    ~ScratchDir() {
        std::error_code ec;
        std::filesystem::remove_all(path, ec);
    }
    ScratchDir(const ScratchDir&) = delete;
    ScratchDir& operator=(const ScratchDir&) = delete;
};

// Writes `bytes` to `name` inside the scratch folder (replacing it) and gives its path.
inline std::filesystem::path write_scratch(std::string_view name,
                                           std::span<const std::uint8_t> bytes) {
    static ScratchDir dir;
    std::filesystem::path path = dir.path / std::string(name);
    std::FILE* out = std::fopen(path.c_str(), "wb");
    require(out != nullptr, "cannot open the scratch file");
    if (!bytes.empty())
        require(std::fwrite(bytes.data(), 1, bytes.size(), out) == bytes.size(),
                "cannot write the scratch file");
    require(std::fclose(out) == 0, "cannot close the scratch file");
    return path;
}

} // namespace fuzz_support
