#include "ModelHarness.h"

#include "base/Encoding.h"

namespace quorlinth::testing {

namespace {
constexpr int64_t kFarFuture = 4'000'000'000;
constexpr Millis kGenerous{10'000};
constexpr DisplayID kMainDisplay = 1;
} // namespace

ModelHarness::ModelHarness() : folder(makeTemporaryFolder("quorlinth-model-")) {
    installMainQueue(&loop);
    keys = std::make_shared<FileKeyStore>(folder / "keys.json");
    defaults = std::make_unique<UserDefaults>(folder / "defaults.json");
    DisplayMode mode{1920, 1080, 1920, 1080};
    displays.add({kMainDisplay, "主显示器", mode, mode, true, true, false, false, 0});
    displays.setMain(kMainDisplay);
    screen.displays.push_back({kMainDisplay, mode.width, mode.height});
    signIn({credentials("alice", "D1")});
}

ModelHarness::~ModelHarness() {
    model.reset();
    account.reset();
    std::filesystem::remove_all(folder);
}

MacCredentials ModelHarness::credentials(const std::string& user, const std::string& deviceID,
                                         std::string base) const {
    return {base.empty() ? server.baseURL() : base,
            user,
            "token-" + user,
            kFarFuture,
            deviceID,
            "dev-" + deviceID};
}

void ModelHarness::signIn(const std::vector<MacCredentials>& accounts) {
    AccountSessions sessions{accountKey(accounts.front()), {}};
    for (const auto& credentials : accounts)
        sessions.sessions.emplace(accountKey(credentials), credentials);
    auto written = keys->write(MacAccount::kKeyStoreService, MacAccount::kSessionItem,
                               toBytes(sessions.toJson().dump()));
    if (!written) throw std::runtime_error("key store refused the test sessions");
}

std::shared_ptr<MacModel> ModelHarness::makeModel() {
    account = MacAccount::create(
        keys, {MacServiceConfig::single(server.baseURL()), [] { return int64_t(1'700'000'000); }, "测试机"},
        loop);
    auto log = [this](const std::string& line) { logged.push_back(line); };
    MacCapture::Platform capture{displays, screen, session, [](auto, auto, auto done) { done(nullptr); },
                                 log};
    auto makeHost = [this](const MacCredentials& credentials, MacShareQuality quality,
                           ShareHostCallbacks callbacks) {
        auto host = std::make_shared<FakeShareHost>();
        host->credentials = credentials;
        host->quality = quality;
        host->callbacks = std::move(callbacks);
        hosts.push_back(host);
        return host;
    };
    MacModel::Platform platform{loop,  *defaults, account,  injector, sources, capture,
                                power, loginItem, prompter, makeHost, log,     [this] { return resume; }};
    platform.lanKeys = lanKeys;
    platform.discovery = discovery;
    model = MacModel::create(platform);
    return model;
}

bool ModelHarness::runUntil(const std::function<bool()>& condition) {
    auto ticker = loop.every(Millis(1), Millis(1), [] {});
    return loop.runUntil(condition, kGenerous);
}

FakeShareHost& ModelHarness::share() {
    model->startSharing();
    if (!runUntil([this] { return model->state().sharing.get(); }))
        throw std::runtime_error("sharing did not start: " + model->state().status.get());
    return *hosts.back();
}

std::shared_ptr<std::optional<bool>> ModelHarness::request(const MacShareHost::Request& request) {
    auto decision = std::make_shared<std::optional<bool>>();
    hosts.back()->callbacks.onRequest(request, [decision](bool allow) { *decision = allow; });
    return decision;
}

} // namespace quorlinth::testing
