#include "updates/MacLogUpload.h"

#include "account/MacAccount.h"
#include "log/MacLog.h"
#include "updates/MacBundle.h"

#include <unistd.h>

namespace quorlinth {

namespace {

constexpr const char* kPath = "/v1/diagnostics";

const char* flag(bool value) {
    return value ? "true" : "false";
}

// The first `count` UTF-8 characters of `text`.
std::string firstCharacters(const std::string& text, size_t count) {
    size_t end = 0;
    for (size_t characters = 0; end < text.size() && characters < count; ++characters) {
        ++end;
        while (end < text.size() && (static_cast<unsigned char>(text[end]) & 0xC0) == 0x80)
            ++end;
    }
    return text.substr(0, end);
}

} // namespace

std::shared_ptr<MacLogUpload> MacLogUpload::create(MacAccount& account, MacLog& log, const Dispatcher& main) {
    return std::make_shared<MacLogUpload>(account, log, main);
}

MacLogUpload::MacLogUpload(MacAccount& account, MacLog& log, const Dispatcher& main)
    : account(account), log(log), main(main.handle()) {}

std::string MacLogUpload::stateLine(const MacLogUploadState& state) {
    std::string sessions;
    for (const auto& [identifier, status] : state.sessions) {
        if (!sessions.empty()) sessions += ",";
        sessions += identifier + ":" + status;
    }
    return std::string("上报 sharing=") + flag(state.sharing) + " keepAwake=" + flag(state.keepAwake) +
           " input=" + flag(state.input) + " transfer=" + flag(state.transfer) + " sessions=" + sessions;
}

std::string MacLogUpload::computerName() {
    char name[256] = {};
    if (gethostname(name, sizeof(name) - 1) != 0) return {};
    return name;
}

std::string MacLogUpload::deviceName(const std::string& computerName) {
    if (computerName.empty()) return "Linux";
    return firstCharacters(computerName, kDeviceNameCharacters);
}

Json MacLogUpload::requestBody(const std::string& build, const std::string& device, const std::string& text) {
    return Json{
        {"platform", kPlatform}, {"build", build.empty() ? "?" : build}, {"device", device}, {"text", text}};
}

std::string MacLogUpload::resultText(const MacResult<std::string>& outcome) {
    if (outcome) return "日志已上报，编号 " + outcome.value();
    return "日志上报失败：" + outcome.failure().localizedDescription();
}

void MacLogUpload::upload(const MacLogUploadState& state, const std::string& build,
                          const std::string& computerName, std::function<void(MacResult<std::string>)> done) {
    if (busy) return done(MacFailure::message("上一次上报尚未完成"));
    busy = true;
    log.log(stateLine(state));
    std::string device = deviceName(computerName);
    // The tail waits for the log's pending writes and reads files: not on the main thread.
    reader.post([weak = weak_from_this(), target = main, &log = log, build, device, done] {
        std::string text = MacLog::environmentLine() + "\n" + log.tail(kTailBytes);
        target->post([weak, build, device, text = std::move(text), done] {
            if (auto self = weak.lock()) self->send(build, device, std::move(text), done);
        });
    });
}

void MacLogUpload::send(const std::string& build, const std::string& device, std::string text,
                        std::function<void(MacResult<std::string>)> done) {
    auto finish = [weak = weak_from_this(), done](MacResult<std::string> outcome) {
        if (auto self = weak.lock()) self->busy = false;
        done(std::move(outcome));
    };
    account.validCredentials([weak = weak_from_this(), build, device, text = std::move(text),
                              finish](MacResult<MacCredentials> credentials) {
        auto self = weak.lock();
        if (!self) return;
        if (!credentials) return finish(credentials.failure());
        self->account.http().request(credentials.value().base, kPath, "POST",
                                     credentials.value().accountToken, requestBody(build, device, text),
                                     [finish](MacResult<Json> answer) {
                                         if (!answer) return finish(answer.failure());
                                         auto id = field::string(answer.value(), "id");
                                         if (!id || id->empty())
                                             return finish(MacFailure::message("服务器没有返回编号"));
                                         finish(*id);
                                     });
    });
}

void runTerminalLogUpload(std::shared_ptr<MacLogUpload> uploader,
                          std::function<void(const std::string&)> printID,
                          std::function<void(const std::string&)> printFailure,
                          std::function<void(int)> finish) {
    auto bundle = MacBundle::running();
    MacLogUpload& upload = *uploader;
    upload.upload({}, bundle ? bundle->build : std::string(), MacLogUpload::computerName(),
                  [uploader, printID, printFailure, finish](MacResult<std::string> outcome) {
                      if (outcome)
                          printID(outcome.value());
                      else
                          printFailure(MacLogUpload::resultText(outcome));
                      finish(outcome ? 0 : 1);
                  });
}

} // namespace quorlinth
