#include "ServiceFixture.h"

#include <chrono>
#include <thread>

namespace quorlinth::testing {
namespace {

// A service on PostgreSQL whose server the test stops and starts.
class PostgresOutage : public ServiceTest {
protected:
    Storage storage() const override { return Storage::postgres; }
};

TEST_F(PostgresOutage, RequestsAnswer503WhileTheServerIsAwayAndNothingIsLostAfter) {
    std::string token = signIn();
    ASSERT_FALSE(token.empty());
    BoundDevice mac = bind(token, "INSTALL-1");
    ASSERT_TRUE(sharedPostgres().stop()) << sharedPostgres().failure();

    HttpReply login =
        client->request("POST", "/v1/auth/login", "", Json{{"username", kUser}, {"password", kPassword}});
    EXPECT_EQ(503, login.status) << login.body;
    EXPECT_EQ("service_busy", login.error());
    EXPECT_FALSE(login.headers["retry-after"].empty());
    EXPECT_EQ(503, client->request("GET", "/v1/devices", token).status);
    // A device must not read "unauthorized" and drop its token because the store is away.
    HttpReply upgrade = client->request("GET", "/v1/signal", mac.token, std::nullopt,
                                        {{"Upgrade", "websocket"},
                                         {"Connection", "Upgrade"},
                                         {"Sec-WebSocket-Version", "13"},
                                         {"Sec-WebSocket-Key", "dGhlIHNhbXBsZSBub25jZQ=="},
                                         {"X-Device-ID", mac.id}});
    EXPECT_EQ(503, upgrade.status) << upgrade.body;
    EXPECT_TRUE(service->isRunning());
    EXPECT_NE(std::string::npos, service->logText().find("database unavailable")) << service->logText();

    ASSERT_TRUE(sharedPostgres().start()) << sharedPostgres().failure();
    // Connections the outage broke are replaced on the next requests.
    HttpReply again;
    for (auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
         std::chrono::steady_clock::now() < deadline;
         std::this_thread::sleep_for(std::chrono::milliseconds(200))) {
        again =
            client->request("POST", "/v1/auth/login", "", Json{{"username", kUser}, {"password", kPassword}});
        if (again.status != 503) break;
    }
    EXPECT_EQ(200, again.status) << again.body;
    EXPECT_EQ("书房的 Mac", field::string(deviceInList(token, mac.id), "name", ""));
    EXPECT_NE(nullptr, SignalClient::connect(service->port(), mac.token, mac.id));
}

// An operator (or a failover) ends the service's connections: the next requests answer as a
// busy service would, or normally, never as a fault, and the service carries on.
TEST_F(PostgresOutage, EndedConnectionsAnswerBusyNotAFault) {
    std::string token = signIn();
    ASSERT_FALSE(token.empty());
    for (int round = 0; round < 3; ++round) {
        ProgramRun ended = runProgram({"psql", databaseUrl(), "-tAc",
                                       "SELECT COUNT(pg_terminate_backend(pid)) FROM pg_stat_activity WHERE "
                                       "datname = current_database() AND pid <> pg_backend_pid()"});
        ASSERT_EQ(0, ended.exitCode) << ended.err;
        std::vector<HttpReply> replies =
            concurrently(6, [&](int) { return client->request("GET", "/v1/devices", token); });
        EXPECT_EQ(6, countOf(replies, 200) + countOf(replies, 503, "service_busy")) << service->logText();
    }
    EXPECT_EQ(200, client->request("GET", "/v1/devices", token).status);
}

class PostgresStart : public PostgresOutage {
protected:
    void SetUp() override {}
};

TEST_F(PostgresStart, NodesStartingTogetherOnOneDatabaseMigrateItOnce) {
    std::string url = databaseUrl();
    ASSERT_FALSE(url.empty());
    constexpr int kNodes = 3;
    std::vector<std::unique_ptr<TempDir>> dirs;
    std::vector<std::unique_ptr<ServiceProcess>> nodes(kNodes);
    for (int i = 0; i < kNodes; ++i)
        dirs.push_back(std::make_unique<TempDir>());
    std::vector<std::thread> starting;
    for (int i = 0; i < kNodes; ++i)
        starting.emplace_back([&, i] {
            ServiceProcess::Options options;
            options.databaseUrl = url;
            options.secretFile = dir.path() / "shared.key";
            nodes[size_t(i)] = std::make_unique<ServiceProcess>(*dirs[size_t(i)], options);
        });
    for (auto& thread : starting)
        thread.join();
    for (auto& node : nodes)
        ASSERT_TRUE(node->started()) << node->logText();

    ASSERT_TRUE(nodes[0]->addUser(kUser, kPassword));
    for (auto& node : nodes) {
        HttpClient nodeClient(node->port());
        EXPECT_EQ(200, nodeClient
                           .request("POST", "/v1/auth/login", "",
                                    Json{{"username", kUser}, {"password", kPassword}})
                           .status);
    }
    ProgramRun versions =
        runProgram({"psql", url, "-tAc", "SELECT COUNT(*), MAX(version) FROM schema_version"});
    EXPECT_EQ("1|3\n", versions.out) << versions.err;
}

// Each node alone has seen fewer failures than the limit; together they have reached it.
TEST_F(PostgresStart, SignInLimitsHoldAcrossNodesSharingTheDatabase) {
    std::string url = databaseUrl();
    ASSERT_FALSE(url.empty());
    ASSERT_EQ(0, addUser(kUser, kPassword, kPhone));
    TempDir secondDir;
    auto startNode = [&](const TempDir& folder) {
        ServiceProcess::Options options;
        options.databaseUrl = url;
        options.secretFile = dir.path() / "shared.key";
        options.extraArguments = {"--set", "login_failures_per_account_address=3"};
        return std::make_unique<ServiceProcess>(folder, options);
    };
    std::unique_ptr<ServiceProcess> nodes[] = {startNode(dir), startNode(secondDir)};
    for (auto& node : nodes)
        ASSERT_TRUE(node->started()) << node->logText();
    HttpClient first(nodes[0]->port()), second(nodes[1]->port());
    auto signInStatus = [&](HttpClient& node, const char* password) {
        return node.request("POST", "/v1/auth/login", "", Json{{"username", kUser}, {"password", password}})
            .status;
    };
    EXPECT_EQ(200, signInStatus(second, kPassword)) << "a right password gives its reservation back";
    EXPECT_EQ(401, signInStatus(first, "wrong"));
    EXPECT_EQ(401, signInStatus(second, "wrong"));
    EXPECT_EQ(401, signInStatus(first, "wrong"));
    EXPECT_EQ(429, signInStatus(second, kPassword));
    EXPECT_EQ(429, signInStatus(first, kPassword));
}

TEST_F(PostgresStart, AnUnreachableServerStopsTheStartWithAClearMessage) {
    std::string url = "postgresql://postgres@/nowhere?host=" + dir.path().string() + "&port=5432";
    ServiceProcess::Options options;
    options.databaseUrl = url;
    ServiceProcess node(dir, options);
    EXPECT_FALSE(node.started());
    EXPECT_FALSE(node.isRunning());
    EXPECT_NE(std::string::npos, node.logText().find("cannot connect to the PostgreSQL server"))
        << node.logText();
    EXPECT_NE(0, addServiceUserTo(url, dir.path() / "add-user.log", kUser, kPassword));
}

// An SQLite file from before tokens were numbered (schema version 1), made by taking the later
// versions' additions out of a file this build wrote.
class OlderSqliteFile : public ServiceTest {
protected:
    ProgramRun sql(const std::string& statements) {
        return runProgram({"sqlite3", (dir.path() / "service.sqlite").string(), statements});
    }

