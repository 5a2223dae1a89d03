#include "updates/MacUpdates.h"

#include "base/Uuid.h"
#include "base/WallClock.h"
#include "log/MacLog.h"
#include "net/HttpClient.h"
#include "store/UserDefaults.h"
#include "updates/UpdateArchive.h"
#include "updates/UpdateDownload.h"
#include "updates/UpdateSignature.h"
#include "updates/UpdateSwap.h"

#include <algorithm>
#include <cerrno>
#include <gnu/libc-version.h>
#include <system_error>
#include <unistd.h>
#include <vector>

namespace quorlinth {

namespace fs = std::filesystem;

namespace {

constexpr const char* kCannotUpdateHere = "当前位置无法自动更新，请从下载页手动安装";
constexpr const char* kDownloading = "正在下载新版本…";
constexpr const char* kVerifying = "正在校验新版本…";
constexpr const char* kRestarting = "正在重启以完成更新…";
constexpr const char* kBadSignature = "签名校验未通过";
constexpr const char* kWrongContents = "安装包内容不符";
constexpr const char* kNoWorkFolder = "无法创建临时文件夹";
constexpr const char* kCannotStage = "无法放置新版本";
constexpr const char* kDiskFull = "磁盘空间不足";
constexpr const char* kArchiveName = "update.tar.gz";
constexpr const char* kUnpackedName = "unpacked";

const std::string kEmpty;

void removeQuietly(const fs::path& path) {
    if (path.empty()) return;
    std::error_code ignored;
    fs::remove_all(path, ignored);
}

// The first ".app" folder the archive unpacked to, in name order.
std::optional<fs::path> unpackedBundle(const fs::path& folder) {
    std::error_code error;
    std::vector<fs::path> candidates;
    for (const auto& entry : fs::directory_iterator(folder, error))
        if (entry.path().extension() == ".app" && entry.is_directory() && !entry.is_symlink())
            candidates.push_back(entry.path());
    if (error || candidates.empty()) return std::nullopt;
    return *std::min_element(candidates.begin(), candidates.end());
}

// Unpacks the verified archive, checks what it holds and copies it to `staging`. Runs off the
// main thread.
Result<void> stageRelease(const fs::path& work, const fs::path& staging, const MacUpdate& release,
                          const std::string& launcher) {
    if (auto unpacked = unpackReleaseArchive(work / kArchiveName, work / kUnpackedName); !unpacked)
        return unpacked;
    auto folder = unpackedBundle(work / kUnpackedName);
    if (!folder) return Error{kWrongContents};
    auto bundle = MacBundle::read(*folder);
    if (!bundle || bundle->bundleIdentifier != kBundleIdentifier || bundle->build != release.build)
        return Error{kWrongContents};
    // A copy without its launcher would install fine and then never start again.
    if (!launcher.empty() && ::access((*folder / launcher).c_str(), X_OK) != 0) return Error{kWrongContents};

    // A leftover of an earlier attempt would otherwise mix into this copy.
    removeQuietly(staging);
    std::error_code error;
    fs::copy(*folder, staging, fs::copy_options::recursive | fs::copy_options::copy_symlinks, error);
    if (error) {
        removeQuietly(staging);
        return Error{error == std::errc::no_space_on_device ? kDiskFull : kCannotStage};
    }
    return {};
}

} // namespace

MacUpdates::Options MacUpdates::systemOptions() {
    Options options;
    options.installation = MacBundle::running();
    options.platformVersion = gnu_get_libc_version();
    options.releaseKey = builtInReleaseKey();
    return options;
}

std::shared_ptr<MacUpdates> MacUpdates::create(UserDefaults& defaults, Options options,
                                               const Dispatcher& main) {
    return std::make_shared<MacUpdates>(defaults, std::move(options), main);
}

MacUpdates::MacUpdates(UserDefaults& defaults, Options options, const Dispatcher& main)
    : defaults(defaults), options(std::move(options)), main(main.handle()),
      automaticChecks(defaults.boolean(kAutomaticKey).value_or(true)) {}

MacUpdates::~MacUpdates() = default;

double MacUpdates::now() const {
    return options.now ? options.now() : secondsSince1970();
}

void MacUpdates::publish() {
    if (onChange) onChange();
}

const std::string& MacUpdates::currentVersion() const {
    return options.installation ? options.installation->version : kEmpty;
}

const std::string& MacUpdates::currentBuild() const {
    return options.installation ? options.installation->build : kEmpty;
}

std::string MacUpdates::alertTitle(const MacUpdate& release) {
    return "发现新版本 " + release.version + "（" + release.build + "）";
}

std::string MacUpdates::alertText(bool interrupts) const {
    return "当前版本 " + currentVersion() + "（" + currentBuild() +
           "）。更新会下载并校验新版本，然后自动重启 Quorlinth" +
           (interrupts ? "，当前远控或共享会中断" : "");
}

std::optional<MacUpdateResume> MacUpdates::takeResume(UserDefaults& defaults, double now) {
    return MacUpdateResume::take(defaults, now);
}

void MacUpdates::setAutomatic(bool flag) {
    automaticChecks = flag;
    defaults.set(kAutomaticKey, flag);
    publish();
}

void MacUpdates::skip(const MacUpdate& release) {
    defaults.set(kSkippedKey, release.build);
    offeredRelease.reset();
    publish();
}

void MacUpdates::check(bool manual) {
    if (isChecking || isInstalling) return;
    const double time = now();
    if (!manual) {
        // A time in the future (the clock was set back) holds nothing back: it would for years.
        auto tooSoon = [time](double since, double spacing) {
            return since <= time && time - since < spacing;
        };
        if (!automaticChecks || tooSoon(attempted, kAttemptSpacingSeconds)) return;
        auto checked = defaults.number(kCheckedKey);
        if (checked && tooSoon(*checked, kCheckSpacingSeconds)) return;
    }
    attempted = time;
    isChecking = true;
    publish();

    if (!network)
        network =
            std::make_unique<net::HttpClient>(net::HttpClient::Options{"quorlinth.updates", options.caFile});
    net::HttpRequest request;
    request.url = options.downloadBase + kManifestName;
    request.headers = {{"Cache-Control", "no-cache"}};
    request.timeout = Millis{15'000};
    request.maxBodyBytes = kMaxManifestBytes;
    network->send(request,
                  [weak = weak_from_this(), target = main, manual](Result<net::HttpResponse> answer) {
                      target->post([weak, manual, answer = std::move(answer)] {
                          auto self = weak.lock();
                          if (!self) return;
                          bool ok = answer && answer.value().status == 200 && !answer.value().bodyTooLarge;
                          self->finishCheck(ok ? std::optional(answer.value().body) : std::nullopt, manual);
                      });
                  });
}

void MacUpdates::finishCheck(const std::optional<std::string>& body, bool manual) {
    std::optional<Release> release = body ? Release::decode(*body) : std::nullopt;
    if (!release || !release->linuxUpdate || !isValidRelease(*release->linuxUpdate)) {
        statusText = kCheckFailedMessage;
        isChecking = false;
        MacLog::shared().log("更新 " + statusText);
        publish();
        return;
    }
    const MacUpdate& update = *release->linuxUpdate;
    defaults.set(kCheckedKey, now());
    bool newer = isNewerBuild(currentBuild(), update.build);
    bool fits = fitsPlatform(update.minimumOS, options.platformVersion);
    latestRelease = newer && fits ? std::optional(update) : std::nullopt;
    statusText = checkMessage(update, newer, fits);
    if (latestRelease) {
        bool quiet = !manual && ((isBusy && isBusy()) || defaults.string(kSkippedKey) == update.build);
        if (!quiet) offeredRelease = update;
    }
    isChecking = false;
    MacLog::shared().log("更新 " + statusText);
    publish();
}

std::optional<std::string> MacUpdates::locationProblem() const {
    if (!options.installation || options.installation->bundleIdentifier != kBundleIdentifier)
        return kCannotUpdateHere;
    fs::path parent = options.installation->path.parent_path();
    if (parent.empty() || ::access(parent.c_str(), W_OK) != 0) return kCannotUpdateHere;
    return std::nullopt;
}

void MacUpdates::install(const MacUpdate& release) {
    if (!isValidRelease(release) || isInstalling || isChecking) return;
    isInstalling = true;
    offeredRelease.reset();
    if (auto problem = locationProblem()) {
        statusText = *problem;
        isInstalling = false;
        MacLog::shared().log("更新 " + statusText);
        publish();
        if (openURL) openURL(options.downloadBase);
        return;
    }
    workFolder = options.temporaryDirectory / ("quorlinth-update-" + uuidV4());
    stagingFolder.clear();
    std::error_code error;
    fs::create_directories(workFolder, error);
    if (error) return failInstall(kNoWorkFolder);

    statusText = kDownloading;
    receivedBytes = 0;
    publish();
    UpdateDownloadRequest request{options.downloadBase + release.file, workFolder / kArchiveName,
                                  uint64_t(release.bytes), release.sha256, options.caFile};
    download = std::make_unique<UpdateDownload>();
    auto weak = weak_from_this();
    download->start(
        std::move(request),
        [weak, target = main](uint64_t received) {
            target->post([weak, received] {
                auto self = weak.lock();
                if (!self || !self->isInstalling) return;
                self->receivedBytes = received;
                self->publish();
            });
        },
        [weak, target = main, release](Result<Bytes> digest) {
            target->post([weak, release, digest = std::move(digest)] {
                auto self = weak.lock();
                if (!self || !self->isInstalling) return;
                if (!digest) return self->failInstall(digest.error());
                self->downloaded(release, digest.value());
            });
        });
}

void MacUpdates::downloaded(const MacUpdate& release, Bytes digest) {
    statusText = kVerifying;
    publish();
    // Nothing from an archive is unpacked before its signature is known to be good.
    if (!verifyReleaseSignature(options.releaseKey, digest, release.signature))
        return failInstall(kBadSignature);

    fs::path parent = options.installation->path.parent_path();
    stagingFolder = parent / (".Quorlinth-update-" + release.build + ".app");
    if (!worker) worker = std::make_unique<SerialQueue>("quorlinth.updates");
    worker->post([weak = weak_from_this(), target = main, work = workFolder, staging = stagingFolder, release,
                  launcher = options.relaunch] {
        Result<void> staged = stageRelease(work, staging, release, launcher);
        target->post([weak, staged] {
            auto self = weak.lock();
            if (!self || !self->isInstalling) return;
            if (!staged) return self->failInstall(staged.error());
            self->stagedCopyReady();
        });
    });
}

void MacUpdates::stagedCopyReady() {
    const fs::path& installation = options.installation->path;
    UpdateSwapPaths paths{installation, stagingFolder,
                          installation.parent_path() / ".Quorlinth-previous.app"};
    if (auto launched = launchSwap(::getpid(), paths, options.relaunch); !launched)
        return failInstall(launched.error());
    // The staged copy now belongs to the swap; the unpacked files are no longer needed.
    removeQuietly(workFolder);
    if (resumeState) {
        if (auto resume = resumeState()) {
            resume->at = now();
            resume->save(defaults);
        }
    }
    statusText = kRestarting;
    MacLog::shared().log("更新 " + statusText);
    publish();
    if (onTerminate) onTerminate();
}

void MacUpdates::failInstall(const std::string& text) {
    removeQuietly(workFolder);
    removeQuietly(stagingFolder);
    workFolder.clear();
    stagingFolder.clear();
    isInstalling = false;
    receivedBytes = 0;
    statusText = "更新未完成：" + text + "。当前版本未改动。";
    MacLog::shared().log("更新 " + statusText);
    publish();
}

} // namespace quorlinth
