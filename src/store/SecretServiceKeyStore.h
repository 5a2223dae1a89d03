#pragma once

#include "store/KeyStore.h"

#include <memory>

namespace quorlinth {

// Items in the desktop keyring through the Secret Service D-Bus API.
class SecretServiceKeyStore : public KeyStore {
public:
    // Null when no Secret Service answers a lookup on the session bus.
    static std::unique_ptr<SecretServiceKeyStore> connect();

    std::optional<Bytes> read(const std::string& service, const std::string& account) override;
    Result<void> write(const std::string& service, const std::string& account, const Bytes& data) override;
    Result<void> remove(const std::string& service, const std::string& account) override;

private:
    SecretServiceKeyStore() = default;
};

} // namespace quorlinth