    void restart(std::vector<std::string> extraArguments) {
        service.reset();
        ServiceProcess::Options options;
        options.extraArguments = std::move(extraArguments);
        service = std::make_unique<ServiceProcess>(dir, options);
    }
};

TEST_F(OlderSqliteFile, IsMigratedKeepingAccountsDevicesAndTheOrderOfTokens) {
    std::string first = signIn(), second = signIn();
    BoundDevice mac = bind(first, "INSTALL-1");
    service.reset();
    ProgramRun downgraded = sql("DROP TABLE rate_events; DROP INDEX tokens_by_issue_order; "
                                "ALTER TABLE tokens DROP COLUMN issue_order; PRAGMA user_version=1;");
    ASSERT_EQ(0, downgraded.exitCode) << downgraded.err;

    restart({"--set", "account_tokens_per_user=2"});
    ASSERT_TRUE(service->started()) << service->logText();
    client = std::make_unique<HttpClient>(service->port());
    EXPECT_EQ("3\n", sql("PRAGMA user_version").out);
    EXPECT_EQ("书房的 Mac", field::string(deviceInList(second, mac.id), "name", ""));
    EXPECT_EQ(200, heartbeat(mac, true, true, true).status);
    std::string third = signIn();
    EXPECT_EQ(401, client->request("GET", "/v1/devices", first).status) << "the oldest token goes first";
    EXPECT_EQ(200, client->request("GET", "/v1/devices", second).status);
    EXPECT_EQ(200, client->request("GET", "/v1/devices", third).status);
}

TEST_F(OlderSqliteFile, FromANewerBuildIsRefusedUntouched) {
    service.reset();
    ASSERT_EQ(0, sql("PRAGMA user_version=99").exitCode);
    restart({});
    EXPECT_FALSE(service->started());
    EXPECT_NE(std::string::npos, service->logText().find("newer than this build")) << service->logText();
    EXPECT_EQ("99\n", sql("PRAGMA user_version").out);
}

} // namespace
} // namespace quorlinth::testing
