// Directories: listings, creation and the working directory.
#include "io/internal.hpp"

#include <cerrno>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace io {

EntryType DirEntry::type() const {
    switch (listed_type_) {
    case DT_REG:
        return EntryType::Regular;
    case DT_DIR:
        return EntryType::Directory;
    case DT_LNK:
        return EntryType::Symlink;
    case DT_UNKNOWN:
        break;
    default:
        return EntryType::Other;
    }
    const std::string name(name_);
    struct stat st {};
    if (::fstatat(dir_fd_, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) return EntryType::Unknown;
    return detail::type_of(st.st_mode);
}

bool for_each_entry(const Path& dir, const std::function<void(const DirEntry&)>& visit) {
    DIR* handle = ::opendir(dir.c_str());
    if (!handle) return false;
    while (const dirent* entry = ::readdir(handle)) {
        const std::string_view name = entry->d_name;
        if (name == "." || name == "..") continue;
        visit(DirEntry(::dirfd(handle), name, entry->d_type));
    }
    ::closedir(handle);
    return true;
}

Status create_directories(const Path& dir) {
    std::error_code ec;
    std::filesystem::create_directories(dir, ec);
    if (ec) return Error{ec.value()};
    auto st = status(dir, Follow::Links);
    if (!st) return Error{errno};
    if (st->type != EntryType::Directory) return Error{ENOTDIR};
    return std::nullopt;
}

std::optional<std::string> current_directory() {
    std::string buffer(256, '\0');
    for (;;) {
        if (::getcwd(buffer.data(), buffer.size()) != nullptr) {
            buffer.resize(std::char_traits<char>::length(buffer.c_str()));
            return buffer;
        }
        if (errno != ERANGE || buffer.size() > (1u << 20)) return std::nullopt;
        buffer.resize(buffer.size() * 2);
    }
}

} // namespace io
