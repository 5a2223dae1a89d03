#include "updates/UpdateArchive.h"

#include <archive.h>
#include <archive_entry.h>
#include <cerrno>
#include <memory>
#include <sys/stat.h>
#include <system_error>

namespace quorlinth {

namespace fs = std::filesystem;

namespace {

constexpr const char* kUnsafe = "安装包含有不安全的路径";
constexpr const char* kUnreadable = "安装包无法解开";
constexpr const char* kTooLarge = "安装包内容过大";
constexpr const char* kDiskFull = "磁盘空间不足";
constexpr const char* kUnwritable = "无法写入临时文件夹";
constexpr size_t kBlockSize = 64 * 1024;

struct ReaderDeleter {
    void operator()(archive* reader) const { archive_read_free(reader); }
};
struct WriterDeleter {
    void operator()(archive* writer) const { archive_write_free(writer); }
};

bool climbsOrEmpty(const fs::path& path) {
    if (path.empty() || path.is_absolute() || path.has_root_name() || path.has_root_directory()) return true;
    for (const auto& part : path)
        if (part == "..") return true;
    return false;
}

Error writeFailure(archive* writer) {
    int code = archive_errno(writer);
    if (code == ENOSPC || code == EDQUOT) return Error{kDiskFull};
    return Error{kUnwritable};
}

// Checks one entry and points it into `destination`; an error for anything not allowed.
Result<void> admit(archive_entry* entry, const fs::path& destination, uint64_t& total) {
    const char* name = archive_entry_pathname(entry);
    if (!name || !isContainedEntryPath(name)) return Error{kUnsafe};
    if (archive_entry_hardlink(entry)) return Error{kUnsafe};
    mode_t type = archive_entry_filetype(entry);
    if (type == AE_IFLNK) {
        const char* target = archive_entry_symlink(entry);
        if (!target || !isContainedLinkTarget(target)) return Error{kUnsafe};
    } else if (type != AE_IFREG && type != AE_IFDIR) {
        return Error{kUnsafe};
    }
    if (archive_entry_size(entry) < 0) return Error{kUnreadable};
    total += uint64_t(archive_entry_size(entry));
    if (total > kMaxUnpackedBytes) return Error{kTooLarge};
    archive_entry_set_perm(entry, archive_entry_perm(entry) & 0755);
    archive_entry_set_pathname(entry, (destination / fs::path(name).relative_path()).c_str());
    return {};
}

Result<void> copyData(archive* reader, archive* writer) {
    for (;;) {
        const void* block = nullptr;
        size_t size = 0;
        la_int64_t offset = 0;
        int status = archive_read_data_block(reader, &block, &size, &offset);
        if (status == ARCHIVE_EOF) return {};
        if (status < ARCHIVE_WARN) return Error{kUnreadable};
        if (archive_write_data_block(writer, block, size, offset) < ARCHIVE_WARN) return writeFailure(writer);
    }
}

} // namespace

bool isContainedEntryPath(std::string_view name) {
    return !climbsOrEmpty(fs::path(name));
}

bool isContainedLinkTarget(std::string_view target) {
    return !climbsOrEmpty(fs::path(target));
}

Result<void> unpackReleaseArchive(const fs::path& archivePath, const fs::path& destinationPath) {
    std::error_code error;
    fs::create_directories(destinationPath, error);
    // Symbolic links on the way to the folder would trip the writer's own link checks.
    fs::path destination = fs::canonical(destinationPath, error);
    if (error) return Error{kUnwritable};

    std::unique_ptr<archive, ReaderDeleter> reader(archive_read_new());
    archive_read_support_filter_gzip(reader.get());
    archive_read_support_format_tar(reader.get());
    if (archive_read_open_filename(reader.get(), archivePath.c_str(), kBlockSize) != ARCHIVE_OK)
        return Error{kUnreadable};

    std::unique_ptr<archive, WriterDeleter> writer(archive_write_disk_new());
    archive_write_disk_set_options(writer.get(), ARCHIVE_EXTRACT_TIME | ARCHIVE_EXTRACT_PERM |
                                                     ARCHIVE_EXTRACT_SECURE_SYMLINKS |
                                                     ARCHIVE_EXTRACT_SECURE_NODOTDOT);

    uint64_t total = 0;
    for (size_t count = 0;; ++count) {
        archive_entry* entry = nullptr;
        int status = archive_read_next_header(reader.get(), &entry);
        if (status == ARCHIVE_EOF) break;
        if (status < ARCHIVE_WARN) return Error{kUnreadable};
        if (count >= kMaxArchiveEntries) return Error{kTooLarge};
        if (auto admitted = admit(entry, destination, total); !admitted) return admitted;
        if (archive_write_header(writer.get(), entry) < ARCHIVE_WARN) return writeFailure(writer.get());
        if (archive_entry_size(entry) > 0)
            if (auto copied = copyData(reader.get(), writer.get()); !copied) return copied;
        if (archive_write_finish_entry(writer.get()) < ARCHIVE_WARN) return writeFailure(writer.get());
    }
    if (archive_write_close(writer.get()) != ARCHIVE_OK) return writeFailure(writer.get());
    return {};
}

} // namespace quorlinth
