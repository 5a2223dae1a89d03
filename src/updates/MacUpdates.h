#pragma once

#include "base/Encoding.h"
#include "base/Scheduler.h"
#include "base/SerialQueue.h"
#include "updates/MacBundle.h"
#include "updates/MacUpdate.h"
#include "updates/MacUpdateResume.h"

#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>

namespace quorlinth {

class UserDefaults;
class UpdateDownload;
namespace net {
class HttpClient;
}

// The updater: checks the release manifest, offers a newer build that fits this system, and on
// consent downloads, verifies (size, digest, signature, identity), stages the new copy beside the
// installation and hands the swap to a detached script before asking the application to quit.
// Lives on the main thread: every call is made there and the published state changes there.
class MacUpdates : public std::enable_shared_from_this<MacUpdates> {
public:
    using Release = MacUpdateRelease;

    static constexpr const char* kAutomaticKey = "updates.automatic";
    static constexpr const char* kCheckedKey = "updates.checked";
    static constexpr const char* kSkippedKey = "updates.skipped";
    static constexpr const char* kManifestName = "release.json";
    static constexpr size_t kMaxManifestBytes = 65'536;
    static constexpr double kAttemptSpacingSeconds = 900;
    static constexpr double kCheckSpacingSeconds = 21'600;
    static constexpr Millis kCheckInterval{3'600'000};
    static constexpr const char* kCheckFailedMessage = "检查更新失败，请检查网络后重试";

    struct Options {
        // The download folder's URL, ending in "/": the manifest and the archives sit there.
        std::string downloadBase;
        // The running installation; none when this program does not run from an installed copy
        // (then nothing is newer than it and nothing is installed).
        std::optional<MacBundle> installation;
        // The C library version of this system (dotted), for the minimum-version rule.
        std::string platformVersion;
        // The release signing key (64 raw bytes); empty: nothing is ever installed.
        Bytes releaseKey;
        std::filesystem::path temporaryDirectory = std::filesystem::temp_directory_path();
        std::optional<std::filesystem::path> caFile;
        // The launcher, inside the installation, started after the swap; empty: none.
        std::string relaunch = MacBundle::kLauncherName;
        // Seconds since 1970; the system clock when empty.
        std::function<double()> now;
    };

    // What the running system offers the updater: the installation, the C library version and
    // the built-in key. `downloadBase` still has to be set.
    static Options systemOptions();
    // The download folder a service publishes its releases in: base + "/download/".
    static std::string downloadBaseOf(const std::string& serviceBase) { return serviceBase + "/download/"; }

    static std::shared_ptr<MacUpdates> create(UserDefaults& defaults, Options options,
                                              const Dispatcher& main);
    MacUpdates(UserDefaults& defaults, Options options, const Dispatcher& main);
    ~MacUpdates();

    // Published state.
    bool automatic() const { return automaticChecks; }
    bool checking() const { return isChecking; }
    bool installing() const { return isInstalling; }
    const std::optional<MacUpdate>& latest() const { return latestRelease; }
    const std::optional<MacUpdate>& offered() const { return offeredRelease; }
    const std::string& message() const { return statusText; }
    // Archive bytes received during the download of an install; 0 otherwise.
    uint64_t downloaded() const { return receivedBytes; }
    // Called after every change of the published state.
    std::function<void()> onChange;

    // True while a remote session is open or this machine shares: automatic checks then do
    // not offer (the model answers).
    std::function<bool()> isBusy;
    // The sharing state to bring back after the restart; none writes no record.
    std::function<std::optional<MacUpdateResume>()> resumeState;
    // Opens the download page when this installation cannot update itself.
    std::function<void(const std::string& url)> openURL;
    // Asked once the swap is handed over: the application must now quit.
    std::function<void()> onTerminate;

    void check(bool manual);
    void setAutomatic(bool flag);
    void install(const MacUpdate& release);
    void skip(const MacUpdate& release);

    const std::optional<MacBundle>& installation() const { return options.installation; }
    const std::string& currentVersion() const;
    const std::string& currentBuild() const;

    // The update alert: title and text; `interrupts` when a remote session is open or sharing is on.
    static std::string alertTitle(const MacUpdate& release);
    std::string alertText(bool interrupts) const;

    // Reads and removes the resume record: the sharing state to restore, when the record is fresh.
    static std::optional<MacUpdateResume> takeResume(UserDefaults& defaults, double now);

private:
    double now() const;
    void publish();
    void finishCheck(const std::optional<std::string>& body, bool manual);
    void failInstall(const std::string& text);
    void downloaded(const MacUpdate& release, Bytes digest);
    void stagedCopyReady();
    std::optional<std::string> locationProblem() const;

    UserDefaults& defaults;
    Options options;
    std::shared_ptr<Scheduler> main;
    std::unique_ptr<net::HttpClient> network;
    std::unique_ptr<UpdateDownload> download;
    std::unique_ptr<SerialQueue> worker;

    bool automaticChecks = true;
    bool isChecking = false;
    bool isInstalling = false;
    std::optional<MacUpdate> latestRelease;
    std::optional<MacUpdate> offeredRelease;
    std::string statusText;
    uint64_t receivedBytes = 0;
    double attempted = -1e18; // the distant past
    std::filesystem::path workFolder;
    std::filesystem::path stagingFolder;
};

} // namespace quorlinth
