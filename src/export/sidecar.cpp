// Sidecar documents, their location and the safe write through a temporary file.
#include <cerrno>
#include <charconv>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "export/export.hpp"
#include "json_writer/json_writer.hpp"
#include "text/text.hpp"

namespace export_ {

namespace {

using model::Json;

constexpr std::string_view sidecar_suffix = ".zun-metadata.json";
constexpr std::string_view schema = "zun-metadata/1";
constexpr std::string_view schema_prefix = "zun-metadata/";
// An existing file larger than this is not read back; it cannot be one of our sidecars.
constexpr off_t max_existing_size = 64 * 1024 * 1024;

std::string decimal(model::u128 value) {
    std::string digits;
    do {
        digits.insert(digits.begin(), static_cast<char>('0' + static_cast<int>(value % 10)));
        value /= 10;
    } while (value != 0);
    return digits;
}

std::string errno_text(int err) {
    return error_text(std::error_code(err, std::generic_category()));
}

// What stands at the sidecar path.
enum class Existing {
    Proceed, // nothing, a directory, or a path that cannot be inspected: later steps decide
    Own,     // one of our sidecars
    Foreign, // anything else: left alone
};

bool is_own_sidecar(const std::string& bytes) {
    Json doc = Json::parse(bytes, nullptr, false);
    if (doc.is_discarded() || !doc.is_object()) return false;
    auto it = doc.find("schema");
    if (it == doc.end() || !it->is_string()) return false;
    const auto& value = it->get_ref<const std::string&>();
    return value.size() >= 13 && value.starts_with(schema_prefix);
}

// Reads a regular file of bounded size; absent when it cannot be read whole.
std::optional<std::string> read_bounded(const fs::path& path) {
    // O_NONBLOCK keeps a FIFO swapped in after the type check from blocking the open.
    int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return std::nullopt;
    struct stat st {};
    std::optional<std::string> result;
    if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_size <= max_existing_size) {
        std::string bytes;
        char buf[65536];
        bool failed = false;
        for (;;) {
            ssize_t n = ::read(fd, buf, sizeof buf);
            if (n < 0 && errno == EINTR) continue;
            if (n < 0) {
                failed = true;
                break;
            }
            if (n == 0) break;
            bytes.append(buf, static_cast<std::size_t>(n));
            if (bytes.size() > static_cast<std::size_t>(max_existing_size)) {
                failed = true;
                break;
            }
        }
        if (!failed) result = std::move(bytes);
    }
    ::close(fd);
    return result;
}

Existing inspect(const fs::path& path) {
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0) return Existing::Proceed;
    if (S_ISLNK(st.st_mode) && ::stat(path.c_str(), &st) != 0)
        return Existing::Foreign; // a dangling or looping link is not ours to replace
    if (S_ISDIR(st.st_mode)) return Existing::Proceed;
    if (!S_ISREG(st.st_mode)) return Existing::Foreign; // FIFOs, sockets, devices
    auto bytes = read_bounded(path);
    if (!bytes || !text::is_utf8(*bytes)) return Existing::Foreign;
    return is_own_sidecar(*bytes) ? Existing::Own : Existing::Foreign;
}

// Creates a temporary file beside `target` that did not exist before; never opens an
// existing file. Gives the descriptor and its path, or the errno of the failure.
std::variant<std::pair<int, fs::path>, int> create_temporary(const fs::path& target) {
    fs::path tmp = target;
    tmp += ".tmp";
    for (unsigned attempt = 0; attempt < 100; ++attempt) {
        if (attempt > 0) {
            tmp = target;
            tmp += ".tmp." + std::to_string(::getpid()) + "." + std::to_string(attempt);
        }
        int fd = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0666);
        if (fd >= 0) return std::pair<int, fs::path>(fd, tmp);
        if (errno != EEXIST) return errno;
    }
    return EEXIST;
}

// Writes all of `bytes` and syncs them to disk; 0 or the errno of the failure.
int write_synced(int fd, std::string_view bytes) {
    std::size_t done = 0;
    while (done < bytes.size()) {
        ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return errno;
        done += static_cast<std::size_t>(n);
    }
    if (::fsync(fd) != 0) return errno;
    return 0;
}

// Makes the rename itself durable; failures only weaken durability and are ignored.
void sync_directory(const fs::path& dir) {
    int fd = ::open(dir.empty() ? "." : dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return;
    (void)::fsync(fd);
    ::close(fd);
}

void append_escaped(std::string& out, std::string_view text) {
    for (char32_t cp : text::code_points(text)) {
        switch (cp) {
        case U'"':
            out += "\\\"";
            break;
        case U'\\':
            out += "\\\\";
            break;
        case U'\n':
            out += "\\n";
            break;
        case U'\r':
            out += "\\r";
            break;
        case U'\t':
            out += "\\t";
            break;
        default:
            if (cp < 0x20 || cp == 0x7f) {
                char buf[8];
                auto [end, ec] =
                    std::to_chars(buf, buf + sizeof buf, static_cast<unsigned>(cp), 16);
                (void)ec;
                out += "\\u{";
                out.append(buf, end);
                out += '}';
            } else {
                text::append_utf8(out, cp);
            }
        }
    }
}

} // namespace

