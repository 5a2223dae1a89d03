#include "store/SecretServiceKeyStore.h"

#include <cstdlib>
#include <filesystem>
#include <libsecret/secret.h>
#include <mutex>

namespace quorlinth {

namespace {

const SecretSchema kSchema = {"com.pelmarock.quorlinth.Secret",
                              SECRET_SCHEMA_NONE,
                              {{"service", SECRET_SCHEMA_ATTRIBUTE_STRING},
                               {"account", SECRET_SCHEMA_ATTRIBUTE_STRING},
                               {nullptr, SECRET_SCHEMA_ATTRIBUTE_STRING}},
                              0,
                              nullptr,
                              nullptr,
                              nullptr,
                              nullptr,
                              nullptr,
                              nullptr,
                              nullptr};

// libsecret's blocking calls each spin their own main loop; one at a time keeps them simple.
std::mutex& keyringMutex() {
    static std::mutex mutex;
    return mutex;
}

struct ErrorHolder {
    GError* error = nullptr;
    ~ErrorHolder() {
        if (error) g_error_free(error);
    }
};

// Without an address or a socket at the standard place there is no bus to ask, and libsecret
// would otherwise try to autolaunch one.
bool sessionBusReachable() {
    if (const char* address = std::getenv("DBUS_SESSION_BUS_ADDRESS"); address && *address) return true;
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    std::error_code error;
    return runtime && *runtime && std::filesystem::exists(std::filesystem::path(runtime) / "bus", error);
}

} // namespace

std::unique_ptr<SecretServiceKeyStore> SecretServiceKeyStore::connect() {
    if (!sessionBusReachable()) return nullptr;
    std::lock_guard lock(keyringMutex());
    ErrorHolder failure;
    SecretValue* value = secret_password_lookup_binary_sync(&kSchema, nullptr, &failure.error, "service",
                                                            "quorlinth.probe", "account", "probe", nullptr);
    if (value) secret_value_unref(value);
    if (failure.error) return nullptr;
    return std::unique_ptr<SecretServiceKeyStore>(new SecretServiceKeyStore());
}

std::optional<Bytes> SecretServiceKeyStore::read(const std::string& service, const std::string& account) {
    std::lock_guard lock(keyringMutex());
    ErrorHolder failure;
    SecretValue* value = secret_password_lookup_binary_sync(
        &kSchema, nullptr, &failure.error, "service", service.c_str(), "account", account.c_str(), nullptr);
    if (!value) return std::nullopt;
    gsize size = 0;
    const gchar* bytes = secret_value_get(value, &size);
    Bytes data(reinterpret_cast<const uint8_t*>(bytes), reinterpret_cast<const uint8_t*>(bytes) + size);
    secret_value_unref(value);
    return data;
}

Result<void> SecretServiceKeyStore::write(const std::string& service, const std::string& account,
                                          const Bytes& data) {
    std::lock_guard lock(keyringMutex());
    ErrorHolder failure;
    SecretValue* value = secret_value_new(reinterpret_cast<const gchar*>(data.data()),
                                          static_cast<gssize>(data.size()), "application/octet-stream");
    const std::string label = "Quorlinth " + service + " " + account;
    const gboolean stored = secret_password_store_binary_sync(
        &kSchema, SECRET_COLLECTION_DEFAULT, label.c_str(), value, nullptr, &failure.error, "service",
        service.c_str(), "account", account.c_str(), nullptr);
    secret_value_unref(value);
    if (!stored) return Error{"系统密钥环拒绝保存，请确认它已解锁"};
    return {};
}

Result<void> SecretServiceKeyStore::remove(const std::string& service, const std::string& account) {
    std::lock_guard lock(keyringMutex());
    ErrorHolder failure;
    secret_password_clear_sync(&kSchema, nullptr, &failure.error, "service", service.c_str(), "account",
                               account.c_str(), nullptr);
    if (failure.error) return Error{"系统密钥环拒绝删除，请确认它已解锁"};
    return {};
}

} // namespace quorlinth
