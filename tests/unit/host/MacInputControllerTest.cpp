#include "host/MacInputController.h"

#include "InputEventPrinting.h"
#include "base/Json.h"
#include "base/MainQueue.h"
#include "platform/fake/FakeKeyboardInputSources.h"
#include "platform/fake/RecordingInputInjector.h"

#include <gtest/gtest.h>
#include <memory>
#include <vector>

using namespace quorlinth;

namespace {

class MacInputControllerTest : public ::testing::Test {
protected:
    MacInputControllerTest() { injector.isTrusted = false; }

    void holdShift() {
        input.handle(R"({"type":"keycode","code":56,"down":true,"shift":true})", true);
        injector.events.clear();
    }

    RecordingInputInjector injector;
    FakeKeyboardInputSources sources;
    std::shared_ptr<LockedInputFlag> flag = std::make_shared<LockedInputFlag>(false);
    MacInput input{injector, sources, flag, [] { return 0.0; }, [](const std::string&) {}};

    bool locked = false;
    std::vector<bool> persisted;
    std::vector<bool> announced;
    std::vector<std::string> statuses;
    MacInputController controller{injector, input, flag,
                                  MacInputController::Hooks{
                                      [this](bool restore) { persisted.push_back(restore); },
                                      [this] { return locked; },
                                      [this](bool ready) { announced.push_back(ready); },
                                      [this](const std::string& text) { statuses.push_back(text); },
                                  }};
};

} // namespace

TEST_F(MacInputControllerTest, SwitchingOnWithPermissionEnablesInput) {
    injector.isTrusted = true;
    controller.setAllowInput(true);
    EXPECT_TRUE(controller.allowInput());
    EXPECT_TRUE(controller.inputPermissionGranted());
    EXPECT_FALSE(controller.inputPermissionPending());
    EXPECT_TRUE(flag->get());
    EXPECT_EQ(persisted, std::vector<bool>{true});
    EXPECT_EQ(announced, std::vector<bool>{true});
    EXPECT_EQ(statuses, std::vector<std::string>{"辅助功能权限已就绪，远程鼠标和键盘已启用"});
    EXPECT_EQ(injector.trustRequests, 0);
}

TEST_F(MacInputControllerTest, SwitchingOnWithoutPermissionPromptsOnceThenWaits) {
    controller.setAllowInput(true);
    EXPECT_FALSE(controller.allowInput());
    EXPECT_TRUE(controller.inputPermissionPending());
    EXPECT_TRUE(controller.inputPermission().pending);
    EXPECT_TRUE(controller.inputPermission().prompted);
    EXPECT_FALSE(flag->get());
    EXPECT_EQ(injector.trustRequests, 1);

    controller.setAllowInput(true);
    EXPECT_EQ(injector.trustRequests, 1) << "the prompt is shown at most once per run";
    const std::vector<std::string> expected = {
        "请在辅助功能中添加并允许当前这份 Quorlinth，返回后会自动检查；旧开发版的授权不适用于此版本。",
        "仍在等待当前应用的辅助功能授权；可点击“打开辅助功能设置”检查，不会重复弹出提示。",
    };
    EXPECT_EQ(statuses, expected);
    EXPECT_TRUE(persisted.empty());
    EXPECT_TRUE(announced.empty());
}

TEST_F(MacInputControllerTest, PollEnablesInputOnceThePermissionArrivesWhileWaiting) {
    controller.refreshInputPermission();
    EXPECT_FALSE(controller.allowInput()) << "nothing was asked for";

    controller.setAllowInput(true);
    controller.refreshInputPermission();
    EXPECT_FALSE(controller.allowInput());

    injector.isTrusted = true;
    controller.refreshInputPermission();
    EXPECT_TRUE(controller.allowInput());
    EXPECT_TRUE(controller.inputPermissionGranted());
    EXPECT_FALSE(controller.inputPermissionPending());
    EXPECT_FALSE(controller.inputPermission().pending);
    EXPECT_TRUE(flag->get());
    EXPECT_EQ(statuses.back(), "辅助功能权限已就绪，远程鼠标和键盘已启用");
    EXPECT_EQ(persisted, std::vector<bool>{true});

    statuses.clear();
    controller.refreshInputPermission();
    EXPECT_TRUE(statuses.empty()) << "a granted permission with nothing pending changes nothing";
}

TEST_F(MacInputControllerTest, LosingThePermissionStopsInputUnlessTheScreenIsLocked) {
    struct Case {
        bool screenLocked;
        bool allowedAfter;
    };
    for (const Case c : {Case{true, true}, Case{false, false}}) {
        SCOPED_TRACE(testing::Message() << "locked " << c.screenLocked);
        injector.isTrusted = true;
        controller.setAllowInput(true);
        holdShift();
        statuses.clear();

        injector.isTrusted = false;
        locked = c.screenLocked;
        controller.refreshInputPermission();
        EXPECT_FALSE(controller.inputPermissionGranted());
        EXPECT_EQ(controller.allowInput(), c.allowedAfter);
        EXPECT_EQ(flag->get(), c.allowedAfter);
        if (c.allowedAfter) {
            EXPECT_TRUE(statuses.empty());
            EXPECT_TRUE(injector.events.empty());
        } else {
            EXPECT_EQ(statuses, std::vector<std::string>{"辅助功能权限已关闭，远程输入已停止"});
            EXPECT_EQ(injector.events, std::vector<InputEvent>{(KeyEvent{56, false, 0})});
        }
    }
}

TEST_F(MacInputControllerTest, MessagesAreIgnoredAsSoonAsThePermissionIsRevoked) {
    injector.isTrusted = true;
    controller.setAllowInput(true);
    injector.isTrusted = false; // revoked; the next poll has not run yet
    input.handle(R"({"type":"move","x":0.5,"y":0.5})", controller.allowInput());
    EXPECT_TRUE(controller.allowInput());
    EXPECT_TRUE(injector.events.empty());
}

TEST_F(MacInputControllerTest, SwitchingOffReleasesHeldInputAndClearsWaiting) {
    injector.isTrusted = true;
    controller.setAllowInput(true);
    holdShift();
    persisted.clear();
    announced.clear();

    controller.setAllowInput(false);
    EXPECT_FALSE(controller.allowInput());
    EXPECT_FALSE(flag->get());
    EXPECT_EQ(persisted, std::vector<bool>{false});
    EXPECT_EQ(announced, std::vector<bool>{false});
    EXPECT_EQ(injector.events, std::vector<InputEvent>{(KeyEvent{56, false, 0})});

    injector.isTrusted = false;
    controller.setAllowInput(true);
    ASSERT_TRUE(controller.inputPermissionPending());
    controller.setAllowInput(false);
    EXPECT_FALSE(controller.inputPermissionPending());
    EXPECT_FALSE(controller.inputPermission().pending);
    injector.isTrusted = true;
    controller.refreshInputPermission();
    EXPECT_FALSE(controller.allowInput()) << "a cancelled wait does not switch input on later";
}

TEST_F(MacInputControllerTest, PollsThePermissionEverySecond) {
    RunLoop loop;
    controller.setAllowInput(true);
    controller.startPermissionPolling(loop);
    injector.isTrusted = true;
    EXPECT_TRUE(loop.runUntil([&] { return controller.allowInput(); }, Millis(10000)));

    controller.stopPermissionPolling();
    injector.isTrusted = false;
    loop.runFor(Millis(1200));
    EXPECT_TRUE(controller.allowInput()) << "no poll runs after stopping";
}
