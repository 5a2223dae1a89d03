// quorlinth-cli's account commands against the real service; each XDG home is one machine.
#include "ScriptedHttpServer.h"
#include "ServiceProcess.h"

#include <cstdlib>
#include <gtest/gtest.h>
#include <sstream>

using quorlinth::testing::ProgramRun;
using quorlinth::testing::runProgram;
using quorlinth::testing::ServiceProcess;
using quorlinth::testing::TempDir;

namespace {

std::string cli() {
    const char* dir = std::getenv("QUORLINTH_BINARY_DIR");
    return (std::filesystem::path(dir ? dir : QUORLINTH_DEFAULT_BINARY_DIR) / "src/app/quorlinth-cli")
        .string();
}

std::vector<std::string> split(const std::string& text, char separator) {
    std::vector<std::string> parts;
    std::stringstream stream(text);
    std::string part;
    while (std::getline(stream, part, separator))
        parts.push_back(part);
    return parts;
}

// One machine: its own XDG homes.
class CliMachine {
public:
    CliMachine(const std::filesystem::path& root, std::string service)
        : home(root), service(std::move(service)) {}

    ProgramRun run(std::vector<std::string> arguments) const {
        arguments.insert(arguments.begin(), {cli(), "--service", service});
        return runProgram(arguments, {{"HOME", home.string()},
                                      {"XDG_CONFIG_HOME", (home / "config").string()},
                                      {"XDG_DATA_HOME", (home / "data").string()},
                                      {"XDG_STATE_HOME", (home / "state").string()}});
    }

private:
    std::filesystem::path home;
    std::string service;
};

} // namespace

TEST(AccountCli, SignsInListsDevicesAndSignsOut) {
    TempDir dir;
    ServiceProcess service(dir, {});
    ASSERT_TRUE(service.started());
    ASSERT_TRUE(service.addUser("carol", "carol-password-1"));
    auto root = quorlinth::testing::makeTemporaryFolder("quorlinth-cli-");
    CliMachine first(root / "first", service.baseUrl());
    CliMachine second(root / "second", service.baseUrl());

    ProgramRun refused = first.run({"login", "carol", "wrong-password"});
    EXPECT_EQ(refused.exitCode, 1);
    EXPECT_EQ(refused.err, "账号或密码不正确\n");

    ProgramRun login = first.run({"login", "carol", "carol-password-1"});
    ASSERT_EQ(login.exitCode, 0) << login.err;
    auto identity = split(login.out.substr(0, login.out.find('\n')), '\t');
    ASSERT_EQ(identity.size(), 2u);
    EXPECT_EQ(identity[0], "carol");
    ProgramRun whoami = first.run({"whoami"});
    EXPECT_EQ(whoami.exitCode, 0);
    EXPECT_EQ(whoami.out, login.out);

    ProgramRun secondLogin = second.run({"login", "carol", "carol-password-1"});
    ASSERT_EQ(secondLogin.exitCode, 0) << secondLogin.err;
    EXPECT_NE(secondLogin.out, login.out); // another machine, another device

    ProgramRun devices = first.run({"devices"});
    ASSERT_EQ(devices.exitCode, 0) << devices.err;
    auto lines = split(devices.out, '\n');
    ASSERT_EQ(lines.size(), 2u) << devices.out;
    bool foundSelf = false;
    for (const auto& line : lines) {
        auto fields = split(line, '\t');
        ASSERT_EQ(fields.size(), 4u) << line;
        EXPECT_EQ(fields[2], "linux");
        EXPECT_EQ(fields[3], "离线");
        foundSelf = foundSelf || fields[0] == identity[1];
    }
    EXPECT_TRUE(foundSelf);

    ProgramRun logout = first.run({"logout"});
    EXPECT_EQ(logout.exitCode, 0) << logout.err;
    ProgramRun afterwards = first.run({"whoami"});
    EXPECT_EQ(afterwards.exitCode, 1);
    EXPECT_EQ(afterwards.err, "请先登录账号\n");
    ProgramRun remaining = second.run({"devices"});
    ASSERT_EQ(remaining.exitCode, 0) << remaining.err;
    EXPECT_EQ(split(remaining.out, '\n').size(), 1u);

    std::filesystem::remove_all(root);
}

TEST(AccountCli, ExplainsUsageAndUnreachableServices) {
    auto root = quorlinth::testing::makeTemporaryFolder("quorlinth-cli-");
    struct Case {
        std::vector<std::string> arguments;
        int exitCode;
        std::string output; // expected in stdout for help, in stderr otherwise
    };
    const Case cases[] = {
        {{"login"}, 2, "缺少参数 USERNAME"},
        {{"share", "--quality", "best"}, 2, "--quality 的取值无效：只能是 native、sharp 或 standard"},
        {{"connect", "--frames", "many"}, 2, "--frames 的取值无效：需要一个非负整数"},
        {{"connect"}, 2, "缺少参数 DEVICE_ID、--code 或 --lan"},
        {{"connect", "--lan", "127.0.0.1:port"}, 2, "--lan 的取值无效"},
        {{"connect", "D1", "--code", "123456789"}, 2, "--code"},
        {{"teleport"}, 2, "缺少命令或命令无法识别；可用的命令：login approve-qr devices"},
        {{"share", "--help"}, 0, "--accept-all"},
        {{"--version"}, 0, "quorlinth-cli 0.1.0"},
    };
    for (const auto& c : cases) {
        std::vector<std::string> arguments{cli()};
        arguments.insert(arguments.end(), c.arguments.begin(), c.arguments.end());
        ProgramRun run = runProgram(arguments, {{"HOME", root.string()}});
        SCOPED_TRACE(arguments[1]);
        EXPECT_EQ(run.exitCode, c.exitCode);
        EXPECT_NE((c.exitCode == 0 ? run.out : run.err).find(c.output), std::string::npos)
            << run.out << run.err;
    }

    std::string nowhere;
    {
        quorlinth::testing::ScriptedHttpServer probe; // a port that was free a moment ago
        nowhere = probe.baseURL();
    }
    CliMachine machine(root / "m", nowhere);
    ProgramRun unreachable = machine.run({"login", "carol", "pw"});
    EXPECT_EQ(unreachable.exitCode, 1);
    EXPECT_EQ(unreachable.err.rfind("未能连接到服务器", 0), 0u) << unreachable.err;
    std::filesystem::remove_all(root);
}
