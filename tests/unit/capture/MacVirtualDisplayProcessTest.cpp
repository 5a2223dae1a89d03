#include "capture/MacVirtualDisplayProcess.h"

#include "base/MainQueue.h"
#include "capture/MacVirtualDisplay.h"

#include <csignal>
#include <gtest/gtest.h>
#include <unistd.h>

using namespace quorlinth;

namespace {

constexpr Millis kGenerous{10000};

struct Started {
    bool done = false;
    std::shared_ptr<MacVirtualDisplayProcess> process;
};

class VirtualDisplayProcessTest : public ::testing::Test {
protected:
    void SetUp() override { installMainQueue(&loop); }

    Started launch(int64_t width, int64_t height, bool hiDPI, Millis timeout = Millis(8000),
                   MacVirtualDisplayProcess::CancelFlag cancel = nullptr, std::string executable = kStub) {
        Started started;
        MacVirtualDisplayProcess::Launch how{executable, timeout,
                                             [this](std::string line) { logged.push_back(line); }};
        MacVirtualDisplayProcess::start(
            how, width, height, hiDPI, loop,
            [&](auto process) {
                started.done = true;
                started.process = process;
            },
            cancel);
        EXPECT_TRUE(loop.runUntil([&] { return started.done; }, kGenerous));
        return started;
    }

    static constexpr const char* kStub = VIRTUAL_DISPLAY_CHILD_STUB;
    RunLoop loop;
    std::vector<std::string> logged;
};

} // namespace

TEST_F(VirtualDisplayProcessTest, ChildReportsItsDisplayAndSuccessiveChildrenAlternateSerials) {
    auto first = launch(1920, 1080, false);
    auto second = launch(1298, 600, true);
    ASSERT_TRUE(first.process && second.process);
    uint32_t firstSerial = first.process->displayID() - 5000;
    uint32_t secondSerial = second.process->displayID() - 5100;
    EXPECT_TRUE(firstSerial == 1 || firstSerial == 2) << first.process->displayID();
    EXPECT_EQ(secondSerial, firstSerial == 1 ? 2u : 1u);
    EXPECT_FALSE(first.process->exited());

    first.process->stop();
    first.process->stop(); // only the first call acts
    auto ticker = loop.every(Millis(1), Millis(1), [] {});
    EXPECT_TRUE(loop.runUntil([&] { return first.process->exited(); }, kGenerous));
    EXPECT_FALSE(second.process->exited());
}

TEST_F(VirtualDisplayProcessTest, SerialsAlternateBetweenOneAndTwo) {
    uint32_t a = MacVirtualDisplayProcess::nextSerial();
    uint32_t b = MacVirtualDisplayProcess::nextSerial();
    uint32_t c = MacVirtualDisplayProcess::nextSerial();
    EXPECT_NE(a, b);
    EXPECT_EQ(a, c);
    EXPECT_TRUE((a == 1 && b == 2) || (a == 2 && b == 1));
}

