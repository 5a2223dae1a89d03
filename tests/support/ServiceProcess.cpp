#include "ServiceProcess.h"

#include <chrono>
#include <cstdlib>
#include <thread>
#include <vector>

namespace quorlinth::testing {

namespace {

constexpr auto kStartTimeout = std::chrono::seconds(15);

} // namespace

std::filesystem::path serviceBinary() {
    if (const char* dir = std::getenv("QUORLINTH_BINARY_DIR"))
        return std::filesystem::path(dir) / "service" / "quorlinth-service";
    return QUORLINTH_SERVICE_BINARY;
}

int addServiceUser(const std::filesystem::path& database, const std::string& name,
                   const std::string& password, const std::string& phone) {
    std::vector<std::string> arguments = {serviceBinary().string(), "add-user", "--dev", "--db",
                                          database.string(),        name,       password};
    if (!phone.empty()) arguments.insert(arguments.end(), {"--phone", phone});
    return runProgram(arguments, database.parent_path() / "add-user.log");
}

int addServiceUserTo(const std::string& databaseUrl, const std::filesystem::path& log,
                     const std::string& name, const std::string& password, const std::string& phone) {
    std::vector<std::string> arguments = {
        serviceBinary().string(), "add-user", "--dev", "--database", databaseUrl, name, password};
    if (!phone.empty()) arguments.insert(arguments.end(), {"--phone", phone});
    return runProgram(arguments, log);
}

ServiceProcess::ServiceProcess(const TempDir& tempDir, Options options)
    : dir(tempDir.path()), databaseUrl(options.databaseUrl) {
    std::vector<std::string> arguments = {serviceBinary().string(), "--listen", "127.0.0.1:0"};
    if (databaseUrl) {
        arguments.insert(arguments.end(), {"--database", *databaseUrl, "--secret-file",
                                           options.secretFile.value_or(dir / "service.key").string()});
    } else {
        arguments.insert(arguments.end(), {"--db", database().string()});
        if (options.secretFile)
            arguments.insert(arguments.end(), {"--secret-file", options.secretFile->string()});
    }
    if (options.development) arguments.push_back("--dev");
    if (options.tlsCertificate) {
        arguments.insert(arguments.end(), {"--tls-cert", options.tlsCertificate->string()});
        arguments.insert(arguments.end(), {"--tls-key", options.tlsKey->string()});
    }
    if (options.iceConfig) arguments.insert(arguments.end(), {"--ice-config", options.iceConfig->string()});
    if (options.releases) arguments.insert(arguments.end(), {"--releases", options.releases->string()});
    arguments.insert(arguments.end(), options.extraArguments.begin(), options.extraArguments.end());
    process =
        std::make_unique<ChildProcess>(arguments, Environment{}, dir / "service.out", dir / "service.log");
    // The first line is the base URL, once the service listens.
    std::string line;
    for (auto deadline = std::chrono::steady_clock::now() + kStartTimeout;
         std::chrono::steady_clock::now() < deadline && process->running();
         std::this_thread::sleep_for(std::chrono::milliseconds(20))) {
        std::string output = process->outputText();
        if (auto end = output.find('\n'); end != std::string::npos) {
            line = output.substr(0, end);
            break;
        }
    }
    auto colon = line.rfind(':');
    if (line.rfind("http", 0) != 0 || colon == std::string::npos) return;
    base = line;
    boundPort = uint16_t(std::stoi(line.substr(colon + 1)));
}

ServiceProcess::~ServiceProcess() = default;

bool ServiceProcess::isRunning() {
    return process && process->running();
}

std::string ServiceProcess::logText() const {
    return readTextFile(dir / "service.log");
}

} // namespace quorlinth::testing
