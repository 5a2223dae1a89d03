#include "log/MacLog.h"
#include "log/MachineFacts.h"
#include "log/ProxyTun.h"
#include "log/Utf8Repair.h"

#include <gtest/gtest.h>
#include <regex>

using namespace quorlinth;

TEST(RepairUtf8, ReplacesEachIllFormedSubpart) {
    struct Case {
        const char* name;
        std::string input;
        std::string expected;
    };
    const Case cases[] = {
        {"ASCII", "plain text\n", "plain text\n"},
        {"valid multi-byte", "中文 \xF0\x9F\x98\x80 é", "中文 \xF0\x9F\x98\x80 é"},
        {"stray continuation bytes",
         "a\x80\xBF"
         "b",
         "a\uFFFD\uFFFDb"},
        {"bytes never valid", "\xC0\xC1\xF5\xFF", "\uFFFD\uFFFD\uFFFD\uFFFD"},
        {"overlong two bytes", "\xC0\x80", "\uFFFD\uFFFD"},
        {"overlong three bytes", "\xE0\x80\x80", "\uFFFD\uFFFD\uFFFD"},
        {"surrogate", "\xED\xA0\x80", "\uFFFD\uFFFD\uFFFD"},
        {"above U+10FFFF", "\xF4\x90\x80\x80", "\uFFFD\uFFFD\uFFFD\uFFFD"},
        {"truncated at the end", "x\xE4\xB8", "x\uFFFD"},
        {"truncated before ASCII",
         "\xE4\xB8"
         "A\xF0\x9F\x98"
         "B",
         "\uFFFDA\uFFFDB"},
        {"largest code point", "\xF4\x8F\xBF\xBF", "\xF4\x8F\xBF\xBF"},
        {"empty", "", ""},
    };
    for (const Case& row : cases) {
        SCOPED_TRACE(row.name);
        EXPECT_EQ(repairUtf8(row.input), row.expected);
    }
}

TEST(ProxyTun, FindsTheFirstUpTunInterfaceInTheBenchmarkRange) {
    using Address = std::array<uint8_t, 4>;
    struct Case {
        const char* name;
        std::vector<InterfaceRecord> interfaces;
        std::optional<std::string> expected;
    };
    const Case cases[] = {
        {"none", {}, std::nullopt},
        {"utun in 198.18", {{"utun3", true, Address{198, 18, 0, 1}}}, "utun3"},
        {"tun in 198.19", {{"tun0", true, Address{198, 19, 255, 254}}}, "tun0"},
        {"down", {{"utun3", false, Address{198, 18, 0, 1}}}, std::nullopt},
        {"outside the range",
         {{"tun0", true, Address{198, 20, 0, 1}},
          {"tun1", true, Address{198, 17, 0, 1}},
          {"tun2", true, Address{199, 18, 0, 1}}},
         std::nullopt},
        {"other names",
         {{"eth0", true, Address{198, 18, 0, 1}},
          {"wg0", true, Address{198, 18, 0, 2}},
          {"mytun0", true, Address{198, 18, 0, 3}}},
         std::nullopt},
        {"IPv6 only", {{"utun1", true, std::nullopt}}, std::nullopt},
        {"first match wins, after an IPv6 entry of the same name",
         {{"lo", true, Address{127, 0, 0, 1}},
          {"utun1", true, std::nullopt},
          {"utun1", true, Address{198, 18, 0, 1}},
          {"tun9", true, Address{198, 18, 0, 9}}},
         "utun1"},
    };
    for (const Case& row : cases) {
        SCOPED_TRACE(row.name);
        EXPECT_EQ(findProxyTun(row.interfaces), row.expected);
    }
}

TEST(ProxyTun, SystemListHoldsTheLoopbackInterface) {
    const std::vector<InterfaceRecord> interfaces = systemInterfaces();
    const bool loopback =
        std::any_of(interfaces.begin(), interfaces.end(), [](const InterfaceRecord& record) {
            return record.up && record.ipv4 == std::array<uint8_t, 4>{127, 0, 0, 1};
        });
    EXPECT_TRUE(loopback);
}

TEST(EnvironmentLine, FormatsEveryFact) {
    MachineFacts facts;
    facts.build = "0.1.0";
    facts.osVersion = "Debian GNU/Linux 12 (bookworm)";
    facts.model = "Standard PC (Q35 + ICH9, 2009)";
    EXPECT_EQ(formatEnvironmentLine(facts),
              "build=0.1.0 macOS=Debian GNU/Linux 12 (bookworm) model=Standard PC (Q35 + ICH9, 2009) "
              "screenRecording=false accessibility=false screens=[] proxyTUN=-");
    facts.display = {true, true, {{"eDP-1", 0, 0, 2560, 1600}, {"HDMI-1", 2560, -200, 1920, 1080}}};
    facts.proxyTun = "utun3";
    EXPECT_EQ(
        formatEnvironmentLine(facts),
        "build=0.1.0 macOS=Debian GNU/Linux 12 (bookworm) model=Standard PC (Q35 + ICH9, 2009) "
        "screenRecording=true accessibility=true screens=[eDP-1 (0, 0, 2560, 1600), HDMI-1 (2560, -200, "
        "1920, 1080)] proxyTUN=utun3");
}

TEST(EnvironmentLine, ReadsThePrettyNameOfOsRelease) {
    struct Case {
        const char* name;
        std::string text;
        std::string expected;
    };
    const Case cases[] = {
        {"double quotes",
         "NAME=\"Debian GNU/Linux\"\nPRETTY_NAME=\"Debian GNU/Linux 12 (bookworm)\"\nID=debian\n",
         "Debian GNU/Linux 12 (bookworm)"},
        {"single quotes", "PRETTY_NAME='Fedora Linux 40'\n", "Fedora Linux 40"},
        {"unquoted", "PRETTY_NAME=Arch\n", "Arch"},
        {"escaped quote", "PRETTY_NAME=\"A \\\"B\\\" C\"\n", "A \"B\" C"},
        {"missing", "NAME=Debian\n", "?"},
        {"empty value", "PRETTY_NAME=\"\"\n", "?"},
        {"empty text", "", "?"},
    };
    for (const Case& row : cases) {
        SCOPED_TRACE(row.name);
        EXPECT_EQ(osPrettyName(row.text), row.expected);
    }
}

TEST(EnvironmentLine, DescribesThisMachineWithAnInstalledDisplaySource) {
    const std::regex shape(R"(build=\d+\.\d+\.\d+ macOS=.+ model=.+ screenRecording=(true|false) )"
                           R"(accessibility=(true|false) screens=\[.*\] proxyTUN=\S+)");
    EXPECT_TRUE(std::regex_match(MacLog::environmentLine(), shape)) << MacLog::environmentLine();

    setDisplayFactsSource([] { return DisplayFacts{true, false, {{"Virtual-1", 0, 0, 1280, 720}}}; });
    const std::string line = MacLog::environmentLine();
    setDisplayFactsSource(nullptr);
    EXPECT_TRUE(std::regex_match(line, shape)) << line;
    EXPECT_NE(
        line.find(
            " screenRecording=true accessibility=false screens=[Virtual-1 (0, 0, 1280, 720)] proxyTUN="),
        std::string::npos)
        << line;
    EXPECT_NE(MacLog::environmentLine().find("screenRecording=false accessibility=false screens=[]"),
              std::string::npos);
}
