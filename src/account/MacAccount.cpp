#include "account/MacAccount.h"

#include "base/Uuid.h"
#include "store/KeyStore.h"

#include <chrono>
#include <unistd.h>

namespace quorlinth {

namespace {

bool isValidUtf8(const std::string& text) {
    size_t i = 0;
    while (i < text.size()) {
        unsigned char lead = text[i];
        size_t length = lead < 0x80           ? 1
                        : (lead >> 5) == 0x6  ? 2
                        : (lead >> 4) == 0xE  ? 3
                        : (lead >> 3) == 0x1E ? 4
                                              : 0;
        if (length == 0 || i + length > text.size()) return false;
        uint32_t code = length == 1 ? lead : lead & (0x7F >> length);
        for (size_t j = 1; j < length; ++j) {
            unsigned char next = text[i + j];
            if ((next & 0xC0) != 0x80) return false;
            code = (code << 6) | (next & 0x3F);
        }
        // Overlong forms, surrogates and values past U+10FFFF are not UTF-8.
        static constexpr uint32_t kMinimum[] = {0, 0, 0x80, 0x800, 0x10000};
        if (code < kMinimum[length] || (code >= 0xD800 && code <= 0xDFFF) || code > 0x10FFFF) return false;
        i += length;
    }
    return true;
}

std::string hostName() {
    char name[256] = {};
    if (gethostname(name, sizeof(name) - 1) != 0) return {};
    return name;
}

} // namespace

std::shared_ptr<MacAccount> MacAccount::create(std::shared_ptr<KeyStore> keyStore, Options options,
                                               const Dispatcher& completions) {
    return std::make_shared<MacAccount>(std::move(keyStore), std::move(options), completions);
}

MacAccount::MacAccount(std::shared_ptr<KeyStore> keyStore, Options options, const Dispatcher& completions)
    : keys(std::move(keyStore)), options(std::move(options)), client(this->options.service, completions) {
    load();
}

int64_t MacAccount::now() const {
    if (options.now) return options.now();
    return std::chrono::duration_cast<std::chrono::seconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

void MacAccount::publish() {
    if (onChange) onChange();
}

void MacAccount::setMessage(std::string text) {
    notice = std::move(text);
    publish();
}

void MacAccount::setBusy(bool value) {
    working = value;
    publish();
}

void MacAccount::cancelPasswordSetup() {
    pendingSMSResponse.reset();
    passwordSetupPending = false;
    publish();
}

void MacAccount::load() {
    auto data = keys->read(kKeyStoreService, kSessionItem);
    if (!data) return;
    auto sessions = AccountSessions::decodeStored(toString(*data));
    if (!sessions) return;
    stored = std::move(*sessions);
    choices = savedAccountChoices(stored, options.service);
    if (stored.activeKey) {
        auto found = stored.sessions.find(*stored.activeKey);
        if (found != stored.sessions.end() && options.service.isServiceBase(found->second.base))
            active = found->second;
    }
}

MacResult<void> MacAccount::saveSessions(const std::optional<std::string>& activeKey,
                                         AccountSessions sessions) {
    sessions.activeKey = activeKey;
    auto written = keys->write(kKeyStoreService, kSessionItem, toBytes(dumpJson(sessions.toJson())));
    if (!written) return MacFailure::message("无法保存账号到钥匙串（" + written.error() + "）");
    stored = std::move(sessions);
    choices = savedAccountChoices(stored, options.service);
    active.reset();
    if (activeKey) {
        auto found = stored.sessions.find(*activeKey);
        if (found != stored.sessions.end()) active = found->second;
    }
    publish();
    return {};
}

MacResult<void> MacAccount::store(const MacCredentials& credentials) {
    std::string key = accountKey(credentials);
    AccountSessions sessions = stored;
    sessions.sessions[key] = credentials;
    return saveSessions(key, std::move(sessions));
}

bool MacAccount::isStillActive(const MacCredentials& credentials) const {
    return active && active->deviceToken == credentials.deviceToken;
}

MacResult<std::string> MacAccount::installationID() {
    if (auto data = keys->read(kKeyStoreService, kInstallationItem)) {
        std::string text = toString(*data);
        if (!text.empty() && isValidUtf8(text)) return text;
    }
    std::string fresh = uuidV4(LetterCase::upper);
    auto written = keys->write(kKeyStoreService, kInstallationItem, toBytes(fresh));
    if (!written) return MacFailure::message("无法保存账号到钥匙串（" + written.error() + "）");
    return fresh;
}

void MacAccount::login(const std::string& username, const std::string& password, Done<void> done) {
    Json body{{"username", username}, {"password", password}};
    client.request(options.service.apiBaseURL, "/v1/auth/login", "POST", "", body,
                   [weak = weak_from_this(), done](MacResult<Json> answer) {
                       auto self = weak.lock();
                       if (!self) return;
                       if (!answer) return done(answer.failure());
                       self->completeLogin(answer.value(), done);
                   });
}

void MacAccount::smsLogin(const std::string& phone, const std::string& code, Done<void> done) {
    Json body{{"phone", phone}, {"code", code}, {"require_password_setup", true}};
    client.request(options.service.apiBaseURL, "/v1/auth/sms-login", "POST", "", body,
                   [weak = weak_from_this(), done](MacResult<Json> answer) {
                       auto self = weak.lock();
                       if (!self) return;
                       if (!answer) return done(answer.failure());
                       if (field::boolean(answer.value(), "needs_password_setup") == true) {
                           self->pendingSMSResponse = answer.value();
                           self->passwordSetupPending = true;
                           self->publish();
                           return done({});
                       }
                       self->completeLogin(answer.value(), done);
                   });
}

void MacAccount::setupPassword(const std::string& newPassword, Done<void> done) {
    if (!pendingSMSResponse) return done({});
    auto token = field::string(*pendingSMSResponse, "access_token");
    if (!token) return done({});
    Json body{{"new_password", newPassword}};
    client.request(options.service.apiBaseURL, "/v1/auth/password-setup", "POST", *token, body,
                   [weak = weak_from_this(), done](MacResult<Json> answer) {
                       auto self = weak.lock();
                       if (!self) return;
                       if (!answer) return done(answer.failure());
                       if (!self->pendingSMSResponse) return done({}); // left meanwhile
                       Json merged = *self->pendingSMSResponse;
                       if (auto expiresAt = answer.value().find("expires_at");
                           expiresAt != answer.value().end())
                           merged["expires_at"] = *expiresAt;
                       else
                           merged.erase("expires_at");
                       self->pendingSMSResponse.reset();
                       self->passwordSetupPending = false;
                       self->publish();
                       self->completeLogin(merged, [weak, done](MacResult<void> completed) {
                           auto self = weak.lock();
                           if (!self) return;
                           if (!completed)
                               self->setMessage("密码已设置。" + completed.failure().localizedDescription() +
                                                "，请用密码重新登录。");
                           done({});
                       });
                   });
}

void MacAccount::completeLogin(const Json& response, Done<void> done) {
    auto accessToken = field::string(response, "access_token");
    auto expiresAt = field::int64(response, "expires_at");
    const Json* account = field::object(response, "account");
    auto username = account ? field::string(*account, "username") : std::nullopt;
    if (!accessToken || !expiresAt || !username) return done(MacFailure::message("登录响应无效"));

    auto installation = installationID();
    if (!installation) return done(installation.failure());
    std::string name = options.computerName.empty() ? hostName() : options.computerName;
    if (name.empty()) name = "我的 Mac";
    Json body{{"installation_id", installation.value()},
              {"name", name},
              {"platform", kThisDevicePlatform},
              {"kind", "computer"},
              {"version", "1.0.0"},
              {"multi_account", true}};
    MacCredentials partial{options.service.accountBaseURL, *username, *accessToken, *expiresAt, "", ""};
    client.request(options.service.apiBaseURL, "/v1/devices", "POST", *accessToken, body,
                   [weak = weak_from_this(), partial, done](MacResult<Json> answer) {
                       auto self = weak.lock();
                       if (!self) return;
                       if (!answer) return done(answer.failure());
                       const Json* device = field::object(answer.value(), "device");
                       auto deviceID = device ? field::string(*device, "id") : std::nullopt;
                       auto deviceToken = field::string(answer.value(), "device_token");
                       if (!deviceID || !deviceToken) return done(MacFailure::message("设备绑定响应无效"));
                       MacCredentials credentials = partial;
                       credentials.deviceID = *deviceID;
                       credentials.deviceToken = *deviceToken;
                       if (auto stored = self->store(credentials); !stored) return done(stored.failure());
                       self->deviceList.clear();
                       self->publish();
                       self->refreshDevices(done);
                   });
}

void MacAccount::switchAccount(const std::optional<std::string>& key, Done<void> done) {
    if (key) {
        auto found = stored.sessions.find(*key);
        if (found == stored.sessions.end() || !options.service.isServiceBase(found->second.base))
            return done(MacFailure::message("账号不可用，请重新登录"));
    }
    if (auto saved = saveSessions(key, stored); !saved) return done(saved.failure());
    deviceList.clear();
    publish();
    if (key) return refreshDevices(done);
    done({});
}

void MacAccount::validCredentials(Done<MacCredentials> done) {
    if (!active) return done(MacFailure::message("请先登录账号"));
    MacCredentials current = *active;
    if (current.expiresAt >= now() + kRenewalMarginSeconds) return done(current);
    renew(current, [weak = weak_from_this(), current, done](MacResult<MacCredentials> renewed) {
        auto self = weak.lock();
        if (!self) return;
        if (renewed || renewed.failure().isSessionExpired() || renewed.failure().isCancelled())
            return done(renewed);
        // A network failure while the token still works does not stop the caller.
        if (current.expiresAt > self->now()) return done(current);
        done(renewed);
    });
}

void MacAccount::renew(const MacCredentials& credentials, Done<MacCredentials> done) {
    client.request(credentials.base, "/v1/devices/" + credentials.deviceID + "/renew", "POST",
                   credentials.deviceToken, Json::object(),
                   [weak = weak_from_this(), credentials, done](MacResult<Json> answer) {
                       auto self = weak.lock();
                       if (!self) return;
                       if (!answer) {
                           if (!answer.failure().isSessionExpired()) return done(answer.failure());
                           if (!self->isStillActive(credentials)) return done(MacFailure::cancelled());
                           if (auto saved = self->saveSessions(std::nullopt, self->stored); !saved)
                               return done(saved.failure());
                           self->deviceList.clear();
                           self->setMessage("登录已过期，请重新登录");
                           return done(MacFailure::sessionExpired());
                       }
                       auto accessToken = field::string(answer.value(), "access_token");
                       auto expiresAt = field::int64(answer.value(), "expires_at");
                       if (!accessToken || !expiresAt) return done(MacFailure::message("登录续期响应无效"));
                       if (!self->isStillActive(credentials)) return done(MacFailure::cancelled());
                       MacCredentials renewed = credentials;
                       renewed.accountToken = *accessToken;
                       renewed.expiresAt = *expiresAt;
                       if (auto stored = self->store(renewed); !stored) return done(stored.failure());
                       done(renewed);
                   });
}

void MacAccount::refreshDevices(Done<void> done) {
    validCredentials([weak = weak_from_this(), done](MacResult<MacCredentials> valid) {
        auto self = weak.lock();
        if (!self) return;
        if (!valid) return done(valid.failure());
        self->fetchDevices(valid.value(), valid.value().accountToken, true, done);
    });
}

void MacAccount::fetchDevices(const MacCredentials& credentials, const std::string& accountToken,
                              bool mayRenew, Done<void> done) {
    client.request(credentials.base, "/v1/devices", "GET", accountToken, std::nullopt,
                   [weak = weak_from_this(), credentials, mayRenew, done](MacResult<Json> answer) {
                       auto self = weak.lock();
                       if (!self) return;
                       if (!answer && answer.failure().isSessionExpired() && mayRenew) {
                           return self->renew(
                               credentials, [weak, credentials, done](MacResult<MacCredentials> renewed) {
                                   auto self = weak.lock();
                                   if (!self) return;
                                   if (!renewed) return done(renewed.failure());
                                   self->fetchDevices(credentials, renewed.value().accountToken, false, done);
                               });
                       }
                       if (!answer) return done(answer.failure());
                       Json list = Json::array();
                       if (auto found = answer.value().find("devices"); found != answer.value().end())
                           list = *found;
                       auto devices = MacDevice::listFromJson(list);
                       if (!devices) return done(MacFailure::other(devices.error()));
                       if (!self->isStillActive(credentials)) return done(MacFailure::cancelled());
                       self->deviceList = visibleDevices(devices.value(), credentials.deviceID);
                       self->publish();
                       done({});
                   });
}

std::vector<MacDevice> MacAccount::visibleDevices(const std::vector<MacDevice>& devices,
                                                  const std::string& selfID) {
    std::vector<MacDevice> visible;
    for (const auto& device : devices)
        if (device.listed.value_or(true) || device.id == selfID) visible.push_back(device);
    return visible;
}

void MacAccount::heartbeat(bool captureReady, bool inputReady, bool webrtc, std::function<void()> done) {
    if (!active) {
        if (done) done();
        return;
    }
    Json body{{"capture_ready", captureReady},
              {"input_ready", inputReady},
              {"webrtc", webrtc},
              {"usb_ready", false},
              {"unattended", false},
              {"kind", "computer"}};
    client.request(active->base, "/v1/devices/" + active->deviceID + "/heartbeat", "POST",
                   active->deviceToken, body, [done](MacResult<Json>) {
                       if (done) done();
                   });
}

void MacAccount::logout(std::function<void()> done) {
    auto finish = [done] {
        if (done) done();
    };
    if (!active) return finish();
    MacCredentials old = *active;
    AccountSessions remaining = stored;
    if (stored.activeKey) remaining.sessions.erase(*stored.activeKey);
    if (auto saved = saveSessions(std::nullopt, std::move(remaining)); !saved) {
        setMessage(saved.failure().localizedDescription());
        return finish();
    }
    deviceList.clear();
    publish();
    // The session is gone locally whatever the service answers.
    client.request(old.base, "/v1/devices/" + old.deviceID, "DELETE", old.accountToken, std::nullopt,
                   [weak = weak_from_this(), old, finish](MacResult<Json>) {
                       auto self = weak.lock();
                       if (!self) return finish();
                       self->client.request(old.base, "/v1/auth/logout", "POST", old.accountToken,
                                            Json::object(), [finish](MacResult<Json>) { finish(); });
                   });
}

} // namespace quorlinth
