// libFuzzer target: one request to the account service's endpoints, as the router hands it to
// them after the HTTP layer. The input's first byte picks the method, the second the
// credentials (none, the account's token, a bound device's token, or a made-up one), then
// comes the path up to a newline and the body. "DEV" in the path stands for the bound
// device's id. Checks that every answer is a JSON object with a status the client knows, and
// that no input makes the service fail unexpectedly (500).

#include "AuthApi.h"
#include "Database.h"
#include "Router.h"
#include "Schema.h"

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <unistd.h>

using namespace quorlinth;
using namespace quorlinth::service;

namespace {

struct Service {
    std::unique_ptr<Database> database;
    std::unique_ptr<ServiceContext> context;
    std::unique_ptr<Router> router;
    int64_t userId = 0;

    Service() {
        // In memory where the machine has it: every input writes to the database, and a disk
        // would be written at tens of megabytes a second for hours in a nightly run.
        static std::string folder = [] {
            for (std::string base : {"/dev/shm", "/tmp"}) {
                std::string pattern = base + "/quorlinth-service-fuzz-XXXXXX";
                if (mkdtemp(pattern.data())) return pattern;
            }
            std::abort();
        }();
        std::atexit([] { std::filesystem::remove_all(folder); });
        auto opened = Database::open(std::filesystem::path(folder) / "service.sqlite");
        if (!opened || !migrateSchema(*opened.value())) std::abort();
        database = std::move(opened.value());
        ServiceSettings settings;
        settings.development = true; // cheap password hashing; the dev endpoints are skipped below
        context = std::make_unique<ServiceContext>(*database, settings, IceConfig(), "fuzz-server-key");
        router = std::make_unique<Router>(*context);
        if (!auth::addUser(*context, "alice", "correct horse battery", "13800000000")) std::abort();
        userId = database->queryOne("SELECT id FROM users")->integer(0);
    }

    ApiResponse call(std::string method, std::string path, std::string authorization, std::string body) {
        return router->handle(
            {std::move(method), std::move(path), std::move(authorization), std::move(body), "127.0.0.1"});
    }
};

void checkAnswer(const ApiResponse& response) {
    if (response.status == 500 || response.status < 200 || response.status > 503) std::abort();
    if (!response.body.is_object()) std::abort();
    if (response.status >= 400 && !field::string(response.body, "error")) std::abort();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static Service* service = new Service;
    if (size < 2) return 0;
    static const char* methods[] = {"GET", "POST", "PUT", "DELETE"};
    std::string method = methods[data[0] % 4];
    std::string input(reinterpret_cast<const char*>(data) + 2, size - 2);
    size_t newline = input.find('\n');
    std::string path = input.substr(0, newline);
    std::string body = newline == std::string::npos ? "" : input.substr(newline + 1);
    if (path.rfind("/v1/dev/", 0) == 0) return 0; // test-only endpoints

    // Fresh credentials each time: an earlier input may have signed out or removed the device,
    // or bound so many devices that the account is full.
    service->database->execute("DELETE FROM devices WHERE installation_id <> 'fuzz'");
    std::string account = "Bearer " + service->context->tokens.issueAccount(service->userId).token;
    ApiResponse bound = service->call("POST", "/v1/devices", account,
                                      R"({"installation_id":"fuzz","name":"笔记本","platform":"linux"})");
    if (bound.status != 200) std::abort();
    std::string deviceId = bound.body["device"]["id"].get<std::string>();
    std::string credentials[] = {"", account, "Bearer " + bound.body["device_token"].get<std::string>(),
                                 "Bearer 0123456789abcdef"};
    for (size_t at = path.find("DEV"); at != std::string::npos; at = path.find("DEV", at + deviceId.size()))
        path.replace(at, 3, deviceId);

    checkAnswer(service->call(method, path, credentials[data[1] % 4], body));
    return 0;
}
