#pragma once

#include "ChildProcess.h"

#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace quorlinth::testing {

// $QUORLINTH_BINARY_DIR/service/quorlinth-service, or the one this tree built.
std::filesystem::path serviceBinary();

// Creates an account in a service database through the service's own command line, with the
// development (fast) password hash; its exit status.
int addServiceUser(const std::filesystem::path& database, const std::string& name,
                   const std::string& password, const std::string& phone = "");
// The same in a PostgreSQL database; add-user's output goes to `log`.
int addServiceUserTo(const std::string& databaseUrl, const std::filesystem::path& log,
                     const std::string& name, const std::string& password, const std::string& phone = "");

// A running quorlinth-service on 127.0.0.1 with an empty database in `dir` (or the PostgreSQL
// database named by databaseUrl), stopped with the object.
class ServiceProcess {
public:
    struct Options {
        bool development = true;
        std::optional<std::filesystem::path> tlsCertificate, tlsKey, iceConfig;
        std::optional<std::filesystem::path> releases;   // published at /download/
        std::optional<std::string> databaseUrl;          // instead of dir/service.sqlite
        std::optional<std::filesystem::path> secretFile; // default dir/service.sqlite.key or dir/service.key
        std::vector<std::string> extraArguments;         // appended to the command line
    };
    ServiceProcess(const TempDir& dir, Options options);
    ~ServiceProcess();
    ServiceProcess(const ServiceProcess&) = delete;
    ServiceProcess& operator=(const ServiceProcess&) = delete;

    bool started() const { return !base.empty(); }
    const std::string& baseUrl() const { return base; }
    uint16_t port() const { return boundPort; }
    bool isRunning();
    std::string logText() const;
    std::filesystem::path database() const { return dir / "service.sqlite"; }
    bool addUser(const std::string& name, const std::string& password, const std::string& phone = "") {
        if (databaseUrl)
            return addServiceUserTo(*databaseUrl, dir / "add-user.log", name, password, phone) == 0;
        return addServiceUser(database(), name, password, phone) == 0;
    }

private:
    std::filesystem::path dir;
    std::optional<std::string> databaseUrl;
    std::unique_ptr<ChildProcess> process;
    std::string base;
    uint16_t boundPort = 0;
};

} // namespace quorlinth::testing
