#include "store/KeyStore.h"

#include "base/Json.h"
#include "store/AtomicFile.h"
#include "store/Paths.h"
#include "store/SecretServiceKeyStore.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <system_error>
#include <unistd.h>

namespace quorlinth {

namespace fs = std::filesystem;

namespace {

constexpr size_t kMaxFileSize = 4 * 1024 * 1024;
constexpr mode_t kFileMode = 0600;
constexpr mode_t kFolderMode = 0700;

// The file holds {"<service>": {"<account>": "<base64 data>"}}; anything else reads as empty.
Json loadItems(const fs::path& file) {
    std::optional<std::string> text = readSmallFile(file, kMaxFileSize);
    if (!text) return Json::object();
    return parseJsonObject(*text).value_or(Json::object());
}

Result<void> makeFolder(const fs::path& folder) {
    if (folder.empty()) return {};
    std::error_code error;
    if (fs::is_directory(folder, error)) return {};
    fs::create_directories(folder.parent_path(), error);
    if (::mkdir(folder.c_str(), kFolderMode) != 0 && errno != EEXIST) {
        return Error{"无法创建文件夹 " + folder.string()};
    }
    return {};
}

// Serialises read-modify-write cycles with other processes using the same file (the
// application and the command-line tool). Locking the folder leaves no extra file behind.
class FolderLock {
public:
    explicit FolderLock(const fs::path& folder)
        : fd(::open(folder.empty() ? "." : folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC)) {
        if (fd >= 0) ::flock(fd, LOCK_EX);
    }
    ~FolderLock() {
        if (fd >= 0) ::close(fd);
    }
    FolderLock(const FolderLock&) = delete;
    FolderLock& operator=(const FolderLock&) = delete;

private:
    int fd;
};

template <class Change> Result<void> changeItems(const fs::path& file, Change change) {
    if (Result<void> folder = makeFolder(file.parent_path()); !folder) return folder;
    FolderLock lock(file.parent_path());
    Json items = loadItems(file);
    if (!change(items)) return {};
    // The reason reaches people inside a sentence of their own language; the library's wording
    // would not.
    if (!writeFileAtomically(file, dumpJson(items) + "\n", kFileMode))
        return Error{"无法写入文件 " + file.string()};
    return {};
}

} // namespace

std::unique_ptr<KeyStore> makeKeyStore() {
    if (std::unique_ptr<SecretServiceKeyStore> keyring = SecretServiceKeyStore::connect()) return keyring;
    return std::make_unique<FileKeyStore>(appDataDir() / "keys" / "keys.json");
}

FileKeyStore::FileKeyStore(fs::path file) : path(std::move(file)) {}

std::optional<Bytes> FileKeyStore::read(const std::string& service, const std::string& account) {
    std::lock_guard lock(mutex);
    const Json items = loadItems(path);
    const Json* accounts = field::object(items, service);
    if (!accounts) return std::nullopt;
    std::optional<std::string> encoded = field::string(*accounts, account);
    if (!encoded) return std::nullopt;
    return base64Decode(*encoded);
}

Result<void> FileKeyStore::write(const std::string& service, const std::string& account, const Bytes& data) {
    std::lock_guard lock(mutex);
    return changeItems(path, [&](Json& items) {
        if (!items[service].is_object()) items[service] = Json::object();
        items[service][account] = base64Encode(data);
        return true;
    });
}

Result<void> FileKeyStore::remove(const std::string& service, const std::string& account) {
    std::lock_guard lock(mutex);
    return changeItems(path, [&](Json& items) {
        auto accounts = items.find(service);
        if (accounts == items.end() || !accounts->is_object() || accounts->erase(account) == 0) return false;
        if (accounts->empty()) items.erase(accounts);
        return true;
    });
}

} // namespace quorlinth
