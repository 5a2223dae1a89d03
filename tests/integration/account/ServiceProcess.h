#pragma once

#include "ScriptedHttpServer.h"
#include "base/Json.h"
#include "net/HttpClient.h"

#include <filesystem>
#include <optional>
#include <string>
#include <sys/types.h>
#include <vector>

namespace quorlinth::testing {

// The build tree: $QUORLINTH_BINARY_DIR, or the tree these tests were built in.
std::filesystem::path buildDirectory();

// The real quorlinth-service on a loopback port with a temporary database, in development
// mode (SMS outbox, captcha answers, movable clock). Stopped with SIGTERM when destroyed.
class ServiceProcess {
public:
    // Plain HTTP, or HTTPS with the given certificate and key.
    explicit ServiceProcess(std::optional<ScriptedHttpServer::TlsFiles> tls = std::nullopt);
    ~ServiceProcess();
    ServiceProcess(const ServiceProcess&) = delete;
    ServiceProcess& operator=(const ServiceProcess&) = delete;

    static std::filesystem::path binary();
    bool running() const { return pid > 0 && !base.empty(); }
    const std::string& baseURL() const { return base; }
    const std::filesystem::path& folder() const { return work; }

    // Creates an account through the service's own command line.
    bool addUser(const std::string& username, const std::string& password,
                 const std::optional<std::string>& phone = std::nullopt);

    // A plain request to the service, outside the client under test; nullopt on failure.
    std::optional<Json> call(const std::string& method, const std::string& path,
                             const std::string& token = {}, const std::optional<Json>& body = std::nullopt);
    // The status code and body of a request, for checks on the service's answers.
    std::optional<net::HttpResponse> raw(const std::string& method, const std::string& path,
                                         const std::string& token = {},
                                         const std::optional<Json>& body = std::nullopt);

    // Development helpers of the service.
    std::optional<std::string> captchaAnswer(const std::string& captchaID);
    std::optional<std::string> lastSmsCode(const std::string& phone);
    bool advanceClock(int64_t seconds);

private:
    std::filesystem::path work;
    pid_t pid = -1;
    int output = -1;
    std::string base;
    net::HttpClient http{{"test.service", std::nullopt}};
};

// Runs a program to its end with the given extra environment; collects its output.
struct ProgramRun {
    int exitCode = -1;
    std::string out;
    std::string err;
};
ProgramRun runProgram(const std::filesystem::path& program, const std::vector<std::string>& arguments,
                      const std::vector<std::pair<std::string, std::string>>& environment);

} // namespace quorlinth::testing
