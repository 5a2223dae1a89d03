#include "AuthApi.h"
#include "HttpServer.h"
#include "Maintenance.h"
#include "RedisBus.h"
#include "Router.h"
#include "Schema.h"
#include "Secrets.h"
#include "ServiceOptions.h"

#include <cstdio>
#include <signal.h>
#include <sys/resource.h>

using namespace quorlinth;
using namespace quorlinth::service;

namespace {

// Every request thread may hold a connection, and maintenance one more.
size_t connectionsFor(const ServiceSettings& settings) {
    return size_t(settings.workerThreads + settings.hashThreads + 1);
}

Result<std::unique_ptr<Database>> openDatabase(const DatabaseLocation& location,
                                               const ServiceSettings& settings) {
    auto database = location.isServer() ? Database::connect(location.url, connectionsFor(settings))
                                        : Database::open(location.file);
    if (!database) return database;
    if (auto migrated = migrateSchema(*database.value()); !migrated) return Error{migrated.error()};
    return database;
}

// Every connection and signaling socket holds a descriptor: use all the system allows.
void raiseDescriptorLimit() {
    rlimit limit{};
    if (getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur >= limit.rlim_max) return;
    limit.rlim_cur = limit.rlim_max;
    if (setrlimit(RLIMIT_NOFILE, &limit) != 0) std::fprintf(stderr, "cannot raise the descriptor limit\n");
}

int addUser(const std::vector<std::string>& arguments) {
    auto options = parseAddUserOptions(arguments);
    if (!options) {
        std::fprintf(stderr, "%s\n%s", options.error().c_str(), kUsage);
        return 2;
    }
    auto database = openDatabase(options.value().database, ServiceSettings{});
    if (!database) {
        std::fprintf(stderr, "%s\n", database.error().c_str());
        return 1;
    }
    ServiceSettings settings;
    settings.development = options.value().development;
    ServiceContext context(*database.value(), settings, IceConfig());
    auto added =
        auth::addUser(context, options.value().username, options.value().password, options.value().phone);
    if (!added) {
        std::fprintf(stderr, "add-user: %s\n", added.error().c_str());
        return 1;
    }
    std::fprintf(stderr, "add-user: created %s\n", options.value().username.c_str());
    return 0;
}

int serve(const std::vector<std::string>& arguments) {
    auto options = parseServeOptions(arguments);
    if (!options) {
        std::fprintf(stderr, "%s\n%s", options.error().c_str(), kUsage);
        return 2;
    }
    const ServeOptions& serve = options.value();
    IceConfig ice;
    if (serve.iceConfig) {
        auto loaded = IceConfig::load(*serve.iceConfig);
        if (!loaded) {
            std::fprintf(stderr, "%s\n", loaded.error().c_str());
            return 1;
        }
        ice = loaded.value();
    }
    auto database = openDatabase(serve.database, serve.settings);
    if (!database) {
        std::fprintf(stderr, "%s\n", database.error().c_str());
        return 1;
    }
    auto serverKey = loadOrCreateServerKey(serve.secretFile);
    if (!serverKey) {
        std::fprintf(stderr, "%s\n", serverKey.error().c_str());
        return 1;
    }
    std::optional<ReleaseFolder> releases;
    if (serve.releases) {
        auto folder = ReleaseFolder::open(*serve.releases);
        if (!folder) {
            std::fprintf(stderr, "%s\n", folder.error().c_str());
            return 1;
        }
        releases = folder.value();
    }
    std::optional<RedisBus::Location> busLocation;
    if (!serve.settings.busUrl.empty()) {
        auto location = RedisBus::parseUrl(serve.settings.busUrl);
        if (!location) {
            std::fprintf(stderr, "%s\n", location.error().c_str());
            return 2;
        }
        busLocation = location.value();
    }
    raiseDescriptorLimit();
    ServiceContext context(*database.value(), serve.settings, ice, serverKey.value());
    // Declared after the context and stopped before it goes: the bus's threads call the hub.
    std::unique_ptr<RedisBus> bus;
    if (busLocation) {
        bus = std::make_unique<RedisBus>(*busLocation);
        context.hub.useBus(bus.get());
    }
    Router router(context);
    HttpServer server(context, router, serve.trustedProxies, std::move(releases));
    auto base = server.listen(serve.listen, serve.tls);
    if (!base) {
        std::fprintf(stderr, "%s\n", base.error().c_str());
        return 1;
    }
    std::printf("%s\n", base.value().c_str());
    std::fflush(stdout);
    std::fprintf(stderr, "quorlinth-service listening on %s%s\n", base.value().c_str(),
                 serve.development ? " (development mode: SMS outbox and clock control enabled)" : "");
    server.every(std::chrono::seconds(5), [&context] { runMaintenance(context); });
    server.run();
    if (bus) bus->stop();
    std::fprintf(stderr, "quorlinth-service stopped\n");
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    // A client that vanishes mid-write must not kill the process.
    signal(SIGPIPE, SIG_IGN);
    std::vector<std::string> arguments(argv + 1, argv + argc);
    if (arguments.empty() || arguments[0] == "--help" || arguments[0] == "-h") {
        std::fprintf(arguments.empty() ? stderr : stdout, "%s", kUsage);
        return arguments.empty() ? 2 : 0;
    }
    if (arguments[0] == "add-user") return addUser({arguments.begin() + 1, arguments.end()});
    return serve(arguments);
}
