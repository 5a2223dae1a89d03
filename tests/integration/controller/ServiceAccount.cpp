#include "ServiceAccount.h"

#include <thread>

namespace quorlinth::testing {

namespace {

constexpr const char* kUser = "alice";
constexpr const char* kPassword = "correct horse battery";

} // namespace

ServiceAccount::ServiceAccount() {
    std::filesystem::path database = dir.path() / "service.sqlite";
    if (runProgram(
            {serviceBinary().string(), "add-user", "--dev", "--db", database.string(), kUser, kPassword},
            dir.path() / "add-user.log") != 0)
        return;
    service = std::make_unique<ServiceProcess>(dir, ServiceProcess::Options{});
    if (!service->started()) return;
    http = std::make_unique<HttpClient>(service->port());
    HttpReply reply =
        http->request("POST", "/v1/auth/login", "", Json{{"username", kUser}, {"password", kPassword}});
    accountToken = field::string(reply.json(), "access_token", "");
}

ServiceAccount::Device ServiceAccount::bind(const std::string& name) {
    return bindDevice(*http, accountToken, "installation-" + std::to_string(++installations), name);
}

bool ServiceAccount::heartbeat(const Device& device, bool mediaReady) {
    return sendHeartbeat(*http, device, mediaReady, mediaReady, mediaReady).status == 200;
}

std::string ServiceAccount::issuePairing(const Device& device, const std::string& password) {
    HttpReply reply = http->request("PUT", "/v1/devices/" + device.id + "/pairing", device.token,
                                    Json{{"password", password}});
    return field::string(reply.json(), "code", "");
}

HttpReply ServiceAccount::createSession(const Device& controller, const std::string& target) {
    return http->request("POST", "/v1/sessions", accountToken,
                         Json{{"device_id", target}, {"controller_id", controller.id}});
}

HttpReply ServiceAccount::createGuestSession(const Device& controller, const std::string& code,
                                             const std::string& password) {
    return http->request("POST", "/v1/guest-sessions", accountToken,
                         Json{{"code", code}, {"password", password}, {"controller_id", controller.id}});
}

std::unique_ptr<ScriptedHost> ServiceAccount::connectSignal(const Device& device) {
    return ScriptedHost::connect(service->baseUrl(), device.id, device.token);
}

bool ServiceAccount::waitUntilOffline(const Device& device, std::chrono::milliseconds wait) {
    auto deadline = std::chrono::steady_clock::now() + wait;
    while (std::chrono::steady_clock::now() < deadline) {
        Json body = http->request("GET", "/v1/devices", accountToken).json();
        if (const Json* devices = field::array(body, "devices"))
            for (const Json& listed : *devices)
                if (field::string(listed, "id", "") == device.id && !field::boolean(listed, "online", true))
                    return true;
        // The service offers no notification of a dropped socket; ask again shortly.
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return false;
}

CloudAccess ServiceAccount::accessFor(const Device& controller) const {
    return {service->baseUrl(), accountToken, controller.id, controller.token};
}

} // namespace quorlinth::testing
