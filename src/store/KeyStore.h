#pragma once

#include "base/Encoding.h"
#include "base/Result.h"

#include <filesystem>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

namespace quorlinth {

// Secret items addressed by (service, account), like generic-password keychain items.
// Implementations are thread-safe.
class KeyStore {
public:
    virtual ~KeyStore() = default;
    // nullopt when the item is absent or cannot be read.
    virtual std::optional<Bytes> read(const std::string& service, const std::string& account) = 0;
    // Adds the item or replaces its data.
    virtual Result<void> write(const std::string& service, const std::string& account, const Bytes& data) = 0;
    // Removing an absent item succeeds.
    virtual Result<void> remove(const std::string& service, const std::string& account) = 0;
};

// The Secret Service (desktop keyring) when one answers on the session bus, otherwise a
// FileKeyStore at appDataDir()/keys/keys.json.
std::unique_ptr<KeyStore> makeKeyStore();

// Items in one JSON file (mode 0600, folder 0700), data base64-encoded, written atomically.
class FileKeyStore : public KeyStore {
public:
    // `file` is the JSON file; its folder is created with mode 0700 when missing.
    explicit FileKeyStore(std::filesystem::path file);

    std::optional<Bytes> read(const std::string& service, const std::string& account) override;
    Result<void> write(const std::string& service, const std::string& account, const Bytes& data) override;
    Result<void> remove(const std::string& service, const std::string& account) override;

    const std::filesystem::path& file() const { return path; }

private:
    std::filesystem::path path;
    std::mutex mutex;
};

} // namespace quorlinth
