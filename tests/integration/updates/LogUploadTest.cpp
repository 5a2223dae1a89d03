// Log upload through the real service's diagnostics endpoint.
#include "ServiceProcess.h"
#include "account/MacAccount.h"
#include "base/MainQueue.h"
#include "log/MacLog.h"
#include "log/MachineFacts.h"
#include "store/KeyStore.h"
#include "updates/MacLogUpload.h"

#include <fstream>
#include <gtest/gtest.h>
#include <sqlite3.h>
#include <sstream>

using namespace quorlinth;
using quorlinth::testing::ServiceProcess;
using quorlinth::testing::TempDir;
using namespace std::chrono_literals;

namespace {

std::string fileText(const std::filesystem::path& path) {
    std::ifstream file(path, std::ios::binary);
    std::ostringstream text;
    text << file.rdbuf();
    return text.str();
}

class LogUpload : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(service.started()); }

    std::shared_ptr<MacAccount> signedIn() {
        EXPECT_TRUE(service.addUser("alice", "correct-horse-1"));
        auto account =
            MacAccount::create(keys, {MacServiceConfig::single(service.baseUrl()), {}, "box"}, loop);
        std::optional<MacResult<void>> login;
        account->login("alice", "correct-horse-1", [&](MacResult<void> done) { login = done; });
        EXPECT_TRUE(loop.runUntil([&] { return login.has_value(); }, 60s));
        EXPECT_TRUE(login && login->ok());
        return account;
    }

    MacResult<std::string> upload(MacLogUpload& uploader, const std::string& computerName) {
        std::optional<MacResult<std::string>> outcome;
        uploader.upload({true, false, true, false, {{"s-1", "已连接"}}}, "41", computerName,
                        [&](MacResult<std::string> done) { outcome = done; });
        EXPECT_TRUE(uploader.uploading());
        EXPECT_TRUE(loop.runUntil([&] { return outcome.has_value(); }, 60s));
        EXPECT_FALSE(uploader.uploading());
        if (!outcome) return MacFailure::message("no answer");
        return *outcome;
    }

    // The diagnostics row as the service stored it.
    Json storedRow(const std::string& id) {
        Json row = Json::object();
        sqlite3* db = nullptr;
        if (sqlite3_open_v2(service.database().c_str(), &db, SQLITE_OPEN_READONLY, nullptr) == SQLITE_OK) {
            sqlite3_stmt* query = nullptr;
            sqlite3_prepare_v2(db, "SELECT platform, build, device, text FROM diagnostics WHERE id = ?", -1,
                               &query, nullptr);
            sqlite3_bind_text(query, 1, id.c_str(), -1, SQLITE_TRANSIENT);
            if (sqlite3_step(query) == SQLITE_ROW) {
                const char* names[] = {"platform", "build", "device", "text"};
                for (int column = 0; column < 4; ++column)
                    row[names[column]] = reinterpret_cast<const char*>(sqlite3_column_text(query, column));
            }
            sqlite3_finalize(query);
        }
        sqlite3_close(db);
        return row;
    }

    TempDir dir;
    ServiceProcess service{dir, {}};
    RunLoop loop;
    std::shared_ptr<KeyStore> keys = std::make_shared<FileKeyStore>(dir.path() / "keys.json");
    MacLog log{dir.path() / "logs", true};
};

} // namespace

TEST_F(LogUpload, SendsTheMachineLineAndTheLastLinesAndShowsTheId) {
    auto account = signedIn();
    // Some 150 KB of log over both generations' worth of lines.
    for (int line = 0; line < 1500; ++line)
        log.log("连接 line " + std::to_string(line) + " " + std::string(90, 'x'));
    auto uploader = MacLogUpload::create(*account, log, loop);
    auto id = upload(*uploader, "测试机");
    ASSERT_TRUE(id) << id.failure().localizedDescription();
    EXPECT_EQ(MacLogUpload::resultText(id), "日志已上报，编号 " + id.value());

    Json row = storedRow(id.value());
    EXPECT_EQ(row.value("platform", ""), "linux");
    EXPECT_EQ(row.value("build", ""), "41");
    EXPECT_EQ(row.value("device", ""), "测试机");
    std::string text = row.value("text", "");
    size_t firstBreak = text.find('\n');
    ASSERT_NE(firstBreak, std::string::npos);
    std::string environmentLine = text.substr(0, firstBreak);
    std::string distribution = osPrettyName(fileText("/etc/os-release"));
    EXPECT_NE(environmentLine.find("=" + distribution + " "), std::string::npos) << environmentLine;
    EXPECT_EQ(environmentLine.rfind("build=", 0), 0u) << environmentLine;

    // The last 100000 bytes of the log, cut forward to the next line start; the upload's own
    // state line is the last of them.
    log.flush();
    std::string whole = fileText(dir.path() / "logs" / MacLog::kPreviousName) +
                        fileText(dir.path() / "logs" / MacLog::kCurrentName);
    ASSERT_GT(whole.size(), MacLogUpload::kTailBytes);
    std::string cut = whole.substr(whole.size() - MacLogUpload::kTailBytes);
    std::string expected = cut.substr(cut.find('\n') + 1);
    EXPECT_EQ(text.substr(firstBreak + 1), expected);
    EXPECT_LE(expected.size(), MacLogUpload::kTailBytes);
    EXPECT_NE(
        expected.find("上报 sharing=true keepAwake=false input=true transfer=false sessions=s-1:已连接\n"),
        std::string::npos);
}

TEST_F(LogUpload, FromATerminalWithoutASignInTheFailureIsShown) {
    auto account = MacAccount::create(keys, {MacServiceConfig::single(service.baseUrl()), {}, "box"}, loop);
    std::string printed, failure;
    std::optional<int> exitCode;
    runTerminalLogUpload(
        MacLogUpload::create(*account, log, loop), [&](const std::string& id) { printed = id; },
        [&](const std::string& text) { failure = text; }, [&](int code) { exitCode = code; });
    ASSERT_TRUE(loop.runUntil([&] { return exitCode.has_value(); }, 60s));
    EXPECT_EQ(exitCode, 1);
    EXPECT_EQ(failure, "日志上报失败：请先登录账号");
    EXPECT_TRUE(printed.empty());
}

TEST_F(LogUpload, FromATerminalTheIdIsPrinted) {
    auto account = signedIn();
    std::string printed, failure;
    std::optional<int> exitCode;
    runTerminalLogUpload(
        MacLogUpload::create(*account, log, loop), [&](const std::string& id) { printed = id; },
        [&](const std::string& text) { failure = text; }, [&](int code) { exitCode = code; });
    ASSERT_TRUE(loop.runUntil([&] { return exitCode.has_value(); }, 60s));
    EXPECT_EQ(exitCode, 0) << failure;
    ASSERT_FALSE(printed.empty());
    Json row = storedRow(printed);
    EXPECT_EQ(row.value("platform", ""), "linux");
    EXPECT_EQ(row.value("device", ""), MacLogUpload::deviceName(MacLogUpload::computerName()));
}
