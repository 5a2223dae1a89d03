#include "store/AtomicFile.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace quorlinth {

namespace fs = std::filesystem;

namespace {

Error systemError(const std::string& action, const fs::path& path) {
    return Error{action + " " + path.string() + ": " + std::strerror(errno)};
}

bool writeAll(int fd, std::string_view contents) {
    while (!contents.empty()) {
        const ssize_t written = ::write(fd, contents.data(), contents.size());
        if (written < 0 && errno == EINTR) continue;
        if (written <= 0) return false;
        contents.remove_prefix(static_cast<size_t>(written));
    }
    return true;
}

// Makes the rename itself durable.
void syncFolder(const fs::path& folder) {
    const int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return;
    ::fsync(fd);
    ::close(fd);
}

} // namespace

Result<void> writeFileAtomically(const fs::path& path, std::string_view contents, mode_t mode) {
    const fs::path folder = path.parent_path().empty() ? fs::path(".") : path.parent_path();
    std::string temporary = (folder / ("." + path.filename().string() + ".XXXXXX")).string();
    const int fd = ::mkostemp(temporary.data(), O_CLOEXEC);
    if (fd < 0) return systemError("cannot create a temporary file in", folder);

    const bool written = ::fchmod(fd, mode) == 0 && writeAll(fd, contents) && ::fsync(fd) == 0;
    std::optional<Error> failure;
    if (!written) failure = systemError("cannot write", temporary);
    if (::close(fd) != 0 && !failure) failure = systemError("cannot close", temporary);
    if (failure) {
        ::unlink(temporary.c_str());
        return *failure;
    }
    if (::rename(temporary.c_str(), path.c_str()) != 0) {
        const Error renameError = systemError("cannot replace", path);
        ::unlink(temporary.c_str());
        return renameError;
    }
    syncFolder(folder);
    return {};
}

std::optional<std::string> readSmallFile(const fs::path& path, size_t maxSize) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return std::nullopt;
    struct stat status {};
    if (::fstat(fd, &status) != 0 || !S_ISREG(status.st_mode) ||
        static_cast<uintmax_t>(status.st_size) > maxSize) {
        ::close(fd);
        return std::nullopt;
    }
    std::string contents;
    char buffer[16384];
    for (;;) {
        const ssize_t got = ::read(fd, buffer, sizeof buffer);
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) {
            ::close(fd);
            return std::nullopt;
        }
        if (got == 0) break;
        contents.append(buffer, static_cast<size_t>(got));
        if (contents.size() > maxSize) {
            ::close(fd);
            return std::nullopt;
        }
    }
    ::close(fd);
    return contents;
}

} // namespace quorlinth
