#pragma once

#include "PostgresServer.h"
#include "ServiceHarness.h"

#include <gtest/gtest.h>

namespace quorlinth::testing {

// Where the service under test keeps its data.
enum class Storage { sqlite, postgres };

inline std::string storageName(const ::testing::TestParamInfo<Storage>& info) {
    return info.param == Storage::sqlite ? "SQLite" : "PostgreSQL";
}

// Starts a development-mode service with one account, "alice", per test.
class ServiceTest : public ::testing::Test {
protected:
    static constexpr const char* kUser = "alice";
    static constexpr const char* kPassword = "correct horse battery";
    static constexpr const char* kPhone = "13800000001";

    using BoundDevice = quorlinth::testing::BoundDevice;

    void SetUp() override { startService({}); }

    // SQLite unless the suite runs on each storage (OnEachStorage).
    virtual Storage storage() const { return Storage::sqlite; }

    // A fresh PostgreSQL database for this test, made on first use; "" on SQLite.
    const std::string& databaseUrl() {
        if (storage() == Storage::postgres && postgresUrl.empty()) {
            PostgresServer& server = sharedPostgres();
            EXPECT_TRUE(server.started()) << server.failure();
            postgresUrl = server.createDatabase();
            EXPECT_FALSE(postgresUrl.empty()) << "cannot create a database";
        }
        return postgresUrl;
    }

    void startService(ServiceProcess::Options options,
                      std::optional<std::filesystem::path> caFile = std::nullopt) {
        if (!databaseUrl().empty()) options.databaseUrl = databaseUrl();
        ASSERT_EQ(0, addUser(kUser, kPassword, kPhone));
        service = std::make_unique<ServiceProcess>(dir, std::move(options));
        ASSERT_TRUE(service->started()) << service->logText();
        client = std::make_unique<HttpClient>(service->port(), std::move(caFile));
    }

    int addUser(const std::string& name, const std::string& password, const std::string& phone = "") {
        if (!databaseUrl().empty())
            return addServiceUserTo(databaseUrl(), dir.path() / "add-user.log", name, password, phone);
        return addServiceUser(dir.path() / "service.sqlite", name, password, phone);
    }

    std::string signIn(const std::string& name = kUser, const std::string& password = kPassword) {
        HttpReply reply =
            client->request("POST", "/v1/auth/login", "", Json{{"username", name}, {"password", password}});
        EXPECT_EQ(200, reply.status) << reply.body;
        return field::string(reply.json(), "access_token", "");
    }

    BoundDevice bind(const std::string& accountToken, const std::string& installation,
                     const std::string& name = "书房的 Mac", const std::string& platform = "macos") {
        BoundDevice device = bindDevice(*client, accountToken, installation, name, platform);
        EXPECT_FALSE(device.token.empty()) << "the service refused to bind " << installation;
        return device;
    }

    HttpReply heartbeat(const BoundDevice& device, bool capture, bool input, bool webrtc) {
        return sendHeartbeat(*client, device, capture, input, webrtc);
    }

    Json deviceInList(const std::string& accountToken, const std::string& deviceId) {
        HttpReply reply = client->request("GET", "/v1/devices", accountToken);
        EXPECT_EQ(200, reply.status) << reply.body;
        Json body = reply.json();
        if (const Json* list = field::array(body, "devices"))
            for (const Json& device : *list)
                if (field::string(device, "id", "") == deviceId) return device;
        return Json();
    }

    void advanceClock(int64_t seconds) {
        HttpReply reply = client->request("POST", "/v1/dev/clock", "", Json{{"advance", seconds}});
        ASSERT_EQ(200, reply.status) << reply.body;
    }

    TempDir dir;
    std::string postgresUrl;
    std::unique_ptr<ServiceProcess> service;
    std::unique_ptr<HttpClient> client;
};

// A suite that runs once on each storage: instantiate it with
// INSTANTIATE_TEST_SUITE_P(Backend, Suite, kEachStorage, storageName).
template <class Fixture> class OnEachStorage : public Fixture, public ::testing::WithParamInterface<Storage> {
protected:
    Storage storage() const override { return this->GetParam(); }
};

inline const auto kEachStorage = ::testing::Values(Storage::sqlite, Storage::postgres);

// The same helpers over a service started with extra arguments by the test itself.
class TunedServiceTest : public ServiceTest {
protected:
    void SetUp() override {}

    void startTuned(const std::vector<std::string>& arguments, bool development = true,
                    const std::vector<std::string>& wrapper = {}) {
        ASSERT_EQ(0, addUser(kUser, kPassword, kPhone));
        tuned = std::make_unique<TunedService>(dir, arguments, development, wrapper, databaseUrl());
        ASSERT_TRUE(tuned->started()) << tuned->logText();
        client = std::make_unique<HttpClient>(tuned->port());
    }

    std::unique_ptr<TunedService> tuned;
};

} // namespace quorlinth::testing
