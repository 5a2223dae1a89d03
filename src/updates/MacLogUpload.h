#pragma once

#include "account/MacFailure.h"
#include "base/Json.h"
#include "base/SerialQueue.h"

#include <cstddef>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace quorlinth {

class MacAccount;
class MacLog;

// The state an upload describes in its log line.
struct MacLogUploadState {
    bool sharing = false;
    bool keepAwake = false;
    bool input = false;
    bool transfer = false;
    std::vector<std::pair<std::string, std::string>> sessions; // identifier, status
};

// Sends the recent log, headed by the machine's description, to the account service's
// diagnostics endpoint and answers the id support asks for. Lives on the main thread; the log is
// read on a queue of its own.
class MacLogUpload : public std::enable_shared_from_this<MacLogUpload> {
public:
    static constexpr size_t kTailBytes = 100'000;
    static constexpr const char* kPlatform = "linux";
    static constexpr size_t kDeviceNameCharacters = 64;

    // `main` is the main queue the account lives on.
    static std::shared_ptr<MacLogUpload> create(MacAccount& account, MacLog& log, const Dispatcher& main);
    MacLogUpload(MacAccount& account, MacLog& log, const Dispatcher& main);

    // "上报 sharing=… keepAwake=… input=… transfer=… sessions=id:status,…"
    static std::string stateLine(const MacLogUploadState& state);
    // This machine's host name; empty when it has none.
    static std::string computerName();
    // The computer's name cut to 64 characters, "Linux" when it has none.
    static std::string deviceName(const std::string& computerName);
    // The request body: "platform", "build" ("?" when empty), "device", "text".
    static Json requestBody(const std::string& build, const std::string& device, const std::string& text);
    // "日志已上报，编号 " + id, or "日志上报失败：" + the failure's description.
    static std::string resultText(const MacResult<std::string>& outcome);

    bool uploading() const { return busy; }

    // Logs the state line, then sends the environment line and the log's tail with the account
    // token of freshly validated credentials; `done` gets the service's id. Main thread; one
    // upload at a time (a second call while one runs fails at once).
    void upload(const MacLogUploadState& state, const std::string& build, const std::string& computerName,
                std::function<void(MacResult<std::string>)> done);

private:
    void send(const std::string& build, const std::string& device, std::string text,
              std::function<void(MacResult<std::string>)> done);

    MacAccount& account;
    MacLog& log;
    std::shared_ptr<Scheduler> main;
    SerialQueue reader{"quorlinth.logupload"};
    bool busy = false;
};

// An upload for a terminal: the log line names no sharing and no sessions, the build is the
// running installation's. `printID` gets the service's id alone, `printFailure` the failure text;
// `finish` then gets the exit code (0 or 1). Main thread; `uploader` stays alive until the end.
void runTerminalLogUpload(std::shared_ptr<MacLogUpload> uploader,
                          std::function<void(const std::string&)> printID,
                          std::function<void(const std::string&)> printFailure,
                          std::function<void(int)> finish);

} // namespace quorlinth
