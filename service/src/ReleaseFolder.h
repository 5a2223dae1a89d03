#pragma once

#include "base/Result.h"

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

namespace quorlinth::service {

// One published file, open and ready to be streamed; its descriptor closes with it. Whoever
// replaces the file meanwhile (a new release) does not change what this answer sends.
class ReleaseFile {
public:
    ReleaseFile(int descriptor, uint64_t size, std::string contentType, bool revalidate);
    ~ReleaseFile();
    ReleaseFile(ReleaseFile&& other) noexcept;
    ReleaseFile& operator=(ReleaseFile&&) = delete;
    ReleaseFile(const ReleaseFile&) = delete;

    uint64_t size() const { return bytes; }
    const std::string& contentType() const { return type; }
    // The manifest changes with every release, so caches must ask again each time.
    bool mustRevalidate() const { return revalidate; }
    // Reads up to `capacity` bytes at `offset`; the count, 0 at the end, -1 on a read error.
    int64_t readAt(uint64_t offset, char* into, size_t capacity) const;

private:
    int descriptor;
    uint64_t bytes;
    std::string type;
    bool revalidate;
};

// The folder published at /download/: the manifest the updater reads and the archives it
// names. Only a regular file directly in the folder is served, under a name of letters,
// digits, '.', '_' and '-' that does not start with a dot: no subfolders, no hidden files,
// no symbolic links (which could point out of the folder), nothing that blocks on open.
class ReleaseFolder {
public:
    explicit ReleaseFolder(std::filesystem::path folder) : folder(std::move(folder)) {}
    // Fails unless `folder` is a directory.
    static Result<ReleaseFolder> open(const std::filesystem::path& folder);

    static bool isPublishedName(std::string_view name);
    std::optional<ReleaseFile> find(std::string_view name) const;

private:
    std::filesystem::path folder;
};

} // namespace quorlinth::service
