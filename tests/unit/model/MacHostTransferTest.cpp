#include "model/MacHostTransfer.h"

#include "ModelHarness.h"

#include <gtest/gtest.h>

using namespace quorlinth;
using quorlinth::testing::RecordingPrompter;

TEST(MacHostTransfer, IncomingFilesAreDecidedByWhoSendsThem) {
    struct Case {
        const char* what;
        bool sharing, allowTransfer;
        std::string controllerID;
        std::optional<bool> decision; // none: the person is asked
    };
    const Case cases[] = {
        {"a trusted device of the account", true, true, "P1", true},
        {"a controller paired over the LAN", true, true, "lan:ab12cd", true},
        {"a guest with the device code", true, true, "", std::nullopt},
        {"an untrusted device", true, true, "P2", std::nullopt},
        {"transfer switched off", true, false, "P1", false},
        {"sharing stopped", false, true, "P1", false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        RecordingPrompter prompter;
        MacHostTransfer::Hooks hooks{[&] { return c.sharing; }, [&] { return c.allowTransfer; },
                                     [] {
                                         return MacSharingAccess{{"P1"}, false, false};
                                     },
                                     [] { return TransferRoute::unknown; }, [](const std::string&) {}};
        auto transfer = MacHostTransfer::create(nullptr, prompter, hooks, {"/nonexistent", "/nonexistent"});
        std::optional<bool> decided;
        transfer->decideFile({"报告\u202E.pdf", 1'500'000}, c.controllerID, [&](bool yes) { decided = yes; });
        EXPECT_EQ(decided, c.decision);
        ASSERT_EQ(prompter.questions.size(), c.decision ? 0u : 1u);
        if (c.decision) continue;
        EXPECT_EQ(prompter.questions[0].message, "接收对方发来的文件？");
        EXPECT_EQ(prompter.questions[0].informative, "报告.pdf（1.5 MB）将保存到“下载/Quorlinth”。");
        EXPECT_EQ(prompter.questions[0].accept, "接收");
        prompter.answers[0](true);
        EXPECT_EQ(decided, true);
    }
}

TEST(MacHostTransfer, ByteCountsReadLikeTheSystemShowsThem) {
    struct Case {
        int64_t bytes;
        const char* text;
    };
    const Case cases[] = {{0, "0 字节"},         {999, "999 字节"},       {1'000, "1.0 KB"},
                          {1'500'000, "1.5 MB"}, {123'456'789, "123 MB"}, {5'000'000'000, "5.0 GB"}};
    for (const auto& c : cases)
        EXPECT_EQ(formatByteCount(c.bytes), c.text) << c.bytes;
}
