#pragma once

#include "ScriptedHttpServer.h"
#include "base/MainQueue.h"
#include "model/MacModel.h"
#include "platform/fake/FakeDisplayServices.h"
#include "platform/fake/FakeKeyboardInputSources.h"
#include "platform/fake/FakeLoginItem.h"
#include "platform/fake/FakePowerManagement.h"
#include "platform/fake/FakeScreenCapture.h"
#include "platform/fake/FakeSessionMonitor.h"
#include "platform/fake/RecordingInputInjector.h"
#include "store/KeyStore.h"
#include "store/UserDefaults.h"

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

namespace quorlinth::testing {

// A share host that records what the model asks of it and lets the test play its events.
class FakeShareHost : public ShareHostHandle {
public:
    MacCredentials credentials;
    MacShareQuality quality = MacShareQuality::native;
    ShareHostCallbacks callbacks;
    bool started = false;
    bool stopped = false;

    void start() override { started = true; }
    void stop() override { stopped = true; }
    void cachePixels(SharedPixels) override {}
    std::shared_ptr<LANSessionTarget> lanTarget() override { return nullptr; }
    std::optional<RTCMediaRoute> route() const override { return routeNow; }
    std::optional<RTCMediaRoute> routeNow;
};

// Asks nothing: records each question and keeps its answer for the test to give.
class RecordingPrompter : public MacPrompter {
public:
    std::vector<MacQuestion> questions;
    std::vector<std::function<void(bool)>> answers;
    void ask(const MacQuestion& question, std::function<void(bool)> answer) override {
        questions.push_back(question);
        answers.push_back(std::move(answer));
    }
};

// The model on a run loop with every platform edge faked, signed in as "alice" on device "D1"
// against a scripted service.
class ModelHarness {
public:
    using Server = ScriptedHttpServer;

    ModelHarness();
    ~ModelHarness();

    // Credentials of a signed-in device; `base` empty means the scripted service.
    MacCredentials credentials(const std::string& user, const std::string& deviceID,
                               std::string base = {}) const;
    // Stores these accounts as signed in on this machine, the first one active.
    void signIn(const std::vector<MacCredentials>& accounts);
    std::shared_ptr<MacModel> makeModel();

    // Starts sharing and waits until it is on; the host it created.
    FakeShareHost& share();
    // A request from the newest host; its decision, empty while the prompt is open.
    std::shared_ptr<std::optional<bool>> request(const MacShareHost::Request& request);
    bool runUntil(const std::function<bool()>& condition);

    std::filesystem::path folder;
    RunLoop loop;
    ScriptedHttpServer server;
    std::shared_ptr<KeyStore> keys;
    std::unique_ptr<UserDefaults> defaults;
    RecordingInputInjector injector;
    FakeKeyboardInputSources sources;
    FakeDisplayServices displays;
    FakeScreenCapture screen;
    FakeSessionMonitor session;
    FakePowerManagement power;
    FakeLoginItem loginItem;
    RecordingPrompter prompter;
    std::optional<MacUpdateResume> resume;
    std::vector<std::shared_ptr<FakeShareHost>> hosts;
    std::vector<std::string> logged;
    std::shared_ptr<MacAccount> account;
    std::shared_ptr<MacModel> model;
    // Where the model finds its LAN identity; none unless a test dials, so that sharing opens no
    // LAN listener.
    KeyStore* lanKeys = nullptr;
    // Where the model browses the local network; none unless a test lists computers there.
    ServiceDiscovery* discovery = nullptr;
};

} // namespace quorlinth::testing