std::string error_text(const std::error_code& ec) {
    return ec.message() + " (os error " + std::to_string(ec.value()) + ")";
}

bool keep_when_shared(const model::RawTag& tag) {
    const std::string name = text::lower(tag.name);
    for (std::string_view word : {"serial", "filepath", "gps", "owner", "userid"})
        if (name.find(word) != std::string::npos) return false;
    if (name == "sourcefile" || name == "directory") return false;
    return text::lower(tag.group).find("gps") == std::string::npos;
}

Json sidecar_json(const model::Clip& clip, std::string_view exiftool_version, Share share) {
    Json fields = Json::array();
    for (const auto& field : clip.fields)
        fields.push_back(model::to_json(field));
    Json tags = Json::array();
    for (const auto& tag : clip.tags)
        if (share == Share::No || keep_when_shared(tag)) tags.push_back(model::to_json(tag));
    Json readers = Json::array();
    for (const auto& reader : clip.readers)
        readers.push_back(reader);

    Json source = Json::object();
    if (share == Share::No) source["dir"] = clip.dir;
    source["mtime_ns"] = decimal(clip.mtime_ns);
    source["name"] = clip.name;
    source["size"] = clip.size;

    Json doc = Json::object();
    doc["fields"] = std::move(fields);
    doc["generator"] = {{"app", "ZUN Metadata"},
                        {"exiftool", std::string(exiftool_version)},
                        {"version", std::string(core_version)}};
    doc["readers"] = std::move(readers);
    doc["schema"] = std::string(schema);
    doc["share"] = share == Share::Yes;
    doc["source"] = std::move(source);
    doc["tags"] = std::move(tags);
    return doc;
}

bool begins_with(const fs::path& path, const fs::path& prefix) {
    auto p = path.begin();
    for (auto it = prefix.begin(); it != prefix.end(); ++it, ++p)
        if (p == path.end() || *p != *it) return false;
    return true;
}

fs::path sidecar_path(const model::Clip& clip, const fs::path& root,
                      const std::optional<fs::path>& out_dir) {
    std::string file = clip.name;
    file += sidecar_suffix;
    const fs::path dir(clip.dir);
    if (!out_dir) return dir / file;

    fs::path mirrored;
    if (begins_with(dir, root)) {
        auto it = dir.begin();
        for (auto r = root.begin(); r != root.end(); ++r)
            ++it;
        for (; it != dir.end(); ++it) {
            // A root left in the mirrored part (clips sharing no root) would make the join
            // jump out of the output directory.
            if (it->empty() || *it == dir.root_directory() || *it == dir.root_name()) continue;
            mirrored /= *it;
        }
    }
    return *out_dir / mirrored / file;
}

fs::path common_ancestor(const std::vector<model::Clip>& clips) {
    if (clips.empty()) return {};
    fs::path root(clips.front().dir);
    for (std::size_t i = 1; i < clips.size(); ++i) {
        const fs::path dir(clips[i].dir);
        while (!begins_with(dir, root)) {
            fs::path parent = root.parent_path();
            if (parent == root) break;
            root = std::move(parent);
        }
    }
    return root;
}

WriteResult write_sidecar(const model::Clip& clip, const fs::path& root,
                          const std::optional<fs::path>& out_dir, std::string_view exiftool_version,
                          Share share) {
    if (clip.name.empty()) return Error{"clip has no file name"};
    const fs::path target = sidecar_path(clip, root, out_dir);

    switch (inspect(target)) {
    case Existing::Foreign:
        return RefusedForeign{target};
    case Existing::Own:
    case Existing::Proceed:
        break;
    }

    const fs::path parent = target.parent_path();
    if (!parent.empty()) {
        std::error_code ec;
        fs::create_directories(parent, ec);
        if (ec) return Error{error_text(ec)};
        if (!fs::is_directory(parent, ec)) return Error{errno_text(ENOTDIR)};
    }

    const std::string text = json_writer::pretty(sidecar_json(clip, exiftool_version, share));

    auto created = create_temporary(target);
    if (const int* err = std::get_if<int>(&created)) return Error{errno_text(*err)};
    auto [fd, tmp] = std::get<std::pair<int, fs::path>>(std::move(created));
    int err = write_synced(fd, text);
    if (::close(fd) != 0 && err == 0) err = errno;
    if (err == 0 && ::rename(tmp.c_str(), target.c_str()) != 0) err = errno;
    if (err != 0) {
        // The temporary file was created by this call alone, so removing it touches nothing else.
        ::unlink(tmp.c_str());
        return Error{errno_text(err)};
    }
    sync_directory(parent);
    return Written{target};
}

std::string result_text(const WriteResult& result) {
    std::string out;
    auto quoted = [&](const char* variant, std::string_view value) {
        out += variant;
        out += "(\"";
        append_escaped(out, value);
        out += "\")";
    };
    if (const auto* w = std::get_if<Written>(&result))
        quoted("Written", text::path_text(w->path));
    else if (const auto* r = std::get_if<RefusedForeign>(&result))
        quoted("RefusedForeign", text::path_text(r->path));
    else
        quoted("Error", text::lossy(std::get<Error>(result).message));
    return out;
}

} // namespace export_