TEST_F(VirtualDisplayProcessTest, FailuresYieldNoProcess) {
    struct Case {
        const char* name;
        int64_t width;
        Millis timeout;
        std::string executable;
    };
    const Case cases[] = {
        {"child answers ERR", 666, Millis(8000), kStub},
        {"child never answers", 777, Millis(300), kStub},
        {"launch error", 1920, Millis(8000), "/nonexistent/quorlinth"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        auto started = launch(c.width, 1080, false, c.timeout, nullptr, c.executable);
        EXPECT_TRUE(started.done);
        EXPECT_FALSE(started.process);
    }
    ASSERT_EQ(logged.size(), 1u);
    EXPECT_EQ(logged[0].rfind("虚拟屏进程启动失败：", 0), 0u) << logged[0];
}

// A child that ignores the end of its input and SIGTERM is still taken down and reaped, and
// stopping it never holds up the caller's queue.
TEST_F(VirtualDisplayProcessTest, StopReturnsAtOnceAndAStubbornChildIsStillReaped) {
    auto started = launch(999, 1080, false);
    ASSERT_TRUE(started.process);
    auto before = Clock::now();
    started.process->stop();
    EXPECT_LT(Clock::now() - before, MacVirtualDisplayProcess::kStopGrace);
    auto ticker = loop.every(Millis(5), Millis(5), [] {});
    EXPECT_TRUE(loop.runUntil([&] { return started.process->exited(); }, kGenerous));
}

TEST_F(VirtualDisplayProcessTest, ReleasingARunningChildDoesNotWaitForIt) {
    auto started = launch(999, 1080, false);
    ASSERT_TRUE(started.process);
    auto before = Clock::now();
    started.process.reset();
    EXPECT_LT(Clock::now() - before, MacVirtualDisplayProcess::kStopGrace);
}

TEST_F(VirtualDisplayProcessTest, ASilentChildIgnoringSIGTERMDoesNotHoldUpTheAnswer) {
    auto started = launch(778, 1080, false, Millis(300));
    EXPECT_TRUE(started.done);
    EXPECT_FALSE(started.process);
}

TEST_F(VirtualDisplayProcessTest, CancellationEndsTheWait) {
    auto cancel = std::make_shared<std::atomic<bool>>(false);
    auto timer = loop.after(Millis(100), [cancel] { cancel->store(true); });
    auto started = launch(777, 1080, false, Millis(60000), cancel);
    EXPECT_TRUE(started.done);
    EXPECT_FALSE(started.process);
}

TEST(VirtualDisplayChild, ReadsItsArguments) {
    auto parsed = parseVirtualDisplayArguments({"quorlinth", "--virtual-display", "1298", "600", "1", "2"});
    ASSERT_TRUE(parsed);
    EXPECT_EQ(parsed->width, 1298);
    EXPECT_EQ(parsed->height, 600);
    EXPECT_TRUE(parsed->hiDPI);
    EXPECT_EQ(parsed->serial, 2u);

    auto badSerial = parseVirtualDisplayArguments({"--virtual-display", "1920", "1080", "0", "99999999999"});
    ASSERT_TRUE(badSerial);
    EXPECT_EQ(badSerial->serial, 1u) << "a serial outside 32 bits becomes 1";

    for (auto arguments :
         std::vector<std::vector<std::string>>{{"quorlinth"},
                                               {"--virtual-display", "1920", "1080", "0"},
                                               {"--virtual-display", "wide", "1080", "0", "1"},
                                               {"--virtual-display", "-5", "1080", "0", "1"}}) {
        EXPECT_FALSE(parseVirtualDisplayArguments(arguments));
    }
}

TEST(VirtualDisplayChild, DescribesTheDisplayItMakes) {
    auto descriptor = MacVirtualDisplay::descriptor(1298, 600, true, 2);
    EXPECT_EQ(descriptor.name, "Quorlinth 虚拟屏");
    EXPECT_EQ(descriptor.maxPixelsWide, 3840);
    EXPECT_EQ(descriptor.maxPixelsHigh, 2400);
    EXPECT_NEAR(descriptor.widthMillimetres, 1298 / 110.0 * 25.4, 1e-9);
    EXPECT_EQ(descriptor.vendorID, 20812u);
    EXPECT_EQ(descriptor.productID, 1u);
    EXPECT_EQ(descriptor.serialNumber, 2u);
    EXPECT_EQ(MacVirtualDisplay::descriptor(2560, 1440, true, 1).maxPixelsWide, 5120);
    auto settings = MacVirtualDisplay::settings(1298, 600, true);
    ASSERT_EQ(settings.modes.size(), 1u);
    EXPECT_TRUE(settings.hiDPI);
    EXPECT_EQ(settings.modes[0].width, 1298);
    EXPECT_EQ(settings.modes[0].refreshRate, 60);
}

TEST(VirtualDisplayChild, ExitsAtEndOfInput) {
    struct OneDisplay : VirtualDisplayFactory {
        std::unique_ptr<VirtualDisplay> create(const VirtualDisplayDescriptor&) override {
            struct Display : VirtualDisplay {
                DisplayID displayID() const override { return 42; }
                bool apply(const VirtualDisplaySettings&) override { return true; }
            };
            return std::make_unique<Display>();
        }
    } factory;
    int input[2];
    ASSERT_EQ(pipe(input), 0);
    close(input[1]);
    char* text = nullptr;
    size_t length = 0;
    std::FILE* output = open_memstream(&text, &length);
    EXPECT_EQ(runVirtualDisplayChild({1920, 1080, false, 1}, factory, input[0], output), 0);
    std::fclose(output);
    EXPECT_EQ(std::string(text, length), "ID 42\n");
    std::free(text);
    close(input[0]);
}
