#pragma once

#include "transfer/TransferTypes.h"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace quorlinth {

// One control message of the "transfer" channel: a JSON object whose "t" names the type. File
// bytes travel as binary messages and are not read here.
struct TransferMessage {
    enum class Type { hello, clip, files, pull, offer, accept, reject, end, done, fail, cancel };

    static constexpr size_t kMaxTextMessage = 204'096;
    static constexpr size_t kMaxClipText = 200'000;
    static constexpr size_t kMaxItems = 100;

    Type type = Type::hello;
    bool enabled = false;          // hello
    std::string text;              // clip
    std::vector<RemoteFile> items; // files
    std::string id;                // offer and the answers to it
    std::string name;              // offer
    int64_t size = 0;              // offer
    bool clip = false;             // offer
    std::string reason;            // reject
    std::string sha256;            // end

    // The message a text frame carries, or nullopt when it must be ignored: too large, not a JSON
    // object, an unknown type, a clip text out of range, or an offer without id, name or a
    // non-negative size. Missing or wrongly typed fields take their defaults.
    static std::optional<TransferMessage> read(std::string_view frame);

    static std::string hello(bool enabled);
    static std::string clipText(const std::string& text);
    static std::string files(const std::vector<RemoteFile>& items);
    static std::string pull();
    static std::string offer(const std::string& id, const std::string& name, int64_t size, bool clip);
    static std::string reject(const std::string& id, const std::string& reason);
    static std::string end(const std::string& id, const std::string& sha256);
    // "accept", "done", "fail" and "cancel": a type and an id.
    static std::string answer(Type type, const std::string& id);
};

} // namespace quorlinth
