#include "ReleaseFolder.h"

#include <cerrno>
#include <fcntl.h>
#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

namespace quorlinth::service {

namespace {

constexpr std::string_view kManifestName = "release.json";

bool endsWith(std::string_view text, std::string_view suffix) {
    return text.size() >= suffix.size() && text.substr(text.size() - suffix.size()) == suffix;
}

std::string contentTypeOf(std::string_view name) {
    if (name == kManifestName) return "application/json";
    if (endsWith(name, ".tar.gz") || endsWith(name, ".gz")) return "application/gzip";
    return "application/octet-stream";
}

} // namespace

ReleaseFile::ReleaseFile(int descriptor, uint64_t size, std::string contentType, bool revalidate)
    : descriptor(descriptor), bytes(size), type(std::move(contentType)), revalidate(revalidate) {}

ReleaseFile::~ReleaseFile() {
    if (descriptor >= 0) ::close(descriptor);
}

ReleaseFile::ReleaseFile(ReleaseFile&& other) noexcept
    : descriptor(other.descriptor), bytes(other.bytes), type(std::move(other.type)),
      revalidate(other.revalidate) {
    other.descriptor = -1;
}

int64_t ReleaseFile::readAt(uint64_t offset, char* into, size_t capacity) const {
    while (true) {
        ssize_t count = ::pread(descriptor, into, capacity, off_t(offset));
        if (count >= 0 || errno != EINTR) return count;
    }
}

Result<ReleaseFolder> ReleaseFolder::open(const std::filesystem::path& folder) {
    std::error_code error;
    if (!std::filesystem::is_directory(folder, error))
        return Error{"--releases " + folder.string() + " is not a directory"};
    return ReleaseFolder(folder);
}

bool ReleaseFolder::isPublishedName(std::string_view name) {
    if (name.empty() || name.size() > NAME_MAX || name.front() == '.') return false;
    for (char c : name) {
        bool allowed = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
                       c == '.' || c == '_' || c == '-';
        if (!allowed) return false;
    }
    return true;
}

std::optional<ReleaseFile> ReleaseFolder::find(std::string_view name) const {
    if (!isPublishedName(name)) return std::nullopt;
    // O_NOFOLLOW refuses a symbolic link; O_NONBLOCK keeps a FIFO from hanging the open.
    std::string path = (folder / std::string(name)).string();
    int descriptor = ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (descriptor < 0) return std::nullopt;
    struct stat status {};
    if (::fstat(descriptor, &status) != 0 || !S_ISREG(status.st_mode)) {
        ::close(descriptor);
        return std::nullopt;
    }
    return ReleaseFile(descriptor, uint64_t(status.st_size), contentTypeOf(name), name == kManifestName);
}

} // namespace quorlinth::service
